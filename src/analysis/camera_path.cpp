#include "analysis/camera_path.hpp"

#include <algorithm>
#include <array>
#include <cmath>

Affine2D Affine2D::from_motion(const AffineMotion& motion) {
    const auto& a = motion.a;
    Affine2D r;
    r.m[0][0] = 1 + a[1], r.m[0][1] = a[2], r.t[0] = a[0];
    r.m[1][0] = a[4], r.m[1][1] = 1 + a[5], r.t[1] = a[3];
    return r;
}

AffineMotion Affine2D::motion() const {
    AffineMotion a;
    a.a = {t[0], m[0][0] - 1, m[0][1], t[1], m[1][0], m[1][1] - 1};
    return a;
}

Affine2D Affine2D::after(const Affine2D& first) const {
    Affine2D r;
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) r.m[i][j] = m[i][0] * first.m[0][j] + m[i][1] * first.m[1][j];
        r.t[i] = m[i][0] * first.t[0] + m[i][1] * first.t[1] + t[i];
    }
    return r;
}

Affine2D Affine2D::inverse() const {
    const double det = m[0][0] * m[1][1] - m[0][1] * m[1][0];
    Affine2D r;
    r.m[0][0] = m[1][1] / det, r.m[0][1] = -m[0][1] / det;
    r.m[1][0] = -m[1][0] / det, r.m[1][1] = m[0][0] / det;
    r.t[0] = -(r.m[0][0] * t[0] + r.m[0][1] * t[1]);
    r.t[1] = -(r.m[1][0] * t[0] + r.m[1][1] * t[1]);
    return r;
}

std::vector<Affine2D> camera_path(const std::vector<std::optional<AffineMotion>>& steps,
                                  int64_t* missing) {
    std::vector<Affine2D> path(steps.size());
    Affine2D step;  // the last step measured (none before the first)
    int64_t gaps = 0;
    for (size_t f = 1; f < steps.size(); ++f) {
        if (steps[f]) {
            step = Affine2D::from_motion(*steps[f]);
        } else {
            ++gaps;
        }
        path[f] = step.after(path[f - 1]);
    }
    if (missing) *missing = gaps;
    return path;
}

namespace {

// The six numbers a path map is smoothed by, about the image centre c: the displacement of c,
// the rotation angle, the log of the scale, and the stretch and shear relative to the scale.
using Params = std::array<double, 6>;

Params params_of(const Affine2D& a, double cx, double cy) {
    const double p = 0.5 * (a.m[0][0] + a.m[1][1]), q = 0.5 * (a.m[1][0] - a.m[0][1]);
    const double e = 0.5 * (a.m[0][0] - a.m[1][1]), g = 0.5 * (a.m[0][1] + a.m[1][0]);
    const double rho = std::hypot(p, q);
    return {a.x(cx, cy) - cx, a.y(cx, cy) - cy, std::atan2(q, p), std::log(rho), e / rho,
            g / rho};
}

Affine2D map_of(const Params& v, double cx, double cy) {
    const double rho = std::exp(v[3]);
    const double p = rho * std::cos(v[2]), q = rho * std::sin(v[2]);
    const double e = rho * v[4], g = rho * v[5];
    Affine2D a;
    a.m[0][0] = p + e, a.m[0][1] = -q + g;
    a.m[1][0] = q + g, a.m[1][1] = p - e;
    // The centre goes to c + displacement.
    a.t[0] = cx + v[0] - (a.m[0][0] * cx + a.m[0][1] * cy);
    a.t[1] = cy + v[1] - (a.m[1][0] * cx + a.m[1][1] * cy);
    return a;
}

// The polynomial of `degree` (1 to 3) fitted to (times, values) with weights w over
// [first, end), at time t0: its value, and the leverage of a sample at t0 with weight 1 on it
// (how much of the value is that sample's own; the leave-one-out residual is the residual over
// 1 - leverage). Where the times cannot fix the polynomial (a clip of fewer frames than it has
// coefficients), the polynomial of the degree below; the weighted mean at the least.
// Cross-validation takes the cubic where its score is below this share of the line's.
constexpr double kCurveGain = 0.9;

struct Fitted {
    double value, leverage;
};
Fitted poly_at(const std::vector<double>& times, const std::vector<double>& values,
               const std::vector<double>& weights, size_t first, size_t end, double t0,
               int degree) {
    const int m = degree + 1;
    double a[4][4] = {}, b[4] = {}, e[4] = {1, 0, 0, 0};
    for (size_t i = first; i < end; ++i) {
        const double w = weights[i - first], dt = times[i] - t0;
        const double basis[4] = {1.0, dt, dt * dt, dt * dt * dt};
        for (int p = 0; p < m; ++p) {
            b[p] += w * basis[p] * values[i];
            for (int q = 0; q < m; ++q) a[p][q] += w * basis[p] * basis[q];
        }
    }
    if (degree == 0) return {b[0] / a[0][0], 1.0 / a[0][0]};
    double diagonal[4];
    for (int p = 0; p < m; ++p) diagonal[p] = a[p][p];
    // Gaussian elimination, for the fit and for the first column of the inverse (the
    // leverage); a pivot that all but vanishes against its row's own scale means the times do
    // not fix that power.
    for (int p = 0; p < m; ++p) {
        if (!(a[p][p] > 1e-9 * diagonal[p])) {
            return poly_at(times, values, weights, first, end, t0, degree - 1);
        }
        for (int r = p + 1; r < m; ++r) {
            const double f = a[r][p] / a[p][p];
            for (int q = p; q < m; ++q) a[r][q] -= f * a[p][q];
            b[r] -= f * b[p];
            e[r] -= f * e[p];
        }
    }
    double x[4] = {}, z[4] = {};
    for (int p = m - 1; p >= 0; --p) {
        double s = b[p], t = e[p];
        for (int q = p + 1; q < m; ++q) s -= a[p][q] * x[q], t -= a[p][q] * z[q];
        x[p] = s / a[p][p];
        z[p] = t / a[p][p];
    }
    if (!std::isfinite(x[0]) || !std::isfinite(z[0])) {
        return poly_at(times, values, weights, first, end, t0, degree - 1);
    }
    return {x[0], z[0]};
}

}  // namespace

