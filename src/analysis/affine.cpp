#include "analysis/affine.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "analysis/select.hpp"
#include "analysis/simd.hpp"

#if ORVANE_ANALYSIS_AVX2
#include <immintrin.h>
#endif

namespace {

// Weighted moments of one image: the sums of I, I X, I Y, I X^2, I X Y, I Y^2.
struct Moments {
    double m1 = 0, mx = 0, my = 0, mxx = 0, mxy = 0, myy = 0;
};

// Solves the 6 x 6 system in place by elimination with partial pivoting. Fails when a pivot
// is negligible against the largest diagonal element: the texture does not fix the motion.
bool solve6(double n[6][6], double b[6], double out[6]) {
    double scale = 0.0;
    for (int i = 0; i < 6; ++i) scale = std::max(scale, std::fabs(n[i][i]));
    if (!(scale > 0.0) || !std::isfinite(scale)) return false;
    for (int col = 0; col < 6; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 6; ++r) {
            if (std::fabs(n[r][col]) > std::fabs(n[pivot][col])) pivot = r;
        }
        if (std::fabs(n[pivot][col]) <= 1e-12 * scale) return false;
        if (pivot != col) {
            for (int c = 0; c < 6; ++c) std::swap(n[col][c], n[pivot][c]);
            std::swap(b[col], b[pivot]);
        }
        for (int r = col + 1; r < 6; ++r) {
            const double f = n[r][col] / n[col][col];
            for (int c = col; c < 6; ++c) n[r][c] -= f * n[col][c];
            b[r] -= f * b[col];
        }
    }
    for (int r = 5; r >= 0; --r) {
        double s = b[r];
        for (int c = r + 1; c < 6; ++c) s -= n[r][c] * out[c];
        out[r] = s / n[r][r];
        if (!std::isfinite(out[r])) return false;
    }
    return true;
}

// One line's contribution to the fit: the weighted sums of the three tensor images times
// 1, X, X^2 and of the two right-hand sides times 1, X (see fit()).
struct LineSums {
    double a[3] = {0, 0, 0}, b[3] = {0, 0, 0}, c[3] = {0, 0, 0};  // xx, yy, xy
    double t[2] = {0, 0}, u[2] = {0, 0};                          // xt, yt
};

// The pointers of one line; pu, pv and w may be null. With e2 set, the weight of a pixel is
// w / (1 + e2 inv_c2) (w 1 where null): the robust fit's Cauchy weight of the squared
// residual e2, formed as it is read.
struct LineRefs {
    const float *xx, *yy, *xy, *xt, *yt, *pu, *pv, *w;
    const float* e2 = nullptr;
    float inv_c2 = 0.0f;
};

float weight_at(const LineRefs& r, int32_t x) {
    const float w = r.w ? r.w[x] : 1.0f;
    return r.e2 ? w / (1.0f + r.e2[x] * r.inv_c2) : w;
}

#if ORVANE_ANALYSIS_AVX2
// Four samples p[0], p[s], p[2 s], p[3 s] as doubles; for s = 2 the eight floats from p must
// be readable.
__attribute__((target("avx2"))) inline __m256d load_grid(const float* p, int32_t s) {
    if (s == 1) return _mm256_cvtps_pd(_mm_loadu_ps(p));
    if (s == 2) {
        const __m256 even =
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(p), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
        return _mm256_cvtps_pd(_mm256_castps256_ps128(even));
    }
    return _mm256_setr_pd(p[0], p[s], p[2 * s], p[3 * s]);
}

