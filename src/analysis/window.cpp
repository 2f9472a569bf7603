#include "analysis/window.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "analysis/simd.hpp"

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

#if ORVANE_ANALYSIS_AVX2
#include <immintrin.h>

// Eight outputs per vector from a line whose reach is readable on both sides; returns where
// it stopped. Four vectors of outputs go at once: each one's sum is a chain of dependent
// multiply-adds, and four chains keep the unit busy where one would wait on each step. (The
// fused multiply-add rounds once where the plain loop rounds twice: the last bit may differ.)
__attribute__((target("avx2,fma"))) int32_t filter_interior_avx2(const float* src, int32_t lo,
                                                                 int32_t hi, const float* taps,
                                                                 int32_t len, int32_t r,
                                                                 float* dst) {
    int32_t x = lo;
    for (; x + 32 <= hi; x += 32) {
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        const float* s = src + x - r;
        for (int32_t k = 0; k < len; ++k) {
            const __m256 t = _mm256_set1_ps(taps[k]);
            a0 = _mm256_fmadd_ps(t, _mm256_loadu_ps(s + k), a0);
            a1 = _mm256_fmadd_ps(t, _mm256_loadu_ps(s + k + 8), a1);
            a2 = _mm256_fmadd_ps(t, _mm256_loadu_ps(s + k + 16), a2);
            a3 = _mm256_fmadd_ps(t, _mm256_loadu_ps(s + k + 24), a3);
        }
        _mm256_storeu_ps(dst + x, a0);
        _mm256_storeu_ps(dst + x + 8, a1);
        _mm256_storeu_ps(dst + x + 16, a2);
        _mm256_storeu_ps(dst + x + 24, a3);
    }
    for (; x + 8 <= hi; x += 8) {
        __m256 acc = _mm256_setzero_ps();
        for (int32_t k = 0; k < len; ++k) {
            const __m256 t = _mm256_set1_ps(taps[k]);
            acc = _mm256_fmadd_ps(t, _mm256_loadu_ps(src + x + k - r), acc);
        }
        _mm256_storeu_ps(dst + x, acc);
    }
    return x;
}
// The column pass's line, eight outputs per vector, four vectors at once as above.
__attribute__((target("avx2,fma"))) void sum_lines_avx2(const float* const* rows, const float* taps,
                                                        int32_t len, int32_t n, float* dst) {
    int32_t x = 0;
    for (; x + 32 <= n; x += 32) {
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        for (int32_t k = 0; k < len; ++k) {
            const __m256 t = _mm256_set1_ps(taps[k]);
            const float* s = rows[k] + x;
            a0 = _mm256_fmadd_ps(t, _mm256_loadu_ps(s), a0);
            a1 = _mm256_fmadd_ps(t, _mm256_loadu_ps(s + 8), a1);
            a2 = _mm256_fmadd_ps(t, _mm256_loadu_ps(s + 16), a2);
            a3 = _mm256_fmadd_ps(t, _mm256_loadu_ps(s + 24), a3);
        }
        _mm256_storeu_ps(dst + x, a0);
        _mm256_storeu_ps(dst + x + 8, a1);
        _mm256_storeu_ps(dst + x + 16, a2);
        _mm256_storeu_ps(dst + x + 24, a3);
    }
    for (; x + 8 <= n; x += 8) {
        __m256 acc = _mm256_setzero_ps();
        for (int32_t k = 0; k < len; ++k) {
            const __m256 t = _mm256_set1_ps(taps[k]);
            acc = _mm256_fmadd_ps(t, _mm256_loadu_ps(rows[k] + x), acc);
        }
        _mm256_storeu_ps(dst + x, acc);
    }
    for (; x < n; ++x) {
        float acc = 0.0f;
        for (int32_t k = 0; k < len; ++k) acc += taps[k] * rows[k][x];
        dst[x] = acc;
    }
}
#endif

// Outputs [from, to) of a line's row pass: dst[x] = sum_k taps[k] c[x + k - r], where `c`
// holds the reach of those outputs.
void filter_run(const float* c, int32_t from, int32_t to, const std::vector<float>& taps,
                float* dst) {
    const int32_t len = static_cast<int32_t>(taps.size()), r = len / 2;
    int32_t x = from;
#if ORVANE_ANALYSIS_AVX2
    if (have_avx2()) x = filter_interior_avx2(c, from, to, taps.data(), len, r, dst);
#endif
    for (; x < to; ++x) {
        float acc = 0;
        for (int32_t k = 0; k < len; ++k) acc += taps[k] * c[x + k - r];
        dst[x] = acc;
    }
}

// One line of the row pass: dst[x] = sum_k taps[k] src[clamp(x + k - r)]. The inner part reads
// the line itself; each end is first copied into `padded` with its end pixel repeated r times,
// so that every output runs the same loop, without tests.
void filter_line(const float* src, int32_t n, const std::vector<float>& taps,
                 std::vector<float>* padded, float* dst) {
    const int32_t r = static_cast<int32_t>(taps.size() / 2);
    if (n <= 4 * r) {
        padded->resize(static_cast<size_t>(n + 2 * r));
        float* p = padded->data();
        std::fill(p, p + r, src[0]);
        std::copy(src, src + n, p + r);
        std::fill(p + r + n, p + 2 * r + n, src[n - 1]);
        filter_run(p + r, 0, n, taps, dst);
        return;
    }
    padded->resize(static_cast<size_t>(3 * r));
    float* p = padded->data();
    // The left end: outputs 0 .. r-1 read the repeated first pixel and src[0 .. 2r-1].
    std::fill(p, p + r, src[0]);
    std::copy(src, src + 2 * r, p + r);
    filter_run(p + r, 0, r, taps, dst);
    filter_run(src, r, n - r, taps, dst);
    // The right end: outputs n-r .. n-1 (r .. 2r-1 counted from n-2r) read src[n-2r .. n-1]
    // and the repeated last pixel.
    std::copy(src + n - 2 * r, src + n, p);
    std::fill(p + 2 * r, p + 3 * r, src[n - 1]);
    filter_run(p, r, 2 * r, taps, dst + (n - 2 * r));
}

// One line of the column pass: dst = sum_k taps[k] * rows[k].
void sum_lines(const float* const* rows, const float* taps, int32_t len, int32_t n, float* dst) {
#if ORVANE_ANALYSIS_AVX2
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
    if (w == 0 || h == 0) return;
    std::vector<float> padded;
    for (int32_t y = 0; y < h; ++y) filter_line(in.line(y), w, taps, &padded, scratch->line(y));
    const int32_t r = static_cast<int32_t>(taps.size() / 2);
    const int32_t len = static_cast<int32_t>(taps.size());
    std::vector<const float*> rows(static_cast<size_t>(len));
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t k = 0; k < len; ++k) rows[k] = scratch->line(std::clamp(y + k - r, 0, h - 1));
        sum_lines(rows.data(), taps.data(), len, w, out->line(y));
    }
}
