#include "analysis/frame_align.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

// p -> (a0 x + a1 y + a2, a3 x + a4 y + a5): where a pixel of the first frame lies in the
// second, in the pixels of one level.
using Warp = std::array<double, 6>;

constexpr Warp kIdentity{1, 0, 0, 0, 1, 0};

Warp compose(const Warp& a, const Warp& b) {  // a after b
    return {a[0] * b[0] + a[1] * b[3],        a[0] * b[1] + a[1] * b[4],
            a[0] * b[2] + a[1] * b[5] + a[2], a[3] * b[0] + a[4] * b[3],
            a[3] * b[1] + a[4] * b[4],        a[3] * b[2] + a[4] * b[5] + a[5]};
}

bool invert(const Warp& a, Warp* out) {
    const double det = a[0] * a[4] - a[1] * a[3];
    if (!(std::fabs(det) > 1e-12)) return false;
    const double i0 = a[4] / det, i1 = -a[1] / det, i3 = -a[3] / det, i4 = a[0] / det;
    *out = {i0, i1, -(i0 * a[2] + i1 * a[5]), i3, i4, -(i3 * a[2] + i4 * a[5])};
    return true;
}

// The binomial filter [1 4 6 4 1] / 16 along both axes, edges replicated: the pyramid's
// smoothing, enough against aliasing when every other pixel is kept.
void blur5(const GreyImage& in, GreyImage* out, std::vector<float>* scratch) {
    const int32_t w = in.columns, h = in.lines;
    if (out->columns != w || out->lines != h) *out = GreyImage(w, h);
    // Each line padded by two replicated pixels on either side, so the loops run straight.
    scratch->resize(static_cast<size_t>(w) * h + static_cast<size_t>(w) + 4);
    float* padded = scratch->data() + static_cast<size_t>(w) * h;
    auto clampi = [](int32_t v, int32_t hi) { return std::clamp(v, 0, hi); };
    for (int32_t y = 0; y < h; ++y) {
        const float* s = in.line(y);
        padded[0] = padded[1] = s[0];
        std::copy(s, s + w, padded + 2);
        padded[w + 2] = padded[w + 3] = s[w - 1];
        float* d = scratch->data() + static_cast<size_t>(y) * w;
        for (int32_t x = 0; x < w; ++x) {
            const float* p = padded + x;
            d[x] = (p[0] + p[4] + 4.0f * (p[1] + p[3]) + 6.0f * p[2]) * (1.0f / 16.0f);
        }
    }
    for (int32_t y = 0; y < h; ++y) {
        const float* r[5];
        for (int k = 0; k < 5; ++k) {
            r[k] = scratch->data() + static_cast<size_t>(clampi(y + k - 2, h - 1)) * w;
        }
        float* d = out->line(y);
        for (int32_t x = 0; x < w; ++x) {
            d[x] = (r[0][x] + r[4][x] + 4.0f * (r[1][x] + r[3][x]) + 6.0f * r[2][x]) *
                   (1.0f / 16.0f);
        }
    }
}

// Every other pixel of a smoothed level: pixel i of the result is pixel 2i of `in`.
GreyImage halve(const GreyImage& in) {
    GreyImage out((in.columns + 1) / 2, (in.lines + 1) / 2);
    for (int32_t y = 0; y < out.lines; ++y) {
        const float* s = in.line(2 * y);
        float* d = out.line(y);
        for (int32_t x = 0; x < out.columns; ++x) d[x] = s[2 * x];
    }
    return out;
}

// Pixels this close to an edge [pixels of a level] are left out of the fit: there the pyramid's
// smoothing read replicated edge pixels, which differ between the frames when they move.
constexpr int32_t kEdge = 4;

// The mean of each 2 x 2 block; an odd last column or line is dropped.
GreyImage reduce_2x2(const GreyImage& in) {
    GreyImage out(in.columns / 2, in.lines / 2);
    for (int32_t y = 0; y < out.lines; ++y) {
        const float* a = in.line(2 * y);
        const float* b = in.line(2 * y + 1);
        float* d = out.line(y);
        for (int32_t x = 0; x < out.columns; ++x) {
            d[x] = 0.25f * (a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1]);
        }
    }
    return out;
}

