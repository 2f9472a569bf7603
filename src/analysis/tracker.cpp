#include "analysis/tracker.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "analysis/component_session.hpp"
#include "analysis/width.hpp"
#include "engine/engine_stages.hpp"
#include "analysis/parallel.hpp"
#include "analysis/resample.hpp"
#include "analysis/select.hpp"
#include "analysis/simd.hpp"
#include "analysis/units.hpp"

#if ORVANE_ANALYSIS_AVX2
#include <immintrin.h>
#endif

namespace {

constexpr int kWindowFrames = 5;  // the batch rule's frames; the middle one is measured
constexpr int32_t kReduction = 4;

// The engine wants a width that is a multiple of 4: the frame is padded by repeating its last
// column (analysis/width.hpp), and the added columns are left out of every sum.

void narrow_flow(DenseFlow* f, int32_t columns) {
    if (f->u.columns == columns || f->u.empty()) return;
    const int32_t wide = f->u.columns, lines = f->u.lines;
    f->u = crop(f->u, columns);
    f->v = crop(f->v, columns);
    f->confidence = crop(f->confidence, columns);
    std::vector<uint8_t> valid(static_cast<size_t>(columns) * static_cast<size_t>(lines));
    for (int32_t y = 0; y < lines; ++y) {
        std::copy_n(f->valid.begin() + static_cast<std::ptrdiff_t>(y) * wide, columns,
                    valid.begin() + static_cast<std::ptrdiff_t>(y) * columns);
    }
    f->valid = std::move(valid);
}

#if ORVANE_ANALYSIS_AVX2
// The warped part of the prediction eight at a time, with the plain loop's operations (the
// same bits): the whole prediction where its speed is at least `from`, else nothing (a NaN
// speed warps nothing). Returns where it stopped and sets *moving where any is warped.
__attribute__((target("avx2"))) size_t warp_part_avx2(const float* pu, const float* pv, size_t n,
                                                      float from, float* gu, float* gv,
                                                      int* moving) {
    const __m256 f = _mm256_set1_ps(from);
    __m256 any = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 u = _mm256_loadu_ps(pu + i), v = _mm256_loadu_ps(pv + i);
        const __m256 speed =
            _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(u, u), _mm256_mul_ps(v, v)));
        const __m256 warped = _mm256_cmp_ps(speed, f, _CMP_GE_OQ);
        _mm256_storeu_ps(gu + i, _mm256_and_ps(warped, u));
        _mm256_storeu_ps(gv + i, _mm256_and_ps(warped, v));
        any = _mm256_or_ps(any, warped);
    }
    *moving |= _mm256_movemask_ps(any) != 0;
    return i;
}
#endif

// The pixels of a line that the measure of a pass samples (every second one, from the first):
// what the flow adds to the prediction and the moments the flow's misfit is formed from.
struct LeftOverLine {
    const float *u, *v, *gu, *gv, *xx, *yy, *xy, *xt, *yt, *t;
    const uint8_t* valid;
};

// The sampled pixels of [x, n): for each valid one, the length of what the flow adds to the
// prediction goes to `left`, and where its misfit r = du^2 Ix2 + 2 du dv Ixy + dv^2 Iy2 +
// 2 k (du Ixt + dv Iyt) + k^2 It^2 is finite, max(0, r) to r2 and Ix2 + Iy2 to g2.
void left_over_plain(const LeftOverLine& l, int32_t x, int32_t n, double k, float* left,
                     size_t* kept, double* r2, double* g2) {
    for (; x < n; x += 2) {
        if (!l.valid[x]) continue;
        const double du = l.u[x] - l.gu[x], dv = l.v[x] - l.gv[x];
        left[(*kept)++] = static_cast<float>(std::sqrt(du * du + dv * dv));
        const double t = l.t[x];
        const double r = du * du * l.xx[x] + 2 * du * dv * l.xy[x] + dv * dv * l.yy[x] +
                         2 * k * (du * l.xt[x] + dv * l.yt[x]) + k * k * t * t;
        if (std::isfinite(r)) *r2 += std::max(0.0, r), *g2 += l.xx[x] + l.yy[x];
    }
}

#if ORVANE_ANALYSIS_AVX2
// The even ones of eight floats, as doubles.
__attribute__((target("avx2"))) inline __m256d even_lanes(__m256 v) {
    const __m256 packed = _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    return _mm256_cvtps_pd(_mm256_castps256_ps128(packed));
}