__attribute__((target("avx2"))) inline double lane_sum(__m256d v) {
    const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

// Four samples at a time from x; returns where it stopped. Xg holds X at x, x + s, ...
__attribute__((target("avx2"))) int32_t line_sums_avx2(const LineRefs& r, const double* Xg,
                                                       int32_t x, int32_t end, int32_t s,
                                                       int32_t columns, double k, LineSums* out) {
    const __m256d one = _mm256_set1_pd(1.0), nk = _mm256_set1_pd(-k);
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, b0 = a0, b1 = a0, b2 = a0, c0 = a0, c1 = a0,
            c2 = a0, t0 = a0, t1 = a0, u0 = a0, u1 = a0;
    // Floats read from x (eight where the Cauchy weights are formed a vector at a time).
    const int32_t reach = s == 2 || (s == 1 && r.e2) ? 8 : 3 * s + 1;
    int32_t j = 0;
    for (; x + 3 * s < end && x + reach <= columns; x += 4 * s, j += 4) {
        const __m256d X = _mm256_loadu_pd(Xg + j), Xs = _mm256_mul_pd(X, X);
        __m256d w = r.w ? load_grid(r.w + x, s) : one;
        if (r.e2) {
            // The same float operations as weight_at, on the grid's samples.
            const __m256 wf = r.w ? _mm256_loadu_ps(r.w + x) : _mm256_set1_ps(1.0f);
            const __m256 den = _mm256_add_ps(
                _mm256_set1_ps(1.0f),
                _mm256_mul_ps(_mm256_loadu_ps(r.e2 + x), _mm256_set1_ps(r.inv_c2)));
            if (s <= 2) {
                alignas(32) float q[8];
                _mm256_store_ps(q, _mm256_div_ps(wf, den));
                w = load_grid(q, s);
            } else {
                w = _mm256_setr_pd(weight_at(r, x), weight_at(r, x + s), weight_at(r, x + 2 * s),
                                   weight_at(r, x + 3 * s));
            }
        }
        const __m256d xx = load_grid(r.xx + x, s), yy = load_grid(r.yy + x, s);
        const __m256d xy = load_grid(r.xy + x, s);
        __m256d bx = _mm256_mul_pd(nk, load_grid(r.xt + x, s));
        __m256d by = _mm256_mul_pd(nk, load_grid(r.yt + x, s));
        if (r.pu) {
            const __m256d pu = load_grid(r.pu + x, s), pv = load_grid(r.pv + x, s);
            bx = _mm256_add_pd(bx, _mm256_add_pd(_mm256_mul_pd(xx, pu), _mm256_mul_pd(xy, pv)));
            by = _mm256_add_pd(by, _mm256_add_pd(_mm256_mul_pd(xy, pu), _mm256_mul_pd(yy, pv)));
        }
        const __m256d vxx = _mm256_mul_pd(w, xx), vyy = _mm256_mul_pd(w, yy);
        const __m256d vxy = _mm256_mul_pd(w, xy);
        const __m256d vxt = _mm256_mul_pd(w, bx), vyt = _mm256_mul_pd(w, by);
        a0 = _mm256_add_pd(a0, vxx), a1 = _mm256_add_pd(a1, _mm256_mul_pd(vxx, X));
        a2 = _mm256_add_pd(a2, _mm256_mul_pd(vxx, Xs));
        b0 = _mm256_add_pd(b0, vyy), b1 = _mm256_add_pd(b1, _mm256_mul_pd(vyy, X));
        b2 = _mm256_add_pd(b2, _mm256_mul_pd(vyy, Xs));
        c0 = _mm256_add_pd(c0, vxy), c1 = _mm256_add_pd(c1, _mm256_mul_pd(vxy, X));
        c2 = _mm256_add_pd(c2, _mm256_mul_pd(vxy, Xs));
        t0 = _mm256_add_pd(t0, vxt), t1 = _mm256_add_pd(t1, _mm256_mul_pd(vxt, X));
        u0 = _mm256_add_pd(u0, vyt), u1 = _mm256_add_pd(u1, _mm256_mul_pd(vyt, X));
    }
    out->a[0] += lane_sum(a0), out->a[1] += lane_sum(a1), out->a[2] += lane_sum(a2);
    out->b[0] += lane_sum(b0), out->b[1] += lane_sum(b1), out->b[2] += lane_sum(b2);
    out->c[0] += lane_sum(c0), out->c[1] += lane_sum(c1), out->c[2] += lane_sum(c2);
    out->t[0] += lane_sum(t0), out->t[1] += lane_sum(t1);
    out->u[0] += lane_sum(u0), out->u[1] += lane_sum(u1);
    return x;
}
#endif

// The same, one sample at a time, from x to the end.
void line_sums(const LineRefs& r, const double* Xg, int32_t x, int32_t end, int32_t s, double k,
               LineSums* out) {
    for (int32_t j = 0; x < end; x += s, ++j) {
        const double Xv = Xg[j];
        const double Xs = Xv * Xv;
        const double w = weight_at(r, x);
        const double vxx = w * r.xx[x], vyy = w * r.yy[x], vxy = w * r.xy[x];
        double bx = -k * r.xt[x], by = -k * r.yt[x];
        if (r.pu) {
            bx += static_cast<double>(r.xx[x]) * r.pu[x] + static_cast<double>(r.xy[x]) * r.pv[x];
            by += static_cast<double>(r.xy[x]) * r.pu[x] + static_cast<double>(r.yy[x]) * r.pv[x];
        }
        const double vxt = w * bx, vyt = w * by;
        out->a[0] += vxx, out->a[1] += vxx * Xv, out->a[2] += vxx * Xs;
        out->b[0] += vyy, out->b[1] += vyy * Xv, out->b[2] += vyy * Xs;
        out->c[0] += vxy, out->c[1] += vxy * Xv, out->c[2] += vxy * Xs;
        out->t[0] += vxt, out->t[1] += vxt * Xv;
        out->u[0] += vyt, out->u[1] += vyt * Xv;
    }
}

#if ORVANE_ANALYSIS_AVX2
// The robust fit's squared normal-flow residuals of four samples at a time, with the plain
// loop's operations in its order (the same bits); the samples with texture also go to
// `typical`. Returns where it stopped.
__attribute__((target("avx2"))) int32_t residual_line_avx2(const LineRefs& refs, const float* t,
                                                           const float* mask, int32_t y, double u0,
                                                           double du, double v0, double dv,
                                                           double k, int32_t x, int32_t end,
                                                           int32_t s, int32_t columns, float* e2,
                                                           float* typical, size_t* kept) {
    // The lines' pointers in registers (the stores below could otherwise alias them).
    const float *xxp = refs.xx, *yyp = refs.yy, *xyp = refs.xy, *xtp = refs.xt, *ytp = refs.yt;
    const float *pup = refs.pu, *pvp = refs.pv;
    const __m256d zero = _mm256_setzero_pd(), two = _mm256_set1_pd(2.0), one = _mm256_set1_pd(1.0);
    const __m256d k2 = _mm256_set1_pd(2 * k), kk = _mm256_set1_pd(k * k);
    const __m256d big = _mm256_set1_pd(1e30);
    // For each pattern of four flags, the permutation that moves the flagged lanes first.
    static const auto packs = [] {
        std::array<int32_t, 64> p{};
        for (int bits = 0; bits < 16; ++bits) {
            int j = 0;
            for (int l = 0; l < 4; ++l) {
                if ((bits >> l) & 1) p[static_cast<size_t>(bits * 4 + j++)] = l;
            }
        }
        return p;
    }();
    size_t n = *kept;
    const int32_t reach = s == 2 ? 8 : 3 * s + 1;
    for (; x + 3 * s < end && x + reach <= columns; x += 4 * s) {
        const __m256d xs = _mm256_setr_pd(x, x + s, x + 2 * s, x + 3 * s);
        __m256d u = _mm256_add_pd(_mm256_set1_pd(u0), _mm256_mul_pd(_mm256_set1_pd(du), xs));
        __m256d v = _mm256_add_pd(_mm256_set1_pd(v0), _mm256_mul_pd(_mm256_set1_pd(dv), xs));
        if (pup) {
            u = _mm256_sub_pd(u, load_grid(pup + x, s));
            v = _mm256_sub_pd(v, load_grid(pvp + x, s));
        }
        const __m256d xx = load_grid(xxp + x, s), yy = load_grid(yyp + x, s);
        const __m256d xy = load_grid(xyp + x, s), tt = load_grid(t + x, s);
        const __m256d g2 = _mm256_add_pd(xx, yy);
        __m256d r2 = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(u, u), xx),
                                   _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(two, u), v), xy));
        r2 = _mm256_add_pd(r2, _mm256_mul_pd(_mm256_mul_pd(v, v), yy));
        r2 = _mm256_add_pd(
            r2, _mm256_mul_pd(k2, _mm256_add_pd(_mm256_mul_pd(u, load_grid(xtp + x, s)),
                                                _mm256_mul_pd(v, load_grid(ytp + x, s)))));
        r2 = _mm256_add_pd(r2, _mm256_mul_pd(_mm256_mul_pd(kk, tt), tt));
        // max(0, r2) keeps a NaN r2 as NaN, as std::max(0.0, r2) does.
        const __m256d pos = _mm256_blendv_pd(r2, zero, _mm256_cmp_pd(zero, r2, _CMP_GT_OQ));
        const __m256d textured = _mm256_cmp_pd(g2, zero, _CMP_GT_OQ);
        const __m256d q = _mm256_and_pd(textured, _mm256_div_pd(pos, g2));
        const __m256d capped = _mm256_blendv_pd(big, q, _mm256_cmp_pd(q, big, _CMP_LT_OQ));
        const __m128 e = _mm256_cvtpd_ps(capped);
        if (s == 2) {
            // The even floats of x .. x+7 take the four residuals, the odd ones keep theirs.
            const __m256 spread = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(e),
                                                           _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3));
            _mm256_storeu_ps(e2 + x, _mm256_blend_ps(_mm256_loadu_ps(e2 + x), spread, 0x55));
        } else {
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, e);
            for (int l = 0; l < 4; ++l) e2[x + l * s] = lanes[l];
        }
        // Only samples with texture (and data) say anything about the typical residual.
        int flags = _mm256_movemask_pd(_mm256_cmp_pd(g2, one, _CMP_GT_OQ));
        if (mask) flags &= _mm256_movemask_pd(_mm256_cmp_pd(load_grid(mask + x, s), zero, _CMP_GT_OQ));
        if (s == 1) {
            // Every fourth pixel: even columns of even lines.
            flags &= (y & 1) ? 0 : ((x & 1) ? 0xa : 0x5);
        }
        const __m128i perm = _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(packs.data() + static_cast<size_t>(flags) * 4));
        _mm_storeu_ps(typical + n, _mm_permutevar_ps(e, perm));
        n += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(flags)));
    }
    *kept = n;
    return x;
}
#endif

}  // namespace

