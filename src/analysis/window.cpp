#include "analysis/window.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

// Every window here is symmetric (taps[k] == taps[len-1-k]): the two pixels that share a tap
// are added first, which halves the multiplications.
bool symmetric(const std::vector<float>& taps) {
    for (size_t k = 0, j = taps.size() - 1; k < j; ++k, --j) {
        if (taps[k] != taps[j]) return false;
    }
    return true;
}

#if ORVANE_ANALYSIS_AVX2
#include <immintrin.h>

// Outputs of a symmetric window in blocks of 32 (four vectors) and then of 8, from `from` to
// where fewer than 8 are left; returns where it stopped. `at(k, x)` gives the two inputs that
// tap k (k < r) weighs for output x, as pointers to runs of floats, and `at(r, x)` the centre's
// twice: the row pass reads one line on either side of x, the column pass one line above and
// one below. Even and odd taps go into separate chains of multiply-adds, so that each output's
// sum never waits long on the one before. (The fused multiply-add rounds once where the plain
// loop rounds twice: the last bits may differ.)
template <class At>
__attribute__((target("avx2,fma"))) int32_t symmetric_runs(const At& at, const float* taps,
                                                          int32_t r, int32_t from, int32_t n,
                                                          float* dst) {
    int32_t x = from;
    const __m256 centre = _mm256_set1_ps(taps[r]);
    for (; x + 32 <= n; x += 32) {
        const float* m = at(r, x).first;
        __m256 e0 = _mm256_mul_ps(centre, _mm256_loadu_ps(m));
        __m256 e1 = _mm256_mul_ps(centre, _mm256_loadu_ps(m + 8));
        __m256 e2 = _mm256_mul_ps(centre, _mm256_loadu_ps(m + 16));
        __m256 e3 = _mm256_mul_ps(centre, _mm256_loadu_ps(m + 24));
        __m256 o0 = _mm256_setzero_ps(), o1 = o0, o2 = o0, o3 = o0;
        for (int32_t k = 0; k < r; ++k) {
            const auto [a, b] = at(k, x);
            const __m256 t = _mm256_set1_ps(taps[k]);
            const __m256 p0 = _mm256_add_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
            const __m256 p1 = _mm256_add_ps(_mm256_loadu_ps(a + 8), _mm256_loadu_ps(b + 8));
            const __m256 p2 = _mm256_add_ps(_mm256_loadu_ps(a + 16), _mm256_loadu_ps(b + 16));
            const __m256 p3 = _mm256_add_ps(_mm256_loadu_ps(a + 24), _mm256_loadu_ps(b + 24));
            if (k & 1) {
                o0 = _mm256_fmadd_ps(t, p0, o0), o1 = _mm256_fmadd_ps(t, p1, o1);
                o2 = _mm256_fmadd_ps(t, p2, o2), o3 = _mm256_fmadd_ps(t, p3, o3);
            } else {
                e0 = _mm256_fmadd_ps(t, p0, e0), e1 = _mm256_fmadd_ps(t, p1, e1);
                e2 = _mm256_fmadd_ps(t, p2, e2), e3 = _mm256_fmadd_ps(t, p3, e3);
            }
        }
        _mm256_storeu_ps(dst + x, _mm256_add_ps(e0, o0));
        _mm256_storeu_ps(dst + x + 8, _mm256_add_ps(e1, o1));
        _mm256_storeu_ps(dst + x + 16, _mm256_add_ps(e2, o2));
        _mm256_storeu_ps(dst + x + 24, _mm256_add_ps(e3, o3));
    }
    for (; x + 8 <= n; x += 8) {
        __m256 even = _mm256_mul_ps(centre, _mm256_loadu_ps(at(r, x).first));
        __m256 odd = _mm256_setzero_ps();
        for (int32_t k = 0; k < r; ++k) {
            const auto [a, b] = at(k, x);
            const __m256 t = _mm256_set1_ps(taps[k]);
            const __m256 pair = _mm256_add_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
            if (k & 1) {
                odd = _mm256_fmadd_ps(t, pair, odd);
            } else {
                even = _mm256_fmadd_ps(t, pair, even);
            }
        }
        _mm256_storeu_ps(dst + x, _mm256_add_ps(even, odd));
    }
    return x;
}

// Row-pass outputs [lo, hi) of a symmetric window from a line whose reach is readable on both
// sides; returns where it stopped.
__attribute__((target("avx2,fma"))) int32_t row_symmetric_avx2(const float* src, int32_t lo,
                                                              int32_t hi, const float* taps,
                                                              int32_t r, float* dst) {
    const auto at = [src, r](int32_t k, int32_t x) {
        return std::pair<const float*, const float*>{src + x - (r - k), src + x + (r - k)};
    };
    return symmetric_runs(at, taps, r, lo, hi, dst);
}