// left_over_plain four samples at a time with its operations in its order (the same bits);
// the sums are still added one sample after the other. Returns where it stopped.
__attribute__((target("avx2"))) int32_t left_over_avx2(const LeftOverLine& l, int32_t n, double k,
                                                      float* left, size_t* kept, double* r2,
                                                      double* g2) {
    size_t count = *kept;
    const __m256d two = _mm256_set1_pd(2.0), k2 = _mm256_set1_pd(2 * k);
    const __m256d kk = _mm256_set1_pd(k * k);
    int32_t x = 0;
    for (; x + 8 <= n; x += 8) {
        int32_t bytes;
        std::memcpy(&bytes, l.valid + x, sizeof bytes);
        int32_t bytes_hi;
        std::memcpy(&bytes_hi, l.valid + x + 4, sizeof bytes_hi);
        // Bytes x, x+2, x+4, x+6.
        const int32_t flags = (bytes & 0xff) | ((bytes >> 8) & 0xff00) | ((bytes_hi & 0xff) << 16) |
                              ((bytes_hi & 0xff0000) << 8);
        if (flags == 0) continue;
        const __m256d du = even_lanes(
            _mm256_sub_ps(_mm256_loadu_ps(l.u + x), _mm256_loadu_ps(l.gu + x)));
        const __m256d dv = even_lanes(
            _mm256_sub_ps(_mm256_loadu_ps(l.v + x), _mm256_loadu_ps(l.gv + x)));
        const __m256 xx8 = _mm256_loadu_ps(l.xx + x), yy8 = _mm256_loadu_ps(l.yy + x);
        const __m256d xx = even_lanes(xx8), yy = even_lanes(yy8);
        const __m256d xy = even_lanes(_mm256_loadu_ps(l.xy + x));
        const __m256d xt = even_lanes(_mm256_loadu_ps(l.xt + x));
        const __m256d yt = even_lanes(_mm256_loadu_ps(l.yt + x));
        const __m256d t = even_lanes(_mm256_loadu_ps(l.t + x));
        const __m128 len = _mm256_cvtpd_ps(
            _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(du, du), _mm256_mul_pd(dv, dv))));
        __m256d r = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(du, du), xx),
                                  _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(two, du), dv), xy));
        r = _mm256_add_pd(r, _mm256_mul_pd(_mm256_mul_pd(dv, dv), yy));
        r = _mm256_add_pd(
            r, _mm256_mul_pd(k2, _mm256_add_pd(_mm256_mul_pd(du, xt), _mm256_mul_pd(dv, yt))));
        r = _mm256_add_pd(r, _mm256_mul_pd(_mm256_mul_pd(kk, t), t));
        float lengths[4];
        _mm_storeu_ps(lengths, len);
        double misfit[4];
        _mm256_storeu_pd(misfit, r);
        float gradient[8];
        _mm256_storeu_ps(gradient, _mm256_add_ps(xx8, yy8));
        for (int j = 0; j < 4; ++j) {
            if (!((flags >> (8 * j)) & 0xff)) continue;
            left[count++] = lengths[j];
            if (std::isfinite(misfit[j])) {
                *r2 += std::max(0.0, misfit[j]), *g2 += gradient[2 * j];
            }
        }
    }
    *kept = count;
    return x;
}
#endif

// An affine motion of frames reduced by r, in full-frame coordinates (x_reduced = (x + 0.5) / r
// - 0.5) and pixels.
AffineMotion affine_on_full_frames(AffineMotion a, int32_t r) {
    const double shift = 0.5 - 0.5 * r;
    a.a[0] = r * a.a[0] + (a.a[1] + a.a[2]) * shift;
    a.a[3] = r * a.a[3] + (a.a[4] + a.a[5]) * shift;
    return a;
}

// Every second line and column is plenty for the affine fit (a quarter of the work, the
// same motion to well within its noise); on larger frames wider steps keep about as many
// pixels (a 960x540 level: every third).
int32_t fit_stride(int32_t columns, int32_t lines) {
    const double pixels = static_cast<double>(columns) * lines;
    return std::max(2, static_cast<int32_t>(std::lround(std::sqrt(pixels / 65000.0))));
}

}  // namespace