// One pixel of the first frame that enters the fit: its position and value, and the
// derivative of the first frame along each of the six motion parameters there.
struct Sample {
    float x, y, t;
    float j[6];
};

// Value at (x, y), which lies in [0, w - 1] x [0, h - 1], by the Catmull-Rom cubic (edges
// replicated). Bilinear reading would blur the second frame by an amount that changes with the
// sub-pixel position, which pulls the fit by about a hundredth of a pixel on fine texture.
inline float cubic(const GreyImage& g, float x, float y) {
    const int32_t ix = static_cast<int32_t>(x), iy = static_cast<int32_t>(y);
    const float fx = x - static_cast<float>(ix), fy = y - static_cast<float>(iy);
    auto weights = [](float f, float w[4]) {
        const float f2 = f * f, f3 = f2 * f;
        w[0] = 0.5f * (-f3 + 2 * f2 - f);
        w[1] = 0.5f * (3 * f3 - 5 * f2 + 2);
        w[2] = 0.5f * (-3 * f3 + 4 * f2 + f);
        w[3] = 0.5f * (f3 - f2);
    };
    float wx[4], wy[4];
    weights(fx, wx);
    weights(fy, wy);
    const int32_t w1 = g.columns - 1, h1 = g.lines - 1;
    if (ix >= 1 && iy >= 1 && ix + 2 <= w1 && iy + 2 <= h1) {
        float s = 0;
        for (int j = 0; j < 4; ++j) {
            const float* r = g.line(iy - 1 + j) + ix - 1;
            s += wy[j] * (wx[0] * r[0] + wx[1] * r[1] + wx[2] * r[2] + wx[3] * r[3]);
        }
        return s;
    }
    float s = 0;
    for (int j = 0; j < 4; ++j) {
        const float* r = g.line(std::clamp(iy - 1 + j, 0, h1));
        float row = 0;
        for (int i = 0; i < 4; ++i) row += wx[i] * r[std::clamp(ix - 1 + i, 0, w1)];
        s += wy[j] * row;
    }
    return s;
}

// Bilinear value at (x, y) in [0, w - 1] x [0, h - 1]: the coarse levels' reading, where a
// hundredth of a pixel does not matter and speed does.
inline float bilinear(const GreyImage& g, float x, float y) {
    const int32_t x0 = std::min(static_cast<int32_t>(x), g.columns - 2);
    const int32_t y0 = std::min(static_cast<int32_t>(y), g.lines - 2);
    const float fx = x - static_cast<float>(x0), fy = y - static_cast<float>(y0);
    const float* r0 = g.line(y0) + x0;
    const float* r1 = r0 + g.columns;
    const float top = r0[0] + fx * (r0[1] - r0[0]);
    const float bottom = r1[0] + fx * (r1[1] - r1[0]);
    return top + fy * (bottom - top);
}

// Solves the symmetric positive definite system h d = g (n unknowns) by Cholesky; false when
// a pivot is not clearly positive (the texture does not fix every parameter).
template <int N>
bool solve_spd(std::array<std::array<double, N>, N> h, std::array<double, N> g,
               std::array<double, N>* d) {
    double largest = 0;
    for (int i = 0; i < N; ++i) largest = std::max(largest, h[i][i]);
    if (!(largest > 0)) return false;
    for (int i = 0; i < N; ++i) {
        for (int k = 0; k < i; ++k) h[i][i] -= h[i][k] * h[i][k];
        if (!(h[i][i] > 1e-9 * largest)) return false;
        h[i][i] = std::sqrt(h[i][i]);
        for (int r = i + 1; r < N; ++r) {
            for (int k = 0; k < i; ++k) h[r][i] -= h[r][k] * h[i][k];
            h[r][i] /= h[i][i];
        }
    }
    for (int i = 0; i < N; ++i) {
        for (int k = 0; k < i; ++k) g[i] -= h[i][k] * g[k];
        g[i] /= h[i][i];
    }
    for (int i = N - 1; i >= 0; --i) {
        for (int k = i + 1; k < N; ++k) g[i] -= h[k][i] * g[k];
        g[i] /= h[i][i];
    }
    *d = g;
    return true;
}

