#include "analysis/pair_flow.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "analysis/parallel.hpp"

namespace {

// The derivative of the data terms' normalisation: gradients below this [grey levels per
// pixel] count as noise, so flat places do not get the weight of textured ones.
constexpr float kZetaBrightness = 3.0f;
constexpr float kZetaGradient = 1.0f;
// The Charbonnier penalties' small constants: [pixels] for the normalised data terms, [pixels
// per pixel] for the smoothness term.
constexpr float kEpsData = 0.01f;
constexpr float kEpsSmooth = 0.001f;
constexpr float kOmega = 1.6f;  // over-relaxation

inline float clampf(float x, float lo, float hi) { return std::min(std::max(x, lo), hi); }

// Bilinear read at (x, y); positions outside read the nearest edge.
inline float sample(const GreyImage& g, float x, float y) {
    const float xc = clampf(x, 0.0f, static_cast<float>(g.columns - 1));
    const float yc = clampf(y, 0.0f, static_cast<float>(g.lines - 1));
    const int32_t x0 = std::min(static_cast<int32_t>(xc), g.columns - 2 < 0 ? 0 : g.columns - 2);
    const int32_t y0 = std::min(static_cast<int32_t>(yc), g.lines - 2 < 0 ? 0 : g.lines - 2);
    const float fx = xc - static_cast<float>(x0), fy = yc - static_cast<float>(y0);
    const int32_t x1 = std::min(x0 + 1, g.columns - 1), y1 = std::min(y0 + 1, g.lines - 1);
    const float* a = g.line(y0);
    const float* b = g.line(y1);
    const float top = a[x0] + fx * (a[x1] - a[x0]);
    const float bottom = b[x0] + fx * (b[x1] - b[x0]);
    return top + fy * (bottom - top);
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

// Half the size, after the binomial filter 1 4 6 4 1 (edges replicated).
void reduce_half(const GreyImage& in, GreyImage* out, GreyImage* tmp) {
    const int32_t w = in.columns, h = in.lines;
    const int32_t ow = (w + 1) / 2, oh = (h + 1) / 2;
    resize_like(tmp, ow, h);
    resize_like(out, ow, oh);
    for (int32_t y = 0; y < h; ++y) {
        const float* s = in.line(y);
        float* d = tmp->line(y);
        for (int32_t x = 0; x < ow; ++x) {
            const int32_t c = 2 * x;
            const float a = s[std::max(c - 2, 0)], b = s[std::max(c - 1, 0)];
            const float e = s[std::min(c + 1, w - 1)], f = s[std::min(c + 2, w - 1)];
            d[x] = (a + f + 4.0f * (b + e) + 6.0f * s[c]) * (1.0f / 16.0f);
        }
    }
    for (int32_t y = 0; y < oh; ++y) {
        const int32_t c = 2 * y;
        const float* a = tmp->line(std::max(c - 2, 0));
        const float* b = tmp->line(std::max(c - 1, 0));
        const float* m = tmp->line(c);
        const float* e = tmp->line(std::min(c + 1, h - 1));
        const float* f = tmp->line(std::min(c + 2, h - 1));
        float* d = out->line(y);
        for (int32_t x = 0; x < ow; ++x) {
            d[x] = (a[x] + f[x] + 4.0f * (b[x] + e[x]) + 6.0f * m[x]) * (1.0f / 16.0f);
        }
    }
}

// Five-point derivatives along x and y (1 -8 0 8 -1 over 12; edges replicated).
void derivatives(const GreyImage& in, GreyImage* dx, GreyImage* dy) {
    const int32_t w = in.columns, h = in.lines;
    resize_like(dx, w, h);
    resize_like(dy, w, h);
    for (int32_t y = 0; y < h; ++y) {
        const float* s = in.line(y);
        float* d = dx->line(y);
        for (int32_t x = 0; x < w; ++x) {
            const float a = s[std::max(x - 2, 0)], b = s[std::max(x - 1, 0)];
            const float e = s[std::min(x + 1, w - 1)], f = s[std::min(x + 2, w - 1)];
            d[x] = (a - 8.0f * b + 8.0f * e - f) * (1.0f / 12.0f);
        }
        const float* a = in.line(std::max(y - 2, 0));
        const float* b = in.line(std::max(y - 1, 0));
        const float* e = in.line(std::min(y + 1, h - 1));
        const float* f = in.line(std::min(y + 2, h - 1));
        float* g = dy->line(y);
        for (int32_t x = 0; x < w; ++x) g[x] = (a[x] - 8.0f * b[x] + 8.0f * e[x] - f[x]) * (1.0f / 12.0f);
    }
}

// The flow of the coarser level enlarged to this one (positions and lengths doubled).
void enlarge_flow(const GreyImage& cu, const GreyImage& cv, GreyImage* u, GreyImage* v) {
    for (int32_t y = 0; y < u->lines; ++y) {
        const float sy = 0.5f * static_cast<float>(y);
        for (int32_t x = 0; x < u->columns; ++x) {
            const float sx = 0.5f * static_cast<float>(x);
            u->at(x, y) = 2.0f * sample(cu, sx, sy);
            v->at(x, y) = 2.0f * sample(cv, sx, sy);
        }
    }
}

// The median of each side x side neighbourhood (clipped at the edges).
void median_filter(const GreyImage& in, int32_t side, GreyImage* out, int32_t y0, int32_t y1) {
    const int32_t r = side / 2;
    std::array<float, 49> window{};
    for (int32_t y = y0; y < y1; ++y) {
        for (int32_t x = 0; x < in.columns; ++x) {
            size_t n = 0;
            for (int32_t yy = std::max(y - r, 0); yy <= std::min(y + r, in.lines - 1); ++yy) {
                const float* s = in.line(yy);
                for (int32_t xx = std::max(x - r, 0); xx <= std::min(x + r, in.columns - 1); ++xx) {
                    window[n++] = s[xx];
                }
            }
            std::nth_element(window.begin(), window.begin() + n / 2, window.begin() + n);
            out->at(x, y) = window[n / 2];
        }
    }
}

}  // namespace

// One level of the pyramid: its two images, their derivatives, its flow and the work images
// of the refinement.
class PairFlowEstimator::Level {
  public:
    int32_t columns = 0, lines = 0;
    GreyImage i0, i1;
    // First and second derivatives of both images (x, y, xx, xy, yy).
    GreyImage d0[5], d1[5];
    GreyImage edge;  // the smoothness weight's fall across edges of i0
    GreyImage u, v;
    // The refinement's linearised terms at the warped positions: Iz, Ix, Iy (brightness),
    // Ixz, Iyz, Ixx, Ixy, Iyy (gradient).
    GreyImage t[8];
    std::vector<uint8_t> outside;
    GreyImage du, dv, a11, a12, a22, b1, b2, wx, wy, psi;
    GreyImage scratch;