// One size of frames: its last five frames, the centre frame's spatial moments, the temporal
// ones and its work images. The engine's stages (engine/engine_stages.hpp) compute the moments,
// with the same kernels as the component, so they are the component's bits for the same frames.
class FlowTracker::Level {
  public:
    // smooth_input: the frames are the pushed ones reduced by a block mean, which leaves detail
    // close to the new pixel size; the engine's input filter takes it out, as on the full
    // frames the tool's own filter does. Left in, that detail makes the spatial derivative
    // read short and slow motions read some per cent too fast. The level on frames reduced by
    // 4 only predicts, and sharper is better there: smoothed, it blurs a moving object's edge
    // into the prediction of its surroundings.
    Level(int32_t columns, int32_t lines, const TrackerSettings& s, bool smooth_input)
        : columns_(columns),
          lines_(lines),
          wide_(padded_width(columns)),
          smooth_input_(smooth_input),
          settings_(s),
          solver_(s.dense),
          fit_(2, fit_stride(columns, lines)),
          gu_(wide_, lines),
          gv_(wide_, lines),
          pu_(wide_, lines),
          pv_(wide_, lines) {
        // The bordered frame the filters read, and with the input filter its work image.
        const int32_t bordered = wide_ + 2 * engine_stages::kBorder;
        bordered_ = GreyImage(bordered, lines + 2 * engine_stages::kBorder);
        if (smooth_input) smoothing_ = GreyImage(bordered, lines + 2 * engine_stages::kBorder);
        for (GreyImage* g : {&ix_, &iy_, &ix2_, &iy2_, &ixy_, &it_, &ixt_, &iyt_}) {
            *g = GreyImage(wide_, lines);
        }
        // The derivative kernels reach two pixels, and the input filter two more; the widened
        // columns hold no data.
        base_mask_ = edge_mask(wide_, lines, smooth_input ? 4 : 2);
        for (int32_t y = 0; y < lines; ++y) {
            for (int32_t x = std::max(columns - 2, 0); x < wide_; ++x) {
                base_mask_[static_cast<size_t>(y) * wide_ + x] = 0.0f;
            }
        }
        const float sigma = static_cast<float>(s.prediction_sigma);
        // Heavy smoothing is done on a grid reduced by 4, where it costs a sixteenth.
        smooth_factor_ =
            (sigma >= 4 && wide_ / kReduction >= 8 && lines / kReduction >= 8) ? kReduction : 1;
        smooth_taps_ = gaussian_taps(std::max(0.5f, sigma / static_cast<float>(smooth_factor_)));
    }

    int32_t columns() const { return columns_; }
    int32_t lines() const { return lines_; }
    int frames() const { return count_; }
    // The middle one of the last five frames, as added (widened where it had to be).
    const GreyImage& centre() const { return ring_[(next_ + 2) % kWindowFrames]; }
    void forget() { count_ = 0; }

    void add(const GreyImage& frame) {
        pad_into(frame, wide_, &ring_[next_]);
        // With the input filter on, the level measures smoothed frames: the neighbours to
        // be warped are those (smoothing a warped frame and warping a smoothed one differ only
        // where the motion changes within the filter's five pixels).
        if (smooth_input_) {
            load_bordered(ring_[next_]);
            engine_stages::smooth(bordered_interior(), smoothing_.data.data() + interior_at(),
                                  bordered_step(), Size{wide_, lines_});
            for (int32_t y = 0; y < lines_; ++y) {
                std::copy_n(bordered_interior() + static_cast<size_t>(y) * bordered_.columns, wide_,
                            ring_[next_].line(y));
            }
        }
        next_ = (next_ + 1) % kWindowFrames;
        count_ = std::min(count_ + 1, kWindowFrames);
        centre_ready_ = false;
        moments_ = Moments::none;
    }