std::optional<AffineMotion> AffineEstimator::estimate(const MomentImages& m, double temporal_gain,
                                                      const FlowPrediction* prediction,
                                                      const std::vector<float>* mask) const {
    return fit(m, temporal_gain, prediction, mask);
}

std::optional<AffineMotion> AffineEstimator::fit(const MomentImages& m, double temporal_gain,
                                                 const FlowPrediction* prediction,
                                                 const std::vector<float>* weights,
                                                 const std::vector<float>* residual,
                                                 float inv_c2) const {
    const ImageRef images[5] = {m.Ix2, m.Iy2, m.Ixy, m.Ixt, m.Iyt};
    for (const ImageRef& img : images) {
        if (img.empty()) return std::nullopt;
    }
    if (!(temporal_gain > 0.0)) return std::nullopt;
    const int32_t columns = m.Ix2.columns;
    const int32_t lines = m.Ix2.lines;
    for (const ImageRef& img : images) {
        if (img.columns != columns || img.lines != lines) return std::nullopt;
    }
    const bool predicted = prediction && !prediction->empty();
    if (predicted && (prediction->u->columns != columns || prediction->u->lines != lines ||
                      prediction->v->columns != columns || prediction->v->lines != lines)) {
        return std::nullopt;
    }
    const size_t pixels = static_cast<size_t>(columns) * static_cast<size_t>(lines);
    if ((weights && weights->size() != pixels) || (residual && residual->size() != pixels)) {
        return std::nullopt;
    }
    const double k = kSpatialGain / temporal_gain;
    const int32_t x0 = std::min(margin_, columns / 2), x1 = columns - x0;
    const int32_t y0 = std::min(margin_, lines / 2), y1 = lines - y0;
    if (x1 - x0 < 2 || y1 - y0 < 2) return std::nullopt;

    // Centred and scaled coordinates keep the normal matrix well conditioned; the result is
    // carried back to pixel coordinates at the end.
    const double cx = 0.5 * (columns - 1), cy = 0.5 * (lines - 1);
    const double s = 0.5 * std::max(columns, lines);
    // X on the grid of sampled columns.
    std::vector<double> Xg;
    for (int32_t x = x0; x < x1; x += stride_) Xg.push_back((x - cx) / s);

    Moments xx, yy, xy;
    // Right-hand sides: the sums of bx = Ix2 pu + Ixy pv - k Ixt and by = Ixy pu + Iy2 pv -
    // k Iyt times 1, X, Y, where (pu, pv) is the predicted motion (zero without one).
    double tx[3] = {0, 0, 0}, ty[3] = {0, 0, 0};
    for (int32_t y = y0; y < y1; y += stride_) {
        const double Y = (y - cy) / s;
        const size_t row = static_cast<size_t>(y) * static_cast<size_t>(columns);
        const LineRefs refs{m.Ix2.line(y),
                            m.Iy2.line(y),
                            m.Ixy.line(y),
                            m.Ixt.line(y),
                            m.Iyt.line(y),
                            predicted ? prediction->u->data.data() + row : nullptr,
                            predicted ? prediction->v->data.data() + row : nullptr,
                            weights ? weights->data() + row : nullptr,
                            residual ? residual->data() + row : nullptr,
                            inv_c2};
        LineSums sums;
        int32_t x = x0;
#if ORVANE_ANALYSIS_AVX2
        if (have_avx2()) x = line_sums_avx2(refs, Xg.data(), x, x1, stride_, columns, k, &sums);
#endif
        line_sums(refs, Xg.data() + (x - x0) / stride_, x, x1, stride_, k, &sums);
        const double *a = sums.a, *b = sums.b, *c = sums.c, *t = sums.t, *u = sums.u;
        auto add = [Y](Moments& mo, const double* r) {
            mo.m1 += r[0], mo.mx += r[1], mo.my += Y * r[0];
            mo.mxx += r[2], mo.mxy += Y * r[1], mo.myy += Y * Y * r[0];
        };
        add(xx, a);
        add(yy, b);
        add(xy, c);
        tx[0] += t[0], tx[1] += t[1], tx[2] += Y * t[0];
        ty[0] += u[0], ty[1] += u[1], ty[2] += Y * u[0];
    }

    // Unknowns (a1', a2', a3', a4', a5', a6') in scaled coordinates; regressor
    // (Ix, X Ix, Y Ix, Iy, X Iy, Y Iy).
    auto block = [](const Moments& mo, double out[3][3]) {
        out[0][0] = mo.m1, out[0][1] = mo.mx, out[0][2] = mo.my;
        out[1][0] = mo.mx, out[1][1] = mo.mxx, out[1][2] = mo.mxy;
        out[2][0] = mo.my, out[2][1] = mo.mxy, out[2][2] = mo.myy;
    };
    double bxx[3][3], byy[3][3], bxy[3][3];
    block(xx, bxx);
    block(yy, byy);
    block(xy, bxy);
    double n[6][6];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            n[i][j] = bxx[i][j];
            n[i][j + 3] = bxy[i][j];
            n[i + 3][j] = bxy[i][j];
            n[i + 3][j + 3] = byy[i][j];
        }
    }
    double rhs[6] = {tx[0], tx[1], tx[2], ty[0], ty[1], ty[2]};
    double p[6];
    if (!solve6(n, rhs, p)) return std::nullopt;

    AffineMotion motion;
    motion.a[1] = p[1] / s;
    motion.a[2] = p[2] / s;
    motion.a[0] = p[0] - motion.a[1] * cx - motion.a[2] * cy;
    motion.a[4] = p[4] / s;
    motion.a[5] = p[5] / s;
    motion.a[3] = p[3] - motion.a[4] * cx - motion.a[5] * cy;
    return motion;
}

