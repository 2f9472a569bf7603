#include "analysis/affine.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

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

}  // namespace

std::optional<AffineMotion> AffineEstimator::estimate(const MomentImages& m, double temporal_gain,
                                                      const FlowPrediction* prediction,
                                                      const std::vector<float>* mask) const {
    return fit(m, temporal_gain, prediction, mask);
}

std::optional<AffineMotion> AffineEstimator::fit(const MomentImages& m, double temporal_gain,
                                                 const FlowPrediction* prediction,
                                                 const std::vector<float>* weights) const {
    const GreyImage* images[5] = {m.Ix2, m.Iy2, m.Ixy, m.Ixt, m.Iyt};
    for (const GreyImage* img : images) {
        if (!img || img->empty()) return std::nullopt;
    }
    if (!(temporal_gain > 0.0)) return std::nullopt;
    const int32_t columns = m.Ix2->columns;
    const int32_t lines = m.Ix2->lines;
    for (const GreyImage* img : images) {
        if (img->columns != columns || img->lines != lines) return std::nullopt;
    }
    const bool predicted = prediction && !prediction->empty();
    if (predicted && (prediction->u->columns != columns || prediction->u->lines != lines ||
                      prediction->v->columns != columns || prediction->v->lines != lines)) {
        return std::nullopt;
    }
    const size_t pixels = static_cast<size_t>(columns) * static_cast<size_t>(lines);
    if (weights && weights->size() != pixels) return std::nullopt;
    const double k = kSpatialGain / temporal_gain;
    const int32_t x0 = std::min(margin_, columns / 2), x1 = columns - x0;
    const int32_t y0 = std::min(margin_, lines / 2), y1 = lines - y0;
    if (x1 - x0 < 2 || y1 - y0 < 2) return std::nullopt;

    // Centred and scaled coordinates keep the normal matrix well conditioned; the result is
    // carried back to pixel coordinates at the end.
    const double cx = 0.5 * (columns - 1), cy = 0.5 * (lines - 1);
    const double s = 0.5 * std::max(columns, lines);
    std::vector<double> X(static_cast<size_t>(columns));
    for (int32_t x = 0; x < columns; ++x) X[static_cast<size_t>(x)] = (x - cx) / s;

    Moments xx, yy, xy;
    // Right-hand sides: the sums of bx = Ix2 pu + Ixy pv - k Ixt and by = Ixy pu + Iy2 pv -
    // k Iyt times 1, X, Y, where (pu, pv) is the predicted motion (zero without one).
    double tx[3] = {0, 0, 0}, ty[3] = {0, 0, 0};
    for (int32_t y = y0; y < y1; y += stride_) {
        const double Y = (y - cy) / s;
        const float* r_xx = m.Ix2->line(y);
        const float* r_yy = m.Iy2->line(y);
        const float* r_xy = m.Ixy->line(y);
        const float* r_xt = m.Ixt->line(y);
        const float* r_yt = m.Iyt->line(y);
        const size_t row = static_cast<size_t>(y) * static_cast<size_t>(columns);
        const float* r_w = weights ? weights->data() + row : nullptr;
        const float* r_pu = predicted ? prediction->u->data.data() + row : nullptr;
        const float* r_pv = predicted ? prediction->v->data.data() + row : nullptr;
        double a[3] = {0, 0, 0}, b[3] = {0, 0, 0}, c[3] = {0, 0, 0};  // xx, yy, xy: 1, X, X^2
        double t[2] = {0, 0}, u[2] = {0, 0};                          // xt, yt: 1, X
        for (int32_t x = x0; x < x1; x += stride_) {
            const double Xv = X[static_cast<size_t>(x)];
            const double Xs = Xv * Xv;
            const double w = r_w ? r_w[x] : 1.0;
            const double vxx = w * r_xx[x], vyy = w * r_yy[x], vxy = w * r_xy[x];
            double bx = -k * r_xt[x], by = -k * r_yt[x];
            if (r_pu) {
                bx +=
                    static_cast<double>(r_xx[x]) * r_pu[x] + static_cast<double>(r_xy[x]) * r_pv[x];
                by +=
                    static_cast<double>(r_xy[x]) * r_pu[x] + static_cast<double>(r_yy[x]) * r_pv[x];
            }
            const double vxt = w * bx, vyt = w * by;
            a[0] += vxx, a[1] += vxx * Xv, a[2] += vxx * Xs;
            b[0] += vyy, b[1] += vyy * Xv, b[2] += vyy * Xs;
            c[0] += vxy, c[1] += vxy * Xv, c[2] += vxy * Xs;
            t[0] += vxt, t[1] += vxt * Xv;
            u[0] += vyt, u[1] += vyt * Xv;
        }
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
                                                             const GreyImage& It,
                                                             double temporal_gain, int passes,
                                                             const FlowPrediction* prediction,
                                                             const std::vector<float>* mask) const {
    std::optional<AffineMotion> motion = fit(m, temporal_gain, prediction, mask);
    if (!motion || It.columns != m.Ix2->columns || It.lines != m.Ix2->lines) return motion;
    if (mask && mask->size() != It.data.size()) return motion;
    const int32_t columns = It.columns, lines = It.lines;
    const double k = kSpatialGain / temporal_gain;
    const size_t count = It.data.size();
    const bool predicted = prediction && !prediction->empty();
    // The residuals and weights are needed only where the fit looks: its grid of every
    // stride-th pixel inside the margin. Elsewhere the weights stay 0 and are never read.
    const int32_t x0 = std::min(margin_, columns / 2), x1 = columns - x0;
    const int32_t y0 = std::min(margin_, lines / 2), y1 = lines - y0;
    std::vector<float>& weights = weights_;
    std::vector<float>& typical = typical_;
    if (weights.size() != count) weights.assign(count, 0.0f);
    std::vector<float>& residual = residual_;  // squared normal-flow residual [(pixels/frame)^2]
    if (residual.size() != count) residual.assign(count, 0.0f);
    for (int pass = 0; pass < passes; ++pass) {
        // The residual r = Ix du + Iy dv + k It, with (du, dv) the fitted motion less the
        // predicted one, follows from the moments without Ix and Iy: r^2 = du^2 Ix2 +
        // 2 du dv Ixy + dv^2 Iy2 + 2 k (du Ixt + dv Iyt) + k^2 It^2; divided by the squared
        // gradient it is the squared error of the normal flow.
        // Squared residuals throughout: the weights need no square root.
        typical.clear();
        for (int32_t y = y0; y < y1; y += stride_) {
            const size_t row = static_cast<size_t>(y) * columns;
            const float* xx = m.Ix2->data.data() + row;
            const float* yy = m.Iy2->data.data() + row;
            const float* xy = m.Ixy->data.data() + row;
            const float* xt = m.Ixt->data.data() + row;
            const float* yt = m.Iyt->data.data() + row;
            const float* t = It.data.data() + row;
            float* e2 = residual.data() + row;
            const float* pu = predicted ? prediction->u->data.data() + row : nullptr;
            const float* pv = predicted ? prediction->v->data.data() + row : nullptr;
            const float* mw = mask ? mask->data() + row : nullptr;
            const double u0 = motion->u(0, y), v0 = motion->v(0, y);
            const double du = motion->a[1], dv = motion->a[4];
            for (int32_t x = x0; x < x1; x += stride_) {
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
                    typical.push_back(e2[x]);
                }
            }
        }
        if (typical.size() < 16) break;
        const size_t h = typical.size() / 2;
        std::nth_element(typical.begin(), typical.begin() + static_cast<std::ptrdiff_t>(h),
                         typical.end());
        // A residual of about 2.5 median residuals weighs one half; the floor (0.02 pixels
        // per frame) keeps a fit that is already nearly exact from discarding ordinary noise.
        const double c2 = std::max(0.02 * 0.02, 6.25 * typical[h]);
        const float inv_c2 = static_cast<float>(1.0 / c2);
        for (int32_t y = y0; y < y1; y += stride_) {
            const size_t row = static_cast<size_t>(y) * columns;
            for (int32_t x = x0; x < x1; x += stride_) {
                weights[row + x] =
                    (mask ? (*mask)[row + x] : 1.0f) / (1.0f + residual[row + x] * inv_c2);
            }
        }
        std::optional<AffineMotion> next = fit(m, temporal_gain, prediction, &weights);
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