// The centre and half-size that the fit's coordinates are taken about on one level, so that
// the six parameters have comparable scales.
struct Frame {
    double cx, cy, s;
    explicit Frame(const GreyImage& g)
        : cx(0.5 * (g.columns - 1)),
          cy(0.5 * (g.lines - 1)),
          s(0.5 * std::max(g.columns, g.lines)) {}
};

// The strongest-gradient pixel of each block of side b, b chosen so that about `wanted`
// pixels come out; flat blocks give none.
void select_samples(const GreyImage& t, int32_t wanted, std::vector<Sample>* out,
                    std::vector<float>* work) {
    out->clear();
    const int32_t w = t.columns, h = t.lines;
    const int32_t x0 = kEdge, y0 = kEdge, x1 = w - kEdge, y1 = h - kEdge;  // [x0, x1) x [y0, y1)
    if (x1 <= x0 || y1 <= y0) return;
    const double interior = static_cast<double>(x1 - x0) * (y1 - y0);
    const int32_t b =
        std::max<int32_t>(1, static_cast<int32_t>(std::ceil(std::sqrt(interior / wanted))));
    const int32_t blocks = (x1 - x0 + b - 1) / b;
    const Frame f(t);
    // Half a grey level per pixel: below it a pixel says nothing about the motion.
    constexpr float kMinGradient2 = 0.25f;
    // Per block column: the best squared gradient so far in this band of lines, and where.
    work->resize(static_cast<size_t>(w) + 3 * static_cast<size_t>(blocks));
    float* g2 = work->data();
    float* best = g2 + w;
    float* best_x = best + blocks;
    float* best_y = best_x + blocks;
    for (int32_t by = y0; by < y1; by += b) {
        std::fill(best, best + blocks, kMinGradient2);
        for (int32_t y = by; y < std::min(by + b, y1); ++y) {
            const float* r = t.line(y);
            const float* up = t.line(y - 1);
            const float* down = t.line(y + 1);
            // The squared gradient of the whole line first (a loop the compiler vectorises).
            for (int32_t x = x0; x < x1; ++x) {
                const float gx = r[x + 1] - r[x - 1], gy = down[x] - up[x];
                g2[x] = gx * gx + gy * gy;
            }
            for (int32_t k = 0; k < blocks; ++k) {
                const int32_t end = std::min(x0 + (k + 1) * b, x1);
                for (int32_t x = x0 + k * b; x < end; ++x) {
                    if (0.25f * g2[x] > best[k]) {
                        best[k] = 0.25f * g2[x];
                        best_x[k] = static_cast<float>(x);
                        best_y[k] = static_cast<float>(y);
                    }
                }
            }
        }
        for (int32_t k = 0; k < blocks; ++k) {
            if (!(best[k] > kMinGradient2)) continue;
            const int32_t x = static_cast<int32_t>(best_x[k]), y = static_cast<int32_t>(best_y[k]);
            const float gx = 0.5f * (t.at(x + 1, y) - t.at(x - 1, y));
            const float gy = 0.5f * (t.at(x, y + 1) - t.at(x, y - 1));
            Sample s;
            s.x = static_cast<float>(x);
            s.y = static_cast<float>(y);
            s.t = t.at(x, y);
            const float xn = static_cast<float>((x - f.cx) / f.s);
            const float yn = static_cast<float>((y - f.cy) / f.s);
            s.j[0] = gx, s.j[1] = gx * xn, s.j[2] = gx * yn;
            s.j[3] = gy, s.j[4] = gy * xn, s.j[5] = gy * yn;
            out->push_back(s);
        }
    }
}

