#include "analysis/pair_flow.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "analysis/parallel.hpp"

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
};

// Bilinear read at (x, y); positions outside read the nearest edge.
inline float sample(const GreyImage& g, float x, float y) {
    return Bilinear(x, y, g.columns, g.lines)(g.data.data());
}

// The p x p patch of g whose top-left corner lies at (x, y), read bilinearly into out (line
// after line); returns its mean. Where the patch lies wholly inside g, every pixel shares the
// same interpolation weights.
float sample_patch(const GreyImage& g, float x, float y, int32_t p, float* out) {
    const float fxf = std::floor(x), fyf = std::floor(y);
    const int32_t xi = static_cast<int32_t>(fxf), yi = static_cast<int32_t>(fyf);
    float sum = 0;
    if (std::isfinite(x) && std::isfinite(y) && xi >= 0 && yi >= 0 && xi + p < g.columns &&
        yi + p < g.lines) {
        const float fx = x - fxf, fy = y - fyf;
        const float w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy;
        for (int32_t j = 0; j < p; ++j) {
            const float* a = g.line(yi + j) + xi;
            const float* b = a + g.columns;
            float* o = out + static_cast<size_t>(j) * p;
            for (int32_t i = 0; i < p; ++i) {
                o[i] = w00 * a[i] + w01 * a[i + 1] + w10 * b[i] + w11 * b[i + 1];
                sum += o[i];
            }
        }
    } else {
        for (int32_t j = 0; j < p; ++j) {
            for (int32_t i = 0; i < p; ++i) {
                const float s = sample(g, x + static_cast<float>(i), y + static_cast<float>(j));
                out[static_cast<size_t>(j) * p + i] = s;
                sum += s;
            }
        }
    }
    return sum / static_cast<float>(p * p);
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
            const Five t(s, 2 * x, w);
            d[x] = (t.m2 + t.p2 + 4.0f * (t.m1 + t.p1) + 6.0f * t.c) * (1.0f / 16.0f);
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
            const Five t(s, x, w);
            d[x] = (t.m2 - 8.0f * t.m1 + 8.0f * t.p1 - t.p2) * (1.0f / 12.0f);
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

// Compare-exchange pairs that leave the median of 25 values in slot 15 of 32 when the
// slots 25 to 27 hold -inf and 28 to 31 +inf: Batcher's odd-even merge sort of 32, with the
// exchanges that cannot reach slot 15 left out.
const std::vector<std::pair<int, int>>& median25_network() {
    static const std::vector<std::pair<int, int>> pairs = [] {
        std::vector<std::pair<int, int>> all;
        const int n = 32;
        for (int p = 1; p < n; p <<= 1) {
            for (int k = p; k >= 1; k >>= 1) {
                for (int j = k % p; j + k < n; j += 2 * k) {
                    for (int i = 0; i < std::min(k, n - j - k); ++i) {
                        if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) all.emplace_back(i + j, i + j + k);
                    }
                }
            }
        }
        std::vector<bool> needed(n, false);
        needed[15] = true;
        std::vector<std::pair<int, int>> kept;
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            if (needed[it->first] || needed[it->second]) {
                needed[it->first] = needed[it->second] = true;
                kept.push_back(*it);
            }
        }
        std::reverse(kept.begin(), kept.end());
        return kept;
    }();
    return pairs;
}

