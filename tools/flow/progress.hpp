// Progress: what a long run tells the person waiting for it, on standard error.
//
// On a terminal a bar redrawn in place (frames done, frames per second, time left when the
// length is known), at most ten times a second; elsewhere (a log file, a pipe, CI) a plain
// line every few seconds. Silent when quiet. The measuring job owns one and calls update() after
// every frame; notices may come from another thread than the updates (a lock orders them).
// Once a write fails (standard error is a pipe whose reader quit) it prints nothing more.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class Progress {
  public:
    // total: the expected number of frames, or -1 when unknown.
    Progress(bool quiet, int64_t total, FILE* out = stderr);
    void update(int64_t done);
    // Ends the bar's line (or writes the last log line).
    void finish(int64_t done);
    // A notice printed so that it does not collide with the bar.
    void notice(const std::string& text);

    // Ends a bar left open on the terminal (by a run that stops with an error), so that the
    // message that follows starts on a line of its own.
    static void close_open_line(FILE* out = stderr);

    // Whether a write to the console failed (its reader went away); nothing more is printed.
    static bool console_gone();

    // "1:05" or "1:02:03".
    static std::string clock(double seconds);

  private:
    std::string line(int64_t done, double elapsed) const;
    void draw(const std::string& text);

    bool quiet_;
    bool tty_;
    int64_t total_;
    FILE* out_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
    bool drawn_ = false;
    std::mutex mutex_;
};
