#include "analysis/dense_flow.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/parallel.hpp"
#include "analysis/select.hpp"
#include "analysis/simd.hpp"

#if ORVANE_ANALYSIS_AVX2
#include <immintrin.h>
#endif

namespace {

// Sizes the flow; with `zero` every pixel is made invalid (otherwise the caller writes each).
void reset(DenseFlow* f, int32_t columns, int32_t lines, bool zero) {
    for (GreyImage* g : {&f->u, &f->v, &f->confidence}) {
        if (g->columns != columns || g->lines != lines) {
            *g = GreyImage(columns, lines);
        } else if (zero) {
            std::fill(g->data.begin(), g->data.end(), 0.0f);
        }
    }
    const size_t pixels = static_cast<size_t>(columns) * static_cast<size_t>(lines);
    if (zero) {
        f->valid.assign(pixels, 0);
    } else {
        f->valid.resize(pixels);
    }
}

bool same_size(ImageRef g, int32_t columns, int32_t lines) {
    return g && g.columns == columns && g.lines == lines;
}

// What the per-pixel terms of the solver are made of; pu, pv and mask may be null.
struct TermInputs {
    const float *xx, *yy, *xy, *xt, *yt, *pu, *pv, *mask;
};

#if ORVANE_ANALYSIS_AVX2
// The solver's per-pixel terms for [i, end), eight at a time with the plain loop's operations
// in its order (the same bits); returns where it stopped.
__attribute__((target("avx2"))) size_t terms_avx2(const TermInputs& in, float k, size_t i,
                                                  size_t end, float* const out[6]) {
    const __m256 nk = _mm256_set1_ps(-k), zero = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f), inf = _mm256_set1_ps(INFINITY);
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    for (; i + 8 <= end; i += 8) {
        const __m256 xx = _mm256_loadu_ps(in.xx + i), yy = _mm256_loadu_ps(in.yy + i);
        const __m256 xy = _mm256_loadu_ps(in.xy + i);
        __m256 bx = _mm256_mul_ps(nk, _mm256_loadu_ps(in.xt + i));
        __m256 by = _mm256_mul_ps(nk, _mm256_loadu_ps(in.yt + i));
        if (in.pu) {
            const __m256 pu = _mm256_loadu_ps(in.pu + i), pv = _mm256_loadu_ps(in.pv + i);
            bx = _mm256_add_ps(bx, _mm256_add_ps(_mm256_mul_ps(xx, pu), _mm256_mul_ps(xy, pv)));
            by = _mm256_add_ps(by, _mm256_add_ps(_mm256_mul_ps(xy, pu), _mm256_mul_ps(yy, pv)));
        }
        __m256 w = in.mask ? _mm256_loadu_ps(in.mask + i) : one;
        const __m256 sum =
            _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_add_ps(xx, yy), xy), bx), by);
        const __m256 data =
            _mm256_and_ps(_mm256_cmp_ps(_mm256_and_ps(sum, magnitude), inf, _CMP_LT_OQ),
                          _mm256_cmp_ps(w, zero, _CMP_GT_OQ));
        w = _mm256_and_ps(w, data);
        _mm256_storeu_ps(out[0] + i, _mm256_and_ps(data, _mm256_mul_ps(w, xx)));
        _mm256_storeu_ps(out[1] + i, _mm256_and_ps(data, _mm256_mul_ps(w, xy)));
        _mm256_storeu_ps(out[2] + i, _mm256_and_ps(data, _mm256_mul_ps(w, yy)));
        _mm256_storeu_ps(out[3] + i, _mm256_and_ps(data, _mm256_mul_ps(w, bx)));
        _mm256_storeu_ps(out[4] + i, _mm256_and_ps(data, _mm256_mul_ps(w, by)));
        _mm256_storeu_ps(out[5] + i, w);
    }
    return i;
}
#endif

#if ORVANE_ANALYSIS_AVX2
// The per-pixel rules below, four pixels at a time in double precision with the plain loops'
// operations in their order, so both give the same bits.