// The median of each 5 x 5 neighbourhood (edges replicated), lines [y0, y1); the network runs
// on blocks of pixels side by side, so that every exchange is one min and one max per vector.
ORVANE_VECTOR_LOOP void median5(const GreyImage& in, GreyImage* out, int32_t y0, int32_t y1) {
    constexpr int32_t kBlock = 64;
    alignas(64) float slot[32][kBlock];
    const auto& network = median25_network();
    const int32_t w = in.columns, h = in.lines;
    for (int32_t y = y0; y < y1; ++y) {
        const float* rows[5];
        for (int32_t j = 0; j < 5; ++j) rows[j] = in.line(std::clamp(y + j - 2, 0, h - 1));
        for (int32_t x0 = 0; x0 < w; x0 += kBlock) {
            const int32_t n = std::min(kBlock, w - x0);
            // The exchanges move values into the padding, so it is filled for every block.
            for (int32_t k = 25; k < 32; ++k) {
                const float fill = k < 28 ? -INFINITY : INFINITY;
                for (int32_t x = 0; x < kBlock; ++x) slot[k][x] = fill;
            }
            const bool interior = x0 >= 2 && x0 + n + 2 <= w;
            for (int32_t j = 0; j < 5; ++j) {
                for (int32_t i = 0; i < 5; ++i) {
                    float* d = slot[j * 5 + i];
                    if (interior) {
                        std::copy(rows[j] + x0 + i - 2, rows[j] + x0 + i - 2 + n, d);
                    } else {
                        for (int32_t x = 0; x < n; ++x) d[x] = rows[j][std::clamp(x0 + x + i - 2, 0, w - 1)];
                    }
                }
            }
            for (const auto& [a, b] : network) {
                float* p = slot[a];
                float* q = slot[b];
                for (int32_t x = 0; x < kBlock; ++x) {
                    const float lo = std::min(p[x], q[x]), hi = std::max(p[x], q[x]);
                    p[x] = lo, q[x] = hi;
                }
            }
            std::copy(slot[15], slot[15] + n, out->line(y) + x0);
        }
    }
}

// The refinement's constants (see refine()).
struct Coefficients {
    float alpha, delta, gamma, zb2, zg2, eps_d2, eps_s2;
};