    // The prediction for the next pass or frame from a result of this level: gaps filled by
    // the result's affine motion, then smoothed.
    void predict_from(const FlowResult& r) {
        const DenseFlow& f = r.flow;
        if (f.valid.empty()) {
            // The affine motion alone: smooth already.
            const AffineMotion a = r.affine.value_or(AffineMotion{});
            for (int32_t y = 0; y < lines_; ++y) {
                float* u = pu_.line(y);
                float* v = pv_.line(y);
                const double u0 = a.u(0, y), v0 = a.v(0, y);
                for (int32_t x = 0; x < wide_; ++x) {
                    const double xs = std::min(x, columns_ - 1);
                    u[x] = static_cast<float>(u0 + a.a[1] * xs);
                    v[x] = static_cast<float>(v0 + a.a[4] * xs);
                }
            }
            return;
        }
        for (int32_t y = 0; y < lines_; ++y) {
            const size_t row = static_cast<size_t>(y) * columns_;
            const uint8_t* valid = f.valid.data() + row;
            float* pu = pu_.line(y);
            float* pv = pv_.line(y);
            // The flow as it is, then its gaps filled (most lines have few or none).
            std::copy_n(f.u.data.data() + row, columns_, pu);
            std::copy_n(f.v.data.data() + row, columns_, pv);
            for (int32_t x = 0; x < columns_; ++x) {
                if (valid[x]) continue;
                pu[x] = r.affine ? static_cast<float>(r.affine->u(x, y)) : 0.0f;
                pv[x] = r.affine ? static_cast<float>(r.affine->v(x, y)) : 0.0f;
            }
            // The widened columns repeat the last one.
            std::fill(pu + columns_, pu + wide_, pu[columns_ - 1]);
            std::fill(pv + columns_, pv + wide_, pv[columns_ - 1]);
        }
        // The two components are smoothed side by side.
        parallel_for(settings_.dense.threads, 2, [&](int j) { smooth(j ? &pv_ : &pu_, j); });
    }
    // The prediction from the reduced level's result, enlarged to this level's size. With
    // `only_where_apart`, the present prediction is kept except where the reduced level sees
    // a motion more than a pixel per frame away from it: an object the prediction lost.
    void predict_from_reduced(const Level& reduced, bool only_where_apart) {
        const float gain = static_cast<float>(kReduction);
        GreyImage* u = only_where_apart ? &gu_ : &pu_;
        GreyImage* v = only_where_apart ? &gv_ : &pv_;
        parallel_for(settings_.dense.threads, 2, [&](int j) {
            enlarge(j ? reduced.pv_ : reduced.pu_, kReduction, gain, wide_, lines_, j ? v : u);
        });
        if (!only_where_apart) return;
        for (size_t i = 0; i < pu_.data.size(); ++i) {
            const float du = gu_.data[i] - pu_.data[i], dv = gv_.data[i] - pv_.data[i];
            if (du * du + dv * dv > 1.0f) pu_.data[i] = gu_.data[i], pv_.data[i] = gv_.data[i];
        }
    }
    // The prediction of one affine motion, in this level's pixels.
    void predict_from_affine(const AffineMotion& a) {
        FlowResult r;
        r.affine = a;
        predict_from(r);
    }
    void predict_nothing() {
        std::fill(pu_.data.begin(), pu_.data.end(), 0.0f);
        std::fill(pv_.data.begin(), pv_.data.end(), 0.0f);
    }

