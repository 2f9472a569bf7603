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
    *out = GreyImage(w, h);
    scratch->resize(static_cast<size_t>(w) * h);
    auto clampi = [](int32_t v, int32_t hi) { return std::clamp(v, 0, hi); };
    for (int32_t y = 0; y < h; ++y) {
        const float* s = in.line(y);
        float* d = scratch->data() + static_cast<size_t>(y) * w;
        for (int32_t x = 0; x < w; ++x) {
            if (x >= 2 && x < w - 2) {
                d[x] = (s[x - 2] + s[x + 2] + 4.0f * (s[x - 1] + s[x + 1]) + 6.0f * s[x]) *
                       (1.0f / 16.0f);
            } else {
                d[x] = (s[clampi(x - 2, w - 1)] + s[clampi(x + 2, w - 1)] +
                        4.0f * (s[clampi(x - 1, w - 1)] + s[clampi(x + 1, w - 1)]) +
                        6.0f * s[x]) *
                       (1.0f / 16.0f);
            }
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
void select_samples(const GreyImage& t, int32_t wanted, std::vector<Sample>* out) {
    out->clear();
    const int32_t w = t.columns, h = t.lines;
    const int32_t x0 = kEdge, y0 = kEdge, x1 = w - kEdge, y1 = h - kEdge;  // [x0, x1) x [y0, y1)
    if (x1 <= x0 || y1 <= y0) return;
    const double interior = static_cast<double>(x1 - x0) * (y1 - y0);
    const int32_t b = std::max<int32_t>(1, static_cast<int32_t>(std::ceil(std::sqrt(interior / wanted))));
    const Frame f(t);
    // Half a grey level per pixel: below it a pixel says nothing about the motion.
    constexpr float kMinGradient2 = 0.25f;
    for (int32_t by = y0; by < y1; by += b) {
        for (int32_t bx = x0; bx < x1; bx += b) {
            float best = kMinGradient2;
            int32_t best_x = -1, best_y = -1;
            float best_gx = 0, best_gy = 0;
            for (int32_t y = by; y < std::min(by + b, y1); ++y) {
                const float* r = t.line(y);
                const float* up = t.line(y - 1);
                const float* down = t.line(y + 1);
                for (int32_t x = bx; x < std::min(bx + b, x1); ++x) {
                    const float gx = 0.5f * (r[x + 1] - r[x - 1]);
                    const float gy = 0.5f * (down[x] - up[x]);
                    const float g2 = gx * gx + gy * gy;
                    if (g2 > best) best = g2, best_x = x, best_y = y, best_gx = gx, best_gy = gy;
                }
            }
            if (best_x < 0) continue;
            Sample s;
            s.x = static_cast<float>(best_x);
            s.y = static_cast<float>(best_y);
            s.t = t.at(best_x, best_y);
            const float xn = static_cast<float>((best_x - f.cx) / f.s);
            const float yn = static_cast<float>((best_y - f.cy) / f.s);
            s.j[0] = best_gx, s.j[1] = best_gx * xn, s.j[2] = best_gx * yn;
            s.j[3] = best_gy, s.j[4] = best_gy * xn, s.j[5] = best_gy * yn;
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
    for (int32_t dy = centre[1] - r; dy <= centre[1] + r; ++dy) {
        for (int32_t dx = centre[0] - r; dx <= centre[0] + r; ++dx) {
            double sum = 0, sum2 = 0;
            size_t n = 0;
            for (const Sample& s : samples) {
                const int32_t x = static_cast<int32_t>(s.x) + dx;
                const int32_t y = static_cast<int32_t>(s.y) + dy;
                if (x < 0 || y < 0 || x >= second.columns || y >= second.lines) continue;
                const double d = second.at(x, y) - s.t;
                sum += d, sum2 += d * d, ++n;
            }
            if (2 * n < samples.size() || n == 0) continue;
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
            const AlignSettings& settings, double converged, Warp* warp, double* offset,
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
            const float r = cubic(second, x, y) - s.t - o;
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
    std::vector<GreyImage> levels;  // levels[0]: the frame smoothed once; each next one halved

    void build(const GreyImage& frame, int32_t coarsest_side, std::vector<float>* scratch) {
        // Level 0 is smoothed twice (a Gaussian of about 1.4 px): the finest detail, which
        // the cubic reading of the second frame moves by its sub-pixel position, weighs
        // little, and the noise and the coding artefacts of video with it.
        levels.resize(1);
        GreyImage once;
        blur5(frame, &once, scratch);
        blur5(once, &levels[0], scratch);
        while (std::min(levels.back().columns, levels.back().lines) / 2 >= coarsest_side) {
            GreyImage smooth;
            blur5(levels.back(), &smooth, scratch);
            levels.push_back(halve(smooth));
        }
    }
};

FrameAligner::FrameAligner(const AlignSettings& settings)
    : settings_(settings),
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
    a.build(first, settings_.coarsest_side, &scratch);
    b.build(second, settings_.coarsest_side, &scratch);
    return register_pair(a, b, guess);
}

std::optional<AffineMotion> FrameAligner::push(const GreyImage& frame) {
    std::vector<float> scratch;
    if (frame.columns < 8 || frame.lines < 8) {
        reset();
        return std::nullopt;
    }
    current_->build(frame, settings_.coarsest_side, &scratch);
    std::optional<AffineMotion> step;
    const auto& prev = previous_->levels;
    if (!prev.empty() && prev[0].columns == frame.columns && prev[0].lines == frame.lines) {
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
        select_samples(t, settings_.samples, &samples);
        if (level == top) {
            // Whole pixels first: around no motion, and around the guess where it differs.
            double cost = 0;
            std::array<int32_t, 2> best{0, 0};
            bool found = search_translation(samples, i, {0, 0}, settings_.search, &cost, &best);
            if (guess) {
                const double scale = std::ldexp(1.0, -level);
                const double cx = 0.5 * (first.levels[0].columns - 1);
                const double cy = 0.5 * (first.levels[0].lines - 1);
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
        if (!refine(samples, t, i, settings_, converged, &warp, &offset, &residual, &scratch)) {
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
    AffineMotion m;
    m.a = {warp[2], warp[0] - 1, warp[1], warp[5], warp[3], warp[4] - 1};
    return m;
}
