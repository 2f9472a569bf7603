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

// A picture in YUV 4:2:0 with 8 bits per sample, as the stabilised video is read and written:
// the luma plane (columns x lines) and two chroma planes of half the size, rounded up, each
// line after line without gaps.
struct YuvPicture {
    int32_t columns = 0;
    int32_t lines = 0;
    std::vector<uint8_t> y, u, v;
    int64_t pts = -1;  // time stamp in the source's time base (VideoTiming); -1: none

    YuvPicture() = default;
    YuvPicture(int32_t c, int32_t l)
        : columns(c),
          lines(l),
          y(static_cast<size_t>(c) * static_cast<size_t>(l), 16),
          u(static_cast<size_t>(chroma_size(c)) * static_cast<size_t>(chroma_size(l)), 128),
          v(u.size(), 128) {}
    static int32_t chroma_size(int32_t luma) { return (luma + 1) / 2; }
    int32_t chroma_columns() const { return chroma_size(columns); }
    int32_t chroma_lines() const { return chroma_size(lines); }
};

// How a source's pictures are timed and coloured, so that a video made from them keeps both:
// the time base of their time stamps (0/0 when they have none) and FFmpeg's codes for the
// colour range, matrix, primaries and transfer (2 = unspecified; range 1 = limited, 2 = full).
struct VideoTiming {
    int time_base_num = 0, time_base_den = 0;
    int colour_range = 1, colour_space = 2, colour_primaries = 2, colour_transfer = 2;
};

