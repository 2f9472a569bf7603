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

// A read-only image somebody else owns, in GreyImage's layout (lines one after another, no
// gap): a GreyImage, or a buffer of the component's whose lines lie that way. What the affine
// fit and the dense flow read, so that the component's images need no copy. Null when made
// from a null pointer.
struct ImageRef {
    const float* pixels = nullptr;
    int32_t columns = 0, lines = 0;

    ImageRef() = default;
    ImageRef(const GreyImage* g)  // NOLINT(google-explicit-constructor): a GreyImage* is one
        : pixels(g ? g->data.data() : nullptr),
          columns(g ? g->columns : 0),
          lines(g ? g->lines : 0) {}
    ImageRef(const GreyImage& g)  // NOLINT(google-explicit-constructor): as above
        : ImageRef(&g) {}
    ImageRef(const float* p, int32_t c, int32_t l) : pixels(p), columns(c), lines(l) {}

    explicit operator bool() const { return pixels != nullptr; }
    const float* line(int32_t y) const { return pixels + static_cast<size_t>(y) * columns; }
    bool empty() const { return !pixels || columns <= 0 || lines <= 0; }
};
