// Canvas: one Cairo image surface that the tool's pictures and plots are drawn on.
//
// Cairo gives the pictures anti-aliased lines and real text; images (flow colours, heat maps,
// input frames) are put in pixel by pixel with put(). The canvas owns its surface and context;
// picture() copies the result out as 8-bit RGB for the PNG writer. Text uses DejaVu Sans
// through fontconfig.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>

#include "flow/grey_image.hpp"

class Canvas {
  public:
    // A canvas of the given size [pixels] filled with one grey level (0..1).
    Canvas(int32_t columns, int32_t lines, double background);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    cairo_t* cr() const { return cr_; }
    int32_t columns() const { return columns_; }
    int32_t lines() const { return lines_; }

    // Copies `picture` with its top-left corner at (x, y); what falls outside is cut off.
    void put(const RgbPicture& picture, int32_t x, int32_t y);
    RgbPicture picture();

    enum class Align { left, centre, right };
    // Text of `size` [pixels] whose baseline starts, is centred or ends at (x, y).
    void text(const std::string& text, double x, double y, double size, Align align = Align::left,
              bool bold = false);
    void colour(double r, double g, double b) const { cairo_set_source_rgb(cr_, r, g, b); }

  private:
    int32_t columns_, lines_;
    cairo_surface_t* surface_;
    cairo_t* cr_;
};

// Step and first tick of about `count` round-numbered ticks (1, 2 or 5 times a power of ten)
// covering lo..hi.
struct Ticks {
    double first = 0, step = 1;
    int count = 0;
};
Ticks nice_ticks(double lo, double hi, int count);
// A number as a tick label: no more digits than the step needs.
std::string tick_label(double value, double step);
