#include "flow/pictures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

#include "analysis/select.hpp"
#include "flow/canvas.hpp"

namespace {

constexpr double kHeatPercentile = 0.995;
constexpr double kHeatFloor = 4.0;      // |It| that a still scene's noise stays below [grey levels]
constexpr int32_t kStrip = 164;         // width of the legend strip [pixels]
constexpr int32_t kLegendHeight = 230;  // what the flow legend needs [pixels]
constexpr uint8_t kInvalidGrey = 128;

// The nearest of 0..255 (a value in 0..1 times 255 plus a half, truncated, is rounded).
uint8_t to_byte(double v) {
    return static_cast<uint8_t>(std::clamp(v, 0.0, 1.0) * 255.0 + 0.5);
}

// atan(t) for |t| <= 1 to within 1e-5 rad (a thousandth of a degree, far below what a byte of
// colour shows); a frame's pictures take it for every pixel.
double atan_unit(double t) {
    const double t2 = t * t;
    return t *
           (0.99997726 +
            t2 * (-0.33262347 +
                  t2 * (0.19354346 + t2 * (-0.11643287 + t2 * (0.05265332 + t2 * -0.01172120)))));
}

// Screen direction of a displacement (dx right, dy down) as a hue: right is red, down
// yellow-green, left cyan, up violet, turning clockwise as shown.
double direction_hue(double dx, double dy) {
    const double ax = std::fabs(dx), ay = std::fabs(dy);
    if (ax == 0 && ay == 0) return 0.0;
    // The angle within the first octant, then carried to its quadrant.
    double a = ay <= ax ? atan_unit(ay / ax) : 0.5 * std::numbers::pi - atan_unit(ax / ay);
    if (dx < 0) a = std::numbers::pi - a;
    if (dy < 0) a = 2 * std::numbers::pi - a;
    const double deg = a * (180.0 / std::numbers::pi);
    return deg >= 360.0 ? 0.0 : deg;
}

std::string speed_text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The image on a dark canvas with room for a legend strip on the right.
struct Framed {
    int32_t columns, lines;
};
Framed with_strip(const GreyImage& image, int32_t min_height) {
    return {image.columns + kStrip, std::max(image.lines, min_height)};
}

void heat_colour(double t, uint8_t* px) {
    px[0] = to_byte(3.0 * t);
    px[1] = to_byte(3.0 * t - 1.0);
    px[2] = to_byte(3.0 * t - 2.0);
}

}  // namespace

float robust_percentile(const std::vector<float>& values, double fraction) {
    std::vector<float> finite;
    finite.reserve(values.size());
    for (float v : values) {
        if (std::isfinite(v)) finite.push_back(v);
    }
    if (finite.empty()) return 0.0f;
    const double pos = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(finite.size() - 1);
    const auto k = static_cast<size_t>(std::llround(pos));
    return kth_smallest(finite.data(), finite.size(), k);
}

std::vector<uint8_t> finite_mask(const GreyImage& u, const GreyImage& v) {
    std::vector<uint8_t> valid(u.data.size());
    for (size_t i = 0; i < valid.size(); ++i) {
        valid[i] = std::isfinite(u.data[i]) && std::isfinite(v.data[i]);
    }
    return valid;
}

void hsv_to_rgb(double hue, double saturation, double value, uint8_t out[3]) {
    const double turn =
        hue >= 0 && hue < 360.0 ? hue : std::fmod(std::fmod(hue, 360.0) + 360.0, 360.0);
    const double h = turn / 60.0;
    const int sector = std::min(5, static_cast<int>(h));
    const double f = h - sector;
    const double p = value * (1 - saturation);
    const double q = value * (1 - saturation * f);
    const double t = value * (1 - saturation * (1 - f));
    double r = 0, g = 0, b = 0;
    switch (sector) {
        case 0:
            r = value, g = t, b = p;
            break;
        case 1:
            r = q, g = value, b = p;
            break;
        case 2:
            r = p, g = value, b = t;
            break;
        case 3:
            r = p, g = q, b = value;
            break;
        case 4:
            r = t, g = p, b = value;
            break;
        default:
            r = value, g = p, b = q;
            break;
    }
    out[0] = to_byte(r), out[1] = to_byte(g), out[2] = to_byte(b);
}

