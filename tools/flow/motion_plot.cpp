#include "flow/motion_plot.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "flow/canvas.hpp"

namespace {

constexpr int32_t kWidth = 960, kPanel = 190, kTop = 44, kGap = 28, kLeft = 78, kRight = 150;

struct Curve {
    const char* label;
    double r, g, b;
    std::vector<double> values;  // per record; NaN: no estimate
    double known = NAN;
    bool dashed = false;  // the values drawn dashed (a smoothed path beside the measured one)
};

// One panel: axes, ticks, grid, the curves and their legend.
void draw_panel(Canvas& c, int32_t top, const std::string& title, const std::vector<double>& x,
                double x_lo, double x_hi, const std::vector<Curve>& curves, bool x_labels) {
    double lo = INFINITY, hi = -INFINITY;
    for (const Curve& k : curves) {
        for (double v : k.values) {
            if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
        }
        if (std::isfinite(k.known)) lo = std::min(lo, k.known), hi = std::max(hi, k.known);
    }
    if (!std::isfinite(lo)) lo = -1, hi = 1;
    const double pad = std::max(0.08 * (hi - lo), 1e-3 * std::max(1.0, std::fabs(hi)));
    lo -= pad, hi += pad;
    const double left = kLeft, right = kWidth - kRight, bottom = top + kPanel;
    auto px = [&](double v) { return left + (v - x_lo) / (x_hi - x_lo) * (right - left); };
    auto py = [&](double v) { return bottom - (v - lo) / (hi - lo) * kPanel; };
    cairo_t* cr = c.cr();

    c.colour(1, 1, 1);
    cairo_rectangle(cr, left, top, right - left, kPanel);
    cairo_fill(cr);
    cairo_set_line_width(cr, 1.0);
    const Ticks ty = nice_ticks(lo, hi, 5);
    for (int k = 0; k < ty.count; ++k) {
        const double v = ty.first + k * ty.step, y = std::round(py(v)) + 0.5;
        c.colour(0.88, 0.88, 0.88);
        cairo_move_to(cr, left, y);
        cairo_line_to(cr, right, y);
        cairo_stroke(cr);
        c.colour(0.1, 0.1, 0.1);
        c.text(tick_label(v, ty.step), left - 6, y + 4, 11, Canvas::Align::right);
    }
    const Ticks tx = nice_ticks(x_lo, x_hi, 10);
    for (int k = 0; k < tx.count; ++k) {
        const double v = tx.first + k * tx.step, xx = std::round(px(v)) + 0.5;
        c.colour(0.92, 0.92, 0.92);
        cairo_move_to(cr, xx, top);
        cairo_line_to(cr, xx, bottom);
        cairo_stroke(cr);
        if (x_labels) {
            c.colour(0.1, 0.1, 0.1);
            c.text(tick_label(v, tx.step), xx, bottom + 15, 11, Canvas::Align::centre);
        }
    }
    c.colour(0.1, 0.1, 0.1);
    cairo_rectangle(cr, left + 0.5, top + 0.5, right - left - 1, kPanel - 1);
    cairo_stroke(cr);
    c.text(title, left, top - 7, 13, Canvas::Align::left, true);

    cairo_save(cr);
    cairo_rectangle(cr, left, top, right - left, kPanel);
    cairo_clip(cr);
    for (const Curve& k : curves) {
        cairo_set_source_rgb(cr, k.r, k.g, k.b);
        if (std::isfinite(k.known)) {
            const double dash[] = {6.0, 4.0};
            cairo_set_dash(cr, dash, 2, 0);
            cairo_set_line_width(cr, 1.2);
            cairo_move_to(cr, left, py(k.known));
            cairo_line_to(cr, right, py(k.known));
            cairo_stroke(cr);
            cairo_set_dash(cr, nullptr, 0, 0);
        }
        cairo_set_line_width(cr, 1.6);
        if (k.dashed) {
            const double dash[] = {7.0, 4.0};
            cairo_set_dash(cr, dash, 2, 0);
            cairo_set_line_width(cr, 2.2);
        }
        bool drawing = false;
        for (size_t i = 0; i < x.size(); ++i) {
            if (!std::isfinite(k.values[i])) {
                drawing = false;
                continue;
            }
            if (drawing)
                cairo_line_to(cr, px(x[i]), py(k.values[i]));
            else
                cairo_move_to(cr, px(x[i]), py(k.values[i]));
            drawing = true;
        }
        // A lone point between gaps still shows.
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
        for (size_t i = 0; i < x.size(); ++i) {
            const bool alone = std::isfinite(k.values[i]) &&
                               (i == 0 || !std::isfinite(k.values[i - 1])) &&
                               (i + 1 == x.size() || !std::isfinite(k.values[i + 1]));
            if (alone) {
                cairo_arc(cr, px(x[i]), py(k.values[i]), 2.0, 0, 2 * M_PI);
                cairo_fill(cr);
            }
        }
    }
    cairo_restore(cr);
    double ly = top + 16;
    for (const Curve& k : curves) {
        c.colour(k.r, k.g, k.b);
        cairo_set_line_width(cr, 2.0);
        if (k.dashed) {
            const double dash[] = {5.0, 3.0};
            cairo_set_dash(cr, dash, 2, 0);
        }
        cairo_move_to(cr, right + 12, ly - 4);
        cairo_line_to(cr, right + 34, ly - 4);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
        c.colour(0.1, 0.1, 0.1);
        c.text(k.label, right + 40, ly, 11);
        ly += 18;
    }
    bool any_known = false;
    for (const Curve& k : curves) any_known |= std::isfinite(k.known);
    if (any_known) {
        c.colour(0.3, 0.3, 0.3);
        c.text("dashed: known", right + 12, ly + 4, 10);
    }
}

}  // namespace