std::optional<AffineMotion> AffineEstimator::estimate_robust(const MomentImages& m,
                                                             ImageRef It,
                                                             double temporal_gain, int passes,
                                                             const FlowPrediction* prediction,
                                                             const std::vector<float>* mask) const {
    std::optional<AffineMotion> motion = fit(m, temporal_gain, prediction, mask);
    if (!motion || It.empty() || It.columns != m.Ix2.columns || It.lines != m.Ix2.lines) {
        return motion;
    }
    const size_t count = static_cast<size_t>(It.columns) * static_cast<size_t>(It.lines);
    if (mask && mask->size() != count) return motion;
    const int32_t columns = It.columns, lines = It.lines;
    const double k = kSpatialGain / temporal_gain;
    const bool predicted = prediction && !prediction->empty();
    // The residuals are needed only where the fit looks: its grid of every stride-th pixel
    // inside the margin. Elsewhere they stay 0 and are never read.
    const int32_t x0 = std::min(margin_, columns / 2), x1 = columns - x0;
    const int32_t y0 = std::min(margin_, lines / 2), y1 = lines - y0;
    std::vector<float>& typical = typical_;
    std::vector<float>& residual = residual_;  // squared normal-flow residual [(pixels/frame)^2]
    if (residual.size() != count) residual.assign(count, 0.0f);
    for (int pass = 0; pass < passes; ++pass) {
        // The residual r = Ix du + Iy dv + k It, with (du, dv) the fitted motion less the
        // predicted one, follows from the moments without Ix and Iy: r^2 = du^2 Ix2 +
        // 2 du dv Ixy + dv^2 Iy2 + 2 k (du Ixt + dv Iyt) + k^2 It^2; divided by the squared
        // gradient it is the squared error of the normal flow.
        // Squared residuals throughout: the weights need no square root.
        // Room for every sample of the grid, and one vector's store beyond.
        typical.resize((static_cast<size_t>(x1 - x0) / stride_ + 1) *
                           (static_cast<size_t>(y1 - y0) / stride_ + 1) +
                       8);
        size_t kept = 0;
        for (int32_t y = y0; y < y1; y += stride_) {
            const size_t row = static_cast<size_t>(y) * columns;
            const float* xx = m.Ix2.pixels + row;
            const float* yy = m.Iy2.pixels + row;
            const float* xy = m.Ixy.pixels + row;
            const float* xt = m.Ixt.pixels + row;
            const float* yt = m.Iyt.pixels + row;
            const float* t = It.pixels + row;
            float* e2 = residual.data() + row;
            const float* pu = predicted ? prediction->u->data.data() + row : nullptr;
            const float* pv = predicted ? prediction->v->data.data() + row : nullptr;
            const float* mw = mask ? mask->data() + row : nullptr;
            const double u0 = motion->u(0, y), v0 = motion->v(0, y);
            const double du = motion->a[1], dv = motion->a[4];
            int32_t x = x0;
#if ORVANE_ANALYSIS_AVX2
            if (have_avx2()) {
                const LineRefs refs{xx, yy, xy, xt, yt, pu, pv, nullptr};
                x = residual_line_avx2(refs, t, mw, y, u0, du, v0, dv, k, x, x1, stride_, columns,
                                       e2, typical.data(), &kept);
            }
#endif
            for (; x < x1; x += stride_) {
                double u = u0 + du * x, v = v0 + dv * x;
                if (pu) u -= pu[x], v -= pv[x];
                const double g2 = static_cast<double>(xx[x]) + yy[x];
                const double r2 = u * u * xx[x] + 2 * u * v * xy[x] + v * v * yy[x] +
                                  2 * k * (u * xt[x] + v * yt[x]) + k * k * t[x] * t[x];
                const double q = g2 > 0 ? std::max(0.0, r2) / g2 : 0.0;
                e2[x] = q < 1e30 ? static_cast<float>(q) : 1e30f;  // NaN lands here too
                // Only pixels with texture say anything about the typical residual; every
                // fourth one is plenty for a median.
                if (g2 > 1.0 && (stride_ > 1 || ((x | y) & 1) == 0) && (!mw || mw[x] > 0)) {
                    typical[kept++] = e2[x];
                }
            }
        }
        if (kept < 16) break;
        const float median = kth_smallest(typical.data(), kept, kept / 2);
        // A residual of about 2.5 median residuals weighs one half; the floor (0.02 pixels
        // per frame) keeps a fit that is already nearly exact from discarding ordinary noise.
        const double c2 = std::max(0.02 * 0.02, 6.25 * median);
        const float inv_c2 = static_cast<float>(1.0 / c2);
        // Each pixel weighs mask / (1 + e2 / c2), formed as the fit reads it.
        std::optional<AffineMotion> next = fit(m, temporal_gain, prediction, mask, &residual, inv_c2);
        if (!next) break;
        motion = next;
    }
    return motion;
}

