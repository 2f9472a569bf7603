// GreyImage: one single-channel float image as the analysis, the tool and the Python module
// pass it around.
//
// `columns` floats per line, lines one after another with no gap, which is exactly the layout
// the component reads in process_data and hands back from its image getters. The tool's frames
// hold grey levels 0 to 255 whatever the bit depth of the source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct GreyImage {
    int32_t columns = 0;  // width [pixels]
    int32_t lines = 0;    // height [pixels]
    std::vector<float> data;

    GreyImage() = default;
    GreyImage(int32_t c, int32_t l, float fill = 0.0f)
        : columns(c), lines(l), data(static_cast<size_t>(c) * static_cast<size_t>(l), fill) {}

    float& at(int32_t x, int32_t y) { return data[static_cast<size_t>(y) * columns + x]; }
    float at(int32_t x, int32_t y) const { return data[static_cast<size_t>(y) * columns + x]; }
    float* line(int32_t y) { return data.data() + static_cast<size_t>(y) * columns; }
    const float* line(int32_t y) const { return data.data() + static_cast<size_t>(y) * columns; }
    bool empty() const { return columns <= 0 || lines <= 0; }
};
