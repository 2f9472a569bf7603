#include "analysis/resample.hpp"

#include <algorithm>
#include <cmath>

#include "analysis/simd.hpp"

#if ORVANE_ANALYSIS_AVX2
#include <immintrin.h>
#endif

namespace {

#if ORVANE_ANALYSIS_AVX2
// A position that is not finite reads pixel 0; any other is held inside 0..hi.
__attribute__((target("avx2"))) inline __m256 clamp_position(__m256 f, __m256 hi) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 finite =
        _mm256_cmp_ps(_mm256_and_ps(f, magnitude), _mm256_set1_ps(INFINITY), _CMP_LT_OQ);
    return _mm256_and_ps(finite, _mm256_min_ps(_mm256_max_ps(f, _mm256_setzero_ps()), hi));
}

// Element idx[l] (0..15) of the sixteen floats at p, per lane.
__attribute__((target("avx2"))) inline __m256 pick16(const float* p, __m256i idx) {
    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p), idx);
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p + 8), idx);
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
}

// Eight pixels of a line at a time, with the plain loop's operations in its order (so the
// same bits); the four neighbours come by gathers. Needs at least 2x2 pixels, so that the
// right and lower neighbours always exist. Returns where it stopped.
__attribute__((target("avx2"))) int32_t warp_line_avx2(const GreyImage& in, int32_t y,
                                                       const float* u, const float* v, float s,
                                                       float* d, uint8_t* o) {
    const int32_t w = in.columns, h = in.lines;
    const float* base = in.data.data();
    const __m256 zero = _mm256_setzero_ps(), sv = _mm256_set1_ps(s);
    const __m256 xmax = _mm256_set1_ps(static_cast<float>(w - 1));
    const __m256 ymax = _mm256_set1_ps(static_cast<float>(h - 1));
    const __m256 fy0 = _mm256_set1_ps(static_cast<float>(y));
    const __m256i xlim = _mm256_set1_epi32(w - 2), ylim = _mm256_set1_epi32(h - 2);
    const __m256i wv = _mm256_set1_epi32(w);
    const __m256 lanes = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    int32_t x = 0;
    for (; x + 8 <= w; x += 8) {
        const __m256 fx0 = _mm256_add_ps(_mm256_set1_ps(static_cast<float>(x)), lanes);
        const __m256 fx = _mm256_add_ps(fx0, _mm256_mul_ps(sv, _mm256_loadu_ps(u + x)));
        const __m256 fy = _mm256_add_ps(fy0, _mm256_mul_ps(sv, _mm256_loadu_ps(v + x)));
        const __m256 inside = _mm256_and_ps(
            _mm256_and_ps(_mm256_cmp_ps(fx, zero, _CMP_GE_OQ), _mm256_cmp_ps(fx, xmax, _CMP_LE_OQ)),
            _mm256_and_ps(_mm256_cmp_ps(fy, zero, _CMP_GE_OQ),
                          _mm256_cmp_ps(fy, ymax, _CMP_LE_OQ)));
        const int in_mask = _mm256_movemask_ps(inside);
        if (in_mask != 0xff) {
            for (int j = 0; j < 8; ++j) {
                if (!((in_mask >> j) & 1)) o[x + j] = 1;
            }
        }
        const __m256 cx = clamp_position(fx, xmax), cy = clamp_position(fy, ymax);
        const __m256i x0 = _mm256_min_epi32(_mm256_cvttps_epi32(cx), xlim);
        const __m256i y0 = _mm256_min_epi32(_mm256_cvttps_epi32(cy), ylim);
        const __m256 ax = _mm256_sub_ps(cx, _mm256_cvtepi32_ps(x0));
        const __m256 ay = _mm256_sub_ps(cy, _mm256_cvtepi32_ps(y0));
        __m256 r00, r01, r10, r11;
        // Where the eight read one pair of lines within sixteen columns (a smooth motion,
        // nearly everywhere), two loads and a permutation per line and neighbour replace the
        // gathers.
        const int32_t first_y = _mm256_cvtsi256_si32(y0), first_x = _mm256_cvtsi256_si32(x0);
        const __m256i idx = _mm256_sub_epi32(x0, _mm256_set1_epi32(first_x));
        const bool one_line =
            _mm256_movemask_epi8(_mm256_cmpeq_epi32(y0, _mm256_set1_epi32(first_y))) == -1;
        const bool close = _mm256_movemask_epi8(_mm256_or_si256(
                               _mm256_cmpgt_epi32(_mm256_setzero_si256(), idx),
                               _mm256_cmpgt_epi32(idx, _mm256_set1_epi32(14)))) == 0;
        if (one_line && close && first_x + 16 <= w) {
            const float* row0 = base + static_cast<ptrdiff_t>(first_y) * w + first_x;
            const __m256i idx1 = _mm256_add_epi32(idx, _mm256_set1_epi32(1));
            r00 = pick16(row0, idx);
            r01 = pick16(row0, idx1);
            r10 = pick16(row0 + w, idx);
            r11 = pick16(row0 + w, idx1);
        } else {
            const __m256i i00 = _mm256_add_epi32(_mm256_mullo_epi32(y0, wv), x0);
            r00 = _mm256_i32gather_ps(base, i00, 4);
            r01 = _mm256_i32gather_ps(base + 1, i00, 4);
            r10 = _mm256_i32gather_ps(base + w, i00, 4);
            r11 = _mm256_i32gather_ps(base + w + 1, i00, 4);
        }
        const __m256 top = _mm256_add_ps(r00, _mm256_mul_ps(ax, _mm256_sub_ps(r01, r00)));
        const __m256 bottom = _mm256_add_ps(r10, _mm256_mul_ps(ax, _mm256_sub_ps(r11, r10)));
        _mm256_storeu_ps(d + x, _mm256_add_ps(top, _mm256_mul_ps(ay, _mm256_sub_ps(bottom, top))));
    }
    return x;
}
#endif

}  // namespace