__attribute__((target("avx2"))) inline __m256d load4(const float* p) {
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
}
// Four bytes as lane masks: all ones where nonzero.
__attribute__((target("avx2"))) inline __m256d byte_mask4(const uint8_t* p) {
    int32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    const __m256i wide = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(bytes));
    return _mm256_castsi256_pd(_mm256_cmpgt_epi64(wide, _mm256_setzero_si256()));
}
__attribute__((target("avx2"))) inline __m256d finite4(__m256d x) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    return _mm256_cmp_pd(_mm256_and_pd(x, magnitude), _mm256_set1_pd(INFINITY), _CMP_LT_OQ);
}
// Stores the lanes of a mask as bytes 1 / 0.
inline void store_mask4(int bits, uint8_t* p) {
    for (int j = 0; j < 4; ++j) p[j] = static_cast<uint8_t>((bits >> j) & 1);
}

// solve_rows for [i, end), four at a time; returns where it stopped.
__attribute__((target("avx2"))) size_t solve_run_avx2(const GreyImage* sums, size_t i, size_t end,
                                                      double min_eigen, double min_ratio,
                                                      DenseFlow* out) {
    const __m256d quarter = _mm256_set1_pd(0.25), half = _mm256_set1_pd(0.5);
    const __m256d e = _mm256_set1_pd(min_eigen), r = _mm256_set1_pd(min_ratio);
    for (; i + 4 <= end; i += 4) {
        const __m256d weight = load4(sums[5].data.data() + i);
        const __m256d a = load4(sums[0].data.data() + i), b = load4(sums[1].data.data() + i);
        const __m256d c = load4(sums[2].data.data() + i);
        const __m256d half_trace = _mm256_mul_pd(half, _mm256_add_pd(a, c));
        const __m256d amc = _mm256_sub_pd(a, c);
        const __m256d d = _mm256_sqrt_pd(
            _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(quarter, amc), amc), _mm256_mul_pd(b, b)));
        const __m256d lmin = _mm256_sub_pd(half_trace, d), lmax = _mm256_add_pd(half_trace, d);
        __m256d ok = _mm256_cmp_pd(weight, quarter, _CMP_GE_OQ);
        ok = _mm256_and_pd(ok, _mm256_cmp_pd(lmin, _mm256_mul_pd(e, weight), _CMP_GE_OQ));
        ok = _mm256_and_pd(ok, _mm256_cmp_pd(lmin, _mm256_mul_pd(r, lmax), _CMP_GE_OQ));
        if (_mm256_movemask_pd(ok) == 0) {
            const __m128 zero = _mm_setzero_ps();
            _mm_storeu_ps(out->u.data.data() + i, zero);
            _mm_storeu_ps(out->v.data.data() + i, zero);
            _mm_storeu_ps(out->confidence.data.data() + i, zero);
            store_mask4(0, out->valid.data() + i);
            continue;
        }
        const __m256d det = _mm256_sub_pd(_mm256_mul_pd(a, c), _mm256_mul_pd(b, b));
        const __m256d p = load4(sums[3].data.data() + i), q = load4(sums[4].data.data() + i);
        const __m256d u =
            _mm256_div_pd(_mm256_sub_pd(_mm256_mul_pd(c, p), _mm256_mul_pd(b, q)), det);
        const __m256d v =
            _mm256_div_pd(_mm256_sub_pd(_mm256_mul_pd(a, q), _mm256_mul_pd(b, p)), det);
        ok = _mm256_and_pd(ok, _mm256_and_pd(finite4(u), finite4(v)));
        const __m256d zero = _mm256_setzero_pd();
        _mm_storeu_ps(out->u.data.data() + i, _mm256_cvtpd_ps(_mm256_blendv_pd(zero, u, ok)));
        _mm_storeu_ps(out->v.data.data() + i, _mm256_cvtpd_ps(_mm256_blendv_pd(zero, v, ok)));
        _mm_storeu_ps(out->confidence.data.data() + i,
                      _mm256_cvtpd_ps(_mm256_blendv_pd(zero, _mm256_div_pd(lmin, weight), ok)));
        store_mask4(_mm256_movemask_pd(ok), out->valid.data() + i);
    }
    return i;
}