    // One pass: warp the neighbours of the centre frame by the prediction, form their
    // temporal moments, solve.
    void measure(FlowResult* out) {
        // The whole prediction is warped where its speed reaches warp_from, nothing below
        // (see the class comment: a partial warp makes the estimate drift).
        const float from = static_cast<float>(settings_.warp_from);
        int moving = 0;
        const size_t n = pu_.data.size();
        const float *pu = pu_.data.data(), *pv = pv_.data.data();
        float *gu = gu_.data.data(), *gv = gv_.data.data();
        size_t done = 0;
#if ORVANE_ANALYSIS_AVX2
        if (have_avx2()) done = warp_part_avx2(pu, pv, n, from, gu, gv, &moving);
#endif
        for (size_t i = done; i < n; ++i) {
            const float speed = std::sqrt(pu[i] * pu[i] + pv[i] * pv[i]);
            const bool warped = speed >= from;
            gu[i] = warped ? pu[i] : 0.0f;
            gv[i] = warped ? pv[i] : 0.0f;
            moving |= warped;
        }
        const bool warp = moving != 0;
        // The centre frame's moments, once per frame: no pass changes them.
        if (!centre_ready_) centre_moments();
        if (warp) {
            compensated_moments();
        } else if (moments_ != Moments::plain) {
            // Nothing warped: the frames' own temporal moments, once per frame.
            plain_moments();
        }
        const ImageRef it = &it_, ixt = &ixt_, iyt = &iyt_;
        if (!warp) mask_ = base_mask_;
        const ImageRef ix2 = ix2_, iy2 = iy2_, ixy = ixy_;
        const MomentImages m{ix2, iy2, ixy, ixt, iyt};
        const FlowPrediction p{&gu_, &gv_};
        const FlowPrediction* pred = warp ? &p : nullptr;
        const double k = flow_scale(TimeRule::batch, kWindowFrames);
        // The affine fit reads the same moments: it runs beside the solver's window sums.
        std::optional<AffineMotion> affine;
        const std::function<void()> fit = [&] {
            affine = fit_.estimate_robust(m, it, batch_temporal_gain(), 3, pred, &mask_);
        };
        if (!settings_.dense_flow) {
            fit();
            out->flow = DenseFlow();
            out->affine = affine;
            measure_affine_change(out);
            return;
        }
        solver_.solve(m, k, pred, &mask_, &out->flow, &fit);
        out->affine = affine;

        // What the pass measured on top of its prediction, and how well the flow explains the
        // change: r = Ix du + Iy dv + k It per pixel, from the moments.
        // Every second pixel of every second line is plenty for these two numbers.
        // Room for every sample.
        left_.resize(static_cast<size_t>(wide_ / 2 + 1) * static_cast<size_t>(lines_ / 2 + 1));
        float* left = left_.data();
        size_t kept = 0;
        double r2 = 0, g2 = 0;
        const DenseFlow& f = out->flow;
        for (int32_t y = 0; y < lines_; y += 2) {
            const size_t i = static_cast<size_t>(y) * wide_;
            const LeftOverLine line{f.u.data.data() + i,   f.v.data.data() + i,
                                    gu_.data.data() + i,   gv_.data.data() + i,
                                    ix2.pixels + i,        iy2.pixels + i,
                                    ixy.pixels + i,        ixt.pixels + i,
                                    iyt.pixels + i,        it.pixels + i,
                                    f.valid.data() + i};
            int32_t x = 0;
#if ORVANE_ANALYSIS_AVX2
            if (have_avx2()) x = left_over_avx2(line, wide_, k, left, &kept, &r2, &g2);
#endif
            left_over_plain(line, x, wide_, k, left, &kept, &r2, &g2);
        }
        // The 90th percentile: an object covering a tenth of the picture that the prediction
        // missed must still call for another pass.
        out->residual = kept == 0 ? 0 : kth_smallest(left, kept, kept * 9 / 10);
        out->fit_error = g2 > 0 ? std::sqrt(r2 / g2) : 0.0;
        narrow_flow(&out->flow, columns_);
    }

  private:
    enum class Moments { none, plain, warped };  // what it_, ixt_ and iyt_ hold

    // The bordered frame's pixel (0, 0), and its row step [bytes].
    size_t interior_at() const {
        return static_cast<size_t>(engine_stages::kBorder) * bordered_.columns +
               engine_stages::kBorder;
    }
    float* bordered_interior() { return bordered_.data.data() + interior_at(); }
    int32_t bordered_step() const { return bordered_.columns * static_cast<int32_t>(sizeof(float)); }
    // A frame of the level's size into the bordered frame, its border filled.
    void load_bordered(const GreyImage& frame) {
        for (int32_t y = 0; y < lines_; ++y) {
            std::copy_n(frame.line(y), wide_,
                        bordered_interior() + static_cast<size_t>(y) * bordered_.columns);
        }
        engine_stages::fill_border(bordered_interior(), bordered_step(), Size{wide_, lines_});
    }

    // The centre frame's spatial derivatives and their products.
    void centre_moments() {
        load_bordered(centre());
        const int32_t step = wide_ * static_cast<int32_t>(sizeof(float));
        const Size roi{wide_, lines_};
        engine_stages::spatial_derivatives(bordered_interior(), bordered_step(), ix_.data.data(),
                                           iy_.data.data(), step, roi);
        engine_stages::spatial_products(ix_.data.data(), iy_.data.data(), ix2_.data.data(),
                                        iy2_.data.data(), ixy_.data.data(), step, roi);
        centre_ready_ = true;
    }

