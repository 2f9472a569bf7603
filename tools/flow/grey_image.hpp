// The tool's pictures; its float images are the analysis library's GreyImage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/grey_image.hpp"

// An 8-bit RGB picture, three bytes per pixel, lines without gaps.
struct RgbPicture {
    int32_t columns = 0;
    int32_t lines = 0;
    std::vector<uint8_t> rgb;

    RgbPicture() = default;
    RgbPicture(int32_t c, int32_t l)
        : columns(c), lines(l), rgb(static_cast<size_t>(c) * static_cast<size_t>(l) * 3, 0) {}
    uint8_t* pixel(int32_t x, int32_t y) {
        return rgb.data() + (static_cast<size_t>(y) * columns + x) * 3;
    }
};
