#include "flow/canvas.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

Canvas::Canvas(int32_t columns, int32_t lines, double background)
    : columns_(columns),
      lines_(lines),
      surface_(cairo_image_surface_create(CAIRO_FORMAT_RGB24, columns, lines)),
      cr_(cairo_create(surface_)) {
    if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS ||
        cairo_status(cr_) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr_);
        cairo_surface_destroy(surface_);
        throw std::bad_alloc();
    }
    cairo_set_source_rgb(cr_, background, background, background);
    cairo_paint(cr_);
}

Canvas::~Canvas() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
}

void Canvas::put(const RgbPicture& picture, int32_t x0, int32_t y0) {
    cairo_surface_flush(surface_);
    uint8_t* data = cairo_image_surface_get_data(surface_);
    const int stride = cairo_image_surface_get_stride(surface_);
    const int32_t ys = std::max(0, y0), ye = std::min(lines_, y0 + picture.lines);
    const int32_t xs = std::max(0, x0), xe = std::min(columns_, x0 + picture.columns);
    for (int32_t y = ys; y < ye; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride);
        const uint8_t* src = picture.rgb.data() +
                             (static_cast<size_t>(y - y0) * picture.columns + (xs - x0)) * 3;
        for (int32_t x = xs; x < xe; ++x, src += 3) {
            row[x] = (uint32_t{src[0]} << 16) | (uint32_t{src[1]} << 8) | src[2];
        }
    }
    cairo_surface_mark_dirty(surface_);
}

RgbPicture Canvas::picture() {
    cairo_surface_flush(surface_);
    const uint8_t* data = cairo_image_surface_get_data(surface_);
    const int stride = cairo_image_surface_get_stride(surface_);
    RgbPicture out(columns_, lines_);
    for (int32_t y = 0; y < lines_; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
        uint8_t* dst = out.pixel(0, y);
        for (int32_t x = 0; x < columns_; ++x, dst += 3) {
            dst[0] = static_cast<uint8_t>(row[x] >> 16);
            dst[1] = static_cast<uint8_t>(row[x] >> 8);
            dst[2] = static_cast<uint8_t>(row[x]);
        }
    }
    return out;
}

void Canvas::text(const std::string& text, double x, double y, double size, Align align,
                  bool bold) {
    cairo_select_font_face(cr_, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, size);
    cairo_text_extents_t ext;
    cairo_text_extents(cr_, text.c_str(), &ext);
    const double width = ext.x_advance;
    const double start = align == Align::left     ? x
                         : align == Align::centre ? x - 0.5 * width
                                                  : x - width;
    cairo_move_to(cr_, start, y);
    cairo_show_text(cr_, text.c_str());
    cairo_new_path(cr_);
}

Ticks nice_ticks(double lo, double hi, int count) {
    Ticks t;
    if (!(hi > lo) || !std::isfinite(lo) || !std::isfinite(hi)) return t;
    const double raw = (hi - lo) / std::max(1, count);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double m = raw / power;
    t.step = (m <= 1 ? 1 : m <= 2 ? 2 : m <= 5 ? 5 : 10) * power;
    t.first = std::ceil(lo / t.step - 1e-9) * t.step;
    t.count = static_cast<int>(std::floor((hi - t.first) / t.step + 1e-9)) + 1;
    return t;
}

std::string tick_label(double value, double step) {
    const int digits = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, std::fabs(value) < 0.5 * step ? 0.0 : value);
    return text;
}