    // The temporal moments of the five frames as they are (the centre frame's derivatives
    // first).
    void plain_moments() {
        const float* frames[kWindowFrames];
        for (int k = 0; k < kWindowFrames; ++k) {
            frames[k] = ring_[(next_ + k) % kWindowFrames].data.data();
        }
        const int32_t step = wide_ * static_cast<int32_t>(sizeof(float));
        const Size roi{wide_, lines_};
        // Ixt is written last: it holds the inner difference first.
        engine_stages::batch_time_derivative(frames, step, it_.data.data(), ixt_.data.data(), step,
                                             roi);
        prim_mul_32f(ix_.data.data(), step, it_.data.data(), step, ixt_.data.data(), step, roi);
        prim_mul_32f(iy_.data.data(), step, it_.data.data(), step, iyt_.data.data(), step, roi);
        moments_ = Moments::plain;
    }

    // Warps the frames before and after the centre one by the prediction and forms their
    // temporal moments with the centre frame's spatial derivatives (the engine's),
    // and the mask without the pixels that any warp took from outside the frame. Line by line,
    // in bands of lines side by side: each warped line is used at once, so only a line of each
    // warped frame is kept, never the whole frame.
    void compensated_moments() {
        mask_.resize(base_mask_.size());
        const GreyImage &ix = ix_, &iy = iy_;
        const GreyImage& centre = ring_[(next_ + 2) % kWindowFrames];
        constexpr int32_t kBandLines = 16;
        const int bands = static_cast<int>((lines_ + kBandLines - 1) / kBandLines);
        const size_t w = static_cast<size_t>(wide_);
        parallel_for(settings_.dense.threads, bands, [&](int b) {
            // The four warped lines and where each read outside the frame, per thread.
            thread_local std::vector<float> warped;
            thread_local std::vector<uint8_t> outside;
            warped.resize(4 * w);
            outside.resize(4 * w);
            const int32_t y0 = b * kBandLines, y1 = std::min(lines_, y0 + kBandLines);
            for (int32_t y = y0; y < y1; ++y) {
                std::fill(outside.begin(), outside.end(), 0);
                for (int j = 0; j < 4; ++j) {
                    const int k = j < 2 ? j : j + 1;  // the frame's place in the window
                    warp_bilinear_line(ring_[(next_ + k) % kWindowFrames], gu_, gv_,
                                       static_cast<float>(k - 2), y, warped.data() + j * w,
                                       outside.data() + j * w);
                }
                const float* f[5] = {warped.data(), warped.data() + w, centre.line(y),
                                     warped.data() + 2 * w, warped.data() + 3 * w};
                engine_stages::batch_moments_line(f, ix.line(y), iy.line(y), wide_, it_.line(y),
                                                  ixt_.line(y), iyt_.line(y));
                const uint8_t *o0 = outside.data(), *o1 = o0 + w, *o2 = o1 + w, *o3 = o2 + w;
                const float* base = base_mask_.data() + static_cast<size_t>(y) * w;
                float* mask = mask_.data() + static_cast<size_t>(y) * w;
                for (size_t i = 0; i < w; ++i) {
                    mask[i] = (o0[i] | o1[i] | o2[i] | o3[i]) ? 0.0f : base[i];
                }
            }
        });
        moments_ = Moments::warped;
    }

    // Without dense flow: what the pass measured on top of its prediction is the affine
    // motion less the prediction, its 90th percentile over a coarse grid. The flow's own
    // error has no counterpart (objects moving on their own are not explained, and that is
    // no fault), so fit_error stays 0.
    void measure_affine_change(FlowResult* out) {
        left_.clear();
        if (out->affine) {
            for (int32_t y = 0; y < lines_; y += 8) {
                for (int32_t x = 0; x < columns_; x += 8) {
                    const size_t i = static_cast<size_t>(y) * wide_ + x;
                    const double du = out->affine->u(x, y) - gu_.data[i];
                    const double dv = out->affine->v(x, y) - gv_.data[i];
                    left_.push_back(static_cast<float>(std::sqrt(du * du + dv * dv)));
                }
            }
        }
        out->residual = 0;
        if (!left_.empty()) {
            out->residual = kth_smallest(left_.data(), left_.size(), left_.size() * 9 / 10);
        }
        out->fit_error = 0;
    }

    // Smooths one component of the prediction with work images of its own (`slot` 0 or 1).
    void smooth(GreyImage* field, int slot) {
        GreyImage& small = small_[slot];
        GreyImage& scratch = scratch_[slot];
        if (smooth_factor_ == 1) {
            filter_separable(*field, smooth_taps_, &small, &scratch);
            std::swap(*field, small);
            return;
        }
        const GreyImage reduced = reduce(*field, smooth_factor_);
        filter_separable(reduced, smooth_taps_, &small, &scratch);
        enlarge(small, smooth_factor_, 1.0f, wide_, lines_, field);
    }