// The misfit of the motions (u, v) on the close neighbourhoods (a b; b c), (p, q).
__attribute__((target("avx2"))) inline __m256d misfit4(__m256d u, __m256d v, __m256d a, __m256d b,
                                                       __m256d c, __m256d p, __m256d q) {
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256d t1 = _mm256_mul_pd(_mm256_mul_pd(u, u), a);
    const __m256d t2 = _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(two, u), v), b);
    const __m256d t3 = _mm256_mul_pd(_mm256_mul_pd(v, v), c);
    const __m256d t4 = _mm256_mul_pd(two, _mm256_add_pd(_mm256_mul_pd(u, p), _mm256_mul_pd(v, q)));
    return _mm256_sub_pd(_mm256_add_pd(_mm256_add_pd(t1, t2), t3), t4);
}

// choose_shifted for pixels x0 .. x1 of line y, whose horizontal candidates all lie inside
// the line; returns where it stopped. The winner's motion and confidence are carried along
// with its misfit (floats held exactly as doubles), so nothing is looked up afterwards.
__attribute__((target("avx2"))) int32_t choose_run_avx2(const DenseFlow& centred,
                                                        const GreyImage* close, int32_t y,
                                                        int32_t x0, int32_t x1, int32_t d,
                                                        DenseFlow* out) {
    const int32_t columns = centred.columns(), lines = centred.lines();
    const std::ptrdiff_t offsets[5] = {0, -d, d, -static_cast<std::ptrdiff_t>(d) * columns,
                                       static_cast<std::ptrdiff_t>(d) * columns};
    const bool inside[5] = {true, true, true, y >= d, y + d < lines};
    const __m256d margin = _mm256_set1_pd(0.02);
    const float *cu = centred.u.data.data(), *cv = centred.v.data.data();
    const float* cc = centred.confidence.data.data();
    int32_t x = x0;
    for (; x + 4 <= x1; x += 4) {
        const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(y) * columns + x;
        const __m256d a = load4(close[0].data.data() + i), b = load4(close[1].data.data() + i);
        const __m256d c = load4(close[2].data.data() + i);
        const __m256d p = load4(close[3].data.data() + i), q = load4(close[4].data.data() + i);
        __m256d have = byte_mask4(centred.valid.data() + i);
        // The centred window first; where it is invalid its motion and confidence are zeros.
        __m256d bu = load4(cu + i), bv = load4(cv + i), bc = load4(cc + i);
        __m256d best = _mm256_sub_pd(misfit4(bu, bv, a, b, c, p, q),
                                     _mm256_mul_pd(margin, _mm256_add_pd(a, c)));
        for (int k = 1; k < 5; ++k) {
            if (!inside[k]) continue;
            const std::ptrdiff_t j = i + offsets[k];
            const __m256d ok = byte_mask4(centred.valid.data() + j);
            const __m256d u = load4(cu + j), v = load4(cv + j);
            const __m256d m = misfit4(u, v, a, b, c, p, q);
            const __m256d take = _mm256_and_pd(
                ok, _mm256_or_pd(_mm256_andnot_pd(have, ok), _mm256_cmp_pd(m, best, _CMP_LT_OQ)));
            best = _mm256_blendv_pd(best, m, take);
            bu = _mm256_blendv_pd(bu, u, take);
            bv = _mm256_blendv_pd(bv, v, take);
            bc = _mm256_blendv_pd(bc, load4(cc + j), take);
            have = _mm256_or_pd(have, ok);
        }
        _mm_storeu_ps(out->u.data.data() + i, _mm256_cvtpd_ps(bu));
        _mm_storeu_ps(out->v.data.data() + i, _mm256_cvtpd_ps(bv));
        _mm_storeu_ps(out->confidence.data.data() + i, _mm256_cvtpd_ps(bc));
        store_mask4(_mm256_movemask_pd(have), out->valid.data() + i);
    }
    return x;
}
#endif

}  // namespace