std::vector<Affine2D> smooth_path(const std::vector<Affine2D>& path,
                                  const std::vector<double>& times_s, double cx, double cy,
                                  const PathSmoothing& smoothing) {
    const size_t n = path.size();
    if (n == 0) return {};
    std::vector<Params> params(n);
    for (size_t f = 0; f < n; ++f) {
        params[f] = params_of(path[f], cx, cy);
        if (f > 0) {
            // The angle unwrapped: no jump of 2 pi between neighbours.
            const double before = params[f - 1][2];
            params[f][2] = before + std::remainder(params[f][2] - before, 2 * M_PI);
        }
    }
    std::vector<Params> smooth(n);
    std::vector<double> values(n), weights;
    for (int k = 0; k < 6; ++k) {
        for (size_t f = 0; f < n; ++f) values[f] = params[f][k];
        if (smoothing.tripod) {
            weights.assign(n, 1.0);
            // One line over the clip, read at each frame's time.
            const double t0 = times_s[0];
            double s0 = 0, s1 = 0, s2 = 0, y0 = 0, y1 = 0;
            for (size_t i = 0; i < n; ++i) {
                const double dt = times_s[i] - t0;
                s0 += 1, s1 += dt, s2 += dt * dt, y0 += values[i], y1 += values[i] * dt;
            }
            const double det = s0 * s2 - s1 * s1;
            const double slope = det > 1e-12 * s0 * s2 ? (s0 * y1 - s1 * y0) / det : 0.0;
            const double at0 = (y0 - slope * s1) / s0;
            for (size_t f = 0; f < n; ++f) smooth[f][k] = at0 + slope * (times_s[f] - t0);
            continue;
        }
        // Gaussian-weighted polynomials around each frame; their leave-one-out residuals
        // score them, so that `degree` 0 can take the one that predicts the path best.
        const double sigma = smoothing.sigma_s;
        const double reach = 4 * sigma;
        auto fit = [&](int degree, std::vector<double>* out) {
            size_t first = 0, end = 0;
            double score = 0;
            for (size_t f = 0; f < n; ++f) {
                const double t0 = times_s[f];
                while (times_s[first] < t0 - reach) ++first;
                while (end < n && times_s[end] <= t0 + reach) ++end;
                weights.resize(end - first);
                for (size_t i = first; i < end; ++i) {
                    const double d = (times_s[i] - t0) / sigma;
                    weights[i - first] = std::exp(-0.5 * d * d);
                }
                const Fitted p = poly_at(times_s, values, weights, first, end, t0, degree);
                (*out)[f] = p.value;
                score += std::pow((values[f] - p.value) / std::max(1e-3, 1 - p.leverage), 2);
            }
            return score;
        };
        std::vector<double> line(n), curve(n);
        const std::vector<double>* chosen = &line;
        if (smoothing.degree == 2 || smoothing.degree == 3) {
            fit(smoothing.degree, &curve);
            chosen = &curve;
        } else if (smoothing.degree == 1) {
            fit(1, &line);
        } else {
            // The cubic only where it predicts clearly better: on a still or steadily panning
            // camera it also wins by a per cent or two, fitting the slow part of the shake, and
            // passes more of the shake into the video; on a path that bends it wins by a third
            // or more.
            const double line_score = fit(1, &line);
            if (fit(3, &curve) < kCurveGain * line_score) chosen = &curve;
        }
        for (size_t f = 0; f < n; ++f) smooth[f][k] = (*chosen)[f];
    }
    std::vector<Affine2D> out(n);
    for (size_t f = 0; f < n; ++f) out[f] = map_of(smooth[f], cx, cy);
    return out;
}

