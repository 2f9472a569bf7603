#include "analysis/dense_flow.hpp"

#include <algorithm>
#include <cmath>

#include "analysis/parallel.hpp"

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
    // The square root keeps the order, so the median is taken of squared speeds.
    std::vector<float> squares;
    squares.reserve(valid.size());
    for (size_t i = 0; i < valid.size(); ++i) {
        const float a = u.data[i], b = v.data[i];
        if (valid[i]) squares.push_back(a * a + b * b);
    }
    if (squares.empty()) return NAN;
    const size_t h = squares.size() / 2;
    std::nth_element(squares.begin(), squares.begin() + static_cast<std::ptrdiff_t>(h),
                     squares.end());
    return std::sqrt(squares[h]);
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
    const int32_t columns = m.Ix2 ? m.Ix2->columns : 0, lines = m.Ix2 ? m.Ix2->lines : 0;
    reset(out, columns, lines);
    const size_t pixels = static_cast<size_t>(columns) * static_cast<size_t>(lines);
    const bool predicted = prediction && !prediction->empty();
    // The caller's work runs whatever becomes of the flow.
    auto fail = [&] {
        if (alongside) (*alongside)();
        return false;
    };
    for (const GreyImage* g : {m.Ix2, m.Iy2, m.Ixy, m.Ixt, m.Iyt}) {
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
        reset(&centred_, columns, lines);
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
    for (size_t i = static_cast<size_t>(y0) * static_cast<size_t>(columns); i < end; ++i) {
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
        for (int32_t x = 0; x < columns; ++x) {
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
            if (best < 0) continue;
            out->u.data[i] = centred_.u.data[best];
            out->v.data[i] = centred_.v.data[best];
            out->confidence.data[i] = centred_.confidence.data[best];
            out->valid[i] = 1;
        }
    }
}