void flow_colour(double u, double v, double max_speed, uint8_t out[3]) {
    const double speed = std::sqrt(u * u + v * v);
    const double s = max_speed > 0 ? std::min(1.0, speed / max_speed) : 0.0;
    hsv_to_rgb(direction_hue(u, v), s, 1.0, out);
}

RgbPicture flow_picture(const GreyImage& u, const GreyImage& v, const std::vector<uint8_t>& valid,
                        double max_speed) {
    RgbPicture field(u.columns, u.lines);
    for (size_t i = 0; i < u.data.size(); ++i) {
        uint8_t* px = field.rgb.data() + 3 * i;
        if (i < valid.size() && valid[i] && std::isfinite(u.data[i]) && std::isfinite(v.data[i])) {
            flow_colour(u.data[i], v.data[i], max_speed, px);
        } else {
            px[0] = px[1] = px[2] = kInvalidGrey;
        }
    }
    const Framed f = with_strip(u, kLegendHeight);
    Canvas c(f.columns, f.lines, 0.16);
    c.put(field, 0, 0);

    // The wheel: every point shows the colour of the flow vector from its centre to it, the
    // rim being max_speed.
    const double x0 = u.columns + 10, radius = 52;
    const double cx = x0 + radius + 12, cy = 34 + radius;
    const int32_t side = static_cast<int32_t>(2 * radius) + 2;
    RgbPicture wheel(side, side);
    for (int32_t y = 0; y < side; ++y) {
        for (int32_t x = 0; x < side; ++x) {
            const double dx = x + 0.5 - 0.5 * side, dy = y + 0.5 - 0.5 * side;
            uint8_t* px = wheel.pixel(x, y);
            if (std::hypot(dx, dy) > radius + 0.5) {
                px[0] = px[1] = px[2] = 41;  // the strip's grey
                continue;
            }
            flow_colour(dx / radius * max_speed, dy / radius * max_speed, max_speed, px);
        }
    }
    c.put(wheel, static_cast<int32_t>(cx - 0.5 * side), static_cast<int32_t>(cy - 0.5 * side));
    cairo_t* cr = c.cr();
    cairo_set_line_width(cr, 1.0);
    c.colour(0.2, 0.2, 0.2);
    cairo_arc(cr, cx, cy, radius, 0, 2 * std::numbers::pi);
    cairo_stroke(cr);
    cairo_set_source_rgba(cr, 0.2, 0.2, 0.2, 0.6);
    cairo_arc(cr, cx, cy, 0.5 * radius, 0, 2 * std::numbers::pi);
    cairo_stroke(cr);
    c.colour(0.95, 0.95, 0.95);
    c.text("flow [px/frame]", x0, 18, 12, Canvas::Align::left, true);
    c.text("right", cx + radius + 3, cy + 4, 9);
    c.text("down", cx, cy + radius + 11, 9, Canvas::Align::centre);
    c.text("up", cx, cy - radius - 3, 9, Canvas::Align::centre);
    c.text("left", cx - radius - 3, cy + 4, 9, Canvas::Align::right);
    const double ty = cy + radius + 30;
    c.text("rim " + speed_text(max_speed) + ", ring " + speed_text(0.5 * max_speed), x0, ty, 10);
    c.text("hue: direction", x0, ty + 15, 10);
    c.text("saturation: speed", x0, ty + 30, 10);
    c.text("white: still", x0, ty + 45, 10);
    c.text("grey: no measurement", x0, ty + 60, 10);
    return c.picture();
}