void warp_bilinear(const GreyImage& in, const GreyImage& pu, const GreyImage& pv, float s,
                   GreyImage* out, std::vector<uint8_t>* outside) {
    warp_bilinear_lines(in, pu, pv, s, 0, in.lines, out, outside);
}

void warp_bilinear_lines(const GreyImage& in, const GreyImage& pu, const GreyImage& pv, float s,
                         int32_t first, int32_t end, GreyImage* out,
                         std::vector<uint8_t>* outside) {
    const size_t w = static_cast<size_t>(in.columns);
    for (int32_t y = first; y < end; ++y) {
        warp_bilinear_line(in, pu, pv, s, y, out->line(y),
                           outside->data() + static_cast<size_t>(y) * w);
    }
}

void warp_bilinear_line(const GreyImage& in, const GreyImage& pu, const GreyImage& pv, float s,
                        int32_t y, float* d, uint8_t* o) {
    const int32_t w = in.columns, h = in.lines;
    const float xmax = static_cast<float>(w - 1), ymax = static_cast<float>(h - 1);
    const float* u = pu.line(y);
    const float* v = pv.line(y);
    int32_t x = 0;
#if ORVANE_ANALYSIS_AVX2
    if (have_avx2() && w >= 2 && h >= 2) x = warp_line_avx2(in, y, u, v, s, d, o);
#endif
    for (; x < w; ++x) {
        float fx = static_cast<float>(x) + s * u[x];
        float fy = static_cast<float>(y) + s * v[x];
        // NaN compares false everywhere, so it lands outside too.
        if (!(fx >= 0.0f && fx <= xmax && fy >= 0.0f && fy <= ymax)) {
            o[x] = 1;
            fx = std::isfinite(fx) ? std::clamp(fx, 0.0f, xmax) : 0.0f;
            fy = std::isfinite(fy) ? std::clamp(fy, 0.0f, ymax) : 0.0f;
        }
        const int32_t x0 = std::min(static_cast<int32_t>(fx), std::max(w - 2, 0));
        const int32_t y0 = std::min(static_cast<int32_t>(fy), std::max(h - 2, 0));
        const int32_t x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
        const float ax = fx - static_cast<float>(x0), ay = fy - static_cast<float>(y0);
        const float* r0 = in.line(y0);
        const float* r1 = in.line(y1);
        const float top = r0[x0] + ax * (r0[x1] - r0[x0]);
        const float bottom = r1[x0] + ax * (r1[x1] - r1[x0]);
        d[x] = top + ay * (bottom - top);
    }
}