double DenseFlow::valid_share() const {
    if (valid.empty()) return 0.0;
    size_t n = 0;
    for (uint8_t ok : valid) n += ok;
    return static_cast<double>(n) / static_cast<double>(valid.size());
}

double DenseFlow::median_speed() const {
    // The square root keeps the order, so the median is taken of squared speeds, made on the
    // fly in each pass instead of kept in a copy of the frame's size.
    const size_t n = static_cast<size_t>(std::count_if(valid.begin(), valid.end(),
                                                       [](uint8_t f) { return f != 0; }));
    if (n == 0) return NAN;
    const float* pu = u.data.data();
    const float* pv = v.data.data();
    const uint8_t* ok = valid.data();
    const size_t pixels = valid.size();
    return std::sqrt(kth_smallest_nonnegative(n / 2, [&](auto&& sink) {
        for (size_t i = 0; i < pixels; ++i) {
            if (ok[i] != 0) sink(pu[i] * pu[i] + pv[i] * pv[i]);
        }
    }));
}

std::vector<float> edge_mask(int32_t columns, int32_t lines, int32_t margin) {
    std::vector<float> mask(static_cast<size_t>(columns) * static_cast<size_t>(lines), 0.0f);
    for (int32_t y = margin; y < lines - margin; ++y) {
        float* r = mask.data() + static_cast<size_t>(y) * static_cast<size_t>(columns);
        std::fill(r + std::min(margin, columns), r + std::max(columns - margin, 0), 1.0f);
    }
    return mask;
}

DenseFlowSolver::DenseFlowSolver(const DenseFlowSettings& settings)
    : settings_(settings), taps_(window_taps(settings.window)), close_taps_(gaussian_taps(1.0)) {
    // The candidates lie one and a half standard deviations away (a third of a box).
    const double spread = settings.window.kind == WindowSpec::Kind::gaussian
                              ? 1.5 * settings.window.size
                              : settings.window.size / 3.0;
    shift_ = std::max(1, static_cast<int32_t>(std::lround(spread)));
}