// Columns [from, n) of the column pass's line of a symmetric window: rows[k] is the
// row-filtered line k - r lines from the output's.
__attribute__((target("avx2,fma"))) void column_symmetric_avx2(const float* const* rows,
                                                              const float* taps, int32_t r,
                                                              int32_t from, int32_t n,
                                                              float* dst) {
    const int32_t len = 2 * r + 1;
    const auto at = [rows, len](int32_t k, int32_t x) {
        return std::pair<const float*, const float*>{rows[k] + x, rows[len - 1 - k] + x};
    };
    int32_t x = symmetric_runs(at, taps, r, from, n, dst);
    for (; x < n; ++x) {
        float acc = taps[r] * rows[r][x];
        for (int32_t k = 0; k < r; ++k) acc += taps[k] * (rows[k][x] + rows[len - 1 - k][x]);
        dst[x] = acc;
    }
}

// Two neighbouring lines of the column pass at once: rows[j] is the row-filtered line j - r
// from the first output's (j = 0 .. 2r + 1). The two share all but one of their lines, so each
// line is read once for both, eight columns at a time: the lines a tap reads on either side
// are carried over to the next tap of the other output. Taps go two at a time, into separate
// chains of multiply-adds, so that no chain waits on the one before.
__attribute__((target("avx2,fma"))) int32_t column_pair_avx2(const float* const* rows,
                                                            const float* taps, int32_t r,
                                                            int32_t n, float* dst0, float* dst1) {
    const int32_t len = 2 * r + 1;
    int32_t x = 0;
    for (; x + 8 <= n; x += 8) {
        __m256 e0 = _mm256_setzero_ps(), o0 = e0, e1 = e0, o1 = e0;
        __m256 lo = _mm256_loadu_ps(rows[0] + x), hi = _mm256_loadu_ps(rows[len] + x);
        int32_t k = 0;
        // Output 0 pairs lines k and len-1-k, output 1 lines k+1 and len-k.
        for (; k + 2 <= r; k += 2) {
            const __m256 t = _mm256_set1_ps(taps[k]), u = _mm256_set1_ps(taps[k + 1]);
            const __m256 up1 = _mm256_loadu_ps(rows[k + 1] + x);
            const __m256 dn1 = _mm256_loadu_ps(rows[len - 1 - k] + x);
            const __m256 up2 = _mm256_loadu_ps(rows[k + 2] + x);
            const __m256 dn2 = _mm256_loadu_ps(rows[len - 2 - k] + x);
            e0 = _mm256_fmadd_ps(t, _mm256_add_ps(lo, dn1), e0);
            e1 = _mm256_fmadd_ps(t, _mm256_add_ps(up1, hi), e1);
            o0 = _mm256_fmadd_ps(u, _mm256_add_ps(up1, dn2), o0);
            o1 = _mm256_fmadd_ps(u, _mm256_add_ps(up2, dn1), o1);
            lo = up2, hi = dn2;
        }
        if (k < r) {
            const __m256 t = _mm256_set1_ps(taps[k]);
            const __m256 up1 = _mm256_loadu_ps(rows[k + 1] + x);
            const __m256 dn1 = _mm256_loadu_ps(rows[len - 1 - k] + x);
            e0 = _mm256_fmadd_ps(t, _mm256_add_ps(lo, dn1), e0);
            e1 = _mm256_fmadd_ps(t, _mm256_add_ps(up1, hi), e1);
            lo = up1, hi = dn1;
        }
        // Now lo holds line r (output 0's centre) and hi line r+1 (output 1's).
        const __m256 c = _mm256_set1_ps(taps[r]);
        _mm256_storeu_ps(dst0 + x, _mm256_add_ps(_mm256_fmadd_ps(c, lo, e0), o0));
        _mm256_storeu_ps(dst1 + x, _mm256_add_ps(_mm256_fmadd_ps(c, hi, e1), o1));
    }
    return x;
}
#endif