GreyImage reduce(const GreyImage& in, int32_t factor) {
    const int32_t w = in.columns / factor, h = in.lines / factor;
    GreyImage out(w, h);
    const float scale = 1.0f / static_cast<float>(factor * factor);
    std::vector<float> sums(static_cast<size_t>(std::max(w, 0)));
    for (int32_t y = 0; y < h; ++y) {
        if (factor == 2) {
            // The same sums as below in the same order, in one pass that vectorises.
            const float* r0 = in.line(2 * y);
            const float* r1 = in.line(2 * y + 1);
            float* d = out.line(y);
            for (int32_t x = 0; x < w; ++x) {
                d[x] = ((0.0f + r0[2 * x] + r0[2 * x + 1]) + (0.0f + r1[2 * x] + r1[2 * x + 1])) *
                       scale;
            }
            continue;
        }
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (int32_t j = 0; j < factor; ++j) {
            const float* r = in.line(y * factor + j);
            for (int32_t x = 0; x < w; ++x) {
                float s = 0;
                for (int32_t i = 0; i < factor; ++i) s += r[x * factor + i];
                sums[static_cast<size_t>(x)] += s;
            }
        }
        float* d = out.line(y);
        for (int32_t x = 0; x < w; ++x) d[x] = sums[static_cast<size_t>(x)] * scale;
    }
    return out;
}

namespace {

// The two neighbours of a position along one axis of n pixels, and the weight of the second.
struct Span {
    int32_t i0, i1;
    float a;
};
Span span_at(float pos, int32_t n) {
    const float p = std::clamp(pos, 0.0f, static_cast<float>(n - 1));
    const int32_t i0 = std::min(static_cast<int32_t>(p), std::max(n - 2, 0));
    return {i0, std::min(i0 + 1, n - 1), p - static_cast<float>(i0)};
}

}  // namespace

void enlarge(const GreyImage& in, int32_t factor, float gain, int32_t columns, int32_t lines,
             GreyImage* out) {
    if (out->columns != columns || out->lines != lines) *out = GreyImage(columns, lines);
    const float inv = 1.0f / static_cast<float>(factor);
    const float off = 0.5f * inv - 0.5f;  // pixel x of the full frame sits at x/f + off
    std::vector<Span> xs(static_cast<size_t>(columns));
    for (int32_t x = 0; x < columns; ++x)
        xs[x] = span_at(static_cast<float>(x) * inv + off, in.columns);
    // Each line of the input, enlarged along the line, serves about `factor` lines of the
    // output: it is made once, when the first of them needs it. Kept per thread (a stream
    // enlarges every frame).
    thread_local std::vector<float> along;
    thread_local std::vector<int32_t> made;
    along.resize(static_cast<size_t>(in.lines) * static_cast<size_t>(columns));
    made.assign(static_cast<size_t>(in.lines), 0);
    auto line_along = [&](int32_t i) {
        float* a = along.data() + static_cast<size_t>(i) * static_cast<size_t>(columns);
        if (!made[i]) {
            const float* r = in.line(i);
            for (int32_t x = 0; x < columns; ++x) {
                const Span& sx = xs[x];
                a[x] = r[sx.i0] + sx.a * (r[sx.i1] - r[sx.i0]);
            }
            made[i] = 1;
        }
        return static_cast<const float*>(a);
    };
    for (int32_t y = 0; y < lines; ++y) {
        const Span sy = span_at(static_cast<float>(y) * inv + off, in.lines);
        const float* top = line_along(sy.i0);
        const float* bottom = line_along(sy.i1);
        float* d = out->line(y);
        const float ay = sy.a;
        for (int32_t x = 0; x < columns; ++x) d[x] = gain * (top[x] + ay * (bottom[x] - top[x]));
    }
}