// The whole-pixel translation (around `centre`, +-r) that best matches the samples of the
// first frame with the second, by the variance of their differences (a brightness offset
// costs nothing). False when no candidate keeps half of the samples inside.
bool search_translation(const std::vector<Sample>& samples, const GreyImage& second,
                        const std::array<int32_t, 2>& centre, int32_t r, double* best_cost,
                        std::array<int32_t, 2>* best) {
    bool found = false;
    // A thousand samples spread over the frame decide a whole-pixel match well enough.
    const size_t stride = std::max<size_t>(1, samples.size() / 1000);
    const size_t used = (samples.size() + stride - 1) / stride;
    for (int32_t dy = centre[1] - r; dy <= centre[1] + r; ++dy) {
        for (int32_t dx = centre[0] - r; dx <= centre[0] + r; ++dx) {
            double sum = 0, sum2 = 0;
            size_t n = 0;
            for (size_t k = 0; k < samples.size(); k += stride) {
                const Sample& s = samples[k];
                const int32_t x = static_cast<int32_t>(s.x) + dx;
                const int32_t y = static_cast<int32_t>(s.y) + dy;
                if (x < 0 || y < 0 || x >= second.columns || y >= second.lines) continue;
                const double d = second.at(x, y) - s.t;
                sum += d, sum2 += d * d, ++n;
            }
            if (2 * n < used || n == 0) continue;
            const double mean = sum / static_cast<double>(n);
            const double cost = sum2 / static_cast<double>(n) - mean * mean;
            if (!found || cost < *best_cost) {
                *best_cost = cost;
                *best = {dx, dy};
                found = true;
            }
        }
    }
    return found;
}

// Gauss-Newton steps of the robust inverse-compositional fit on one level. False when the
// system cannot be solved (too little texture) or too few samples stay inside.
bool refine(const std::vector<Sample>& samples, const GreyImage& first, const GreyImage& second,
            const AlignSettings& settings, double converged, bool fine, Warp* warp,
            double* offset,
            std::vector<float>* residual, std::vector<float>* scratch) {
    const Frame f(first);
    const float lo = static_cast<float>(kEdge);
    const float w1 = static_cast<float>(second.columns - 1 - kEdge);
    const float h1 = static_cast<float>(second.lines - 1 - kEdge);
    residual->resize(samples.size());
    bool solved = false;
    for (int iteration = 0; iteration < settings.iterations; ++iteration) {
        const Warp& a = *warp;
        const float a0 = static_cast<float>(a[0]), a1 = static_cast<float>(a[1]);
        const float a2 = static_cast<float>(a[2]), a3 = static_cast<float>(a[3]);
        const float a4 = static_cast<float>(a[4]), a5 = static_cast<float>(a[5]);
        const float o = static_cast<float>(*offset);
        scratch->clear();
        for (size_t i = 0; i < samples.size(); ++i) {
            const Sample& s = samples[i];
            const float x = a0 * s.x + a1 * s.y + a2;
            const float y = a3 * s.x + a4 * s.y + a5;
            if (!(x >= lo && y >= lo && x <= w1 && y <= h1)) {
                (*residual)[i] = NAN;
                continue;
            }
            const float r = (fine ? cubic(second, x, y) : bilinear(second, x, y)) - s.t - o;
            (*residual)[i] = r;
            scratch->push_back(std::fabs(r));
        }
        if (scratch->size() < 32 || 10 * scratch->size() < samples.size()) return false;
        // The typical residual (a robust standard deviation), at least half a grey level so
        // that frames that match exactly do not weigh their pixels by noise.
        const size_t mid = scratch->size() / 2;
        std::nth_element(scratch->begin(), scratch->begin() + static_cast<ptrdiff_t>(mid),
                         scratch->end());
        const float sigma = std::max(0.5f, 1.4826f * (*scratch)[mid]);
        const float c = 2.385f * sigma;
        const float inv_c2 = 1.0f / (c * c);
        std::array<std::array<double, 7>, 7> h{};
        std::array<double, 7> g{};
        // Sums in float per block of samples, in double across blocks: fast, and exact enough.
        constexpr size_t kBlock = 256;
        for (size_t start = 0; start < samples.size(); start += kBlock) {
            float hb[7][7] = {}, gb[7] = {};
            const size_t end = std::min(samples.size(), start + kBlock);
            for (size_t i = start; i < end; ++i) {
                const float r = (*residual)[i];
                if (std::isnan(r)) continue;
                const float wgt = 1.0f / (1.0f + r * r * inv_c2);
                const Sample& s = samples[i];
                const float j[7] = {s.j[0], s.j[1], s.j[2], s.j[3], s.j[4], s.j[5], 1.0f};
                for (int p = 0; p < 7; ++p) {
                    const float wj = wgt * j[p];
                    gb[p] += wj * r;
                    for (int q = 0; q <= p; ++q) hb[p][q] += wj * j[q];
                }
            }
            for (int p = 0; p < 7; ++p) {
                g[p] += gb[p];
                for (int q = 0; q <= p; ++q) h[p][q] += hb[p][q];
            }
        }
        for (int p = 0; p < 7; ++p) {
            for (int q = p + 1; q < 7; ++q) h[p][q] = h[q][p];
        }
        std::array<double, 7> d{};
        if (!solve_spd<7>(h, g, &d)) return false;
        solved = true;
        // The update in this level's pixels: u = d0 + d1 xn + d2 yn, v = d3 + d4 xn + d5 yn.
        const double s = f.s;
        const Warp delta{1 + d[1] / s,
                         d[2] / s,
                         d[0] - (d[1] * f.cx + d[2] * f.cy) / s,
                         d[4] / s,
                         1 + d[5] / s,
                         d[3] - (d[4] * f.cx + d[5] * f.cy) / s};
        Warp back;
        if (!invert(delta, &back)) return false;
        *warp = compose(*warp, back);
        *offset += d[6];
        // How far the update moved the corners of the level.
        double moved = 0;
        for (const double cx : {0.0, 2 * f.cx}) {
            for (const double cy : {0.0, 2 * f.cy}) {
                moved = std::max(moved, std::hypot(delta[0] * cx + delta[1] * cy + delta[2] - cx,
                                                   delta[3] * cx + delta[4] * cy + delta[5] - cy));
            }
        }
        if (moved < converged) break;
    }
    return solved;
}

}  // namespace