void side_by_side_size(int32_t columns, int32_t lines, int32_t* out_columns, int32_t* out_lines) {
    constexpr int32_t kCaption = 24;
    *out_columns = (2 * columns + 1) / 2 * 2;
    *out_lines = (lines + kCaption + 1) / 2 * 2;
}

RgbPicture side_by_side_picture(const GreyImage& input, const GreyImage& u, const GreyImage& v,
                                const std::vector<uint8_t>& valid, double max_speed,
                                const std::string& caption) {
    const int32_t columns = input.columns, lines = input.lines;
    RgbPicture pair(2 * columns, lines);
    for (int32_t y = 0; y < lines; ++y) {
        for (int32_t x = 0; x < columns; ++x) {
            const size_t i = static_cast<size_t>(y) * columns + x;
            const float g = input.data[i];
            const uint8_t b = g >= 255.0f ? 255
                              : g > 0.0f  ? static_cast<uint8_t>(std::lround(g))
                                          : 0;
            uint8_t* left = pair.pixel(x, y);
            left[0] = left[1] = left[2] = b;
            uint8_t* right = pair.pixel(columns + x, y);
            if (i < valid.size() && valid[i] && std::isfinite(u.data[i]) &&
                std::isfinite(v.data[i])) {
                flow_colour(u.data[i], v.data[i], max_speed, right);
            } else {
                right[0] = right[1] = right[2] = kInvalidGrey;
            }
        }
    }
    int32_t width = 0, height = 0;
    side_by_side_size(columns, lines, &width, &height);
    Canvas c(width, height, 0.16);
    c.put(pair, 0, 0);
    c.colour(0.95, 0.95, 0.95);
    c.text(caption, 6, lines + 16, 12);
    c.text("flow: hue = direction, full colour = " + speed_text(max_speed) +
               " px/frame, grey = no measurement",
           width - 6, lines + 16, 12, Canvas::Align::right);
    return c.picture();
}