// Outputs [from, to) of a line's row pass: dst[x] = sum_k taps[k] c[x + k - r], where `c`
// holds the reach of those outputs.
void filter_run(const float* c, int32_t from, int32_t to, const std::vector<float>& taps,
                bool symmetric, float* dst) {
    const int32_t len = static_cast<int32_t>(taps.size()), r = len / 2;
    int32_t x = from;
#if ORVANE_ANALYSIS_AVX2
    if (symmetric && have_avx2()) x = row_symmetric_avx2(c, from, to, taps.data(), r, dst);
#else
    (void)symmetric;
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
void filter_line(const float* src, int32_t n, const std::vector<float>& taps, bool sym,
                 std::vector<float>* padded, float* dst) {
    const int32_t r = static_cast<int32_t>(taps.size() / 2);
    if (n <= 4 * r) {
        padded->resize(static_cast<size_t>(n + 2 * r));
        float* p = padded->data();
        std::fill(p, p + r, src[0]);
        std::copy(src, src + n, p + r);
        std::fill(p + r + n, p + 2 * r + n, src[n - 1]);
        filter_run(p + r, 0, n, taps, sym, dst);
        return;
    }
    padded->resize(static_cast<size_t>(3 * r));
    float* p = padded->data();
    // The left end: outputs 0 .. r-1 read the repeated first pixel and src[0 .. 2r-1].
    std::fill(p, p + r, src[0]);
    std::copy(src, src + 2 * r, p + r);
    filter_run(p + r, 0, r, taps, sym, dst);
    filter_run(src, r, n - r, taps, sym, dst);
    // The right end: outputs n-r .. n-1 (r .. 2r-1 counted from n-2r) read src[n-2r .. n-1]
    // and the repeated last pixel.
    std::copy(src + n - 2 * r, src + n, p);
    std::fill(p + 2 * r, p + 3 * r, src[n - 1]);
    filter_run(p, r, 2 * r, taps, sym, dst + (n - 2 * r));
}

// Columns [from, n) of one line of the column pass: dst = sum_k taps[k] * rows[k].
void sum_lines(const float* const* rows, const std::vector<float>& taps, bool sym, int32_t from,
               int32_t n, float* dst) {
    const int32_t len = static_cast<int32_t>(taps.size());
    if (from >= n) return;
#if ORVANE_ANALYSIS_AVX2
    if (sym && have_avx2()) {
        column_symmetric_avx2(rows, taps.data(), len / 2, from, n, dst);
        return;
    }
#else
    (void)sym;
#endif
    std::fill(dst + from, dst + n, 0.0f);
    for (int32_t k = 0; k < len; ++k) {
        const float t = taps[k];
        const float* s = rows[k];
        for (int32_t x = from; x < n; ++x) dst[x] += t * s[x];
    }
}

}  // namespace

void filter_separable(const GreyImage& in, const std::vector<float>& taps, GreyImage* out,
                      GreyImage* scratch) {
    const int32_t w = in.columns, h = in.lines;
    const int32_t len = static_cast<int32_t>(taps.size()), r = len / 2;
    // The row pass goes into a ring of lines, just ahead of the column pass that reads it: the
    // ring stays in the processor's cache, where a whole row-filtered image would not. It holds
    // the len + 1 lines that two neighbouring outputs reach.
    const int32_t ring = len + 1;
    if (scratch->columns != w || scratch->lines != ring) *scratch = GreyImage(w, ring);
    if (out->columns != w || out->lines != h) *out = GreyImage(w, h);
    if (w == 0 || h == 0) return;
    const bool sym = symmetric(taps);
    bool pairs = false;
#if ORVANE_ANALYSIS_AVX2
    pairs = sym && have_avx2();
#endif
    std::vector<float> padded;
    std::vector<const float*> rows(static_cast<size_t>(ring));
    // Images with many equal lines (a mask of weights, whose lines are all alike away from the
    // frame's top and bottom) are common: a line equal to the one before is not filtered
    // again, and outputs whose lines all are equal are the output before (the same operations
    // on the same values). run_start[i]: the first of the equal lines that line i ends.
    thread_local std::vector<int32_t> run_start;
    run_start.resize(static_cast<size_t>(h));
    const size_t line_bytes = static_cast<size_t>(w) * sizeof(float);
    int32_t filtered = 0;  // lines of the input row-filtered so far
    for (int32_t y = 0; y < h;) {
        const int32_t step = pairs && y + 1 < h ? 2 : 1;
        // The lines these outputs reach (clamped to the image) are at most len + 1 apart, so
        // the ring holds every one of them.
        for (; filtered <= std::min(h - 1, y + step - 1 + r); ++filtered) {
            float* dst = scratch->line(filtered % ring);
            if (filtered > 0 && std::memcmp(in.line(filtered), in.line(filtered - 1), line_bytes) == 0) {
                run_start[filtered] = run_start[filtered - 1];
                std::memcpy(dst, scratch->line((filtered - 1) % ring), line_bytes);
            } else {
                run_start[filtered] = filtered;
                filter_line(in.line(filtered), w, taps, sym, &padded, dst);
            }
        }
        // A pair whose lines and the pair's before all are equal: the same outputs again.
        if (step == 2 && y >= 2 && run_start[std::min(h - 1, y + 1 + r)] <= std::max(0, y - 1 - r)) {
            std::memcpy(out->line(y), out->line(y - 1), line_bytes);
            std::memcpy(out->line(y + 1), out->line(y - 1), line_bytes);
            y += step;
            continue;
        }
        for (int32_t k = 0; k < len + step - 1; ++k) {
            rows[k] = scratch->line(std::clamp(y + k - r, 0, h - 1) % ring);
        }
        int32_t done = 0;
#if ORVANE_ANALYSIS_AVX2
        if (step == 2) {
            done = column_pair_avx2(rows.data(), taps.data(), r, w, out->line(y), out->line(y + 1));
        }
#endif
        // The columns left (or every one, one line at a time).
        for (int32_t j = 0; j < step; ++j) {
            sum_lines(rows.data() + j, taps, sym, done, w, out->line(y + j));
        }
        y += step;
    }
}