struct FrameAligner::Pyramid {
    std::vector<GreyImage> levels;  // levels[0]: the frame smoothed twice; each next one halved
    GreyImage once;                 // work image
    int32_t columns = 0, lines = 0;  // of the frame it was built from

    void build(const GreyImage& frame, int32_t coarsest_side, int32_t reduction,
               std::vector<float>* scratch) {
        // Level 0 is smoothed twice (a Gaussian of about 1.4 px): the finest detail, which
        // the cubic reading of the second frame moves by its sub-pixel position, weighs
        // little, and the noise and the coding artefacts of video with it.
        columns = frame.columns, lines = frame.lines;
        levels.resize(1);
        if (reduction > 1) {
            // The mean of each 2 x 2 block (its pixel i lies at 2 i + 0.5 of the frame), twice
            // for 4 (4 i + 1.5); the two smoothings after it keep what aliasing it lets through
            // out of the fit.
            GreyImage half = reduce_2x2(frame);
            for (int32_t r = 4; r <= reduction; r *= 2) half = reduce_2x2(half);
            blur5(half, &once, scratch);
        } else {
            blur5(frame, &once, scratch);
        }
        blur5(once, &levels[0], scratch);
        while (std::min(levels.back().columns, levels.back().lines) / 2 >= coarsest_side) {
            GreyImage smooth;
            blur5(levels.back(), &smooth, scratch);
            levels.push_back(halve(smooth));
        }
    }
};

FrameAligner::FrameAligner(const AlignSettings& settings)
    : settings_(settings.reduction == 2 || settings.reduction == 4 ? settings : [&] {
          AlignSettings s = settings;
          s.reduction = 1;
          return s;
      }()),
      previous_(std::make_unique<Pyramid>()),
      current_(std::make_unique<Pyramid>()) {}

FrameAligner::~FrameAligner() = default;

void FrameAligner::reset() {
    previous_->levels.clear();
    last_step_.reset();
}

std::optional<AffineMotion> FrameAligner::align(const GreyImage& first, const GreyImage& second,
                                                const AffineMotion* guess) {
    if (first.empty() || first.columns != second.columns || first.lines != second.lines ||
        first.columns < 8 || first.lines < 8) {
        return std::nullopt;
    }
    std::vector<float> scratch;
    Pyramid a, b;
    a.build(first, settings_.coarsest_side, settings_.reduction, &scratch);
    b.build(second, settings_.coarsest_side, settings_.reduction, &scratch);
    return register_pair(a, b, guess);
}