    int32_t columns_, lines_, wide_;
    bool smooth_input_;
    TrackerSettings settings_;
    DenseFlowSolver solver_;
    AffineEstimator fit_;
    std::array<GreyImage, kWindowFrames> ring_;
    int next_ = 0, count_ = 0;
    // The centre frame's spatial moments are those of the last frame added.
    bool centre_ready_ = false;
    Moments moments_ = Moments::none;
    GreyImage gu_, gv_, pu_, pv_, small_[2], scratch_[2];
    // The centre frame bordered for the filters, and the input filter's work image.
    GreyImage bordered_, smoothing_;
    GreyImage ix_, iy_, ix2_, iy2_, ixy_;  // of the centre frame
    GreyImage it_, ixt_, iyt_;             // of the frames as they are, or warped (moments_)
    std::vector<float> base_mask_, mask_, left_;
    int32_t smooth_factor_ = 1;
    std::vector<float> smooth_taps_;
};

FlowTracker::FlowTracker(int32_t columns, int32_t lines, const TrackerSettings& settings)
    : settings_(settings), columns_(columns), lines_(lines) {
    // A reduction that would leave too small a frame is not made.
    int32_t& r = settings_.reduction;
    r = std::clamp(r, 1, 2);
    if (columns / r < 8 || lines / r < 8) r = 1;
    full_ = std::make_unique<Level>(columns / r, lines / r, settings_, r > 1);
    const int32_t rc = columns / r / kReduction, rl = lines / r / kReduction;
    if (settings.reduced_level && rc >= 8 && rl >= 8) {
        TrackerSettings reduced = settings;
        reduced.max_iterations = std::max(settings.max_iterations, 4);
        reduced_ = std::make_unique<Level>(rc, rl, reduced, false);
    }
}

FlowTracker::~FlowTracker() = default;

int32_t FlowTracker::columns() const {
    return columns_;
}
int32_t FlowTracker::lines() const {
    return lines_;
}
const GreyImage& FlowTracker::result_frame() const {
    if (full_holds_frames()) return full_->centre();
    return frames_[static_cast<size_t>((pushed_ + 2) % 5)];
}

// Whether the full-size level's own ring holds the pushed frames as they were (frames not
// reduced, and wide enough for the engine as they are): then they are not kept twice.
bool FlowTracker::full_holds_frames() const {
    return settings_.reduction == 1 && padded_width(columns_) == columns_;
}

void FlowTracker::reset() {
    full_->forget();
    if (reduced_) reduced_->forget();
    has_result_ = false;
}

bool FlowTracker::push(const GreyImage& frame) {
    if (frame.columns != columns_ || frame.lines != lines_) {
        throw ComponentError("the frame is " + std::to_string(frame.columns) + "x" +
                                 std::to_string(frame.lines) + ", the tracker's size is " +
                                 std::to_string(columns_) + "x" + std::to_string(lines_),
                             E_INVALIDARG);
    }
    // Only a dense flow is shown on its frame.
    if (settings_.dense_flow && !full_holds_frames()) frames_[static_cast<size_t>(pushed_ % 5)] = frame;
    ++pushed_;
    const int32_t r = settings_.reduction;
    if (r > 1) {
        const GreyImage small = reduce(frame, r);
        full_->add(small);
        if (reduced_) reduced_->add(reduce(small, kReduction));
    } else {
        full_->add(frame);
        if (reduced_) reduced_->add(reduce(frame, kReduction));
    }
    if (full_->frames() < kWindowFrames) return false;

    // The reduced level first: it follows its own previous result, and gives the full level
    // its first prediction.
    auto run_reduced = [&] {
        if (!reduced_) return;
        if (has_result_) {
            reduced_->predict_from(reduced_result_);
        } else {
            reduced_->predict_nothing();
        }
        for (int pass = 0;; ++pass) {
            reduced_->measure(&reduced_result_);
            const int limit = std::max(settings_.max_iterations, 4);
            if (reduced_result_.residual < settings_.converged || pass + 1 >= limit) break;
            reduced_->predict_from(reduced_result_);
        }
        reduced_->predict_from(reduced_result_);
    };
    // The full level follows its own previous result while that was trustworthy (made while
    // the reduced level measures: the two share nothing), and starts again from the reduced
    // level's otherwise.
    if (has_result_ && !measured_.beyond_range) {
        parallel_for(settings_.dense.threads, 2, [&](int j) {
            if (j == 0) {
                run_reduced();
            } else {
                full_->predict_from(measured_);
            }
        });
        if (reduced_ && settings_.dense_flow) {
            full_->predict_from_reduced(*reduced_, true);
        } else if (reduced_) {
            // Without dense flow both predictions are affine: the reduced level's replaces the
            // full level's own where they are more than a pixel per frame apart at a corner.
            const std::optional<AffineMotion> coarse = reduced_affine();
            if (coarse && apart(*coarse, measured_.affine)) full_->predict_from_affine(*coarse);
        }
    } else if (reduced_ && settings_.dense_flow) {
        run_reduced();
        full_->predict_from_reduced(*reduced_, false);
    } else if (reduced_) {
        run_reduced();
        full_->predict_from_affine(reduced_affine().value_or(AffineMotion{}));
    } else {
        full_->predict_nothing();
    }
    int pass = 0;
    FlowResult& m = measured_;
    for (;;) {
        full_->measure(&m);
        ++pass;
        if (m.residual < settings_.converged || pass >= settings_.max_iterations) break;
        full_->predict_from(m);
    }
    m.iterations = pass;
    m.frame = pushed_ - 3;
    m.beyond_range = m.residual >= settings_.converged || m.fit_error > 0.5;
    has_result_ = true;
    if (r > 1) enlarge_result(m, r);
    return true;
}