std::vector<Affine2D> stabilizing_warps(const std::vector<Affine2D>& path,
                                        const std::vector<Affine2D>& smoothed) {
    std::vector<Affine2D> warps(path.size());
    for (size_t f = 0; f < path.size(); ++f) warps[f] = path[f].after(smoothed[f].inverse());
    return warps;
}

Affine2D centre_zoom(double zoom, int32_t columns, int32_t lines) {
    const double cx = 0.5 * (columns - 1), cy = 0.5 * (lines - 1);
    Affine2D z;
    z.m[0][0] = z.m[1][1] = 1 / zoom;
    z.t[0] = cx - cx / zoom;
    z.t[1] = cy - cy / zoom;
    return z;
}

namespace {

bool covers(const Affine2D& warp, double zoom, int32_t columns, int32_t lines) {
    const Affine2D w = warp.after(centre_zoom(zoom, columns, lines));
    const double right = columns - 1, bottom = lines - 1;
    // A thousandth of a pixel of slack, so that no warp at all needs no zoom.
    constexpr double kSlack = 1e-3;
    for (const double px : {0.0, right}) {
        for (const double py : {0.0, bottom}) {
            const double x = w.x(px, py), y = w.y(px, py);
            if (!(x >= -kSlack && y >= -kSlack && x <= right + kSlack && y <= bottom + kSlack)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

double crop_zoom(const std::vector<Affine2D>& warps, int32_t columns, int32_t lines,
                 double max_zoom, bool* enough) {
    // The zoomed output rectangles are nested, so each frame's condition holds from one zoom
    // on: bisection per frame, the largest of them for the video.
    double zoom = 1.0;
    bool ok = true;
    for (const Affine2D& w : warps) {
        if (covers(w, zoom, columns, lines)) continue;
        if (!covers(w, max_zoom, columns, lines)) {
            zoom = max_zoom;
            ok = false;
            continue;
        }
        double low = zoom, high = max_zoom;
        for (int i = 0; i < 50 && high - low > 1e-7; ++i) {
            const double mid = 0.5 * (low + high);
            (covers(w, mid, columns, lines) ? high : low) = mid;
        }
        zoom = high;
    }
    if (enough) *enough = ok;
    return zoom;
}

ShakeRms shake_rms(const std::vector<Affine2D>& warps, int32_t columns, int32_t lines) {
    ShakeRms r;
    if (warps.empty()) return r;
    const double cx = 0.5 * (columns - 1), cy = 0.5 * (lines - 1);
    double centre = 0, corners = 0;
    for (const Affine2D& w : warps) {
        centre += std::pow(w.x(cx, cy) - cx, 2) + std::pow(w.y(cx, cy) - cy, 2);
        for (const double px : {0.0, 2 * cx}) {
            for (const double py : {0.0, 2 * cy}) {
                corners += std::pow(w.x(px, py) - px, 2) + std::pow(w.y(px, py) - py, 2);
            }
        }
    }
    const double n = static_cast<double>(warps.size());
    r.centre = std::sqrt(centre / n);
    r.corners = std::sqrt(corners / (4 * n));
    return r;
}

ShakeRms path_shake(const std::vector<Affine2D>& path, const std::vector<double>& times_s,
                    int32_t columns, int32_t lines, const PathSmoothing& smoothing) {
    PathSmoothing measuring = smoothing;
    measuring.degree = 2;
    const auto smoothed =
        smooth_path(path, times_s, 0.5 * (columns - 1), 0.5 * (lines - 1), measuring);
    return shake_rms(stabilizing_warps(path, smoothed), columns, lines);
}