// One line of the refinement's linear system at the current flow (U, V), linearised around
// (u0, v0): the diagonal blocks a11, a12, a22, the right-hand sides c1, c2 and the smoothness
// weight psi of each pixel (see refine()).
ORVANE_VECTOR_LOOP void system_line(int32_t w, const Coefficients& k, const float* __restrict Ur,
                 const float* __restrict Vr, const float* __restrict Ud,
                 const float* __restrict Vd, const float* __restrict u0,
                 const float* __restrict v0, const float* __restrict inside,
                 const float* __restrict edge, const float* const* T, float* __restrict a11r,
                 float* __restrict a12r, float* __restrict a22r, float* __restrict c1r,
                 float* __restrict c2r, float* __restrict psi) {
    const float* __restrict tz = T[0];
    const float* __restrict tx = T[1];
    const float* __restrict ty = T[2];
    const float* __restrict txz = T[3];
    const float* __restrict tyz = T[4];
    const float* __restrict txx = T[5];
    const float* __restrict txy = T[6];
    const float* __restrict tyy = T[7];
    for (int32_t x = 0; x < w; ++x) {
        const float du = Ur[x] - u0[x], dv = Vr[x] - v0[x];
        const float iz = tz[x], ix = tx[x], iy = ty[x];
        const float ixz = txz[x], iyz = tyz[x];
        const float ixx = txx[x], ixy = txy[x], iyy = tyy[x];
        const float th0 = 1.0f / (ix * ix + iy * iy + k.zb2);
        const float r0 = iz + ix * du + iy * dv;
        const float pd = inside[x] * k.delta * th0 / std::sqrt(th0 * r0 * r0 + k.eps_d2);
        const float thx = 1.0f / (ixx * ixx + ixy * ixy + k.zg2);
        const float thy = 1.0f / (ixy * ixy + iyy * iyy + k.zg2);
        const float rx = ixz + ixx * du + ixy * dv;
        const float ry = iyz + ixy * du + iyy * dv;
        const float pg = inside[x] * k.gamma / std::sqrt(thx * rx * rx + thy * ry * ry + k.eps_d2);
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

// The linearisation of line y (see PairFlowEstimator::linearise_line): whole images i1 and d1,
// lines of the rest.
ORVANE_VECTOR_LOOP void linearise(int32_t w, int32_t h, int32_t y, const float* __restrict u,
                                  const float* __restrict v, const float* __restrict i0,
                                  const float* __restrict i1, const float* const* d0,
                                  const float* const* d1, float* const* t,
                                  bool brightness, float* __restrict inside, float* __restrict U,
                                  float* __restrict V) {
    const float* __restrict d0x = d0[0];
    const float* __restrict d0y = d0[1];
    const float* __restrict d0xx = d0[2];
    const float* __restrict d0xy = d0[3];
    const float* __restrict d0yy = d0[4];
    const float* __restrict d1x = d1[0];
    const float* __restrict d1y = d1[1];
    const float* __restrict d1xx = d1[2];
    const float* __restrict d1xy = d1[3];
    const float* __restrict d1yy = d1[4];
    float* __restrict t0 = t[0];
    float* __restrict t1 = t[1];
    float* __restrict t2 = t[2];
    float* __restrict t3 = t[3];
    float* __restrict t4 = t[4];
    float* __restrict t5 = t[5];
    float* __restrict t6 = t[6];
    float* __restrict t7 = t[7];
    const float right = static_cast<float>(w - 1), bottom = static_cast<float>(h - 1);
    for (int32_t x = 0; x < w; ++x) {
        const float px = static_cast<float>(x) + u[x];
        const float py = static_cast<float>(y) + v[x];
        inside[x] = (px >= 0.0f && py >= 0.0f && px <= right && py <= bottom) ? 1.0f : 0.0f;
        const Bilinear at(px, py, w, h);
        const float wx = at(d1x), wy = at(d1y);
        // Without a brightness term its difference is not read: no need to gather it.
        t0[x] = brightness ? at(i1) - i0[x] : 0.0f;
        t1[x] = 0.5f * (wx + d0x[x]);
        t2[x] = 0.5f * (wy + d0y[x]);
        t3[x] = wx - d0x[x];
        t4[x] = wy - d0y[x];
        t5[x] = 0.5f * (at(d1xx) + d0xx[x]);
        t6[x] = 0.5f * (at(d1xy) + d0xy[x]);
        t7[x] = 0.5f * (at(d1yy) + d0yy[x]);
        U[x] = u[x];
        V[x] = v[x];
    }
}

// Every pixel 1 to last - 1 of a line of the over-relaxation, into nu and nv (see sor_line).
ORVANE_VECTOR_LOOP void sor_interior(int32_t last, const float* __restrict U, const float* __restrict V,
                  const float* __restrict Uu, const float* __restrict Vu,
                  const float* __restrict Ud, const float* __restrict Vd,
                  const float* __restrict lx, const float* __restrict ly,
                  const float* __restrict lu, const float* __restrict a12,
                  const float* __restrict c1, const float* __restrict c2,
                  const float* __restrict i1, const float* __restrict i2, float* __restrict nu,
                  float* __restrict nv) {
    for (int32_t x = 1; x < last; ++x) {
        const float su = lx[x - 1] * U[x - 1] + lx[x] * U[x + 1] + lu[x] * Uu[x] + ly[x] * Ud[x];
        const float sv = lx[x - 1] * V[x - 1] + lx[x] * V[x + 1] + lu[x] * Vu[x] + ly[x] * Vd[x];
        const float u = U[x] + kOmega * ((c1[x] + su - a12[x] * V[x]) * i1[x] - U[x]);
        const float v = V[x] + kOmega * ((c2[x] + sv - a12[x] * u) * i2[x] - V[x]);
        nu[x] = u;
        nv[x] = v;
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
                line_grad += std::hypot(a[x + 1] - a[x], b[x] - a[x]);
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
    GreyImage inside;  // 1 where the match lies inside i1, else 0
    GreyImage du, dv, a11, a12, a22, b1, b2, wx, wy, psi;
    GreyImage scratch;

    void allocate(int32_t c, int32_t l) {
        columns = c, lines = l;
        for (GreyImage* g : {&i0, &i1, &edge, &inside, &u, &v, &du, &dv, &a11, &a12, &a22, &b1, &b2, &wx,
                             &wy, &psi, &scratch}) {
            resize_like(g, c, l);
        }
        for (auto& g : d0) resize_like(&g, c, l);
        for (auto& g : d1) resize_like(&g, c, l);
        for (auto& g : t) resize_like(&g, c, l);
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
        levels_.back()->allocate(c, l);
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
    match_exposure(full.i0, &full.i1);
    for (size_t k = 1; k < levels_.size(); ++k) {
        reduce_half(levels_[k - 1]->i0, &levels_[k]->i0, &levels_[k]->scratch);
        reduce_half(levels_[k - 1]->i1, &levels_[k]->i1, &levels_[k]->scratch);
    }
    const int top = static_cast<int>(levels_.size()) - 1;
    const bool has_start =
        start && start->u.columns == first.columns && start->u.lines == first.lines &&
        start->v.columns == first.columns && start->v.lines == first.lines;
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
        refine(level);
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
    std::vector<float> tmpl(n), gx(n), gy(n), warped(n);

    // Mean-free sum of squared differences of the patch at (x0, y0) moved by (a, b).
    auto cost = [&](int32_t x0, int32_t y0, float a, float b) {
        const float m = sample_patch(level.i1, static_cast<float>(x0) + a,
                                     static_cast<float>(y0) + b, p, warped.data());
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
                    const float mw = sample_patch(level.i1, static_cast<float>(x0) + ca,
                                                  static_cast<float>(y0) + cb, p, warped.data());
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

// One line of the refinement's linearisation (see refine()): i1 and its derivatives read at
// the matches of the level's flow, the match's inside mask, and the flow copied as the start
// of the unknowns.
void PairFlowEstimator::linearise_line(Level& level, int32_t y, bool brightness) {
    const int32_t w = level.columns;
    const size_t row = static_cast<size_t>(y) * w;
    const float* d0[5];
    const float* d1[5];
    float* t[8];
    for (int k = 0; k < 5; ++k) d0[k] = level.d0[k].data.data() + row;
    for (int k = 0; k < 5; ++k) d1[k] = level.d1[k].data.data();
    for (int k = 0; k < 8; ++k) t[k] = level.t[k].data.data() + row;
    linearise(w, level.lines, y, level.u.data.data() + row, level.v.data.data() + row,
              level.i0.data.data() + row, level.i1.data.data(), d0, d1, t, brightness,
              level.inside.data.data() + row, level.du.data.data() + row,
              level.dv.data.data() + row);
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
    GreyImage* t = level.t;  // Iz, Ix, Iy, Ixz, Iyz, Ixx, Ixy, Iyy
    const Coefficients coefficients{alpha, delta, gamma, zb2, zg2, eps_d2, eps_s2};
    GreyImage& U = level.du;  // the whole flow being solved for
    GreyImage& V = level.dv;
    // b1 and b2 become c1, c2; wx and wy the links; psi and scratch the diagonals' inverses.
    GreyImage& inv1 = level.psi;
    GreyImage& inv2 = level.scratch;
    const std::vector<float> no_links(static_cast<size_t>(w), 0.0f);

    const bool finest = &level == levels_[0].get();
    const int warps = finest ? settings_.finest_warps : settings_.warps;
    const int rounds = finest ? settings_.finest_fixed_point : settings_.fixed_point;
    for (int warp = 0; warp < warps; ++warp) {
        // Linearise around the current flow: i1 and its derivatives read at the matches,
        // averaged with i0's where both images have them.
        for_bands(threads, h, [&](int32_t y0, int32_t y1) {
            for (int32_t y = y0; y < y1; ++y) linearise_line(level, y, settings_.brightness != 0);
        });

        for (int round = 0; round < rounds; ++round) {
            // The robust terms' weights at the current flow, and the linear system.
            for_bands(threads, h, [&](int32_t y0, int32_t y1) {
                for (int32_t y = y0; y < y1; ++y) {
                    const float* T[8];
                    for (int k = 0; k < 8; ++k) T[k] = t[k].line(y);
                    const int32_t below = std::min(y + 1, h - 1);
                    system_line(w, coefficients, U.line(y), V.line(y), U.line(below),
                                V.line(below), level.u.line(y), level.v.line(y),
                                level.inside.line(y), level.edge.line(y), T, level.a11.line(y),
                                level.a12.line(y), level.a22.line(y), level.b1.line(y),
                                level.b2.line(y), level.wx.line(y));
                }
            });
            // Links to the right (wx) and below (wy), 0 past the edge, and the diagonals'
            // inverses. psi of the line below is read before that line's own band rewrites
            // it, so the links are made in a pass of their own, into wy first.
            for_bands(threads, h, [&](int32_t y0, int32_t y1) {
                for (int32_t y = y0; y < y1; ++y) {
                    const float* p = level.wx.line(y);
                    const float* q = y + 1 < h ? level.wx.line(y + 1) : nullptr;
                    float* ly = level.wy.line(y);
                    for (int32_t x = 0; x < w; ++x) ly[x] = q ? 0.5f * (p[x] + q[x]) : 0.0f;
                }
            });
            for_bands(threads, h, [&](int32_t y0, int32_t y1) {
                for (int32_t y = y0; y < y1; ++y) {
                    float* lx = level.wx.line(y);
                    for (int32_t x = 0; x + 1 < w; ++x) lx[x] = 0.5f * (lx[x] + lx[x + 1]);
                    lx[w - 1] = 0.0f;
                }
            });
            for_bands(threads, h, [&](int32_t y0, int32_t y1) {
                for (int32_t y = y0; y < y1; ++y) {
                    const float* lx = level.wx.line(y);
                    const float* ly = level.wy.line(y);
                    const float* lu = y > 0 ? level.wy.line(y - 1) : no_links.data();
                    const float* a11 = level.a11.line(y);
                    const float* a22 = level.a22.line(y);
                    float* i1 = inv1.line(y);
                    float* i2 = inv2.line(y);
                    for (int32_t x = 0; x < w; ++x) {
                        const float sw = (x > 0 ? lx[x - 1] : 0.0f) + lx[x] + ly[x] + lu[x];
                        i1[x] = 1.0f / (a11[x] + sw + 1e-9f);
                        i2[x] = 1.0f / (a22[x] + sw + 1e-9f);
                    }
                }
            });
            sor_sweeps(level, settings_.sweeps, no_links.data());
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

// `sweeps` red-black sweeps in one pass over the level: line r of sweep s is made when the
// pass leads at line r + 2 s, and its other colour one line later, when everything it reads
// of that sweep and the one before is made and nothing it reads is yet overwritten by the
// next. Each pixel thus gets the value of sweeps made one after another over the whole level,
// while the lines in work (about 2 sweeps + 2) stay in cache.
void PairFlowEstimator::sor_sweeps(Level& level, int sweeps, const float* no_links) {
    const int32_t w = level.columns, h = level.lines;
    std::vector<float> line(2 * static_cast<size_t>(w));
    for (int32_t lead = 0; lead < h + 2 * sweeps; ++lead) {
        for (int s = 0; s < sweeps; ++s) {
            const int32_t r = lead - 2 * s;
            if (r >= 0 && r < h) sor_line(level, r, 0, no_links, line.data(), line.data() + w);
            if (r >= 1 && r - 1 < h) sor_line(level, r - 1, 1, no_links, line.data(), line.data() + w);
        }
    }
}

// One line's half of a sweep: the pixels of one colour (x + y + colour even) move to the
// over-relaxed solution of their equations, the other colour's neighbours held.
void PairFlowEstimator::sor_line(Level& level, int32_t y, int colour, const float* no_links,
                                 float* line_u, float* line_v) {
    const int32_t w = level.columns, h = level.lines;
    float* U = level.du.line(y);
    float* V = level.dv.line(y);
    const float* Uu = y > 0 ? level.du.line(y - 1) : U;
    const float* Vu = y > 0 ? level.dv.line(y - 1) : V;
    const float* Ud = y + 1 < h ? level.du.line(y + 1) : U;
    const float* Vd = y + 1 < h ? level.dv.line(y + 1) : V;
    const float* lx = level.wx.line(y);
    const float* ly = level.wy.line(y);
    const float* lu = y > 0 ? level.wy.line(y - 1) : no_links;
    const float* a12 = level.a12.line(y);
    const float* c1 = level.b1.line(y);
    const float* c2 = level.b2.line(y);
    const float* i1 = level.psi.line(y);
    const float* i2 = level.scratch.line(y);
    auto update = [&](int32_t x, float left_w, float left_u, float left_v, float right_u,
                      float right_v) {
        const float su = left_w * left_u + lx[x] * right_u + lu[x] * Uu[x] + ly[x] * Ud[x];
        const float sv = left_w * left_v + lx[x] * right_v + lu[x] * Vu[x] + ly[x] * Vd[x];
        const float nu = (c1[x] + su - a12[x] * V[x]) * i1[x];
        const float u = U[x] + kOmega * (nu - U[x]);
        const float nv = (c2[x] + sv - a12[x] * u) * i2[x];
        const float v = V[x] + kOmega * (nv - V[x]);
        return std::pair<float, float>(u, v);
    };
    // The edges one by one; between them every pixel is computed and only those of the
    // colour kept, which lets the loop run on whole vectors.
    const int32_t first = (y + colour) & 1;
    if (first == 0) {
        const auto [u, v] = update(0, 0.0f, 0.0f, 0.0f, w > 1 ? U[1] : 0.0f, w > 1 ? V[1] : 0.0f);
        U[0] = u, V[0] = v;
    }
    const int32_t last = w - 1;
    const bool last_is_ours = last > 0 && ((last + y + colour) & 1) == 0;
    // Into the line buffers first (the other colour's values, which the sums read, stay
    // as they are), then the pixels of the colour copied back.
    sor_interior(last, U, V, Uu, Vu, Ud, Vd, lx, ly, lu, a12, c1, c2, i1, i2, line_u, line_v);
    for (int32_t x = 1 + ((1 + y + colour) & 1); x < last; x += 2) {
        U[x] = line_u[x];
        V[x] = line_v[x];
    }
    if (last_is_ours) {
        const auto [u, v] = update(last, lx[last - 1], U[last - 1], V[last - 1], 0.0f, 0.0f);
        U[last] = u, V[last] = v;
    }
}

// Motion boundaries: the smoothness term and the coarse levels smear each motion a few pixels
// across the edge of the region that has it. Each pixel near a jump of the flow tries the
// flow found 3, 6 and 10 pixels away in eight directions, judged by the brightness error
// and its gradient's (after the warp, capped so that occlusions do not dominate) over a 7 x 7
// neighbourhood whose pixels count by how like the centre's their brightness is: pixels of the same
// surface decide. The best replaces the pixel's own flow where it explains the
// neighbourhood clearly better; a median then settles the result.
void PairFlowEstimator::reselect_boundaries(Level& level) const {
    const int32_t w = level.columns, h = level.lines;
    const int threads = std::max(1, settings_.threads);
    GreyImage& U = level.u;
    GreyImage& V = level.v;
    // Pixels within 4 of a place where the flow changes by more than a pixel over 2.
    std::vector<uint8_t> jump(static_cast<size_t>(w) * h, 0);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            const int32_t xs[2] = {std::min(x + 2, w - 1), x};
            const int32_t ys[2] = {y, std::min(y + 2, h - 1)};
            for (int k = 0; k < 2; ++k) {
                const size_t j = static_cast<size_t>(ys[k]) * w + xs[k];
                const float du = U.data[j] - U.data[i], dv = V.data[j] - V.data[i];
                if (du * du + dv * dv > 1.0f) jump[i] = jump[j] = 1;
            }
        }
    }
    std::vector<int32_t> near;  // the pixels to reconsider
    {
        std::vector<uint8_t> rows(static_cast<size_t>(w) * h, 0);
        for (int32_t y = 0; y < h; ++y) {
            int32_t last = -1000;  // the last jump on this line, for a running dilation
            for (int32_t x = 0; x < w; ++x) {
                if (jump[static_cast<size_t>(y) * w + x]) last = x;
                if (x - last <= 4) rows[static_cast<size_t>(y) * w + x] = 1;
            }
            last = 1000000;
            for (int32_t x = w - 1; x >= 0; --x) {
                if (jump[static_cast<size_t>(y) * w + x]) last = x;
                if (last - x <= 4) rows[static_cast<size_t>(y) * w + x] = 1;
            }
        }
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                bool any = false;
                for (int32_t j = std::max(0, y - 4); j <= std::min(h - 1, y + 4) && !any; ++j) {
                    any = rows[static_cast<size_t>(j) * w + x] != 0;
                }
                if (any) near.push_back(y * w + x);
            }
        }
    }
    if (near.empty()) return;

    // The neighbourhood's taps and each reconsidered pixel's weights for them.
    constexpr int kTaps = 16;
    int32_t tap_x[kTaps], tap_y[kTaps];
    for (int k = 0; k < kTaps; ++k) tap_x[k] = 2 * (k % 4) - 3, tap_y[k] = 2 * (k / 4) - 3;
    const size_t n = near.size();
    std::vector<float> weight(n * kTaps);
    std::vector<int32_t> tap_index(n * kTaps);
    for (size_t p = 0; p < n; ++p) {
        const int32_t x = near[p] % w, y = near[p] / w;
        const float centre = level.i0.data[static_cast<size_t>(near[p])];
        float sum = 0;
        for (int k = 0; k < kTaps; ++k) {
            const int32_t j = std::clamp(y + tap_y[k], 0, h - 1) * w + std::clamp(x + tap_x[k], 0, w - 1);
            tap_index[p * kTaps + k] = j;
            const float wt = std::exp(-std::fabs(level.i0.data[static_cast<size_t>(j)] - centre) *
                                      (1.0f / kSameSurface));
            weight[p * kTaps + k] = wt;
            sum += wt;
        }
        for (int k = 0; k < kTaps; ++k) weight[p * kTaps + k] /= sum;
    }

    // Only the taps of the reconsidered pixels need an error.
    std::vector<uint8_t> needed(static_cast<size_t>(w) * h, 0);
    for (int32_t j : tap_index) needed[static_cast<size_t>(j)] = 1;
    // The error of each needed pixel under the flow field moved by (sx, sy): the brightness
    // difference and the gradient's, each capped, so that one occluded tap cannot outweigh
    // the rest.
    GreyImage& error = level.a11;
    auto errors_of_shift = [&](int32_t sx, int32_t sy) {
        for_bands(threads, h, [&](int32_t y0, int32_t y1) {
            for (int32_t y = y0; y < y1; ++y) {
                const int32_t from_y = std::clamp(y + sy, 0, h - 1);
                for (int32_t x = 0; x < w; ++x) {
                    const size_t i = static_cast<size_t>(y) * w + x;
                    if (!needed[i]) continue;
                    const size_t j = static_cast<size_t>(from_y) * w + std::clamp(x + sx, 0, w - 1);
                    const Bilinear at(static_cast<float>(x) + U.data[j],
                                      static_cast<float>(y) + V.data[j], w, h);
                    const float db = std::fabs(at(level.i1.data.data()) - level.i0.data[i]);
                    const float dg = std::fabs(at(level.d1[0].data.data()) - level.d0[0].data[i]) +
                                     std::fabs(at(level.d1[1].data.data()) - level.d0[1].data[i]);
                    error.data[i] = std::min(db, kErrorCap) + std::min(dg, kGradientErrorCap);
                }
            }
        });
    };
    auto cost = [&](size_t p) {
        float c = 0;
        for (int k = 0; k < kTaps; ++k) c += weight[p * kTaps + k] * error.data[tap_index[p * kTaps + k]];
        return c;
    };
    errors_of_shift(0, 0);
    std::vector<float> own(n), best(n), best_u(n), best_v(n);
    for (size_t p = 0; p < n; ++p) {
        own[p] = best[p] = cost(p);
        best_u[p] = U.data[near[p]], best_v[p] = V.data[near[p]];
    }
    static const int32_t directions[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1},
                                             {1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
    for (int32_t r : {3, 6, 10}) {
        for (const auto& d : directions) {
            const int32_t sx = r * d[0], sy = r * d[1];
            errors_of_shift(sx, sy);
            for (size_t p = 0; p < n; ++p) {
                const float c = cost(p);
                if (c < best[p]) {
                    const int32_t x = near[p] % w, y = near[p] / w;
                    const size_t j = static_cast<size_t>(std::clamp(y + sy, 0, h - 1)) * w +
                                     std::clamp(x + sx, 0, w - 1);
                    best[p] = c, best_u[p] = U.data[j], best_v[p] = V.data[j];
                }
            }
        }
    }
    // Replaced only where clearly better, all at once (the candidates read the flow before).
    for (size_t p = 0; p < n; ++p) {
        if (best[p] < 0.9f * own[p]) U.data[near[p]] = best_u[p], V.data[near[p]] = best_v[p];
    }
    if (settings_.median) {
        for (GreyImage* f : {&U, &V}) {
            for_bands(threads, h, [&](int32_t y0, int32_t y1) { median5(*f, &level.a11, y0, y1); });
            std::swap(f->data, level.a11.data);
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
            for (int32_t x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y) * w + x;
                const float d = sample(level.i1, static_cast<float>(x) + level.u.data[i],
                                       static_cast<float>(y) + level.v.data[i]) -
                                level.i0.data[i];
                error.data[i] = d;
            }
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
    for_bands(threads, h, [&](int32_t y0, int32_t y1) {
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
                // The error and the texture over the 3 x 3 neighbourhood; the error less its
                // mean there (a change of lighting that the exposure match left), as a
                // distance [pixels]: divided by the gradient.
                float mean = 0;
                for (int32_t j = -1; j <= 1; ++j) {
                    const int32_t yy = std::clamp(y + j, 0, h - 1);
                    for (int32_t k = -1; k <= 1; ++k) {
                        mean += error.data[static_cast<size_t>(yy) * w + std::clamp(x + k, 0, w - 1)];
                    }
                }
                mean *= 1.0f / 9.0f;
                float r2 = 0, sxx = 0, sxy = 0, syy = 0;
                for (int32_t j = -1; j <= 1; ++j) {
                    const int32_t yy = std::clamp(y + j, 0, h - 1);
                    for (int32_t k = -1; k <= 1; ++k) {
                        const size_t n = static_cast<size_t>(yy) * w + std::clamp(x + k, 0, w - 1);
                        const float gx = level.d0[0].data[n], gy = level.d0[1].data[n];
                        const float d = error.data[n] - mean;
                        r2 += d * d / (gx * gx + gy * gy + kZetaBrightness * kZetaBrightness);
                        sxx += gx * gx, sxy += gx * gy, syy += gy * gy;
                    }
                }
                r2 *= 1.0f / 9.0f;
                const float half = 0.5f * (sxx + syy) / 9.0f;
                const float dev = std::sqrt(0.25f * (sxx - syy) * (sxx - syy) + sxy * sxy) / 9.0f;
                const float lmin = std::max(0.0f, half - dev);
                const float photometric = 1.0f / (1.0f + r2 / kConfidentError2);
                const float texture = lmin / (lmin + kTextureHalf);
                const float crowd = std::max(1.0f, sample(arrivals, px, py));
                out->data[i] = photometric * std::sqrt(texture) / (crowd * crowd);
            }
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