RgbPicture motion_plot(const std::vector<FrameRecord>& records, double cx, double cy,
                       const std::optional<AffineMotion>& known, const PathSeries* path) {
    std::vector<double> x;
    Curve pan_x{"pan x", 0.80, 0.15, 0.10, {}};
    Curve pan_y{"pan y", 0.10, 0.35, 0.80, {}};
    Curve rotation{"rotation", 0.15, 0.55, 0.20, {}};
    Curve zoom{"zoom", 0.55, 0.20, 0.65, {}};
    for (const FrameRecord& r : records) {
        x.push_back(static_cast<double>(r.affine ? r.affine_frame : r.frame));
        const bool have = r.affine.has_value();
        pan_x.values.push_back(have ? r.affine->pan_x(cx, cy) : NAN);
        pan_y.values.push_back(have ? r.affine->pan_y(cx, cy) : NAN);
        rotation.values.push_back(have ? 1000.0 * r.affine->rotation() : NAN);
        zoom.values.push_back(have ? 1000.0 * r.affine->zoom() : NAN);
    }
    if (known) {
        pan_x.known = known->pan_x(cx, cy);
        pan_y.known = known->pan_y(cx, cy);
        rotation.known = 1000.0 * known->rotation();
        zoom.known = 1000.0 * known->zoom();
    }
    double x_lo = 0, x_hi = 1;
    if (!x.empty()) {
        x_lo = *std::min_element(x.begin(), x.end());
        x_hi = std::max(x_lo + 1, *std::max_element(x.begin(), x.end()));
    }
    if (path && !path->frame.empty()) {
        x_lo = std::min(x_lo, path->frame.front());
        x_hi = std::max(x_hi, path->frame.back());
    }
    const int panels = path ? 4 : 3;
    const int32_t height = kTop + panels * kPanel + (panels - 1) * kGap + 70;
    Canvas c(kWidth, height, 0.97);
    c.colour(0.1, 0.1, 0.1);
    c.text("Global motion per frame (affine fit; pan at the image centre)", kLeft, 22, 15,
           Canvas::Align::left, true);
    int32_t top = kTop + 12;
    draw_panel(c, top, "pan [px/frame]  (x right, y down)", x, x_lo, x_hi, {pan_x, pan_y}, false);
    top += kPanel + kGap;
    draw_panel(c, top, "rotation [mrad/frame, clockwise]", x, x_lo, x_hi, {rotation}, false);
    top += kPanel + kGap;
    draw_panel(c, top, "zoom [1/1000 per frame, growth]", x, x_lo, x_hi, {zoom}, !path);
    if (path) {
        top += kPanel + kGap;
        const Curve px{"path x", 0.80, 0.15, 0.10, path->x};
        const Curve py{"path y", 0.10, 0.35, 0.80, path->y};
        const Curve sx{"smoothed x", 0.95, 0.55, 0.35, path->smooth_x, NAN, true};
        const Curve sy{"smoothed y", 0.40, 0.65, 0.95, path->smooth_y, NAN, true};
        draw_panel(c, top, "camera path [px]: the image centre's displacement since the first frame",
                   path->frame, x_lo, x_hi, {px, py, sx, sy}, true);
    }
    c.colour(0.1, 0.1, 0.1);
    c.text("frame (the frame each estimate refers to)", 0.5 * (kLeft + kWidth - kRight),
           top + kPanel + 34, 12, Canvas::Align::centre);
    return c.picture();
}
