#include "flow/pictures.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double kFlowPercentile = 0.98;
constexpr double kHeatPercentile = 0.995;
constexpr double kHeatFloor = 4.0;  // |It| that a still scene's noise stays below [grey levels]

uint8_t to_byte(double v) {
    return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
}

// Screen direction of a displacement (dx right, dy down) as a hue: right is red, down
// yellow-green, left cyan, up violet, turning clockwise as shown.
double direction_hue(double dx, double dy) {
    double deg = std::atan2(dy, dx) * 180.0 / std::numbers::pi;
    return deg < 0 ? deg + 360.0 : deg;
}

void draw_legend(RgbPicture& pic, int32_t x0, int32_t y0, int32_t diameter) {
    const double r = 0.5 * diameter;
    const double cx = x0 + r - 0.5, cy = y0 + r - 0.5;
    for (int32_t y = y0; y < y0 + diameter; ++y) {
        for (int32_t x = x0; x < x0 + diameter; ++x) {
            const double dx = x - cx, dy = y - cy;
            const double d = std::sqrt(dx * dx + dy * dy) / r;
            if (d > 1.0) continue;
            hsv_to_rgb(direction_hue(dx, dy), 1.0, d, pic.pixel(x, y));
        }
    }
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
    std::nth_element(finite.begin(), finite.begin() + static_cast<std::ptrdiff_t>(k), finite.end());
    return finite[k];
}

void hsv_to_rgb(double hue, double saturation, double value, uint8_t out[3]) {
    const double h = std::fmod(std::fmod(hue, 360.0) + 360.0, 360.0) / 60.0;
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

RgbPicture flow_picture(const GreyImage& un, const GreyImage& vn) {
    const int32_t columns = un.columns, lines = un.lines;
    std::vector<float> magnitude(un.data.size());
    for (size_t i = 0; i < magnitude.size(); ++i) {
        magnitude[i] = std::hypot(un.data[i], vn.data[i]);
    }
    const double scale = robust_percentile(magnitude, kFlowPercentile);

    // The legend needs some height to be legible; tiny images go without it.
    const int32_t diameter = std::min<int32_t>(64, lines - 8);
    const bool legend = diameter >= 24;
    const int32_t strip = legend ? diameter + 12 : 0;
    RgbPicture pic(columns + strip, lines);
    for (int32_t y = 0; y < lines; ++y) {
        for (int32_t x = 0; x < columns; ++x) {
            const size_t i = static_cast<size_t>(y) * columns + x;
            const double m = magnitude[i];
            uint8_t* px = pic.pixel(x, y);
            if (!std::isfinite(m) || !(scale > 0.0)) {
                px[0] = px[1] = px[2] = 0;
                continue;
            }
            hsv_to_rgb(direction_hue(-un.data[i], -vn.data[i]), 1.0, m / scale, px);
        }
    }
    if (legend) {
        for (int32_t y = 0; y < lines; ++y) {
            for (int32_t x = columns; x < columns + strip; ++x) {
                uint8_t* px = pic.pixel(x, y);
                px[0] = px[1] = px[2] = 40;
            }
        }
        draw_legend(pic, columns + 6, 6, diameter);
    }
    return pic;
}

RgbPicture heat_picture(const GreyImage& it2) {
    std::vector<float> magnitude(it2.data.size());
    for (size_t i = 0; i < magnitude.size(); ++i)
        magnitude[i] = std::sqrt(std::max(0.0f, it2.data[i]));
    const double scale =
        std::max<double>(kHeatFloor, robust_percentile(magnitude, kHeatPercentile));
    RgbPicture pic(it2.columns, it2.lines);
    for (size_t i = 0; i < magnitude.size(); ++i) {
        // NaN fails every comparison and is drawn black.
        const double t = magnitude[i] >= 0 ? std::min(1.0, magnitude[i] / scale) : 0.0;
        uint8_t* px = pic.rgb.data() + i * 3;
        px[0] = to_byte(3.0 * t);
        px[1] = to_byte(3.0 * t - 1.0);
        px[2] = to_byte(3.0 * t - 2.0);
    }
    return pic;
}