// The reduced level's affine motion in the full level's pixels (its frames are reduced by 4).
std::optional<AffineMotion> FlowTracker::reduced_affine() const {
    if (!reduced_result_.affine) return std::nullopt;
    return affine_on_full_frames(*reduced_result_.affine, kReduction);
}

// Whether two affine motions of the full level differ by more than a pixel per frame at a
// corner of its frame (a missing one differs from any).
bool FlowTracker::apart(const AffineMotion& a, const std::optional<AffineMotion>& b) const {
    if (!b) return true;
    const double w = full_->columns() - 1, h = full_->lines() - 1;
    for (const auto& [x, y] : {std::pair{0.0, 0.0}, {w, 0.0}, {0.0, h}, {w, h}}) {
        if (std::hypot(a.u(x, y) - b->u(x, y), a.v(x, y) - b->v(x, y)) > 1.0) return true;
    }
    return false;
}

// The result of frames reduced by r as one of the full frames: the flow enlarged and scaled,
// validity and confidence taken from the reduced pixel each full one lies in, and the affine
// motion carried to full-frame coordinates (x_reduced = (x + 0.5) / r - 0.5).
void FlowTracker::enlarge_result(const FlowResult& m, int32_t r) {
    result_ = FlowResult();
    result_.frame = m.frame;
    result_.iterations = m.iterations;
    result_.residual = m.residual * r;
    result_.fit_error = m.fit_error * r;
    result_.beyond_range = m.beyond_range;
    DenseFlow& f = result_.flow;
    const float gain = static_cast<float>(r);
    if (m.flow.u.empty()) {
        if (m.affine) result_.affine = affine_on_full_frames(*m.affine, r);
        return;
    }
    enlarge(m.flow.u, r, gain, columns_, lines_, &f.u);
    enlarge(m.flow.v, r, gain, columns_, lines_, &f.v);
    f.confidence = GreyImage(columns_, lines_);
    f.valid.assign(static_cast<size_t>(columns_) * static_cast<size_t>(lines_), 0);
    const int32_t sc = m.flow.columns(), sl = m.flow.lines();
    for (int32_t y = 0; y < lines_; ++y) {
        const int32_t ys = std::min(y / r, sl - 1);
        for (int32_t x = 0; x < columns_; ++x) {
            const int32_t xs = std::min(x / r, sc - 1);
            const size_t i = static_cast<size_t>(y) * columns_ + x;
            const size_t j = static_cast<size_t>(ys) * sc + xs;
            f.valid[i] = m.flow.valid[j];
            f.confidence.data[i] = m.flow.confidence.data[j];
            if (!f.valid[i]) f.u.data[i] = f.v.data[i] = 0.0f;
        }
    }
    if (m.affine) result_.affine = affine_on_full_frames(*m.affine, r);
}