bool DenseFlowSolver::solve(const MomentImages& m, double scale, const FlowPrediction* prediction,
                            const std::vector<float>* mask, DenseFlow* out,
                            const std::function<void()>* alongside) {
    const int32_t columns = m.Ix2.columns, lines = m.Ix2.lines;
    // Every pixel is written below; only a failure leaves them all invalid here.
    reset(out, columns, lines, false);
    const size_t pixels = static_cast<size_t>(columns) * static_cast<size_t>(lines);
    const bool predicted = prediction && !prediction->empty();
    // The caller's work runs whatever becomes of the flow.
    auto fail = [&] {
        reset(out, columns, lines, true);
        if (alongside) (*alongside)();
        return false;
    };
    for (const ImageRef& g : {m.Ix2, m.Iy2, m.Ixy, m.Ixt, m.Iyt}) {
        if (!same_size(g, columns, lines)) return fail();
    }
    if (predicted &&
        (!same_size(prediction->u, columns, lines) || !same_size(prediction->v, columns, lines))) {
        return fail();
    }
    if ((mask && mask->size() != pixels) || !(scale > 0) || !std::isfinite(scale) || pixels == 0) {
        return fail();
    }
    for (GreyImage& t : terms_) {
        if (t.columns != columns || t.lines != lines) t = GreyImage(columns, lines);
    }
    const float k = static_cast<float>(scale);
    // The per-pixel terms, in bands of lines side by side. A pixel without data adds nothing:
    // its terms are zeros, not its (perhaps infinite) moments times a zero weight.
    const int term_bands = std::max(1, std::min(2 * settings_.threads, static_cast<int>(lines)));
    const TermInputs in{m.Ix2.pixels,
                        m.Iy2.pixels,
                        m.Ixy.pixels,
                        m.Ixt.pixels,
                        m.Iyt.pixels,
                        predicted ? prediction->u->data.data() : nullptr,
                        predicted ? prediction->v->data.data() : nullptr,
                        mask ? mask->data() : nullptr};
    float* const out_terms[6] = {terms_[0].data.data(), terms_[1].data.data(),
                                 terms_[2].data.data(), terms_[3].data.data(),
                                 terms_[4].data.data(), terms_[5].data.data()};
    parallel_for(settings_.threads, term_bands, [&](int band) {
        size_t i = pixels * static_cast<size_t>(band) / static_cast<size_t>(term_bands);
        const size_t last =
            pixels * static_cast<size_t>(band + 1) / static_cast<size_t>(term_bands);
#if ORVANE_ANALYSIS_AVX2
        if (have_avx2()) i = terms_avx2(in, k, i, last, out_terms);
#endif
        for (; i < last; ++i) {
            const float xx = in.xx[i], yy = in.yy[i], xy = in.xy[i];
            float bx = -k * in.xt[i], by = -k * in.yt[i];
            if (in.pu) {
                bx += xx * in.pu[i] + xy * in.pv[i];
                by += xy * in.pu[i] + yy * in.pv[i];
            }
            float w = in.mask ? in.mask[i] : 1.0f;
            if (!std::isfinite(xx + yy + xy + bx + by) || !(w > 0)) w = 0.0f;
            const bool data = w > 0;
            out_terms[0][i] = data ? w * xx : 0.0f;
            out_terms[1][i] = data ? w * xy : 0.0f;
            out_terms[2][i] = data ? w * yy : 0.0f;
            out_terms[3][i] = data ? w * bx : 0.0f;
            out_terms[4][i] = data ? w * by : 0.0f;
            out_terms[5][i] = w;
        }
    });
    // The window sums (and the close sums that judge shifted windows) are independent, and so
    // is the caller's work; that goes first, being the longest.
    const int extra = alongside ? 1 : 0;
    const int sums = settings_.shiftable ? 11 : 6;
    parallel_for(settings_.threads, sums + extra, [&](int j) {
        j -= extra;
        if (j < 0) {
            (*alongside)();
        } else if (j < 6) {
            filter_separable(terms_[j], taps_, &sums_[j], &scratch_[j]);
        } else {
            filter_separable(terms_[j - 6], close_taps_, &close_[j - 6], &scratch_[j]);
        }
    });
    DenseFlow* centred = out;
    if (settings_.shiftable) {
        reset(&centred_, columns, lines, false);
        centred = &centred_;
    }
    // Bands of rows, two per thread.
    const int bands = std::max(1, std::min(2 * settings_.threads, static_cast<int>(lines)));
    auto band = [&](int b, int32_t* y0, int32_t* y1) {
        *y0 = static_cast<int32_t>(static_cast<int64_t>(lines) * b / bands);
        *y1 = static_cast<int32_t>(static_cast<int64_t>(lines) * (b + 1) / bands);
    };
    parallel_for(settings_.threads, bands, [&](int b) {
        int32_t y0, y1;
        band(b, &y0, &y1);
        solve_rows(y0, y1, centred);
    });
    if (settings_.shiftable) {
        parallel_for(settings_.threads, bands, [&](int b) {
            int32_t y0, y1;
            band(b, &y0, &y1);
            choose_shifted(y0, y1, out);
        });
    }
    return true;
}

