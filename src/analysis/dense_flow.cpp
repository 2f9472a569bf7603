#include "analysis/dense_flow.hpp"

#include <algorithm>
#include <cmath>

namespace {

void reset(DenseFlow* f, int32_t columns, int32_t lines) {
    for (GreyImage* g : {&f->u, &f->v, &f->confidence}) {
        if (g->columns != columns || g->lines != lines) {
            *g = GreyImage(columns, lines);
        } else {
            std::fill(g->data.begin(), g->data.end(), 0.0f);
        }
    }
    f->valid.assign(static_cast<size_t>(columns) * static_cast<size_t>(lines), 0);
}

bool same_size(const GreyImage* g, int32_t columns, int32_t lines) {
    return g && g->columns == columns && g->lines == lines;
}

}  // namespace

double DenseFlow::valid_share() const {
    if (valid.empty()) return 0.0;
    size_t n = 0;
    for (uint8_t ok : valid) n += ok;
    return static_cast<double>(n) / static_cast<double>(valid.size());
}

double DenseFlow::median_speed() const {
    std::vector<float> speeds;
    for (size_t i = 0; i < valid.size(); ++i) {
        if (valid[i]) speeds.push_back(std::hypot(u.data[i], v.data[i]));
    }
    if (speeds.empty()) return NAN;
    const size_t h = speeds.size() / 2;
    std::nth_element(speeds.begin(), speeds.begin() + static_cast<std::ptrdiff_t>(h), speeds.end());
    return speeds[h];
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
    : settings_(settings), taps_(window_taps(settings.window)) {}

bool DenseFlowSolver::solve(const MomentImages& m, double scale, const FlowPrediction* prediction,
                            const std::vector<float>* mask, DenseFlow* out) {
    const int32_t columns = m.Ix2 ? m.Ix2->columns : 0, lines = m.Ix2 ? m.Ix2->lines : 0;
    reset(out, columns, lines);
    const size_t pixels = static_cast<size_t>(columns) * static_cast<size_t>(lines);
    const bool predicted = prediction && !prediction->empty();
    for (const GreyImage* g : {m.Ix2, m.Iy2, m.Ixy, m.Ixt, m.Iyt}) {
        if (!same_size(g, columns, lines)) return false;
    }
    if (predicted &&
        (!same_size(prediction->u, columns, lines) || !same_size(prediction->v, columns, lines))) {
        return false;
    }
    if ((mask && mask->size() != pixels) || !(scale > 0) || !std::isfinite(scale) || pixels == 0) {
        return false;
    }
    for (GreyImage& t : terms_) {
        if (t.columns != columns || t.lines != lines) t = GreyImage(columns, lines);
    }
    const float k = static_cast<float>(scale);
    for (size_t i = 0; i < pixels; ++i) {
        const float xx = m.Ix2->data[i], yy = m.Iy2->data[i], xy = m.Ixy->data[i];
        float bx = -k * m.Ixt->data[i], by = -k * m.Iyt->data[i];
        if (predicted) {
            const float pu = prediction->u->data[i], pv = prediction->v->data[i];
            bx += xx * pu + xy * pv;
            by += xy * pu + yy * pv;
        }
        float w = mask ? (*mask)[i] : 1.0f;
        if (!std::isfinite(xx + yy + xy + bx + by) || !(w > 0)) w = 0.0f;
        terms_[0].data[i] = w * xx;
        terms_[1].data[i] = w * xy;
        terms_[2].data[i] = w * yy;
        terms_[3].data[i] = w * bx;
        terms_[4].data[i] = w * by;
        terms_[5].data[i] = w;
    }
    for (int j = 0; j < 6; ++j) filter_separable(terms_[j], taps_, &sums_[j], &scratch_);

    const double min_eigen = settings_.min_eigenvalue, min_ratio = settings_.min_ratio;
    for (size_t i = 0; i < pixels; ++i) {
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
    return true;
}
