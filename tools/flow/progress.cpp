#include "flow/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {
constexpr double kTtyInterval = 0.1;  // [s] between redraws of the bar
constexpr double kLogInterval = 5.0;  // [s] between plain log lines
constexpr int kBarWidth = 30;         // [characters]
bool g_line_open = false;             // a bar is drawn and its line not yet ended
// Standard error is gone (a pipe whose reader quit, as in `2>&1 | head -1`): nothing more is
// printed, and the run goes on (the program ignores SIGPIPE, so writes just fail).
std::atomic<bool> g_console_gone{false};

// Flushes `out`; a failed write marks the console as gone.
void flush(FILE* out) {
    if (std::fflush(out) != 0 || std::ferror(out)) g_console_gone = true;
}
}  // namespace

bool Progress::console_gone() {
    return g_console_gone;
}

void Progress::close_open_line(FILE* out) {
    if (g_line_open && !g_console_gone) {
        std::fprintf(out, "\n");
        flush(out);
    }
    g_line_open = false;
}

Progress::Progress(bool quiet, int64_t total, FILE* out)
    : quiet_(quiet),
      tty_(::isatty(::fileno(out)) != 0),
      total_(total),
      out_(out),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

std::string Progress::clock(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    }
    return text;
}

std::string Progress::line(int64_t done, double elapsed) const {
    const double fps = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
    char text[256];
    // A container's frame count is an estimate; past it the length counts as unknown.
    if (total_ > 0 && done <= total_) {
        const double share = static_cast<double>(done) / static_cast<double>(total_);
        const std::string left =
            fps > 0 ? Progress::clock(static_cast<double>(total_ - done) / fps) : "?";
        if (tty_) {
            const int filled = static_cast<int>(share * kBarWidth);
            std::string bar(static_cast<size_t>(filled), '#');
            bar.append(static_cast<size_t>(kBarWidth - filled), '.');
            std::snprintf(text, sizeof text, "[%s] %lld/%lld frames  %.1f frames/s  %s left",
                          bar.c_str(), static_cast<long long>(done), static_cast<long long>(total_),
                          fps, left.c_str());
        } else {
            std::snprintf(text, sizeof text,
                          "orvane-flow: frame %lld of %lld (%.0f %%), %.1f frames/s, %s left",
                          static_cast<long long>(done), static_cast<long long>(total_),
                          100.0 * share, fps, left.c_str());
        }
    } else {
        std::snprintf(text, sizeof text, "%s%lld frames  %.1f frames/s  %s elapsed",
                      tty_ ? "" : "orvane-flow: ", static_cast<long long>(done), fps,
                      Progress::clock(elapsed).c_str());
    }
    return text;
}

void Progress::draw(const std::string& text) {
    if (g_console_gone) return;
    if (tty_) {
        std::fprintf(out_, "\r%s\033[K", text.c_str());
        drawn_ = g_line_open = true;
    } else {
        std::fprintf(out_, "%s\n", text.c_str());
    }
    flush(out_);
}

void Progress::update(int64_t done) {
    if (quiet_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    const double since = std::chrono::duration<double>(now - last_).count();
    if (since < (tty_ ? kTtyInterval : kLogInterval)) return;
    last_ = now;
    draw(line(done, std::chrono::duration<double>(now - start_).count()));
}

void Progress::finish(int64_t done) {
    if (quiet_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    draw(line(done, elapsed));
    if (tty_ && !g_console_gone) {
        std::fprintf(out_, "\n");
        flush(out_);
    }
    drawn_ = g_line_open = false;
}

void Progress::notice(const std::string& text) {
    if (quiet_ || g_console_gone) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (tty_ && drawn_) std::fprintf(out_, "\r\033[K");
    std::fprintf(out_, "orvane-flow: %s\n", text.c_str());
    drawn_ = g_line_open = false;
    flush(out_);
}