void DenseFlowSolver::solve_rows(int32_t y0, int32_t y1, DenseFlow* out) const {
    const int32_t columns = out->columns();
    const double min_eigen = settings_.min_eigenvalue, min_ratio = settings_.min_ratio;
    const size_t end = static_cast<size_t>(y1) * static_cast<size_t>(columns);
    size_t i = static_cast<size_t>(y0) * static_cast<size_t>(columns);
#if ORVANE_ANALYSIS_AVX2
    if (have_avx2()) i = solve_run_avx2(sums_, i, end, min_eigen, min_ratio, out);
#endif
    for (; i < end; ++i) {
        // Invalid unless shown otherwise.
        out->u.data[i] = out->v.data[i] = out->confidence.data[i] = 0.0f;
        out->valid[i] = 0;
        // Windows that reach mostly into pixels without data are not trusted; the others
        // are judged by their mean tensor.
        const double weight = sums_[5].data[i];
        if (!(weight >= 0.25)) continue;
        const double a = sums_[0].data[i], b = sums_[1].data[i], c = sums_[2].data[i];
        const double half_trace = 0.5 * (a + c);
        const double d = std::sqrt(0.25 * (a - c) * (a - c) + b * b);
        const double lmin = half_trace - d, lmax = half_trace + d;
        if (!(lmin >= min_eigen * weight) || !(lmin >= min_ratio * lmax)) continue;
        const double det = a * c - b * b;
        const double p = sums_[3].data[i], q = sums_[4].data[i];
        const double u = (c * p - b * q) / det, v = (a * q - b * p) / det;
        if (!std::isfinite(u) || !std::isfinite(v)) continue;
        out->u.data[i] = static_cast<float>(u);
        out->v.data[i] = static_cast<float>(v);
        out->confidence.data[i] = static_cast<float>(lmin / weight);
        out->valid[i] = 1;
    }
}

void DenseFlowSolver::choose_shifted(int32_t y0, int32_t y1, DenseFlow* out) const {
    const int32_t columns = centred_.columns(), lines = centred_.lines();
    const int32_t d = shift_;
    const std::ptrdiff_t offsets[4] = {-d, d, -static_cast<std::ptrdiff_t>(d) * columns,
                                       static_cast<std::ptrdiff_t>(d) * columns};
    for (int32_t y = y0; y < y1; ++y) {
        // Four at a time where both horizontal candidates lie inside the line.
        int32_t vector_from = columns, vector_to = columns;
#if ORVANE_ANALYSIS_AVX2
        if (have_avx2() && columns > 2 * d) {
            vector_from = d;
            vector_to = choose_run_avx2(centred_, close_, y, d, columns - d, d, out);
        }
#endif
        for (int32_t x = 0; x < columns; ++x) {
            if (x == vector_from) x = vector_to;
            if (x >= columns) break;
            const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(y) * columns + x;
            // The misfit of a motion w on the close neighbourhood, less the part that does not
            // depend on w: w' A w - 2 w' b.
            const double a = close_[0].data[i], b = close_[1].data[i], c = close_[2].data[i];
            const double p = close_[3].data[i], q = close_[4].data[i];
            auto misfit = [&](std::ptrdiff_t j) {
                const double u = centred_.u.data[j], v = centred_.v.data[j];
                return u * u * a + 2 * u * v * b + v * v * c - 2 * (u * p + v * q);
            };
            // A shifted window must explain the neighbourhood clearly better than the centred
            // one, by what an error of a fifth of a pixel would cost; where both windows see
            // one motion their difference is noise, and the centred one is kept.
            std::ptrdiff_t best = centred_.valid[i] ? i : -1;
            double best_misfit = best >= 0 ? misfit(i) - 0.02 * (a + c) : 0;
            const bool inside[4] = {x >= d, x + d < columns, y >= d, y + d < lines};
            for (int k = 0; k < 4; ++k) {
                if (!inside[k]) continue;
                const std::ptrdiff_t j = i + offsets[k];
                if (!centred_.valid[j]) continue;
                const double m = misfit(j);
                if (best < 0 || m < best_misfit) best = j, best_misfit = m;
            }
            if (best < 0) {
                out->u.data[i] = out->v.data[i] = out->confidence.data[i] = 0.0f;
                out->valid[i] = 0;
                continue;
            }
            out->u.data[i] = centred_.u.data[best];
            out->v.data[i] = centred_.v.data[best];
            out->confidence.data[i] = centred_.confidence.data[best];
            out->valid[i] = 1;
        }
    }
}
