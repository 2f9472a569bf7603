#include "analysis/window.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

bool parse_window(const std::string& text, WindowSpec* window, std::string* error) {
    WindowSpec w;
    std::string number = text;
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
        const std::string kind = text.substr(0, colon);
        number = text.substr(colon + 1);
        if (kind == "gaussian" || kind == "gauss") {
            w.kind = WindowSpec::Kind::gaussian;
        } else if (kind == "box") {
            w.kind = WindowSpec::Kind::box;
        } else {
            *error = "unknown window '" + kind + "' (choose gaussian:SIGMA or box:SIDE)";
            return false;
        }
    }
    char* end = nullptr;
    const double v = std::strtod(number.c_str(), &end);
    if (number.empty() || end != number.c_str() + number.size() || !std::isfinite(v)) {
        *error = "'" + text + "' is not a window (e.g. gaussian:3 or box:9)";
        return false;
    }
    if (w.kind == WindowSpec::Kind::gaussian && !(v >= 0.5 && v <= 50)) {
        *error = "a Gaussian window's sigma must lie in 0.5..50 pixels, not " + number;
        return false;
    }
    if (w.kind == WindowSpec::Kind::box &&
        !(v >= 3 && v <= 101 && v == std::floor(v) && static_cast<long>(v) % 2 == 1)) {
        *error = "a box window's side must be an odd whole number in 3..101, not " + number;
        return false;
    }
    w.size = v;
    *window = w;
    return true;
}

std::string window_text(const WindowSpec& window) {
    char text[48];
    if (window.kind == WindowSpec::Kind::box) {
        std::snprintf(text, sizeof text, "box:%d", static_cast<int>(window.size));
    } else {
        std::snprintf(text, sizeof text, "gaussian:%g", window.size);
    }
    return text;
}

std::vector<float> gaussian_taps(double sigma) {
    const int radius = std::max(1, static_cast<int>(std::ceil(3.0 * sigma)));
    std::vector<double> w(static_cast<size_t>(2 * radius + 1));
    double sum = 0;
    for (int i = -radius; i <= radius; ++i) {
        sum += w[static_cast<size_t>(i + radius)] = std::exp(-0.5 * i * i / (sigma * sigma));
    }
    std::vector<float> taps(w.size());
    for (size_t i = 0; i < w.size(); ++i) taps[i] = static_cast<float>(w[i] / sum);
    return taps;
}

std::vector<float> window_taps(const WindowSpec& window) {
    if (window.kind == WindowSpec::Kind::gaussian) return gaussian_taps(window.size);
    const int side = std::max(1, static_cast<int>(window.size) | 1);
    return std::vector<float>(static_cast<size_t>(side), 1.0f / static_cast<float>(side));
}

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORVANE_HAS_AVX2_PATH 1
#include <immintrin.h>

bool have_avx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}

// The inner part of a row, eight outputs per vector; returns where it stopped.
__attribute__((target("avx2"))) int32_t filter_interior_avx2(const float* src, int32_t lo,
                                                             int32_t hi, const float* taps,
                                                             int32_t len, int32_t r, float* dst) {
    int32_t x = lo;
    for (; x + 8 <= hi; x += 8) {
        __m256 acc = _mm256_setzero_ps();
        for (int32_t k = 0; k < len; ++k) {
            const __m256 t = _mm256_set1_ps(taps[k]);
            acc = _mm256_add_ps(acc, _mm256_mul_ps(t, _mm256_loadu_ps(src + x + k - r)));
        }
        _mm256_storeu_ps(dst + x, acc);
    }
    return x;
}
// The column pass's line, eight outputs per vector; the sums run in the same order as the
// plain loop's, so both give the same bits.
__attribute__((target("avx2"))) void sum_lines_avx2(const float* const* rows, const float* taps,
                                                    int32_t len, int32_t n, float* dst) {
    int32_t x = 0;
    for (; x + 8 <= n; x += 8) {
        __m256 acc = _mm256_setzero_ps();
        for (int32_t k = 0; k < len; ++k) {
            const __m256 t = _mm256_set1_ps(taps[k]);
            acc = _mm256_add_ps(acc, _mm256_mul_ps(t, _mm256_loadu_ps(rows[k] + x)));
        }
        _mm256_storeu_ps(dst + x, acc);
    }
    for (; x < n; ++x) {
        float acc = 0.0f;
        for (int32_t k = 0; k < len; ++k) acc += taps[k] * rows[k][x];
        dst[x] = acc;
    }
}
#else
#define ORVANE_HAS_AVX2_PATH 0
#endif

// One line of the row pass: dst[x] = sum_k taps[k] src[clamp(x + k - r)].
void filter_line(const float* src, int32_t n, const std::vector<float>& taps, float* dst) {
    const int32_t r = static_cast<int32_t>(taps.size() / 2);
    const int32_t len = static_cast<int32_t>(taps.size());
    auto clamped = [&](int32_t x) {
        float s = 0;
        for (int32_t k = 0; k < len; ++k) s += taps[k] * src[std::clamp(x + k - r, 0, n - 1)];
        return s;
    };
    const int32_t lo = std::min(r, n), hi = std::max(lo, n - r);
    for (int32_t x = 0; x < lo; ++x) dst[x] = clamped(x);
    // The inner part needs no clamping. Eight outputs at a time stay in registers while the
    // taps run over them (one vector on AVX2); the rest of the part goes one by one.
    int32_t x = lo;
#if ORVANE_HAS_AVX2_PATH
    if (have_avx2()) x = filter_interior_avx2(src, lo, hi, taps.data(), len, r, dst);
#endif
    for (; x + 8 <= hi; x += 8) {
        float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (int32_t k = 0; k < len; ++k) {
            const float t = taps[k];
            const float* s = src + x + k - r;
            for (int j = 0; j < 8; ++j) acc[j] += t * s[j];
        }
        for (int j = 0; j < 8; ++j) dst[x + j] = acc[j];
    }
    for (; x < n; ++x) dst[x] = clamped(x);
}

// One line of the column pass: dst = sum_k taps[k] * rows[k].
void sum_lines(const float* const* rows, const float* taps, int32_t len, int32_t n, float* dst) {
#if ORVANE_HAS_AVX2_PATH
    if (have_avx2()) {
        sum_lines_avx2(rows, taps, len, n, dst);
        return;
    }
#endif
    std::fill(dst, dst + n, 0.0f);
    for (int32_t k = 0; k < len; ++k) {
        const float t = taps[k];
        const float* s = rows[k];
        for (int32_t x = 0; x < n; ++x) dst[x] += t * s[x];
    }
}

}  // namespace

void filter_separable(const GreyImage& in, const std::vector<float>& taps, GreyImage* out,
                      GreyImage* scratch) {
    const int32_t w = in.columns, h = in.lines;
    if (scratch->columns != w || scratch->lines != h) *scratch = GreyImage(w, h);
    if (out->columns != w || out->lines != h) *out = GreyImage(w, h);
    for (int32_t y = 0; y < h; ++y) filter_line(in.line(y), w, taps, scratch->line(y));
    const int32_t r = static_cast<int32_t>(taps.size() / 2);
    const int32_t len = static_cast<int32_t>(taps.size());
    std::vector<const float*> rows(static_cast<size_t>(len));
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t k = 0; k < len; ++k) rows[k] = scratch->line(std::clamp(y + k - r, 0, h - 1));
        sum_lines(rows.data(), taps.data(), len, w, out->line(y));
    }
}