    void allocate(int32_t c, int32_t l) {
        columns = c, lines = l;
        for (GreyImage* g : {&i0, &i1, &edge, &u, &v, &du, &dv, &a11, &a12, &a22, &b1, &b2, &wx,
                             &wy, &psi, &scratch}) {
            resize_like(g, c, l);
        }
        for (auto& g : d0) resize_like(&g, c, l);
        for (auto& g : d1) resize_like(&g, c, l);
        for (auto& g : t) resize_like(&g, c, l);
        outside.assign(static_cast<size_t>(c) * l, 0);
    }
};

PairFlowEstimator::PairFlowEstimator(const PairFlowSettings& settings) : settings_(settings) {}
PairFlowEstimator::~PairFlowEstimator() = default;

void PairFlowEstimator::build_levels(int32_t columns, int32_t lines) {
    if (!levels_.empty() && levels_[0]->columns == columns && levels_[0]->lines == lines) return;
    levels_.clear();
    int32_t c = columns, l = lines;
    const int32_t coarsest = std::max(settings_.coarsest, 4);
    while (true) {
        levels_.push_back(std::make_unique<Level>());
        levels_.back()->allocate(c, l);
        if (std::min(c, l) / 2 < coarsest || levels_.size() >= 12) break;
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
    for (size_t k = 1; k < levels_.size(); ++k) {
        reduce_half(levels_[k - 1]->i0, &levels_[k]->i0, &levels_[k]->scratch);
        reduce_half(levels_[k - 1]->i1, &levels_[k]->i1, &levels_[k]->scratch);
    }
    const int top = static_cast<int>(levels_.size()) - 1;
    for (int k = top; k >= 0; --k) {
        Level& level = *levels_[k];
        GreyImage* d0 = level.d0;
        GreyImage* d1 = level.d1;
        for (int which = 0; which < 2; ++which) {
            GreyImage* d = which == 0 ? d0 : d1;
            derivatives(which == 0 ? level.i0 : level.i1, &d[0], &d[1]);
            derivatives(d[0], &d[2], &d[3]);
            derivatives(d[1], &level.scratch, &d[4]);
        }
        for (size_t i = 0; i < level.edge.data.size(); ++i) {
            const float g = std::sqrt(d0[0].data[i] * d0[0].data[i] + d0[1].data[i] * d0[1].data[i]);
            level.edge.data[i] = std::exp(-settings_.edge_falloff * g);
        }
        if (k == top) {
            const float s = 1.0f / static_cast<float>(1 << top);
            if (start && start->u.columns == first.columns && start->u.lines == first.lines) {
                // The start flow reduced to this level by sampling at its positions.
                for (int32_t y = 0; y < level.lines; ++y) {
                    for (int32_t x = 0; x < level.columns; ++x) {
                        const float fx = static_cast<float>(x) / s, fy = static_cast<float>(y) / s;
                        level.u.at(x, y) = s * sample(start->u, fx, fy);
                        level.v.at(x, y) = s * sample(start->v, fx, fy);
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
        refine(level);
    }
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
    std::vector<float> tmpl(n), gx(n), gy(n), warped(n);

    // Mean-free sum of squared differences of the patch at (x0, y0) moved by (a, b).
    auto cost = [&](int32_t x0, int32_t y0, float a, float b) {
        double mean = 0;
        for (int32_t j = 0; j < p; ++j) {
            for (int32_t i = 0; i < p; ++i) {
                const float s = sample(level.i1, static_cast<float>(x0 + i) + a,
                                       static_cast<float>(y0 + j) + b);
                warped[static_cast<size_t>(j) * p + i] = s;
                mean += s;
            }
        }
        const float m = static_cast<float>(mean / static_cast<double>(n));
        float c = 0;
        for (size_t k = 0; k < n; ++k) {
            const float r = warped[k] - m - tmpl[k];
            c += r * r;
        }
        return c;
    };

    for (size_t gyi = 0; gyi < ny; ++gyi) {
        for (size_t gxi = 0; gxi < nx; ++gxi) {
            const int32_t x0 = xs[gxi], y0 = ys[gyi];
            double mt = 0, mx = 0, my = 0;
            for (int32_t j = 0; j < p; ++j) {
                for (int32_t i = 0; i < p; ++i) {
                    const size_t k = static_cast<size_t>(j) * p + i;
                    tmpl[k] = level.i0.at(x0 + i, y0 + j);
                    gx[k] = level.d0[0].at(x0 + i, y0 + j);
                    gy[k] = level.d0[1].at(x0 + i, y0 + j);
                    mt += tmpl[k], mx += gx[k], my += gy[k];
                }
            }
            const float inv = 1.0f / static_cast<float>(n);
            float hxx = 0, hxy = 0, hyy = 0;
            for (size_t k = 0; k < n; ++k) {
                tmpl[k] -= static_cast<float>(mt) * inv;
                gx[k] -= static_cast<float>(mx) * inv;
                gy[k] -= static_cast<float>(my) * inv;
                hxx += gx[k] * gx[k], hxy += gx[k] * gy[k], hyy += gy[k] * gy[k];
            }
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
                    cost(x0, y0, ca, cb);
                    double m = 0;
                    for (size_t k = 0; k < n; ++k) m += warped[k];
                    const float mw = static_cast<float>(m) * inv;
                    float bx = 0, by = 0;
                    for (size_t k = 0; k < n; ++k) {
                        const float r = warped[k] - mw - tmpl[k];
                        bx += gx[k] * r, by += gy[k] * r;
                    }
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
            const int32_t x0 = xs[gxi], y0 = ys[gyi];
            const float a = pu[id], b = pv[id];
            for (int32_t j = 0; j < p; ++j) {
                const int32_t y = y0 + j;
                for (int32_t i = 0; i < p; ++i) {
                    const int32_t x = x0 + i;
                    const float d = sample(level.i1, static_cast<float>(x) + a,
                                           static_cast<float>(y) + b) -
                                    level.i0.at(x, y);
                    const float wgt = 1.0f / std::max(1.0f, std::fabs(d));
                    su.at(x, y) += wgt * a;
                    sv.at(x, y) += wgt * b;
                    sw.at(x, y) += wgt;
                }
            }
        }
    }
    for (size_t i = 0; i < su.data.size(); ++i) {
        if (sw.data[i] > 0) {
            level.u.data[i] = su.data[i] / sw.data[i];
            level.v.data[i] = sv.data[i] / sw.data[i];
        }
    }
}

// The variational refinement of one level's flow (see the header).
void PairFlowEstimator::refine(Level& level) const {
    const int32_t w = level.columns, h = level.lines;
    const int threads = std::max(1, settings_.threads);
    const float alpha = settings_.smoothness;
    const float delta = settings_.brightness, gamma = settings_.gradient;
    const float zb2 = kZetaBrightness * kZetaBrightness, zg2 = kZetaGradient * kZetaGradient;
    const float eps_d2 = kEpsData * kEpsData, eps_s2 = kEpsSmooth * kEpsSmooth;
    GreyImage* t = level.t;  // Iz, Ix, Iy, Ixz, Iyz, Ixx, Ixy, Iyy

    for (int warp = 0; warp < settings_.warps; ++warp) {
        // Linearise around the current flow: i1 and its derivatives read at the matches,
        // averaged with i0's where both images have them.
        for_bands(threads, h, [&](int32_t y0, int32_t y1) {
            for (int32_t y = y0; y < y1; ++y) {
                for (int32_t x = 0; x < w; ++x) {
                    const size_t i = static_cast<size_t>(y) * w + x;
                    const float px = static_cast<float>(x) + level.u.data[i];
                    const float py = static_cast<float>(y) + level.v.data[i];
                    level.outside[i] = px < 0 || py < 0 || px > static_cast<float>(w - 1) ||
                                       py > static_cast<float>(h - 1);
                    const float i1 = sample(level.i1, px, py);
                    float d1[5];
                    for (int k = 0; k < 5; ++k) d1[k] = sample(level.d1[k], px, py);
                    t[0].data[i] = i1 - level.i0.data[i];
                    t[1].data[i] = 0.5f * (d1[0] + level.d0[0].data[i]);
                    t[2].data[i] = 0.5f * (d1[1] + level.d0[1].data[i]);
                    t[3].data[i] = d1[0] - level.d0[0].data[i];
                    t[4].data[i] = d1[1] - level.d0[1].data[i];
                    t[5].data[i] = 0.5f * (d1[2] + level.d0[2].data[i]);
                    t[6].data[i] = 0.5f * (d1[3] + level.d0[3].data[i]);
                    t[7].data[i] = 0.5f * (d1[4] + level.d0[4].data[i]);
                    level.du.data[i] = 0.0f;
                    level.dv.data[i] = 0.0f;
                }
            }
        });

        for (int round = 0; round < settings_.fixed_point; ++round) {
            // The robust terms' weights at the current increment, and the linear system.
            for_bands(threads, h, [&](int32_t y0, int32_t y1) {
                for (int32_t y = y0; y < y1; ++y) {
                    for (int32_t x = 0; x < w; ++x) {
                        const size_t i = static_cast<size_t>(y) * w + x;
                        const float du = level.du.data[i], dv = level.dv.data[i];
                        const float iz = t[0].data[i], ix = t[1].data[i], iy = t[2].data[i];
                        const float ixz = t[3].data[i], iyz = t[4].data[i];
                        const float ixx = t[5].data[i], ixy = t[6].data[i], iyy = t[7].data[i];
                        float a11 = 0, a12 = 0, a22 = 0, b1 = 0, b2 = 0;
                        if (!level.outside[i]) {
                            const float th0 = 1.0f / (ix * ix + iy * iy + zb2);
                            const float r0 = iz + ix * du + iy * dv;
                            const float pd = delta * th0 / std::sqrt(th0 * r0 * r0 + eps_d2);
                            const float thx = 1.0f / (ixx * ixx + ixy * ixy + zg2);
                            const float thy = 1.0f / (ixy * ixy + iyy * iyy + zg2);
                            const float rx = ixz + ixx * du + ixy * dv;
                            const float ry = iyz + ixy * du + iyy * dv;
                            const float pg = gamma / std::sqrt(thx * rx * rx + thy * ry * ry + eps_d2);
                            const float gx = pg * thx, gy = pg * thy;
                            a11 = pd * ix * ix + gx * ixx * ixx + gy * ixy * ixy;
                            a12 = pd * ix * iy + gx * ixx * ixy + gy * ixy * iyy;
                            a22 = pd * iy * iy + gx * ixy * ixy + gy * iyy * iyy;
                            b1 = -(pd * ix * iz + gx * ixx * ixz + gy * ixy * iyz);
                            b2 = -(pd * iy * iz + gx * ixy * ixz + gy * iyy * iyz);
                        }
                        level.a11.data[i] = a11, level.a12.data[i] = a12, level.a22.data[i] = a22;
                        level.b1.data[i] = b1, level.b2.data[i] = b2;
                        // Smoothness weight from the forward differences of the whole flow.
                        const size_t r = x + 1 < w ? i + 1 : i;
                        const size_t d = y + 1 < h ? i + w : i;
                        const float ux = level.u.data[r] + level.du.data[r] - level.u.data[i] - du;
                        const float vx = level.v.data[r] + level.dv.data[r] - level.v.data[i] - dv;
                        const float uy = level.u.data[d] + level.du.data[d] - level.u.data[i] - du;
                        const float vy = level.v.data[d] + level.dv.data[d] - level.v.data[i] - dv;
                        level.psi.data[i] =
                            level.edge.data[i] / std::sqrt(ux * ux + vx * vx + uy * uy + vy * vy + eps_s2);
                    }
                }
            });
            // Weights of the links to the right (wx) and below (wy); 0 past the edge.
            for_bands(threads, h, [&](int32_t y0, int32_t y1) {
                for (int32_t y = y0; y < y1; ++y) {
                    const float* p = level.psi.line(y);
                    const float* q = y + 1 < h ? level.psi.line(y + 1) : nullptr;
                    float* lx = level.wx.line(y);
                    float* ly = level.wy.line(y);
                    for (int32_t x = 0; x < w; ++x) {
                        lx[x] = x + 1 < w ? 0.5f * alpha * (p[x] + p[x + 1]) : 0.0f;
                        ly[x] = q ? 0.5f * alpha * (p[x] + q[x]) : 0.0f;
                    }
                }
            });
            for (int sweep = 0; sweep < settings_.sweeps; ++sweep) {
                for (int colour = 0; colour < 2; ++colour) {
                    for_bands(threads, h, [&](int32_t y0, int32_t y1) {
                        for (int32_t y = y0; y < y1; ++y) {
                            const float* u = level.u.line(y);
                            const float* v = level.v.line(y);
                            float* du = level.du.line(y);
                            float* dv = level.dv.line(y);
                            const float* lx = level.wx.line(y);
                            const float* ly = level.wy.line(y);
                            const float* ux = y > 0 ? level.wy.line(y - 1) : nullptr;
                            const float* a11 = level.a11.line(y);
                            const float* a12 = level.a12.line(y);
                            const float* a22 = level.a22.line(y);
                            const float* b1 = level.b1.line(y);
                            const float* b2 = level.b2.line(y);
                            for (int32_t x = (y + colour) & 1; x < w; x += 2) {
                                float sw = 0, su = 0, sv = 0;
                                const float uu = u[x], vv = v[x];
                                auto link = [&](float wt, size_t j) {
                                    sw += wt;
                                    su += wt * (level.u.data[j] + level.du.data[j] - uu);
                                    sv += wt * (level.v.data[j] + level.dv.data[j] - vv);
                                };
                                const size_t i = static_cast<size_t>(y) * w + x;
                                if (x > 0) link(lx[x - 1], i - 1);
                                if (x + 1 < w) link(lx[x], i + 1);
                                if (ux) link(ux[x], i - w);
                                if (y + 1 < h) link(ly[x], i + w);
                                const float nu = (b1[x] + su - a12[x] * dv[x]) / (a11[x] + sw + 1e-9f);
                                du[x] += kOmega * (nu - du[x]);
                                const float nv = (b2[x] + sv - a12[x] * du[x]) / (a22[x] + sw + 1e-9f);
                                dv[x] += kOmega * (nv - dv[x]);
                            }
                        }
                    });
                }
            }
        }
        for (size_t i = 0; i < level.u.data.size(); ++i) {
            level.u.data[i] += level.du.data[i];
            level.v.data[i] += level.dv.data[i];
        }
        if (settings_.median > 1) {
            for (GreyImage* f : {&level.u, &level.v}) {
                for_bands(threads, h, [&](int32_t y0, int32_t y1) {
                    median_filter(*f, std::min(settings_.median, 7), &level.scratch, y0, y1);
                });
                std::swap(f->data, level.scratch.data);
            }
        }
    }
}

// How well the flow explains each pixel (see the header).
void PairFlowEstimator::confidence(const Level& level, GreyImage* out) const {
    const int32_t w = level.columns, h = level.lines;
    for_bands(std::max(1, settings_.threads), h, [&](int32_t y0, int32_t y1) {
        for (int32_t y = y0; y < y1; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y) * w + x;
                const float px = static_cast<float>(x) + level.u.data[i];
                const float py = static_cast<float>(y) + level.v.data[i];
                if (px < 0 || py < 0 || px > static_cast<float>(w - 1) ||
                    py > static_cast<float>(h - 1)) {
                    out->data[i] = 0.0f;
                    continue;
                }
                // The brightness left over in a 3 x 3 neighbourhood, and the texture there.
                float r2 = 0, sxx = 0, sxy = 0, syy = 0;
                for (int32_t j = -1; j <= 1; ++j) {
                    const int32_t yy = std::clamp(y + j, 0, h - 1);
                    for (int32_t k = -1; k <= 1; ++k) {
                        const int32_t xx = std::clamp(x + k, 0, w - 1);
                        const size_t n = static_cast<size_t>(yy) * w + xx;
                        const float d = sample(level.i1, static_cast<float>(xx) + level.u.data[n],
                                               static_cast<float>(yy) + level.v.data[n]) -
                                        level.i0.data[n];
                        r2 += d * d;
                        const float gx = level.d0[0].data[n], gy = level.d0[1].data[n];
                        sxx += gx * gx, sxy += gx * gy, syy += gy * gy;
                    }
                }
                r2 *= 1.0f / 9.0f;
                const float half = 0.5f * (sxx + syy) / 9.0f;
                const float dev = std::sqrt(0.25f * (sxx - syy) * (sxx - syy) + sxy * sxy) / 9.0f;
                const float lmin = std::max(0.0f, half - dev);
                const float photometric = 1.0f / (1.0f + r2 / 36.0f);
                const float texture = lmin / (lmin + 4.0f);
                out->data[i] = photometric * std::sqrt(texture);
            }
        }
    });
}