std::optional<AffineMotion> median_motion(const std::vector<AffineMotion>& estimates) {
    if (estimates.empty()) return std::nullopt;
    AffineMotion med;
    std::vector<double> values(estimates.size());
    for (int i = 0; i < 6; ++i) {
        for (size_t j = 0; j < estimates.size(); ++j) values[j] = estimates[j].a[i];
        std::sort(values.begin(), values.end());
        const size_t h = values.size() / 2;
        med.a[i] = values.size() % 2 ? values[h] : 0.5 * (values[h - 1] + values[h]);
    }
    return med;
}

std::optional<AffineMotion> trimmed_mean_motion(const std::vector<AffineMotion>& estimates,
                                                double trim) {
    if (estimates.empty()) return std::nullopt;
    const size_t n = estimates.size();
    const size_t cut = std::min(static_cast<size_t>(static_cast<double>(n) * trim), (n - 1) / 2);
    AffineMotion mean;
    std::vector<double> values(n);
    for (int i = 0; i < 6; ++i) {
        for (size_t j = 0; j < n; ++j) values[j] = estimates[j].a[i];
        std::sort(values.begin(), values.end());
        double sum = 0;
        for (size_t j = cut; j < n - cut; ++j) sum += values[j];
        mean.a[i] = sum / static_cast<double>(n - 2 * cut);
    }
    return mean;
}
