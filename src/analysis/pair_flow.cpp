#include "analysis/pair_flow.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "analysis/parallel.hpp"
#include "analysis/simd.hpp"

#if ORVANE_ANALYSIS_AVX2
#include <immintrin.h>
#endif

namespace {

// The per-pixel loops are compiled twice, for 256-bit vectors and for the baseline, and the
// loader picks the one the processor runs. Both do the same element-wise operations in the same
// order (nothing here sums across a vector), so the flow is the same bits on every processor.
// The loader's choice runs before a sanitizer's run-time is ready (ThreadSanitizer faults
// there), so sanitized builds keep the baseline only.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define ORVANE_NO_CLONES 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define ORVANE_NO_CLONES 1
#endif
#if defined(__x86_64__) && defined(__linux__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(ORVANE_NO_CLONES)
#define ORVANE_VECTOR_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define ORVANE_VECTOR_LOOP
#endif

// The derivative of the data terms' normalisation: gradients below this [grey levels per
// pixel] count as noise, so flat places do not get the weight of textured ones.
constexpr float kZetaBrightness = 3.0f;
constexpr float kZetaGradient = 1.0f;
// The Charbonnier penalties' small constants: [pixels] for the normalised data terms, [pixels
// per pixel] for the smoothness term.
constexpr float kEpsData = 0.01f;
constexpr float kEpsSmooth = 0.001f;
constexpr float kOmega = 1.6f;  // over-relaxation
// Motion boundaries (see reselect_boundaries()): the brightness difference [grey levels] at
// which a neighbour counts a third as much as the centre, and the error cap [grey levels].
constexpr float kSameSurface = 10.0f;
constexpr float kErrorCap = 20.0f;
constexpr float kGradientErrorCap = 10.0f;  // [grey levels per pixel]
// The squared brightness error [pixels^2, as a distance along the gradient] at which the
// confidence halves.
constexpr float kConfidentError2 = 0.25f;
constexpr float kTextureHalf = 1.0f;  // [(grey levels per pixel)^2]

inline float clampf(float x, float lo, float hi) { return std::min(std::max(x, lo), hi); }

// Bilinear read at (x, y); positions outside read the nearest edge.
// Where a bilinear read at (x, y) of an image of `columns` x `lines` (at least 2 x 2) takes
// its four pixels: the top-left one's index and the two fractions. Positions outside read the
// nearest edge. Several images of that size are read at one position with one of these.
struct Bilinear {
    int32_t index, columns;
    float fx, fy;
    Bilinear(float x, float y, int32_t c, int32_t l) : columns(c) {
        const float xc = clampf(x, 0.0f, static_cast<float>(c - 1));
        const float yc = clampf(y, 0.0f, static_cast<float>(l - 1));
        const int32_t x0 = std::min(static_cast<int32_t>(xc), c - 2);
        const int32_t y0 = std::min(static_cast<int32_t>(yc), l - 2);
        fx = xc - static_cast<float>(x0), fy = yc - static_cast<float>(y0);
        index = y0 * c + x0;
    }
    float operator()(const float* g) const {
        const float* p = g + index;
        const float top = p[0] + fx * (p[1] - p[0]);
        const float low = p[columns] + fx * (p[columns + 1] - p[columns]);
        return top + fy * (low - top);
    }
    // The same of channel c of a pack of `stride` floats per pixel.
    float operator()(const float* pack, int stride, int c) const {
        const float* p = pack + static_cast<size_t>(index) * stride + c;
        const size_t below = static_cast<size_t>(columns) * stride;
        const float top = p[0] + fx * (p[stride] - p[0]);
        const float low = p[below] + fx * (p[below + stride] - p[below]);
        return top + fy * (low - top);
    }
};

// The second image and its derivatives side by side, six floats per pixel (see
// PairFlowEstimator::Level::pack), so that a bilinear read of all of them at one position
// takes four 8-float loads instead of a gather per image and corner (the loads take two
// floats of the next pixel along, which the pack's last line of padding covers at its end).
enum PackChannel { kPackX, kPackY, kPackXX, kPackXY, kPackYY, kPackImage, kPackStride };
constexpr int kPackRead = 8;  // the floats one load takes

#if ORVANE_ANALYSIS_AVX2
// Bilinear for eight positions at once, with the same operations in the same order, so that
// each lane gives the bits the one-position reader gives.
#define ORVANE_AVX2 __attribute__((target("avx2")))
struct Bilinear8 {
    __m256i index;
    __m256 fx, fy;
    int32_t columns;
    ORVANE_AVX2 Bilinear8(__m256 x, __m256 y, int32_t c, int32_t l) : columns(c) {
        const __m256 zero = _mm256_setzero_ps();
        // min(hi, max(0, v)) keeps the operands in the order std::min and std::max take them.
        const __m256 xc = _mm256_min_ps(_mm256_set1_ps(static_cast<float>(c - 1)), _mm256_max_ps(zero, x));
        const __m256 yc = _mm256_min_ps(_mm256_set1_ps(static_cast<float>(l - 1)), _mm256_max_ps(zero, y));
        const __m256i x0 = _mm256_min_epi32(_mm256_cvttps_epi32(xc), _mm256_set1_epi32(c - 2));
        const __m256i y0 = _mm256_min_epi32(_mm256_cvttps_epi32(yc), _mm256_set1_epi32(l - 2));
        fx = _mm256_sub_ps(xc, _mm256_cvtepi32_ps(x0));
        fy = _mm256_sub_ps(yc, _mm256_cvtepi32_ps(y0));
        index = _mm256_add_epi32(_mm256_mullo_epi32(y0, _mm256_set1_epi32(c)), x0);
    }
    ORVANE_AVX2 __m256 operator()(const float* g) const {
        const __m256 p00 = _mm256_i32gather_ps(g, index, 4);
        const __m256 p01 = _mm256_i32gather_ps(g + 1, index, 4);
        const __m256 p10 = _mm256_i32gather_ps(g + columns, index, 4);
        const __m256 p11 = _mm256_i32gather_ps(g + columns + 1, index, 4);
        const __m256 top = _mm256_add_ps(p00, _mm256_mul_ps(fx, _mm256_sub_ps(p01, p00)));
        const __m256 low = _mm256_add_ps(p10, _mm256_mul_ps(fx, _mm256_sub_ps(p11, p10)));
        return _mm256_add_ps(top, _mm256_mul_ps(fy, _mm256_sub_ps(low, top)));
    }
};

// A pack read bilinearly at the eight positions of `at`: out[c] (of kPackRead) holds
// channel c of the eight positions, each lane the bits Bilinear gives for it (out[6] and
// out[7] hold the next pixel's first channels, of no use).
ORVANE_AVX2 void read_pack(const Bilinear8& at, const float* pack, __m256* out) {
    alignas(32) int32_t index[8];
    alignas(32) float fx[8], fy[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(index), at.index);
    _mm256_store_ps(fx, at.fx);
    _mm256_store_ps(fy, at.fy);
    const size_t below = static_cast<size_t>(at.columns) * kPackStride;
    __m256 r[8];
    for (int l = 0; l < 8; ++l) {
        const float* p = pack + static_cast<size_t>(index[l]) * kPackStride;
        const __m256 p00 = _mm256_loadu_ps(p), p01 = _mm256_loadu_ps(p + kPackStride);
        const __m256 p10 = _mm256_loadu_ps(p + below), p11 = _mm256_loadu_ps(p + below + kPackStride);
        const __m256 a = _mm256_set1_ps(fx[l]), b = _mm256_set1_ps(fy[l]);
        const __m256 top = _mm256_add_ps(p00, _mm256_mul_ps(a, _mm256_sub_ps(p01, p00)));
        const __m256 low = _mm256_add_ps(p10, _mm256_mul_ps(a, _mm256_sub_ps(p11, p10)));
        r[l] = _mm256_add_ps(top, _mm256_mul_ps(b, _mm256_sub_ps(low, top)));
    }
    // Positions by channels to channels by positions.
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    out[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    out[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    out[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    out[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    out[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    out[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    out[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    out[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

ORVANE_AVX2 inline __m256 abs8(__m256 v) {
    return _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
}
#endif

// The pack of images of one size: channel c of pixel i from channels[c] (its first `count`
// channels; the others 0, and the image channel from channels[kPackImage] whatever the count;
// the padding line after the last 0).
void fill_pack(const GreyImage* const* channels, int count, GreyImage* pack) {
    const size_t n = channels[0]->data.size();
    float* out = pack->data.data();
    for (size_t i = 0; i < n; ++i) {
        float* p = out + i * kPackStride;
        for (int c = 0; c < kPackStride; ++c) p[c] = 0.0f;
        for (int c = 0; c < count && c < kPackImage; ++c) p[c] = channels[c]->data[i];
        p[kPackImage] = channels[kPackImage]->data[i];
    }
}

// Bilinear read at (x, y); positions outside read the nearest edge.
inline float sample(const GreyImage& g, float x, float y) {
    return Bilinear(x, y, g.columns, g.lines)(g.data.data());
}

// The patch search's sums run along the patch's lines into one partial sum per column
// (`lanes`, p of them), which are added up in column order at the end: the compiler
// vectorises along the lines, and every build adds in the same order, so every processor
// gets the same bits.
inline float lane_total(const float* lanes, int32_t p) {
    float sum = 0;
    for (int32_t i = 0; i < p; ++i) sum += lanes[i];
    return sum;
}

// The p x p patch of g whose top-left corner lies at (x, y), read bilinearly into out (line
// after line); returns its mean. Where the patch lies wholly inside g, every pixel shares the
// same interpolation weights.
ORVANE_VECTOR_LOOP float sample_patch(const GreyImage& g, float x, float y, int32_t p, float* __restrict out,
                                      float* __restrict lanes) {
    const float fxf = std::floor(x), fyf = std::floor(y);
    const int32_t xi = static_cast<int32_t>(fxf), yi = static_cast<int32_t>(fyf);
    std::fill(lanes, lanes + p, 0.0f);
    if (std::isfinite(x) && std::isfinite(y) && xi >= 0 && yi >= 0 && xi + p < g.columns &&
        yi + p < g.lines) {
        const float fx = x - fxf, fy = y - fyf;
        const float w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy;
        for (int32_t j = 0; j < p; ++j) {
            const float* __restrict a = g.line(yi + j) + xi;
            const float* __restrict b = a + g.columns;
            float* __restrict o = out + static_cast<size_t>(j) * p;
            for (int32_t i = 0; i < p; ++i) {
                o[i] = w00 * a[i] + w01 * a[i + 1] + w10 * b[i] + w11 * b[i + 1];
                lanes[i] += o[i];
            }
        }
    } else {
        for (int32_t j = 0; j < p; ++j) {
            for (int32_t i = 0; i < p; ++i) {
                const float s = sample(g, x + static_cast<float>(i), y + static_cast<float>(j));
                out[static_cast<size_t>(j) * p + i] = s;
                lanes[i] += s;
            }
        }
    }
    return lane_total(lanes, p) / static_cast<float>(p * p);
}

// The mean-free sum of squared differences between a sampled patch (mean m) and the template.
ORVANE_VECTOR_LOOP float patch_ssd(const float* __restrict warped, float m, const float* __restrict tmpl,
                                   int32_t p, float* __restrict lanes) {
    std::fill(lanes, lanes + p, 0.0f);
    for (int32_t j = 0; j < p; ++j) {
        const size_t row = static_cast<size_t>(j) * p;
        for (int32_t i = 0; i < p; ++i) {
            const float r = warped[row + i] - m - tmpl[row + i];
            lanes[i] += r * r;
        }
    }
    return lane_total(lanes, p);
}

// The gradient's products with the mean-free residual, for one Lucas-Kanade step.
ORVANE_VECTOR_LOOP void patch_step(const float* __restrict warped, float m, const float* __restrict tmpl,
                                   const float* __restrict gx, const float* __restrict gy, int32_t p,
                                   float* __restrict lanes, float* bx, float* by) {
    float* __restrict lx = lanes;
    float* __restrict ly = lanes + p;
    std::fill(lanes, lanes + 2 * p, 0.0f);
    for (int32_t j = 0; j < p; ++j) {
        const size_t row = static_cast<size_t>(j) * p;
        for (int32_t i = 0; i < p; ++i) {
            const float r = warped[row + i] - m - tmpl[row + i];
            lx[i] += gx[row + i] * r;
            ly[i] += gy[row + i] * r;
        }
    }
    *bx = lane_total(lx, p);
    *by = lane_total(ly, p);
}

// The template of the patch at (x0, y0) of i0 and its gradients, each less its mean, and the
// gradient's second moments (hxx, hxy, hyy).
ORVANE_VECTOR_LOOP void patch_template(const GreyImage& i0, const GreyImage& gx0, const GreyImage& gy0,
                                       int32_t x0, int32_t y0, int32_t p, float* __restrict tmpl,
                                       float* __restrict gx, float* __restrict gy,
                                       float* __restrict lanes, float* moments) {
    float* __restrict lt = lanes;
    float* __restrict lx = lanes + p;
    float* __restrict ly = lanes + 2 * p;
    std::fill(lanes, lanes + 3 * p, 0.0f);
    for (int32_t j = 0; j < p; ++j) {
        const size_t row = static_cast<size_t>(j) * p;
        const float* __restrict a = i0.line(y0 + j) + x0;
        const float* __restrict b = gx0.line(y0 + j) + x0;
        const float* __restrict c = gy0.line(y0 + j) + x0;
        for (int32_t i = 0; i < p; ++i) {
            tmpl[row + i] = a[i], gx[row + i] = b[i], gy[row + i] = c[i];
            lt[i] += a[i], lx[i] += b[i], ly[i] += c[i];
        }
    }
    const float inv = 1.0f / static_cast<float>(p * p);
    const float mt = lane_total(lt, p) * inv, mx = lane_total(lx, p) * inv, my = lane_total(ly, p) * inv;
    float* __restrict hxx = lanes;
    float* __restrict hxy = lanes + p;
    float* __restrict hyy = lanes + 2 * p;
    std::fill(lanes, lanes + 3 * p, 0.0f);
    for (int32_t j = 0; j < p; ++j) {
        const size_t row = static_cast<size_t>(j) * p;
        for (int32_t i = 0; i < p; ++i) {
            tmpl[row + i] -= mt;
            const float x = gx[row + i] - mx, y = gy[row + i] - my;
            gx[row + i] = x, gy[row + i] = y;
            hxx[i] += x * x, hxy[i] += x * y, hyy[i] += y * y;
        }
    }
    moments[0] = lane_total(hxx, p), moments[1] = lane_total(hxy, p), moments[2] = lane_total(hyy, p);
}

// The blend's share of one patch moved by (a, b): each pixel of the patch adds its answer
// to su, sv with the weight of how well it explains that pixel, and the weight to sw. Where
// the moved patch lies wholly inside i1, every pixel shares the same interpolation weights.
ORVANE_VECTOR_LOOP void blend_patch(const GreyImage& i0, const GreyImage& i1, int32_t x0, int32_t y0,
                                    int32_t p, float a, float b, GreyImage* su, GreyImage* sv, GreyImage* sw,
                                    float* __restrict lanes) {
    const float xa = static_cast<float>(x0) + a, ya = static_cast<float>(y0) + b;
    const float fxf = std::floor(xa), fyf = std::floor(ya);
    const int32_t xi = static_cast<int32_t>(fxf), yi = static_cast<int32_t>(fyf);
    const bool inside = std::isfinite(xa) && std::isfinite(ya) && xi >= 0 && yi >= 0 &&
                        xi + p < i1.columns && yi + p < i1.lines;
    const float fx = xa - fxf, fy = ya - fyf;
    for (int32_t j = 0; j < p; ++j) {
        const int32_t y = y0 + j;
        float* __restrict d = lanes;
        if (inside) {
            const float* __restrict r0 = i1.line(yi + j) + xi;
            const float* __restrict r1 = r0 + i1.columns;
            for (int32_t i = 0; i < p; ++i) {
                const float top = r0[i] + fx * (r0[i + 1] - r0[i]);
                const float low = r1[i] + fx * (r1[i + 1] - r1[i]);
                d[i] = top + fy * (low - top);
            }
        } else {
            for (int32_t i = 0; i < p; ++i) d[i] = sample(i1, static_cast<float>(x0 + i) + a, static_cast<float>(y) + b);
        }
        const float* __restrict g0 = i0.line(y) + x0;
        float* __restrict ou = su->line(y) + x0;
        float* __restrict ov = sv->line(y) + x0;
        float* __restrict ow = sw->line(y) + x0;
        for (int32_t i = 0; i < p; ++i) {
            const float wgt = 1.0f / std::max(1.0f, std::fabs(d[i] - g0[i]));
            ou[i] += wgt * a;
            ov[i] += wgt * b;
            ow[i] += wgt;
        }
    }
}

// e^x to about 2e-7 relative, for x within [-87, 88] (beyond, the end's value; NaN reads as
// -87): e^x = 2^n e^r with n the nearest integer to x / ln 2 and |r| <= ln 2 / 2, e^r from its
// polynomial. Plain arithmetic, so that loops of it run on whole vectors and give the same
// bits everywhere.
inline float exp_bounded(float x) {
    x = x > -87.0f ? (x < 88.0f ? x : 88.0f) : -87.0f;
    constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
    const float n = (x * 1.44269504f + kRound) - kRound;
    const float r = (x - n * 0.693359375f) + n * 2.12194440e-4f;
    float p = 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    const float e = p * r * r + r + 1.0f;
    const int32_t bits = (static_cast<int32_t>(n) + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return e * scale;
}

// The smoothness weight's fall across the first image's edges, exp(-falloff |grad|).
ORVANE_VECTOR_LOOP void edge_weights(size_t n, float falloff, const float* __restrict gx,
                                     const float* __restrict gy, float* __restrict out) {
    for (size_t i = 0; i < n; ++i) out[i] = exp_bounded(-falloff * std::sqrt(gx[i] * gx[i] + gy[i] * gy[i]));
}

// The boundary step's weights of n taps from their brightness differences to the centre
// [grey levels], in place: how like the centre's each tap's brightness is.
ORVANE_VECTOR_LOOP void surface_weights(size_t n, float* d) {
    for (size_t i = 0; i < n; ++i) d[i] = exp_bounded(-d[i] * (1.0f / kSameSurface));
}

// Bands of lines for the threads: two per thread, so a thread held up leaves its share.
void for_bands(int threads, int32_t lines, const std::function<void(int32_t, int32_t)>& run) {
    const int bands = threads <= 1 ? 1 : std::min<int>(2 * threads, std::max(1, lines / 8));
    parallel_for(threads, bands, [&](int b) {
        const int32_t y0 = static_cast<int32_t>(int64_t{lines} * b / bands);
        const int32_t y1 = static_cast<int32_t>(int64_t{lines} * (b + 1) / bands);
        run(y0, y1);
    });
}

void resize_like(GreyImage* g, int32_t columns, int32_t lines) {
    if (g->columns != columns || g->lines != lines) *g = GreyImage(columns, lines);
}

// The five samples of a line of n around position c, the line's ends replicated.
struct Five {
    float m2, m1, c, p1, p2;
    Five(const float* s, int32_t at, int32_t n)
        : m2(s[std::max(at - 2, 0)]),
          m1(s[std::max(at - 1, 0)]),
          c(s[at]),
          p1(s[std::min(at + 1, n - 1)]),
          p2(s[std::min(at + 2, n - 1)]) {}
};

// Half the size, after the binomial filter 1 4 6 4 1 (edges replicated); tmp holds at least
// half the columns times the lines.
void reduce_half(const GreyImage& in, GreyImage* out, float* tmp) {
    const int32_t w = in.columns, h = in.lines;
    const int32_t ow = (w + 1) / 2, oh = (h + 1) / 2;
    resize_like(out, ow, oh);
    for (int32_t y = 0; y < h; ++y) {
        const float* s = in.line(y);
        float* d = tmp + static_cast<size_t>(y) * ow;
        for (int32_t x = 0; x < ow; ++x) {
            const Five t(s, 2 * x, w);
            d[x] = (t.m2 + t.p2 + 4.0f * (t.m1 + t.p1) + 6.0f * t.c) * (1.0f / 16.0f);
        }
    }
    auto line = [&](int32_t y) { return tmp + static_cast<size_t>(std::clamp(y, 0, h - 1)) * ow; };
    for (int32_t y = 0; y < oh; ++y) {
        const int32_t c = 2 * y;
        const float* a = line(c - 2);
        const float* b = line(c - 1);
        const float* m = line(c);
        const float* e = line(c + 1);
        const float* f = line(c + 2);
        float* d = out->line(y);
        for (int32_t x = 0; x < ow; ++x) {
            d[x] = (a[x] + f[x] + 4.0f * (b[x] + e[x]) + 6.0f * m[x]) * (1.0f / 16.0f);
        }
    }
}

// Five-point derivatives along x and y (1 -8 0 8 -1 over 12; edges replicated); dx may be
// null where only the derivative along y is wanted.
// Line y of both into dx and dy.
void derivative_line(const GreyImage& in, int32_t y, float* dx, float* dy) {
    const int32_t w = in.columns, h = in.lines;
    {
        const float* s = in.line(y);
        if (dx) {
            float* d = dx;
            auto at = [&](int32_t x) {
                const Five t(s, x, w);
                d[x] = (t.m2 - 8.0f * t.m1 + 8.0f * t.p1 - t.p2) * (1.0f / 12.0f);
            };
            // The ends replicate the edge pixels; between them every tap lies inside.
            const int32_t inner_end = std::max(2, w - 2);
            for (int32_t x = 0; x < std::min(2, w); ++x) at(x);
            for (int32_t x = 2; x < inner_end; ++x) {
                d[x] = (s[x - 2] - 8.0f * s[x - 1] + 8.0f * s[x + 1] - s[x + 2]) * (1.0f / 12.0f);
            }
            for (int32_t x = std::max(inner_end, std::min(2, w)); x < w; ++x) at(x);
        }
        const float* a = in.line(std::max(y - 2, 0));
        const float* b = in.line(std::max(y - 1, 0));
        const float* e = in.line(std::min(y + 1, h - 1));
        const float* f = in.line(std::min(y + 2, h - 1));
        float* g = dy;
        for (int32_t x = 0; x < w; ++x) g[x] = (a[x] - 8.0f * b[x] + 8.0f * e[x] - f[x]) * (1.0f / 12.0f);
    }
}

void derivatives(const GreyImage& in, GreyImage* dx, GreyImage* dy) {
    if (dx) resize_like(dx, in.columns, in.lines);
    resize_like(dy, in.columns, in.lines);
    for (int32_t y = 0; y < in.lines; ++y) derivative_line(in, y, dx ? dx->line(y) : nullptr, dy->line(y));
}

// Whether every value is finite (x - x is 0 only for finite x).
ORVANE_VECTOR_LOOP bool all_finite(const float* p, size_t n) {
    int bad = 0;
    for (size_t i = 0; i < n; ++i) bad |= !(p[i] - p[i] == 0.0f);
    return bad == 0;
}

// The flow of the coarser level enlarged to this one (positions and lengths doubled): each
// pixel reads the coarse flow bilinearly at half its position, as sample() does, with the
// columns' and lines' places and fractions worked out once.
void enlarge_flow(const GreyImage& cu, const GreyImage& cv, GreyImage* u, GreyImage* v) {
    const int32_t w = u->columns, cw = cu.columns;
    std::vector<int32_t> x0(static_cast<size_t>(w));
    std::vector<float> fx(static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) {
        const Bilinear at(0.5f * static_cast<float>(x), 0.0f, cw, cu.lines);
        x0[static_cast<size_t>(x)] = at.index, fx[static_cast<size_t>(x)] = at.fx;
    }
    for (int32_t y = 0; y < u->lines; ++y) {
        const Bilinear row(0.0f, 0.5f * static_cast<float>(y), cw, cu.lines);
        const float fy = row.fy;
        for (int k = 0; k < 2; ++k) {
            const float* p = (k == 0 ? cu : cv).data.data() + row.index;
            float* out = (k == 0 ? u : v)->line(y);
            for (int32_t x = 0; x < w; ++x) {
                const float* q = p + x0[static_cast<size_t>(x)];
                const float f = fx[static_cast<size_t>(x)];
                const float top = q[0] + f * (q[1] - q[0]);
                const float low = q[cw] + f * (q[cw + 1] - q[cw]);
                out[x] = 2.0f * (top + fy * (low - top));
            }
        }
    }
}

// The 5 x 5 median without sorting 25 values. Each column of five is sorted first (shared by
// the five windows it belongs to); in the 5 x 5 matrix of sorted columns, the values of one
// rank across the columns are then sorted too, which leaves every row and column in order.
// In such a matrix the element of row r and column c has at least (r + 1)(c + 1) - 1 values
// below it and (5 - r)(5 - c) - 1 above it, so six elements are surely below the median, six
// surely above, and the median of the 25 is the median of the other 13: ranks 3 and 4 of the
// lowest row, 2 to 4 of the next, 1 to 3 of the middle one, 0 to 2 and 0 to 1 of the last two.
// Only those positions of each row need to be right, and only the middle of the 13.
//
// The compare-exchanges below are those of Batcher's odd-even merge sort (5 and 16 inputs),
// with every exchange left out that cannot reach a wanted output: all five places for the
// columns, ranks 3 and 4 for the lowest row, 2 to 4, 1 to 3, 0 to 2 and 0 to 1 for the others.
// The 13 lie in slots 1 to 13 of a 16-slot sort, with slot 0 below everything and 14, 15
// above: the median lands in slot 7, and exchanges with those three slots never move anything.
using Exchange = std::pair<int, int>;
constexpr std::array<Exchange, 9> kSortFive{{{0, 1}, {3, 4}, {2, 4}, {2, 3}, {1, 4}, {0, 3}, {0, 2}, {1, 3}, {1, 2}}};
constexpr std::array<Exchange, 7> kTopTwoOfFive{{{0, 1}, {3, 4}, {2, 4}, {2, 3}, {1, 4}, {0, 3}, {1, 3}}};
constexpr std::array<Exchange, 40> kMiddleOfThirteen{{
    {2, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 11}, {12, 13}, {1, 3}, {4, 6}, {5, 7}, {8, 10},
    {9, 11}, {1, 2}, {5, 6}, {9, 10}, {1, 5}, {2, 6}, {3, 7}, {8, 12}, {9, 13}, {2, 4},
    {3, 5}, {10, 12}, {11, 13}, {1, 2}, {3, 4}, {5, 6}, {9, 10}, {11, 12}, {1, 9}, {2, 10},
    {3, 11}, {4, 12}, {5, 13}, {4, 8}, {5, 9}, {6, 10}, {7, 11}, {6, 8}, {7, 9}, {7, 8}}};
// Per rank of the sorted columns, the places kept.
constexpr int kTaken[5][3] = {{3, 4, -1}, {2, 3, 4}, {1, 2, 3}, {0, 1, 2}, {0, 1, -1}};

// Eight floats side by side, compared and exchanged lane by lane as std::min and std::max do.
using Float8 = float __attribute__((vector_size(32)));
inline void load8(Float8* v, const float* p) { std::memcpy(v, p, sizeof *v); }
template <size_t N>
inline void exchange_all(Float8* v, const std::array<Exchange, N>& network) {
#pragma GCC unroll 64
    for (size_t e = 0; e < N; ++e) {
        const Float8 p = v[network[e].first], q = v[network[e].second];
        v[network[e].first] = q < p ? q : p;
        v[network[e].second] = p < q ? q : p;
    }
}

// The medians of the eight 5 x 5 neighbourhoods centred on columns x to x + 7 of the five
// lines `rows`, which hold columns x - 2 to x + 9, into out.
ORVANE_VECTOR_LOOP void median5_eight(const float* const* rows, int32_t x, float* out) {
    Float8 a[5], b[5];
#pragma GCC unroll 5
    for (int j = 0; j < 5; ++j) load8(&a[j], rows[j] + x - 2), load8(&b[j], rows[j] + x + 2);
    exchange_all(a, kSortFive);
    exchange_all(b, kSortFive);
    alignas(32) float column[5][12];  // the sorted columns x - 2 to x + 9
#pragma GCC unroll 5
    for (int j = 0; j < 5; ++j) {
        std::memcpy(column[j], &a[j], sizeof a[j]);
        std::memcpy(column[j] + 4, &b[j], sizeof b[j]);
    }
    Float8 slot[16];
    int k = 1;
#pragma GCC unroll 5
    for (int r = 0; r < 5; ++r) {
        Float8 v[5];
#pragma GCC unroll 5
        for (int c = 0; c < 5; ++c) load8(&v[c], column[r] + c);
        if (r == 0) {
            exchange_all(v, kTopTwoOfFive);
        } else {
            exchange_all(v, kSortFive);
        }
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i) {
            if (kTaken[r][i] >= 0) slot[k++] = v[kTaken[r][i]];
        }
    }
    exchange_all(slot, kMiddleOfThirteen);
    std::memcpy(out, &slot[7], sizeof slot[7]);
}

// The median of each 5 x 5 neighbourhood (edges replicated) of the pixels xa to xb - 1 of line
// y, into out; eight pixels side by side at a time.
void median5_line(const GreyImage& in, float* out, int32_t y, int32_t xa, int32_t xb) {
    const int32_t w = in.columns, h = in.lines;
    const float* rows[5];
    for (int32_t j = 0; j < 5; ++j) rows[j] = in.line(std::clamp(y + j - 2, 0, h - 1));
    for (int32_t x = xa; x < xb; x += 8) {
        const int32_t n = std::min(8, xb - x);
        alignas(32) float eight[8];
        if (x >= 2 && x + 10 <= w) {
            median5_eight(rows, x, eight);
        } else {
            // Near the ends, the columns the block reads, the ends replicated.
            float window[5][12];
            const float* inside[5];
            for (int j = 0; j < 5; ++j) {
                for (int32_t i = 0; i < 12; ++i) window[j][i] = rows[j][std::clamp(x - 2 + i, 0, w - 1)];
                inside[j] = window[j] + 2;
            }
            median5_eight(inside, 0, eight);
        }
        std::copy(eight, eight + n, out + x);
    }
}

// The same for whole lines [y0, y1).
void median5(const GreyImage& in, GreyImage* out, int32_t y0, int32_t y1) {
    for (int32_t y = y0; y < y1; ++y) median5_line(in, out->line(y), y, 0, in.columns);
}

// The refinement's terms linearised at the warped positions, one image each: the brightness
// difference (only with a brightness term), i1's gradient read at the matches, and the mean
// of both images' second derivatives there. The gradient's mean and change between the images
// are made from the second and i0's gradient when they are read.
enum LinearTerm { kIz, kWarpedX, kWarpedY, kIxx, kIxy, kIyy, kTerms };

// The refinement's constants (see refine()).
struct Coefficients {
    float alpha, delta, gamma, zb2, zg2, eps_d2, eps_s2;
};

// Line y (of h) of the refinement's linear system at the current flow (U, V), linearised
// around (u0, v0), from the linearised terms T (see LinearTerm) and i0's gradient (gx0, gy0):
// the diagonal blocks a11, a12, a22, the right-hand sides c1, c2 and the smoothness weight psi
// of each pixel (see refine()). A match outside i1 gives no data term.
ORVANE_VECTOR_LOOP void system_line(int32_t w, int32_t h, int32_t y, const Coefficients& k, const float* __restrict Ur,
                 const float* __restrict Vr, const float* __restrict Ud,
                 const float* __restrict Vd, const float* __restrict u0,
                 const float* __restrict v0, const float* __restrict gx0, const float* __restrict gy0,
                 const float* __restrict edge, const float* const* T, float* __restrict a11r,
                 float* __restrict a12r, float* __restrict a22r, float* __restrict c1r,
                 float* __restrict c2r, float* __restrict psi) {
    const float* __restrict tz = T[kIz];
    const float* __restrict twx = T[kWarpedX];
    const float* __restrict twy = T[kWarpedY];
    const float* __restrict txx = T[kIxx];
    const float* __restrict txy = T[kIxy];
    const float* __restrict tyy = T[kIyy];
    const float right = static_cast<float>(w - 1), bottom = static_cast<float>(h - 1);
    const float fy = static_cast<float>(y);
    for (int32_t x = 0; x < w; ++x) {
        const float du = Ur[x] - u0[x], dv = Vr[x] - v0[x];
        // Whether the match lies inside i1 (& rather than &&: no branch).
        const float px = static_cast<float>(x) + u0[x], py = fy + v0[x];
        const float inside = ((px >= 0.0f) & (py >= 0.0f) & (px <= right) & (py <= bottom)) ? 1.0f : 0.0f;
        // The gradient's mean over both images and its change between them.
        const float wx = twx[x], wy = twy[x], ox = gx0[x], oy = gy0[x];
        const float iz = tz[x], ix = 0.5f * (wx + ox), iy = 0.5f * (wy + oy);
        const float ixz = wx - ox, iyz = wy - oy;
        const float ixx = txx[x], ixy = txy[x], iyy = tyy[x];
        const float th0 = 1.0f / (ix * ix + iy * iy + k.zb2);
        const float r0 = iz + ix * du + iy * dv;
        const float pd = inside * k.delta * th0 / std::sqrt(th0 * r0 * r0 + k.eps_d2);
        const float thx = 1.0f / (ixx * ixx + ixy * ixy + k.zg2);
        const float thy = 1.0f / (ixy * ixy + iyy * iyy + k.zg2);
        const float rx = ixz + ixx * du + ixy * dv;
        const float ry = iyz + ixy * du + iyy * dv;
        const float pg = inside * k.gamma / std::sqrt(thx * rx * rx + thy * ry * ry + k.eps_d2);
        const float gx = pg * thx, gy = pg * thy;
        const float a11 = pd * ix * ix + gx * ixx * ixx + gy * ixy * ixy;
        const float a12 = pd * ix * iy + gx * ixx * ixy + gy * ixy * iyy;
        const float a22 = pd * iy * iy + gx * ixy * ixy + gy * iyy * iyy;
        const float b1 = -(pd * ix * iz + gx * ixx * ixz + gy * ixy * iyz);
        const float b2 = -(pd * iy * iz + gx * ixy * ixz + gy * iyy * iyz);
        a11r[x] = a11, a12r[x] = a12, a22r[x] = a22;
        c1r[x] = b1 + a11 * u0[x] + a12 * v0[x];
        c2r[x] = b2 + a12 * u0[x] + a22 * v0[x];
    }
    // The smoothness weight from the forward differences of the whole flow (0 past the last
    // column; the caller passes the line itself as the one below the last).
    auto weight = [&](int32_t x, float ux, float vx) {
        const float uy = Ud[x] - Ur[x], vy = Vd[x] - Vr[x];
        return k.alpha * edge[x] / std::sqrt(ux * ux + vx * vx + uy * uy + vy * vy + k.eps_s2);
    };
    for (int32_t x = 0; x + 1 < w; ++x) psi[x] = weight(x, Ur[x + 1] - Ur[x], Vr[x + 1] - Vr[x]);
    psi[w - 1] = weight(w - 1, 0.0f, 0.0f);
}

#if ORVANE_ANALYSIS_AVX2
// The linearisation below, eight pixels at a time; returns where it stopped.
ORVANE_AVX2 int32_t linearise_avx2(int32_t w, int32_t h, int32_t y, const float* u, const float* v,
                                   const float* i0, const float* pack, const float* const* d0,
                                   float* const* t, bool brightness, float* U, float* V) {
    const __m256 lanes = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 fy = _mm256_set1_ps(static_cast<float>(y));
    int32_t x = 0;
    for (; x + 8 <= w; x += 8) {
        const __m256 uu = _mm256_loadu_ps(u + x), vv = _mm256_loadu_ps(v + x);
        const __m256 px = _mm256_add_ps(_mm256_add_ps(_mm256_set1_ps(static_cast<float>(x)), lanes), uu);
        const __m256 py = _mm256_add_ps(fy, vv);
        __m256 c[kPackRead];
        read_pack(Bilinear8(px, py, w, h), pack, c);
        if (brightness) _mm256_storeu_ps(t[kIz] + x, _mm256_sub_ps(c[kPackImage], _mm256_loadu_ps(i0 + x)));
        _mm256_storeu_ps(t[kWarpedX] + x, c[kPackX]);
        _mm256_storeu_ps(t[kWarpedY] + x, c[kPackY]);
        _mm256_storeu_ps(t[kIxx] + x, _mm256_mul_ps(half, _mm256_add_ps(c[kPackXX], _mm256_loadu_ps(d0[2] + x))));
        _mm256_storeu_ps(t[kIxy] + x, _mm256_mul_ps(half, _mm256_add_ps(c[kPackXY], _mm256_loadu_ps(d0[3] + x))));
        _mm256_storeu_ps(t[kIyy] + x, _mm256_mul_ps(half, _mm256_add_ps(c[kPackYY], _mm256_loadu_ps(d0[4] + x))));
        _mm256_storeu_ps(U + x, uu);
        _mm256_storeu_ps(V + x, vv);
    }
    return x;
}
#endif

// The linearisation of line y (see PairFlowEstimator::linearise_line): whole images i1 and d1,
// lines of the rest.
void linearise(int32_t w, int32_t h, int32_t y, const float* __restrict u,
                                  const float* __restrict v, const float* __restrict i0,
                                  const float* __restrict i1, const float* pack, const float* const* d0,
                                  const float* const* d1, float* const* t,
                                  bool brightness, float* __restrict U, float* __restrict V) {
    const float* __restrict d0xx = d0[2];
    const float* __restrict d0xy = d0[3];
    const float* __restrict d0yy = d0[4];
    float* __restrict tz = t[kIz];
    float* __restrict twx = t[kWarpedX];
    float* __restrict twy = t[kWarpedY];
    float* __restrict txx = t[kIxx];
    float* __restrict txy = t[kIxy];
    float* __restrict tyy = t[kIyy];
    int32_t x = 0;
#if ORVANE_ANALYSIS_AVX2
    if (have_avx2()) x = linearise_avx2(w, h, y, u, v, i0, pack, d0, t, brightness, U, V);
#endif
    for (; x < w; ++x) {
        const float px = static_cast<float>(x) + u[x];
        const float py = static_cast<float>(y) + v[x];
        const Bilinear at(px, py, w, h);
        // i1's derivatives from the pack where there is one, else from their images.
        auto d1_at = [&](int c) { return pack ? at(pack, kPackStride, c) : at(d1[c]); };
        // Without a brightness term its difference is neither kept nor read.
        if (brightness) tz[x] = at(i1) - i0[x];
        twx[x] = d1_at(kPackX);
        twy[x] = d1_at(kPackY);
        txx[x] = 0.5f * (d1_at(kPackXX) + d0xx[x]);
        txy[x] = 0.5f * (d1_at(kPackXY) + d0xy[x]);
        tyy[x] = 0.5f * (d1_at(kPackYY) + d0yy[x]);
        U[x] = u[x];
        V[x] = v[x];
    }
}

// The inverses of a line's diagonals: each pixel's own term plus the links to its four
// neighbours (lx to the right, ly below, lu above; the first pixel has none to its left).
ORVANE_VECTOR_LOOP void diagonal_inverses(int32_t w, const float* __restrict lx, const float* __restrict ly,
                                          const float* __restrict lu, const float* __restrict a11,
                                          const float* __restrict a22, float* __restrict i1,
                                          float* __restrict i2) {
    auto one = [&](int32_t x, float left) {
        const float sw = left + lx[x] + ly[x] + lu[x];
        i1[x] = 1.0f / (a11[x] + sw + 1e-9f);
        i2[x] = 1.0f / (a22[x] + sw + 1e-9f);
    };
    one(0, 0.0f);
    for (int32_t x = 1; x < w; ++x) one(x, lx[x - 1]);
}

// The over-relaxation works on lines split by the parity of x: the pixels of even x first,
// then those of odd x. The pixels of one colour of a line then lie side by side, and so do
// their left and right neighbours (of the other parity), so that half a sweep computes only
// the pixels it moves.
inline int32_t evens(int32_t w) { return (w + 1) / 2; }
ORVANE_VECTOR_LOOP void split_line(const float* __restrict in, int32_t w, float* __restrict out) {
    const int32_t e = evens(w);
    for (int32_t i = 0; i < e; ++i) out[i] = in[2 * i];
    for (int32_t i = 0; i < w / 2; ++i) out[e + i] = in[2 * i + 1];
}
ORVANE_VECTOR_LOOP void join_line(const float* __restrict in, int32_t w, float* __restrict out) {
    const int32_t e = evens(w);
    for (int32_t i = 0; i < e; ++i) out[2 * i] = in[i];
    for (int32_t i = 0; i < w / 2; ++i) out[2 * i + 1] = in[e + i];
}

// One line of the over-relaxation, split: the flow (u, v) of the line, of the one above and
// of the one below, and the line's coefficients: the links to the right, below and above,
// the diagonal blocks' coupling, the right-hand sides and the diagonals' inverses.
struct SplitSystem {
    float *u, *v;
    const float *u_above, *v_above, *u_below, *v_below;
    const float *right, *below, *above, *a12, *c1, *c2, *inverse1, *inverse2;
};

// One pixel moved to the over-relaxed solution of its equations, its neighbours held.
inline void sor_pixel(float left_w, float left_u, float left_v, float right_w, float right_u, float right_v,
                      float above_w, float u_above, float v_above, float below_w, float u_below,
                      float v_below, float a12, float c1, float c2, float inverse1, float inverse2, float* u,
                      float* v) {
    const float su = left_w * left_u + right_w * right_u + above_w * u_above + below_w * u_below;
    const float sv = left_w * left_v + right_w * right_v + above_w * v_above + below_w * v_below;
    const float nu = *u + kOmega * ((c1 + su - a12 * *v) * inverse1 - *u);
    *v = *v + kOmega * ((c2 + sv - a12 * nu) * inverse2 - *v);
    *u = nu;
}

// The pixels from to to - 1 of parity p (own, at offset o of the split line) of a line, none
// of them at an end of the line: eight side by side at a time. The left neighbour of own
// pixel i is pixel i + p - 1 of the other parity (at offset q), the right one i + p.
ORVANE_VECTOR_LOOP void sor_run(const SplitSystem& s, int32_t p, int32_t o, int32_t q, int32_t from, int32_t to) {
    float* U = s.u + o;
    float* V = s.v + o;
    const float* Ul = s.u + q + p - 1;
    const float* Vl = s.v + q + p - 1;
    const float* Wl = s.right + q + p - 1;
    const float* W = s.right + o;
    const float* Uu = s.u_above + o;
    const float* Vu = s.v_above + o;
    const float* Ud = s.u_below + o;
    const float* Vd = s.v_below + o;
    const float* Lu = s.above + o;
    const float* Ld = s.below + o;
    const float* A = s.a12 + o;
    const float* C1 = s.c1 + o;
    const float* C2 = s.c2 + o;
    const float* I1 = s.inverse1 + o;
    const float* I2 = s.inverse2 + o;
    const Float8 omega = Float8{} + kOmega;
    int32_t i = from;
    for (; i + 8 <= to; i += 8) {
        Float8 ul, ur, uc, vl, vr, vc, uu, vu, ud, vd, wl, wc, wu, wd, b12, k1, k2, d1, d2;
        load8(&ul, Ul + i), load8(&ur, Ul + i + 1), load8(&uc, U + i);
        load8(&vl, Vl + i), load8(&vr, Vl + i + 1), load8(&vc, V + i);
        load8(&uu, Uu + i), load8(&vu, Vu + i), load8(&ud, Ud + i), load8(&vd, Vd + i);
        load8(&wl, Wl + i), load8(&wc, W + i), load8(&wu, Lu + i), load8(&wd, Ld + i);
        load8(&b12, A + i), load8(&k1, C1 + i), load8(&k2, C2 + i), load8(&d1, I1 + i), load8(&d2, I2 + i);
        const Float8 su = wl * ul + wc * ur + wu * uu + wd * ud;
        const Float8 sv = wl * vl + wc * vr + wu * vu + wd * vd;
        const Float8 u = uc + omega * ((k1 + su - b12 * vc) * d1 - uc);
        const Float8 v = vc + omega * ((k2 + sv - b12 * u) * d2 - vc);
        std::memcpy(U + i, &u, sizeof u);
        std::memcpy(V + i, &v, sizeof v);
    }
    for (; i < to; ++i) {
        sor_pixel(Wl[i], Ul[i], Vl[i], W[i], Ul[i + 1], Vl[i + 1], Lu[i], Uu[i], Vu[i], Ld[i], Ud[i], Vd[i], A[i],
                  C1[i], C2[i], I1[i], I2[i], U + i, V + i);
    }
}

// One line's half of a sweep (w pixels, line y): the pixels of one colour (x + y + colour
// even) move, the other colour's held. The ends of the line one by one (they lack a
// neighbour), the rest in a run.
void sor_line(const SplitSystem& s, int32_t w, int32_t y, int colour) {
    const int32_t p = (y + colour) & 1;
    const int32_t e = evens(w);
    const int32_t o = p ? e : 0, q = p ? 0 : e;
    const int32_t own = p ? w / 2 : e;
    auto end_pixel = [&](int32_t i, bool has_left, bool has_right) {
        const size_t k = static_cast<size_t>(o + i);
        const float lw = has_left ? s.right[q + i + p - 1] : 0.0f;
        const float lu = has_left ? s.u[q + i + p - 1] : 0.0f, lv = has_left ? s.v[q + i + p - 1] : 0.0f;
        const float ru = has_right ? s.u[q + i + p] : 0.0f, rv = has_right ? s.v[q + i + p] : 0.0f;
        sor_pixel(lw, lu, lv, s.right[k], ru, rv, s.above[k], s.u_above[k], s.v_above[k], s.below[k], s.u_below[k],
                  s.v_below[k], s.a12[k], s.c1[k], s.c2[k], s.inverse1[k], s.inverse2[k], s.u + k, s.v + k);
    };
    const int32_t last = w - 1;
    const bool first_is_ours = p == 0;
    const bool last_is_ours = last > 0 && (last & 1) == p;
    if (first_is_ours) end_pixel(0, false, w > 1);
    const int32_t from = first_is_ours ? 1 : 0;
    const int32_t to = last_is_ours ? own - 1 : own;
    if (to > from) sor_run(s, p, o, q, from, to);
    if (last_is_ours) end_pixel(own - 1, true, false);
}

// `sweeps` red-black sweeps in one pass over a level of h lines: line r of sweep s is made
// when the pass leads at line r + 2 s, and its other colour one line later, when everything
// it reads of that sweep and the one before is made and nothing it reads is yet overwritten
// by the next. Each pixel thus gets the value of sweeps made one after another over the
// whole level, while the lines in work (2 sweeps + 2) stay in cache. `prepare(lead)` runs
// first at each line the pass leads at, `done(lead)` after.
template <typename Prepare, typename Sweep, typename Done>
void sor_sweeps(int32_t h, int sweeps, Prepare&& prepare, Sweep&& sweep, Done&& done) {
    for (int32_t lead = 0; lead < h + 2 * sweeps; ++lead) {
        if (lead < h) prepare(lead);
        for (int s = 0; s < sweeps; ++s) {
            const int32_t r = lead - 2 * s;
            if (r >= 0 && r < h) sweep(r, 0);
            if (r >= 1 && r - 1 < h) sweep(r - 1, 1);
        }
        done(lead);
    }
}

// A camera's exposure change between the frames, taken out of the second: scaled so that its
// texture has the first's contrast (the mean length of the gradient, which a motion keeps)
// and shifted to the first's mean brightness, both measured over the middle of the frames. Frames of the same exposure (within half a
// percent and half a grey level) are left as they are.
void match_exposure(const GreyImage& first, GreyImage* second) {
    // Measured away from the edges, where a motion brings in new content.
    const int32_t x0 = first.columns / 10, x1 = first.columns - 1 - x0;
    const int32_t y0 = first.lines / 10, y1 = first.lines - 1 - y0;
    auto contrast_and_mean = [&](const GreyImage& g, double* mean) {
        double sum = 0, grad = 0;
        for (int32_t y = y0; y < y1; ++y) {
            const float* a = g.line(y);
            const float* b = g.line(y + 1);
            double line_sum = 0, line_grad = 0;
            for (int32_t x = x0; x < x1; ++x) {
                line_sum += a[x];
                const float gx = a[x + 1] - a[x], gy = b[x] - a[x];
                line_grad += std::sqrt(gx * gx + gy * gy);
            }
            sum += line_sum, grad += line_grad;
        }
        const double n = static_cast<double>(x1 - x0) * (y1 - y0);
        *mean = sum / n;
        return grad / n;
    };
    double m0 = 0, m1 = 0;
    const double c0 = contrast_and_mean(first, &m0), c1 = contrast_and_mean(*second, &m1);
    if (!(c0 > 0 && c1 > 0)) return;
    const double gain = c0 / c1;
    if (std::fabs(gain - 1) < 0.005 && std::fabs(m0 - gain * m1) < 0.5) return;
    const float g = static_cast<float>(gain), o = static_cast<float>(m0 - gain * m1);
    for (float& p : second->data) p = g * p + o;
}

// A patch finds its match up to about half its side from where it starts [pixels].
double patch_reach(const PairFlowSettings& s) { return 0.5 * std::max(s.patch_size, 4); }

// How many levels the pyramid of a frame has (see PairFlowSettings::reach).
int pyramid_levels(int32_t columns, int32_t lines, const PairFlowSettings& s) {
    int levels = 1;
    int32_t c = columns, l = lines;
    const int32_t coarsest = std::max(s.coarsest, 4);
    while (patch_reach(s) * static_cast<double>(1 << (levels - 1)) < s.reach && levels < 12) {
        const int32_t nc = (c + 1) / 2, nl = (l + 1) / 2;
        if (std::min(nc, nl) < coarsest) break;
        c = nc, l = nl;
        ++levels;
    }
    return levels;
}

// Motion boundaries (see PairFlowEstimator::reselect_boundaries()): the error of the pixels xa
// to xb - 1 of line y under the flow found (sx, sy) from each: the brightness difference and
// the gradient's after the warp, each capped so that one occluded tap cannot outweigh the rest.
struct BoundaryImages {
    const float *i0, *g0x, *g0y;  // line y of the first image and its derivatives
    const float *i1, *g1x, *g1y;  // the whole second image and its derivatives
    const float *fu, *fv;         // line y + sy of the flow
    const float* pack;            // the second image and its derivatives, packed
};

#if ORVANE_ANALYSIS_AVX2
// Eight pixels at a time; returns where it stopped.
ORVANE_AVX2 int32_t boundary_error_line_avx2(int32_t w, int32_t h, int32_t y, int32_t xa, int32_t xb,
                                             int32_t sx, const BoundaryImages& m, float* out) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i last = _mm256_set1_epi32(w - 1), zero = _mm256_setzero_si256();
    const __m256 cap = _mm256_set1_ps(kErrorCap), gcap = _mm256_set1_ps(kGradientErrorCap);
    const __m256 fy = _mm256_set1_ps(static_cast<float>(y));
    int32_t x = xa;
    for (; x + 8 <= xb; x += 8) {
        const __m256i xi = _mm256_add_epi32(_mm256_set1_epi32(x), lanes);
        __m256 fu, fv;
        if (x + sx >= 0 && x + sx + 8 <= w) {
            fu = _mm256_loadu_ps(m.fu + x + sx), fv = _mm256_loadu_ps(m.fv + x + sx);
        } else {
            const __m256i f = _mm256_min_epi32(last, _mm256_max_epi32(zero, _mm256_add_epi32(xi, _mm256_set1_epi32(sx))));
            fu = _mm256_i32gather_ps(m.fu, f, 4), fv = _mm256_i32gather_ps(m.fv, f, 4);
        }
        const __m256 px = _mm256_add_ps(_mm256_cvtepi32_ps(xi), fu);
        const __m256 py = _mm256_add_ps(fy, fv);
        __m256 c[kPackRead];
        read_pack(Bilinear8(px, py, w, h), m.pack, c);
        const __m256 db = abs8(_mm256_sub_ps(c[kPackImage], _mm256_loadu_ps(m.i0 + x)));
        const __m256 dg = _mm256_add_ps(abs8(_mm256_sub_ps(c[kPackX], _mm256_loadu_ps(m.g0x + x))),
                                        abs8(_mm256_sub_ps(c[kPackY], _mm256_loadu_ps(m.g0y + x))));
        _mm256_storeu_ps(out + x, _mm256_add_ps(_mm256_min_ps(cap, db), _mm256_min_ps(gcap, dg)));
    }
    return x;
}
#endif

void boundary_error_line(int32_t w, int32_t h, int32_t y, int32_t xa, int32_t xb, int32_t sx,
                         const BoundaryImages& m, float* out) {
#if ORVANE_ANALYSIS_AVX2
    if (have_avx2()) xa = boundary_error_line_avx2(w, h, y, xa, xb, sx, m, out);
#endif
    for (int32_t x = xa; x < xb; ++x) {
        const int32_t f = std::clamp(x + sx, 0, w - 1);
        const Bilinear at(static_cast<float>(x) + m.fu[f], static_cast<float>(y) + m.fv[f], w, h);
        const float db = std::fabs(at(m.i1) - m.i0[x]);
        const float g1x = m.pack ? at(m.pack, kPackStride, kPackX) : at(m.g1x);
        const float g1y = m.pack ? at(m.pack, kPackStride, kPackY) : at(m.g1y);
        const float dg = std::fabs(g1x - m.g0x[x]) + std::fabs(g1y - m.g0y[x]);
        out[x] = std::min(db, kErrorCap) + std::min(dg, kGradientErrorCap);
    }
}

#if ORVANE_ANALYSIS_AVX2
// One tap's share of the costs, eight pixels at a time; returns where it stopped. Where the
// eight read side by side (pixels next to each other along a line), one load replaces the
// gather.
ORVANE_AVX2 size_t tap_costs_avx2(size_t n, const float* wk, const int32_t* ik, const float* error,
                                  float* cost) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    size_t q = 0;
    for (; q + 8 <= n; q += 8) {
        const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ik + q));
        const __m256i row = _mm256_add_epi32(_mm256_set1_epi32(ik[q]), lanes);
        const __m256 e = _mm256_movemask_epi8(_mm256_cmpeq_epi32(at, row)) == -1
                             ? _mm256_loadu_ps(error + ik[q])
                             : _mm256_i32gather_ps(error, at, 4);
        _mm256_storeu_ps(cost + q, _mm256_add_ps(_mm256_loadu_ps(cost + q), _mm256_mul_ps(_mm256_loadu_ps(wk + q), e)));
    }
    return q;
}
#endif

// Each pixel's weighted sum of the errors its taps read: weights and indices tap after tap,
// n pixels each.
void tap_costs(size_t n, int taps, const float* __restrict weights, const int32_t* __restrict index,
               const float* __restrict error, float* __restrict cost) {
    for (size_t q = 0; q < n; ++q) cost[q] = 0.0f;
    for (int k = 0; k < taps; ++k) {
        const float* wk = weights + static_cast<size_t>(k) * n;
        const int32_t* ik = index + static_cast<size_t>(k) * n;
        size_t q = 0;
#if ORVANE_ANALYSIS_AVX2
        if (have_avx2()) q = tap_costs_avx2(n, wk, ik, error, cost);
#endif
        for (; q < n; ++q) cost[q] += wk[q] * error[ik[q]];
    }
}

// out[x] = g read bilinearly at (x + u[x], y + v[x]), for a whole line of g's width.
#if ORVANE_ANALYSIS_AVX2
ORVANE_AVX2 int32_t warp_line_avx2(const GreyImage& g, int32_t y, const float* u, const float* v,
                                   float* out) {
    const __m256 lanes = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 fy = _mm256_set1_ps(static_cast<float>(y));
    int32_t x = 0;
    for (; x + 8 <= g.columns; x += 8) {
        const __m256 px = _mm256_add_ps(_mm256_add_ps(_mm256_set1_ps(static_cast<float>(x)), lanes), _mm256_loadu_ps(u + x));
        const __m256 py = _mm256_add_ps(fy, _mm256_loadu_ps(v + x));
        _mm256_storeu_ps(out + x, Bilinear8(px, py, g.columns, g.lines)(g.data.data()));
    }
    return x;
}
#endif

void warp_line(const GreyImage& g, int32_t y, const float* u, const float* v, float* out) {
    int32_t x = 0;
#if ORVANE_ANALYSIS_AVX2
    if (have_avx2()) x = warp_line_avx2(g, y, u, v, out);
#endif
    for (; x < g.columns; ++x) {
        out[x] = sample(g, static_cast<float>(x) + u[x], static_cast<float>(y) + v[x]);
    }
}

// The confidence's per-pixel terms (see PairFlowEstimator::confidence()), one line each into
// t: e, e^2 / G, e / G, 1 / G, gx^2, gx gy, gy^2.
ORVANE_VECTOR_LOOP void confidence_terms(int32_t w, const float* __restrict e, const float* __restrict gx,
                                         const float* __restrict gy, float* __restrict t) {
    for (int32_t x = 0; x < w; ++x) {
        const float g = 1.0f / (gx[x] * gx[x] + gy[x] * gy[x] + kZetaBrightness * kZetaBrightness);
        t[x] = e[x];
        t[w + x] = e[x] * e[x] * g;
        t[2 * w + x] = e[x] * g;
        t[3 * w + x] = g;
        t[4 * w + x] = gx[x] * gx[x];
        t[5 * w + x] = gx[x] * gy[x];
        t[6 * w + x] = gy[x] * gy[x];
    }
}

// The sums of three neighbours along a line, its ends replicated.
ORVANE_VECTOR_LOOP void sum3_line(int32_t w, const float* __restrict in, float* __restrict out) {
    if (w == 1) {
        out[0] = 3.0f * in[0];
        return;
    }
    out[0] = 2.0f * in[0] + in[1];
    for (int32_t x = 1; x + 1 < w; ++x) out[x] = in[x - 1] + in[x] + in[x + 1];
    out[w - 1] = in[w - 2] + 2.0f * in[w - 1];
}

// One line of the confidence from the line sums of the lines above, at and below it.
ORVANE_VECTOR_LOOP void confidence_line(int32_t w, int32_t h, int32_t y, const float* const* rows,
                                        const float* __restrict u, const float* __restrict v,
                                        const float* __restrict crowd, float* __restrict out) {
    const float* __restrict a = rows[0];
    const float* __restrict b = rows[1];
    const float* __restrict c = rows[2];
    const float right = static_cast<float>(w - 1), bottom = static_cast<float>(h - 1);
    constexpr float ninth = 1.0f / 9.0f;
    for (int32_t x = 0; x < w; ++x) {
        auto sum = [&](int k) { return a[k * w + x] + b[k * w + x] + c[k * w + x]; };
        const float m = sum(0) * ninth;
        const float r2 = std::max(0.0f, (sum(1) - 2.0f * m * sum(2) + m * m * sum(3)) * ninth);
        const float sxx = sum(4), sxy = sum(5), syy = sum(6);
        const float half = 0.5f * (sxx + syy) * ninth;
        const float dev = std::sqrt(0.25f * (sxx - syy) * (sxx - syy) + sxy * sxy) * ninth;
        const float lmin = std::max(0.0f, half - dev);
        const float photometric = 1.0f / (1.0f + r2 * (1.0f / kConfidentError2));
        const float texture = lmin / (lmin + kTextureHalf);
        const float n = std::max(1.0f, crowd[x]);
        const float px = static_cast<float>(x) + u[x], py = static_cast<float>(y) + v[x];
        // & rather than &&: no branch, so the loop runs on whole vectors.
        const bool inside = (px >= 0) & (py >= 0) & (px <= right) & (py <= bottom);
        const float value = photometric * std::sqrt(texture) / (n * n);
        out[x] = inside ? value : 0.0f;
    }
}

}  // namespace

// One level of the pyramid: its two images, their derivatives, its flow and the work images
// of the refinement.
class PairFlowEstimator::Level {
  public:
    int32_t columns = 0, lines = 0;
    GreyImage i0, i1;
    // i0's first derivatives (x, y) (its second ones are made line by line where the
    // refinement reads them); i1's first and second ones (x, y, xx, xy, yy) where they are
    // not packed.
    GreyImage d0[2], d1[5];
    GreyImage edge;  // the smoothness weight's fall across edges of i0
    GreyImage u, v;
    GreyImage t[kTerms];  // the refinement's linearised terms (see LinearTerm)
    GreyImage du, dv, a11, a12, a22;
    // i1 and its derivatives side by side (see PackChannel), where the refinement or the
    // boundary step reads them at warped positions with 256-bit vectors.
    GreyImage pack;
    bool refined = false;  // whether the variational refinement runs here (its images exist)

    // Every level holds its images, i0's first derivatives, its flow and the work images of
    // the boundary step, the median and the confidence; the patch search needs one more, the
    // refinement the rest; i1's derivatives are packed (with 256-bit vectors, where the
    // refinement or the boundary step reads them) or kept as images.
    void allocate(int32_t c, int32_t l, bool searched, bool refine, bool packed, bool brightness) {
        columns = c, lines = l, refined = refine;
        // Where i1's derivatives are packed, they are made in work images of the level and
        // kept in the pack only.
        if (packed) resize_like(&pack, c * kPackStride, l + 1);
        if (!packed) resize_like(&d1[0], c, l), resize_like(&d1[1], c, l);
        for (GreyImage* g : {&i0, &i1, &u, &v, &a11, &a12, &d0[0], &d0[1]}) {
            resize_like(g, c, l);
        }
        if (searched || refine) resize_like(&a22, c, l);
        if (!refine) return;
        for (GreyImage* g : {&edge, &du, &dv}) {
            resize_like(g, c, l);
        }
        for (int k = 2; k < 5; ++k) {
            if (!packed) resize_like(&d1[k], c, l);
        }
        for (int k = 0; k < kTerms; ++k) {
            if (k != kIz || brightness) resize_like(&t[k], c, l);
        }
    }
};

PairFlowEstimator::PairFlowEstimator(const PairFlowSettings& settings) : settings_(settings) {}
PairFlowEstimator::~PairFlowEstimator() = default;

void PairFlowEstimator::build_levels(int32_t columns, int32_t lines) {
    if (!levels_.empty() && levels_[0]->columns == columns && levels_[0]->lines == lines) return;
    levels_.clear();
    const int count = pyramid_levels(columns, lines, settings_);
    int32_t c = columns, l = lines;
    for (int k = 0; k < count; ++k) {
        levels_.push_back(std::make_unique<Level>());
        const int warps = k == 0 ? settings_.finest_warps : settings_.warps;
        levels_.back()->allocate(c, l, k >= settings_.patch_finest_level, warps > 0,
                                 have_avx2() && (warps > 0 || k <= settings_.boundary_levels),
                                 settings_.brightness != 0);
        c = (c + 1) / 2, l = (l + 1) / 2;
    }
}

bool PairFlowEstimator::estimate(const GreyImage& first, const GreyImage& second, PairFlow* out,
                                 const PairFlow* start) {
    *out = PairFlow();
    if (first.columns != second.columns || first.lines != second.lines || first.columns < 2 ||
        first.lines < 2 || first.data.size() != second.data.size()) {
        return false;
    }
    build_levels(first.columns, first.lines);
    Level& full = *levels_[0];
    // Pixels that are not finite read as their image's mean, so one bad pixel cannot spread.
    for (int k = 0; k < 2; ++k) {
        const GreyImage& src = k == 0 ? first : second;
        GreyImage& dst = k == 0 ? full.i0 : full.i1;
        std::copy(src.data.begin(), src.data.end(), dst.data.begin());
        if (all_finite(dst.data.data(), dst.data.size())) continue;
        double sum = 0;
        size_t n = 0;
        for (float p : src.data) {
            if (std::isfinite(p)) sum += p, ++n;
        }
        const float mean = n ? static_cast<float>(sum / static_cast<double>(n)) : 0.0f;
        for (size_t i = 0; i < src.data.size(); ++i) {
            dst.data[i] = std::isfinite(src.data[i]) ? src.data[i] : mean;
        }
    }
    match_exposure(full.i0, &full.i1);
    for (size_t k = 1; k < levels_.size(); ++k) {
        // The finer level's a11 is free until its own turn comes, and large enough.
        reduce_half(levels_[k - 1]->i0, &levels_[k]->i0, levels_[k - 1]->a11.data.data());
        reduce_half(levels_[k - 1]->i1, &levels_[k]->i1, levels_[k - 1]->a11.data.data());
    }
    const int top = static_cast<int>(levels_.size()) - 1;
    const bool has_start =
        start && start->u.columns == first.columns && start->u.lines == first.lines &&
        start->v.columns == first.columns && start->v.lines == first.lines;
    for (int k = top; k >= 0; --k) {
        Level& level = *levels_[k];
        GreyImage* d0 = level.d0;
        // i1's derivatives go into the pack through work images that are free until the
        // refinement's linearisation (t) or the patch search (a11, a12) fills them.
        const bool packed = !level.pack.data.empty();
        GreyImage* d1[5] = {&level.d1[0], &level.d1[1], &level.d1[2], &level.d1[3], &level.d1[4]};
        if (packed) {
            d1[0] = level.refined ? &level.t[kWarpedX] : &level.a11;
            d1[1] = level.refined ? &level.t[kWarpedY] : &level.a12;
            d1[2] = &level.t[kIxx], d1[3] = &level.t[kIxy], d1[4] = &level.t[kIyy];
        }
        derivatives(level.i0, &d0[0], &d0[1]);
        derivatives(level.i1, d1[0], d1[1]);
        if (level.refined) {
            derivatives(*d1[0], d1[2], d1[3]);
            derivatives(*d1[1], nullptr, d1[4]);
        }
        edge_weights(level.edge.data.size(), settings_.edge_falloff, d0[0].data.data(), d0[1].data.data(),
                     level.edge.data.data());
        if (packed) {
            const GreyImage* channels[kPackImage + 1] = {d1[0], d1[1], d1[2], d1[3], d1[4], &level.i1};
            fill_pack(channels, level.refined ? kPackImage + 1 : 2, &level.pack);
        }
        if (k == top) {
            if (has_start) {
                // The start flow describes the frame before: carried along its own motion, it
                // says how the content of each pixel of the first image moved then.
                const float scale = 1.0f / static_cast<float>(1 << top);
                for (int32_t y = 0; y < level.lines; ++y) {
                    for (int32_t x = 0; x < level.columns; ++x) {
                        const float fx = static_cast<float>(x) / scale;
                        const float fy = static_cast<float>(y) / scale;
                        const float bx = fx - sample(start->u, fx, fy);
                        const float by = fy - sample(start->v, fx, fy);
                        level.u.at(x, y) = scale * sample(start->u, bx, by);
                        level.v.at(x, y) = scale * sample(start->v, bx, by);
                    }
                }
            } else {
                std::fill(level.u.data.begin(), level.u.data.end(), 0.0f);
                std::fill(level.v.data.begin(), level.v.data.end(), 0.0f);
            }
        } else {
            enlarge_flow(levels_[k + 1]->u, levels_[k + 1]->v, &level.u, &level.v);
        }
        if (k >= settings_.patch_finest_level) search_patches(level);
        if (level.refined) refine(level);
        if (k > 0 && k <= settings_.boundary_levels) {
            for (int round = 0; round < settings_.boundary_rounds; ++round) reselect_boundaries(level);
        }
    }
    for (int round = 0; round < settings_.boundary_rounds; ++round) reselect_boundaries(full);
    out->u = full.u;
    out->v = full.v;
    out->confidence = GreyImage(full.columns, full.lines);
    confidence(full, &out->confidence);
    return true;
}

// The patch search of one level: each patch of i0 on the grid looks for its match in i1 from
// the level's flow, and the answers replace the flow where patches found a better match.
void PairFlowEstimator::search_patches(Level& level) const {
    const int32_t w = level.columns, h = level.lines;
    const int32_t p = std::min({settings_.patch_size, w, h});
    if (p < 4) return;
    const int32_t step = std::max(1, settings_.patch_stride);
    auto grid = [&](int32_t extent) {
        std::vector<int32_t> at;
        for (int32_t x = 0; x + p <= extent; x += step) at.push_back(x);
        if (at.back() != extent - p) at.push_back(extent - p);
        return at;
    };
    const std::vector<int32_t> xs = grid(w), ys = grid(h);
    const size_t nx = xs.size(), ny = ys.size();
    std::vector<float> pu(nx * ny), pv(nx * ny);
    const size_t n = static_cast<size_t>(p) * p;
    std::vector<float> tmpl(n), gx(n), gy(n), warped(n), lanes(3 * static_cast<size_t>(p));

    // Mean-free sum of squared differences of the patch at (x0, y0) moved by (a, b).
    auto cost = [&](int32_t x0, int32_t y0, float a, float b) {
        const float m = sample_patch(level.i1, static_cast<float>(x0) + a, static_cast<float>(y0) + b, p,
                                     warped.data(), lanes.data());
        return patch_ssd(warped.data(), m, tmpl.data(), p, lanes.data());
    };

    for (size_t gyi = 0; gyi < ny; ++gyi) {
        for (size_t gxi = 0; gxi < nx; ++gxi) {
            const int32_t x0 = xs[gxi], y0 = ys[gyi];
            float moments[3];
            patch_template(level.i0, level.d0[0], level.d0[1], x0, y0, p, tmpl.data(), gx.data(), gy.data(),
                           lanes.data(), moments);
            const float hxx = moments[0], hxy = moments[1], hyy = moments[2];
            const size_t id = gyi * nx + gxi;
            const int32_t cx = x0 + p / 2, cy = y0 + p / 2;
            float a = level.u.at(cx, cy), b = level.v.at(cx, cy);
            float best = cost(x0, y0, a, b);
            const float start_cost = best;
            const float sa = a, sb = b;
            // The neighbours' answers, so that a motion found once spreads along the grid.
            const size_t others[2] = {gxi > 0 ? id - 1 : id, gyi > 0 ? id - nx : id};
            for (size_t o : others) {
                if (o == id) continue;
                const float c = cost(x0, y0, pu[o], pv[o]);
                if (c < best) best = c, a = pu[o], b = pv[o];
            }
            // A patch without texture in one direction cannot fix its motion: it keeps the
            // best candidate.
            const float det = hxx * hyy - hxy * hxy;
            const float trace = hxx + hyy;
            if (det > 1e-3f * trace * trace && trace > 1e-2f * static_cast<float>(n)) {
                const float ixx = hyy / det, ixy = -hxy / det, iyy = hxx / det;
                float ca = a, cb = b;
                for (int it = 0; it < settings_.patch_iterations; ++it) {
                    const float mw = sample_patch(level.i1, static_cast<float>(x0) + ca, static_cast<float>(y0) + cb,
                                                  p, warped.data(), lanes.data());
                    float bx, by;
                    patch_step(warped.data(), mw, tmpl.data(), gx.data(), gy.data(), p, lanes.data(), &bx, &by);
                    const float da = ixx * bx + ixy * by, db = ixy * bx + iyy * by;
                    ca -= da, cb -= db;
                    if (da * da + db * db < 1e-4f) break;
                }
                const float c = cost(x0, y0, ca, cb);
                const float moved = std::hypot(ca - a, cb - b);
                if (c < best && moved <= static_cast<float>(p)) best = c, a = ca, b = cb;
            }
            if (!(best <= start_cost)) a = sa, b = sb;
            pu[id] = a, pv[id] = b;
        }
    }

    // Each pixel blends the answers of the patches over it, weighted by how well each
    // explains it; pixels no patch covers keep their flow.
    GreyImage& su = level.a11;
    GreyImage& sv = level.a12;
    GreyImage& sw = level.a22;
    std::fill(su.data.begin(), su.data.end(), 0.0f);
    std::fill(sv.data.begin(), sv.data.end(), 0.0f);
    std::fill(sw.data.begin(), sw.data.end(), 0.0f);
    for (size_t gyi = 0; gyi < ny; ++gyi) {
        for (size_t gxi = 0; gxi < nx; ++gxi) {
            const size_t id = gyi * nx + gxi;
            blend_patch(level.i0, level.i1, xs[gxi], ys[gyi], p, pu[id], pv[id], &su, &sv, &sw, lanes.data());
        }
    }
    for (size_t i = 0; i < su.data.size(); ++i) {
        if (sw.data[i] > 0) {
            level.u.data[i] = su.data[i] / sw.data[i];
            level.v.data[i] = sv.data[i] / sw.data[i];
        }
    }
}

// Lines y0 to y1 - 1 of the refinement's linearisation (see refine()): i1 and its
// derivatives read at the matches of the level's flow (see LinearTerm), and the flow copied as
// the start of the unknowns.
void PairFlowEstimator::linearise_lines(Level& level, int32_t y0, int32_t y1, bool brightness) {
    const int32_t w = level.columns;
    // i0's second derivatives are made line by line from its first ones as they are needed.
    std::vector<float> second(3 * static_cast<size_t>(w));
    const float* d0[5] = {nullptr, nullptr, second.data(), second.data() + w, second.data() + 2 * w};
    const float* d1[5];
    for (int k = 0; k < 5; ++k) d1[k] = level.d1[k].data.empty() ? nullptr : level.d1[k].data.data();
    for (int32_t y = y0; y < y1; ++y) {
        const size_t row = static_cast<size_t>(y) * w;
        derivative_line(level.d0[0], y, second.data(), second.data() + w);
        derivative_line(level.d0[1], y, nullptr, second.data() + 2 * w);
        d0[0] = level.d0[0].line(y), d0[1] = level.d0[1].line(y);
        float* t[kTerms];
        for (int k = 0; k < kTerms; ++k) t[k] = level.t[k].data.empty() ? nullptr : level.t[k].data.data() + row;
        linearise(w, level.lines, y, level.u.data.data() + row, level.v.data.data() + row,
                  level.i0.data.data() + row, level.i1.data.data(),
                  level.pack.data.empty() ? nullptr : level.pack.data.data(), d0, d1, t, brightness,
                  level.du.data.data() + row, level.dv.data.data() + row);
    }
}

// The variational refinement of one level's flow (see the header). The unknowns are the
// whole flow (U, V) = (u + du, v + dv) of the current warp; its linear system per pixel is
//   a11 U + a12 V + sum_j w_j (U - U_j) = c1,   a12 U + a22 V + sum_j w_j (V - V_j) = c2,
// with c = b + A (u, v), solved by red-black over-relaxation.
void PairFlowEstimator::refine(Level& level) const {
    const int32_t w = level.columns, h = level.lines;
    const int threads = std::max(1, settings_.threads);
    const float alpha = settings_.smoothness;
    const float delta = settings_.brightness, gamma = settings_.gradient;
    const float zb2 = kZetaBrightness * kZetaBrightness, zg2 = kZetaGradient * kZetaGradient;
    const float eps_d2 = kEpsData * kEpsData, eps_s2 = kEpsSmooth * kEpsSmooth;
    GreyImage* t = level.t;  // see LinearTerm
    const Coefficients coefficients{alpha, delta, gamma, zb2, zg2, eps_d2, eps_s2};
    GreyImage& U = level.du;  // the whole flow being solved for
    GreyImage& V = level.dv;
    const std::vector<float> no_links(static_cast<size_t>(w), 0.0f);

    // A round makes its linear system and its sweeps in one pass over the level: each line's
    // system is made just before the pass's first sweep reaches it (see sor_sweeps()). Its own
    // flow and that of the line below are not yet swept then, so every line gets the system
    // that the round's flow gives it. The sweeps work on split lines (see split_line()) in a
    // ring of the lines in work, which never leaves the cache; each line's flow goes back
    // into U and V once its last sweep is done.
    const int sweeps = std::max(0, settings_.sweeps);
    const int32_t ring = 2 * std::max(sweeps, 1) + 2;
    // Two lines as the system makes them: the diagonal blocks, the right-hand sides, the link
    // to the right before and after it is averaged with the next one's, the link below, the
    // diagonals' inverses.
    enum Made { kA11, kA22, kA12, kC1, kC2, kRaw, kRight, kBelow, kInverse1, kInverse2, kMade };
    // The ring's lines, split: those the sweeps read, and the flow.
    enum Split { sRight, sBelow, sA12, sC1, sC2, sInverse1, sInverse2, sU, sV, kSplit };
    std::vector<float> made(2 * static_cast<size_t>(kMade) * w);
    std::vector<float> split(static_cast<size_t>(ring) * kSplit * w);
    auto at = [&](int32_t y, int slot) {
        return made.data() + (static_cast<size_t>(y & 1) * kMade + static_cast<size_t>(slot)) * w;
    };
    auto in_ring = [&](int32_t y, int slot) {
        return split.data() + (static_cast<size_t>(y % ring) * kSplit + static_cast<size_t>(slot)) * w;
    };
    // The robust terms' weights at the current flow, and line y's system.
    auto make_system = [&](int32_t y) {
        const float* T[kTerms];
        // Without a brightness term its difference is 0 everywhere: a line of zeros stands in.
        for (int k = 0; k < kTerms; ++k) T[k] = t[k].data.empty() ? no_links.data() : t[k].line(y);
        const int32_t below = std::min(y + 1, h - 1);
        system_line(w, h, y, coefficients, U.line(y), V.line(y), U.line(below), V.line(below), level.u.line(y),
                    level.v.line(y), level.d0[0].line(y), level.d0[1].line(y), level.edge.line(y), T, at(y, kA11), at(y, kA12),
                    at(y, kA22), at(y, kC1), at(y, kC2), at(y, kRaw));
        split_line(U.line(y), w, in_ring(y, sU));
        split_line(V.line(y), w, in_ring(y, sV));
    };
    // Links to the right and below (0 past the edge), from line y's and the next one's, and
    // the diagonals' inverses; then what the sweeps read, split.
    auto finish_system = [&](int32_t y) {
        const float* p = at(y, kRaw);
        float* below = at(y, kBelow);
        float* right = at(y, kRight);
        if (y + 1 < h) {
            const float* q = at(y + 1, kRaw);
            for (int32_t x = 0; x < w; ++x) below[x] = 0.5f * (p[x] + q[x]);
        } else {
            std::fill(below, below + w, 0.0f);
        }
        for (int32_t x = 0; x + 1 < w; ++x) right[x] = 0.5f * (p[x] + p[x + 1]);
        right[w - 1] = 0.0f;
        diagonal_inverses(w, right, below, y > 0 ? at(y - 1, kBelow) : no_links.data(), at(y, kA11),
                          at(y, kA22), at(y, kInverse1), at(y, kInverse2));
        const std::pair<int, int> moves[] = {{kRight, sRight}, {kBelow, sBelow}, {kA12, sA12}, {kC1, sC1},
                                             {kC2, sC2}, {kInverse1, sInverse1}, {kInverse2, sInverse2}};
        for (const auto& [from, to] : moves) split_line(at(y, from), w, in_ring(y, to));
    };
    auto system_of = [&](int32_t y) {
        const int32_t up = y > 0 ? y - 1 : y, down = y + 1 < h ? y + 1 : y;
        return SplitSystem{in_ring(y, sU), in_ring(y, sV), in_ring(up, sU), in_ring(up, sV),
                           in_ring(down, sU), in_ring(down, sV), in_ring(y, sRight), in_ring(y, sBelow),
                           y > 0 ? in_ring(y - 1, sBelow) : no_links.data(), in_ring(y, sA12),
                           in_ring(y, sC1), in_ring(y, sC2), in_ring(y, sInverse1), in_ring(y, sInverse2)};
    };

    const bool finest = &level == levels_[0].get();
    const int warps = finest ? settings_.finest_warps : settings_.warps;
    const int rounds = finest ? settings_.finest_fixed_point : settings_.fixed_point;
    for (int warp = 0; warp < warps; ++warp) {
        // Linearise around the current flow: i1 and its derivatives read at the matches,
        // averaged with i0's where both images have them.
        for_bands(threads, h, [&](int32_t y0, int32_t y1) {
            linearise_lines(level, y0, y1, settings_.brightness != 0);
        });
        for (int round = 0; round < rounds; ++round) {
            sor_sweeps(
                h, sweeps,
                [&](int32_t lead) {
                    if (lead == 0) make_system(0);
                    if (lead + 1 < h) make_system(lead + 1);
                    finish_system(lead);
                },
                [&](int32_t y, int colour) { sor_line(system_of(y), w, y, colour); },
                [&](int32_t lead) {
                    const int32_t r = lead - 2 * sweeps;
                    if (r < 0 || r >= h) return;
                    join_line(in_ring(r, sU), w, U.line(r));
                    join_line(in_ring(r, sV), w, V.line(r));
                });
        }
        std::swap(level.u.data, U.data);
        std::swap(level.v.data, V.data);
        if (settings_.median) {
            for (GreyImage* f : {&level.u, &level.v}) {
                for_bands(threads, h, [&](int32_t y0, int32_t y1) { median5(*f, &level.a11, y0, y1); });
                std::swap(f->data, level.a11.data);
            }
        }
    }
}

// Motion boundaries: the smoothness term and the coarse levels smear each motion a few pixels
// across the edge of the region that has it. Each pixel near a jump of the flow tries the
// flow found 3, 6 and 10 pixels away in eight directions (3 and 6 at the full frame), each
// unless it repeats the pixel's own motion or the one a radius in, judged by the brightness error
// and its gradient's (after the warp, capped so that occlusions do not dominate) over a 7 x 7
// neighbourhood whose pixels count by how like the centre's their brightness is: pixels of the
// same surface decide. A candidate is the whole flow field moved by its offset, so each tap of
// the neighbourhood is judged with the flow found at the same offset from it. The best
// replaces the pixel's own flow where it explains the neighbourhood clearly better; a median
// of the reconsidered places then settles the result.
void PairFlowEstimator::reselect_boundaries(Level& level) const {
    const int32_t w = level.columns, h = level.lines;
    const int threads = std::max(1, settings_.threads);
    GreyImage& U = level.u;
    GreyImage& V = level.v;
    const size_t pixels = static_cast<size_t>(w) * h;
    // Pixels within kNear of a place where the flow changes by more than a pixel over 2.
    constexpr int32_t kNear = 2;
    std::vector<uint8_t> jump(pixels, 0);
    for (int32_t y = 0; y < h; ++y) {
        const float* u0 = U.line(y);
        const float* v0 = V.line(y);
        const float* u2 = U.line(std::min(y + 2, h - 1));
        const float* v2 = V.line(std::min(y + 2, h - 1));
        uint8_t* j0 = jump.data() + static_cast<size_t>(y) * w;
        uint8_t* j2 = jump.data() + static_cast<size_t>(std::min(y + 2, h - 1)) * w;
        for (int32_t x = 0; x < w; ++x) {
            const int32_t xr = std::min(x + 2, w - 1);
            const float hu = u0[xr] - u0[x], hv = v0[xr] - v0[x];
            if (hu * hu + hv * hv > 1.0f) j0[x] = j0[xr] = 1;
            const float du = u2[x] - u0[x], dv = v2[x] - v0[x];
            if (du * du + dv * dv > 1.0f) j0[x] = j2[x] = 1;
        }
    }
    // Dilated by kNear along the lines, then down the columns with a running count.
    std::vector<uint8_t> rows(pixels, 0);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* j = jump.data() + static_cast<size_t>(y) * w;
        uint8_t* r = rows.data() + static_cast<size_t>(y) * w;
        int32_t last = -1000;
        for (int32_t x = 0; x < w; ++x) {
            if (j[x]) last = x;
            if (x - last <= kNear) r[x] = 1;
        }
        last = 1000000;
        for (int32_t x = w - 1; x >= 0; --x) {
            if (j[x]) last = x;
            if (last - x <= kNear) r[x] = 1;
        }
    }
    std::vector<int32_t> near;  // the pixels to reconsider, in raster order
    {
        std::vector<int16_t> count(static_cast<size_t>(w), 0);
        for (int32_t y = 0; y < std::min(kNear, h); ++y) {
            for (int32_t x = 0; x < w; ++x) count[x] += rows[static_cast<size_t>(y) * w + x];
        }
        for (int32_t y = 0; y < h; ++y) {
            if (y + kNear < h) {
                for (int32_t x = 0; x < w; ++x) count[x] += rows[static_cast<size_t>(y + kNear) * w + x];
            }
            if (y - kNear - 1 >= 0) {
                for (int32_t x = 0; x < w; ++x) count[x] -= rows[static_cast<size_t>(y - kNear - 1) * w + x];
            }
            for (int32_t x = 0; x < w; ++x) {
                if (count[x] > 0) near.push_back(y * w + x);
            }
        }
    }
    if (near.empty()) return;
    std::vector<int32_t> near_x(near.size()), near_y(near.size());
    for (size_t p = 0; p < near.size(); ++p) near_x[p] = near[p] % w, near_y[p] = near[p] / w;

    // The neighbourhood's taps: every second pixel of the 7 x 7 square.
    constexpr int kTaps = 16;
    constexpr int32_t kReach = 3;  // the taps' farthest offset [pixels]
    int32_t tap_x[kTaps], tap_y[kTaps];
    for (int k = 0; k < kTaps; ++k) tap_x[k] = 2 * (k % 4) - kReach, tap_y[k] = 2 * (k / 4) - kReach;
    static const int32_t directions[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1},
                                             {1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
    constexpr int kShifts = 1 + 3 * 8;  // the pixel's own flow, then three radii
    int32_t shift_x[kShifts] = {0}, shift_y[kShifts] = {0};
    {
        int k = 1;
        for (int32_t r : {3, 6, 10}) {
            for (const auto& d : directions) shift_x[k] = r * d[0], shift_y[k] = r * d[1], ++k;
        }
    }
    // Candidates within this of the pixel's own flow [pixels, squared] are its own surface's
    // motion again and are not tried.
    constexpr float kSameFlow2 = 1.0f;
    std::vector<float> own(near.size()), best(near.size()), new_u(near.size()), new_v(near.size());

    auto boundary_errors = [&](const Level& lv, int32_t y, int32_t xa, int32_t xb, int32_t sx, int32_t sy, float* out) {
        const int32_t fy = std::clamp(y + sy, 0, h - 1);
        const BoundaryImages m{lv.i0.line(y), lv.d0[0].line(y), lv.d0[1].line(y), lv.i1.data.data(),
                               lv.d1[0].data.data(), lv.d1[1].data.data(), lv.u.line(fy), lv.v.line(fy),
                               lv.pack.data.empty() ? nullptr : lv.pack.data.data()};
        boundary_error_line(w, h, y, xa, xb, sx, m, out);
    };
    // Bands of lines; each holds the error of the pixels its taps read under one candidate
    // shift at a time, for its own lines and kReach more on either side.
    for_bands(threads, h, [&](int32_t y0, int32_t y1) {
        const size_t first = static_cast<size_t>(std::lower_bound(near.begin(), near.end(), y0 * w) - near.begin());
        const size_t end = static_cast<size_t>(std::lower_bound(near.begin(), near.end(), y1 * w) - near.begin());
        if (first == end) return;
        const size_t n = end - first;
        const int32_t top = std::max(0, y0 - kReach), bottom = std::min(h, y1 + kReach);
        std::vector<float> error(static_cast<size_t>(bottom - top) * w);
        // The pixels of the band's error image that the taps read, then as runs along the lines
        // (gaps shorter than a vector or two are read through).
        std::vector<uint8_t> read(static_cast<size_t>(bottom - top) * w, 0);
        // Per tap (outer) and pixel (inner): where it reads the error image, and its weight
        // (how like the centre's its brightness is).
        std::vector<int32_t> idx(n * kTaps);
        std::vector<float> wts(n * kTaps), cost(n), centre(n);
        for (size_t q = 0; q < n; ++q) centre[q] = level.i0.at(near_x[first + q], near_y[first + q]);
        for (int k = 0; k < kTaps; ++k) {
            int32_t* ik = idx.data() + static_cast<size_t>(k) * n;
            float* wk = wts.data() + static_cast<size_t>(k) * n;
            for (size_t q = 0; q < n; ++q) {
                const int32_t tx = std::clamp(near_x[first + q] + tap_x[k], 0, w - 1);
                const int32_t ty = std::clamp(near_y[first + q] + tap_y[k], 0, h - 1);
                ik[q] = (ty - top) * w + tx;
                read[static_cast<size_t>(ik[q])] = 1;
                wk[q] = std::fabs(level.i0.at(tx, ty) - centre[q]);
            }
            surface_weights(n, wk);
        }
        // Each pixel's weights sum to 1 (added in the order of the taps).
        std::fill(centre.begin(), centre.end(), 0.0f);
        for (int k = 0; k < kTaps; ++k) {
            for (size_t q = 0; q < n; ++q) centre[q] += wts[static_cast<size_t>(k) * n + q];
        }
        for (int k = 0; k < kTaps; ++k) {
            for (size_t q = 0; q < n; ++q) wts[static_cast<size_t>(k) * n + q] /= centre[q];
        }
        struct Run {
            int32_t line, from, to;
        };
        std::vector<Run> runs;
        for (int32_t l = 0; l < bottom - top; ++l) {
            const uint8_t* r = read.data() + static_cast<size_t>(l) * w;
            for (int32_t x = 0; x < w; ++x) {
                if (!r[x]) continue;
                if (!runs.empty() && runs.back().line == l && x - runs.back().to < 16) {
                    runs.back().to = x + 1;
                } else {
                    runs.push_back({l, x, x + 1});
                }
            }
        }
        // The full frame's flow comes from the levels above, which have moved each boundary
        // to within a few pixels: it tries the two shorter radii only.
        const int shifts = &level == levels_[0].get() ? 1 + 2 * 8 : kShifts;
        for (int s = 0; s < shifts; ++s) {
            const int32_t sx = shift_x[s], sy = shift_y[s];
            for (const Run& r : runs) {
                boundary_errors(level, top + r.line, r.from, r.to, sx, sy, error.data() + static_cast<size_t>(r.line) * w);
            }
            tap_costs(n, kTaps, wts.data(), idx.data(), error.data(), cost.data());
            for (size_t q = 0; q < n; ++q) {
                const size_t p = first + q;
                const int32_t x = near_x[p], y = near_y[p];
                if (s == 0) {
                    own[p] = best[p] = cost[q];
                    continue;
                }
                if (!(cost[q] < best[p])) continue;
                // A candidate within a jump's size of the pixel's own flow, or of the
                // candidate one radius in, is the same surface's motion again.
                const size_t f = static_cast<size_t>(std::clamp(y + sy, 0, h - 1)) * w + std::clamp(x + sx, 0, w - 1);
                const float cu = U.data[f], cv = V.data[f];
                float du = cu - U.data[near[p]], dv = cv - V.data[near[p]];
                if (du * du + dv * dv < kSameFlow2) continue;
                if (s > 8) {
                    const size_t g = static_cast<size_t>(std::clamp(y + shift_y[s - 8], 0, h - 1)) * w +
                                     std::clamp(x + shift_x[s - 8], 0, w - 1);
                    du = cu - U.data[g], dv = cv - V.data[g];
                    if (du * du + dv * dv < kSameFlow2) continue;
                }
                best[p] = cost[q], new_u[p] = cu, new_v[p] = cv;
            }
        }
    });
    // Replaced only where clearly better, all at once (the candidates read the flow before).
    // The lines' spans within 2 of a replacement are where the median is to settle it.
    std::vector<int32_t> span_lo(static_cast<size_t>(h), w), span_hi(static_cast<size_t>(h), -1);
    for (size_t p = 0; p < near.size(); ++p) {
        if (!(best[p] < 0.9f * own[p])) continue;
        U.data[near[p]] = new_u[p], V.data[near[p]] = new_v[p];
        const int32_t x = near_x[p], y = near_y[p];
        for (int32_t j = std::max(0, y - 2); j <= std::min(h - 1, y + 2); ++j) {
            span_lo[j] = std::min(span_lo[j], std::max(0, x - 2));
            span_hi[j] = std::max(span_hi[j], std::min(w - 1, x + 2));
        }
    }
    if (!settings_.median) return;
    for (GreyImage* f : {&U, &V}) {
        for_bands(threads, h, [&](int32_t y0, int32_t y1) {
            for (int32_t y = y0; y < y1; ++y) {
                if (span_hi[y] >= span_lo[y]) median5_line(*f, level.a11.line(y), y, span_lo[y], span_hi[y] + 1);
            }
        });
        for (int32_t y = 0; y < h; ++y) {
            if (span_hi[y] >= span_lo[y]) {
                std::copy(level.a11.line(y) + span_lo[y], level.a11.line(y) + span_hi[y] + 1, f->line(y) + span_lo[y]);
            }
        }
    }
}

// How well the flow explains each pixel (see the header).
void PairFlowEstimator::confidence(Level& level, GreyImage* out) const {
    const int32_t w = level.columns, h = level.lines;
    const int threads = std::max(1, settings_.threads);
    // The brightness error of each pixel [grey levels].
    GreyImage& error = level.a11;
    for_bands(threads, h, [&](int32_t y0, int32_t y1) {
        for (int32_t y = y0; y < y1; ++y) {
            float* e = error.line(y);
            warp_line(level.i1, y, level.u.line(y), level.v.line(y), e);
            const float* i0 = level.i0.line(y);
            for (int32_t x = 0; x < w; ++x) e[x] -= i0[x];
        }
    });
    // Where the flow sends several pixels of the first image onto one of the second, all
    // but one of them are hidden there (an occlusion), and which one is not known: each pixel
    // of the first image splats a unit onto the second, and the pixels whose match lands
    // where more than one arrived lose confidence.
    GreyImage& arrivals = level.a12;
    std::fill(arrivals.data.begin(), arrivals.data.end(), 0.0f);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            const float px = static_cast<float>(x) + level.u.data[i];
            const float py = static_cast<float>(y) + level.v.data[i];
            if (!(px >= 0 && py >= 0 && px <= static_cast<float>(w - 1) && py <= static_cast<float>(h - 1))) continue;
            const Bilinear at(px, py, w, h);
            float* a = arrivals.data.data() + at.index;
            a[0] += (1 - at.fx) * (1 - at.fy), a[1] += at.fx * (1 - at.fy);
            a[w] += (1 - at.fx) * at.fy, a[w + 1] += at.fx * at.fy;
        }
    }
    // Over the 3 x 3 neighbourhood of each pixel: the error less its mean there (a change of
    // lighting that the exposure match left), as a distance [pixels], i.e. divided by the
    // gradient, and the texture. With G = gx^2 + gy^2 + zeta^2 and m the mean error, the sum
    // of (e - m)^2 / G is that of e^2 / G, less 2 m that of e / G, plus m^2 that of 1 / G, so
    // seven sums of the 3 x 3 neighbourhood give everything: they are made along the lines
    // for three lines at a time, then down.
    constexpr int kSums = 7;
    for_bands(threads, h, [&](int32_t y0, int32_t y1) {
        std::vector<float> across(static_cast<size_t>(3 * kSums) * w);  // three lines' line sums
        std::vector<float> terms(static_cast<size_t>(kSums) * w), crowd(static_cast<size_t>(w));
        auto line_sums = [&](int32_t y) {
            const int32_t r = std::clamp(y, 0, h - 1);
            confidence_terms(w, error.line(r), level.d0[0].line(r), level.d0[1].line(r), terms.data());
            float* dst = across.data() + static_cast<size_t>((y + 3) % 3) * kSums * w;
            for (int k = 0; k < kSums; ++k) sum3_line(w, terms.data() + static_cast<size_t>(k) * w, dst + static_cast<size_t>(k) * w);
        };
        line_sums(y0 - 1);
        line_sums(y0);
        for (int32_t y = y0; y < y1; ++y) {
            line_sums(y + 1);
            const float* rows[3] = {across.data() + static_cast<size_t>((y + 2) % 3) * kSums * w,
                                    across.data() + static_cast<size_t>((y + 3) % 3) * kSums * w,
                                    across.data() + static_cast<size_t>((y + 4) % 3) * kSums * w};
            warp_line(arrivals, y, level.u.line(y), level.v.line(y), crowd.data());
            confidence_line(w, h, y, rows, level.u.line(y), level.v.line(y), crowd.data(), out->line(y));
        }
    });
}

std::optional<AffineMotion> affine_of_flow(const PairFlow& flow) {
    const int32_t w = flow.u.columns, h = flow.u.lines;
    if (w < 2 || h < 2) return std::nullopt;
    const double cx = 0.5 * (w - 1), cy = 0.5 * (h - 1);
    // Every second pixel in each direction is plenty for six unknowns.
    const int32_t step = std::max<int32_t>(1, std::min(w, h) / 128);
    std::optional<AffineMotion> fit;
    double scale = 0;  // the residual that the reweighting calls typical [pixels]
    for (int pass = 0; pass < 4; ++pass) {
        // Normal equations of [1, x - cx, y - cy] for u and for v (the same matrix).
        double m[3][3] = {}, bu[3] = {}, bv[3] = {};
        double weight_sum = 0;
        std::vector<double> residuals;
        for (int32_t y = 0; y < h; y += step) {
            for (int32_t x = 0; x < w; x += step) {
                const float c = flow.confidence.at(x, y);
                if (!(c > 0.05f)) continue;
                const double u = flow.u.at(x, y), v = flow.v.at(x, y);
                double wgt = c;
                if (fit) {
                    const double r = std::hypot(u - fit->u(x, y), v - fit->v(x, y));
                    residuals.push_back(r);
                    const double t = r / scale;
                    wgt *= t < 1 ? (1 - t * t) * (1 - t * t) : 0.0;  // Tukey's biweight
                }
                if (wgt <= 0) continue;
                const double p[3] = {1.0, x - cx, y - cy};
                for (int i = 0; i < 3; ++i) {
                    for (int j = 0; j < 3; ++j) m[i][j] += wgt * p[i] * p[j];
                    bu[i] += wgt * p[i] * u;
                    bv[i] += wgt * p[i] * v;
                }
                weight_sum += wgt;
            }
        }
        if (weight_sum < 1e-6 * w * h || weight_sum <= 0) return fit;
        // Cramer's rule on the 3 x 3 system.
        auto det3 = [](const double a[3][3]) {
            return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                   a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                   a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        };
        const double d = det3(m);
        if (!(std::fabs(d) > 1e-12)) return fit;
        double su[3], sv[3];
        for (int k = 0; k < 3; ++k) {
            double mu[3][3], mv[3][3];
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) mu[i][j] = mv[i][j] = m[i][j];
                mu[i][k] = bu[i];
                mv[i][k] = bv[i];
            }
            su[k] = det3(mu) / d;
            sv[k] = det3(mv) / d;
        }
        AffineMotion a;
        a.a = {su[0] - su[1] * cx - su[2] * cy, su[1], su[2],
               sv[0] - sv[1] * cx - sv[2] * cy, sv[1], sv[2]};
        if (fit && !residuals.empty()) {
            // The next pass's scale: 4.7 robust standard deviations (Tukey's usual constant)
            // of this fit's residuals, at least a tenth of a pixel.
            std::nth_element(residuals.begin(), residuals.begin() + residuals.size() / 2,
                             residuals.end());
            scale = std::max(0.1, 4.7 * 1.4826 * residuals[residuals.size() / 2]);
        }
        fit = a;
        if (pass == 0) {
            // The first scale from the plain fit's own residuals.
            std::vector<double> r;
            for (int32_t y = 0; y < h; y += step) {
                for (int32_t x = 0; x < w; x += step) {
                    if (!(flow.confidence.at(x, y) > 0.05f)) continue;
                    r.push_back(std::hypot(flow.u.at(x, y) - a.u(x, y), flow.v.at(x, y) - a.v(x, y)));
                }
            }
            if (r.empty()) return fit;
            std::nth_element(r.begin(), r.begin() + r.size() / 2, r.end());
            scale = std::max(0.1, 4.7 * 1.4826 * r[r.size() / 2]);
        }
    }
    return fit;
}

double pair_flow_reach(int32_t columns, int32_t lines, const PairFlowSettings& settings) {
    const int levels = pyramid_levels(columns, lines, settings);
    return patch_reach(settings) * static_cast<double>(1 << (levels - 1));
}