std::optional<AffineMotion> FrameAligner::push(const GreyImage& frame) {
    std::vector<float> scratch;
    if (frame.columns < 8 || frame.lines < 8) {
        reset();
        return std::nullopt;
    }
    current_->build(frame, settings_.coarsest_side, settings_.reduction, &scratch);
    std::optional<AffineMotion> step;
    const auto& prev = previous_->levels;
    if (!prev.empty() && previous_->columns == frame.columns && previous_->lines == frame.lines) {
        step = register_pair(*previous_, *current_, last_step_ ? &*last_step_ : nullptr);
    }
    std::swap(previous_, current_);
    last_step_ = step;
    return step;
}

std::optional<AffineMotion> FrameAligner::register_pair(const Pyramid& first,
                                                        const Pyramid& second,
                                                        const AffineMotion* guess) {
    const int32_t top = static_cast<int32_t>(first.levels.size()) - 1;
    std::vector<Sample> samples;
    std::vector<float> residual, scratch;
    Warp warp = kIdentity;
    double offset = 0;
    bool fine_solved = false;
    for (int32_t level = top; level >= 0; --level) {
        const GreyImage& t = first.levels[static_cast<size_t>(level)];
        const GreyImage& i = second.levels[static_cast<size_t>(level)];
        // The finest level fixes the precision; the coarser ones need only bring it within reach.
        select_samples(t, level == 0 ? settings_.samples : settings_.samples / 2, &samples,
                       &scratch);
        if (level == top) {
            // Whole pixels first: around no motion, and around the guess where it differs.
            double cost = 0;
            std::array<int32_t, 2> best{0, 0};
            bool found = search_translation(samples, i, {0, 0}, settings_.search, &cost, &best);
            if (guess) {
                // The guess is in the frame's pixels; level 0 may be reduced.
                const double scale = std::ldexp(1.0, -level) / settings_.reduction;
                const double cx = 0.5 * (first.columns - 1), cy = 0.5 * (first.lines - 1);
                const std::array<int32_t, 2> centre{
                    static_cast<int32_t>(std::lround(guess->pan_x(cx, cy) * scale)),
                    static_cast<int32_t>(std::lround(guess->pan_y(cx, cy) * scale))};
                if (centre != std::array<int32_t, 2>{0, 0}) {
                    double other_cost = 0;
                    std::array<int32_t, 2> other{0, 0};
                    if (search_translation(samples, i, centre, settings_.search, &other_cost,
                                           &other) &&
                        (!found || other_cost < cost)) {
                        best = other, found = true;
                    }
                }
            }
            if (!found) return std::nullopt;
            warp = {1, 0, static_cast<double>(best[0]), 0, 1, static_cast<double>(best[1])};
        } else {
            // A level up: the same motion in pixels twice as small.
            warp[2] *= 2, warp[5] *= 2;
        }
        const Warp before = warp;
        const double offset_before = offset;
        // A coarse level need only bring the finer one within its reach: its steps end at a
        // tolerance four times coarser per level (twice for the pixels, twice for the need).
        const double converged = settings_.converged * std::ldexp(1.0, 2 * level);
        if (!refine(samples, t, i, settings_, converged, level == 0, &warp, &offset, &residual,
                    &scratch)) {
            // A coarse level without enough texture leaves the motion to the finer ones.
            warp = before, offset = offset_before;
            if (level == 0) return std::nullopt;
            continue;
        }
        if (level == 0) fine_solved = true;
    }
    if (!fine_solved) return std::nullopt;
    for (double v : warp) {
        if (!std::isfinite(v)) return std::nullopt;
    }
    // Level 0 pixel q is the frame's pixel p = r q + c0 (r the reduction, c0 = (r - 1) / 2 on
    // both axes): the same linear part L, and the offset r t + (I - L) c0.
    const double r = settings_.reduction, c0 = 0.5 * (r - 1);
    const double tx = r * warp[2] + c0 * (1 - warp[0] - warp[1]);
    const double ty = r * warp[5] + c0 * (1 - warp[3] - warp[4]);
    AffineMotion m;
    m.a = {tx, warp[0] - 1, warp[1], ty, warp[3], warp[4] - 1};
    return m;
}