RgbPicture arrow_picture(const GreyImage& frame, const GreyImage& u, const GreyImage& v,
                         const std::vector<uint8_t>& valid, double max_speed) {
    const int32_t columns = frame.columns, lines = frame.lines;
    RgbPicture grey(columns, lines);
    for (size_t i = 0; i < frame.data.size(); ++i) {
        const float g = frame.data[i];
        const uint8_t b = g >= 255.0f ? 255 : g > 0.0f ? static_cast<uint8_t>(std::lround(g)) : 0;
        grey.rgb[3 * i] = grey.rgb[3 * i + 1] = grey.rgb[3 * i + 2] = b;
    }
    const int32_t cell = std::max<int32_t>(8, std::min(columns, lines) / 24);
    constexpr int32_t kScaleStrip = 28;
    Canvas c(std::max<int32_t>(columns, 220), lines + kScaleStrip, 0.16);
    c.put(grey, 0, 0);
    cairo_t* cr = c.cr();
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    // One arrow from (x, y) by (dx, dy) [pixels]: a dark outline under a coloured line.
    auto arrow = [&](double x, double y, double dx, double dy, const uint8_t rgb[3]) {
        const double length = std::hypot(dx, dy);
        if (length < 0.5) return;
        const double head = std::min(0.4 * length, 0.35 * cell), ux = dx / length, uy = dy / length;
        for (int pass = 0; pass < 2; ++pass) {
            cairo_set_line_width(cr, pass == 0 ? 3.0 : 1.4);
            if (pass == 0)
                cairo_set_source_rgba(cr, 0, 0, 0, 0.7);
            else
                cairo_set_source_rgb(cr, rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
            cairo_move_to(cr, x, y);
            cairo_line_to(cr, x + dx, y + dy);
            cairo_move_to(cr, x + dx - head * (ux - 0.5 * uy), y + dy - head * (uy + 0.5 * ux));
            cairo_line_to(cr, x + dx, y + dy);
            cairo_line_to(cr, x + dx - head * (ux + 0.5 * uy), y + dy - head * (uy - 0.5 * ux));
            cairo_stroke(cr);
        }
    };
    const double to_pixels = max_speed > 0 ? cell / max_speed : 0.0;
    for (int32_t y0 = 0; y0 + cell <= lines; y0 += cell) {
        for (int32_t x0 = 0; x0 + cell <= columns; x0 += cell) {
            double su = 0, sv = 0;
            int n = 0;
            for (int32_t y = y0; y < y0 + cell; ++y) {
                for (int32_t x = x0; x < x0 + cell; ++x) {
                    const size_t i = static_cast<size_t>(y) * columns + x;
                    if (i < valid.size() && valid[i] && std::isfinite(u.data[i]) &&
                        std::isfinite(v.data[i])) {
                        su += u.data[i], sv += v.data[i], ++n;
                    }
                }
            }
            if (2 * n < cell * cell) continue;
            su /= n, sv /= n;
            uint8_t rgb[3];
            hsv_to_rgb(direction_hue(su, sv), 1.0, 1.0, rgb);
            arrow(x0 + 0.5 * cell, y0 + 0.5 * cell, su * to_pixels, sv * to_pixels, rgb);
        }
    }
    const uint8_t white[3] = {255, 255, 255};
    arrow(8, lines + 14, cell, 0, white);
    c.colour(0.95, 0.95, 0.95);
    c.text("= " + speed_text(max_speed) + " px/frame (mean flow of each cell)", cell + 14,
           lines + 18, 11);
    return c.picture();
}

RgbPicture heat_picture(const GreyImage& it2) {
    std::vector<float> magnitude(it2.data.size());
    for (size_t i = 0; i < magnitude.size(); ++i)
        magnitude[i] = std::sqrt(std::max(0.0f, it2.data[i]));
    const double scale =
        std::max<double>(kHeatFloor, robust_percentile(magnitude, kHeatPercentile));
    RgbPicture map(it2.columns, it2.lines);
    for (size_t i = 0; i < magnitude.size(); ++i) {
        // NaN fails every comparison and is drawn black.
        const double t = magnitude[i] >= 0 ? std::min(1.0, magnitude[i] / scale) : 0.0;
        heat_colour(t, map.rgb.data() + i * 3);
    }
    constexpr int32_t kBarTop = 30, kBarHeight = 160, kBarWidth = 18;
    const Framed f = with_strip(it2, kBarTop + kBarHeight + 32);
    Canvas c(f.columns, f.lines, 0.16);
    c.put(map, 0, 0);
    RgbPicture bar(kBarWidth, kBarHeight);
    for (int32_t y = 0; y < kBarHeight; ++y) {
        uint8_t rgb[3];
        heat_colour(1.0 - (y + 0.5) / kBarHeight, rgb);
        for (int32_t x = 0; x < kBarWidth; ++x) std::copy(rgb, rgb + 3, bar.pixel(x, y));
    }
    const int32_t bx = it2.columns + 12;
    c.put(bar, bx, kBarTop);
    c.colour(0.95, 0.95, 0.95);
    c.text("|It| [grey levels", it2.columns + 8, 14, 11, Canvas::Align::left, true);
    c.text("per frame]", it2.columns + 8, 26, 11, Canvas::Align::left, true);
    const Ticks t = nice_ticks(0, scale, 4);
    cairo_set_line_width(c.cr(), 1.0);
    for (int k = 0; k < t.count; ++k) {
        const double value = t.first + k * t.step;
        const double y = kBarTop + kBarHeight * (1.0 - value / scale);
        cairo_move_to(c.cr(), bx + kBarWidth, y);
        cairo_line_to(c.cr(), bx + kBarWidth + 4, y);
        cairo_stroke(c.cr());
        c.text(tick_label(value, t.step), bx + kBarWidth + 7, y + 4, 10);
    }
    c.text("top: 99.5 % of", it2.columns + 8, kBarTop + kBarHeight + 14, 9);
    c.text("pixels lie below", it2.columns + 8, kBarTop + kBarHeight + 25, 9);
    return c.picture();
}
