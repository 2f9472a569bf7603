// Helpers shared by the benchmark programs: choosing a variant column, synthetic frames, and an
// image that owns its prim_malloc_32f block.
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "engine/motion_engine.hpp"
#include "primitives/primitives.hpp"

namespace bench {

// A variant column as the benchmarks run it: column 0 in the flavour the table names by default
// (eight lanes where the machine has AVX2), column 3 twice where the machine has AVX2 (eight
// lanes, and held to four).
struct Column {
    int32_t k;
    bool wide;  // the eight-lane flavour, where the column has one
    std::string name;
};

inline std::vector<Column> all_columns() {
    std::vector<Column> list = {{0, prim_eight_lanes_available(0), "col0"},
                                {1, false, "col1"},
                                {2, false, "col2"},
                                {3, false, "col3-sse2"}};
    if (prim_eight_lanes_available(3)) list.push_back({3, true, "col3-avx2"});
    return list;
}

// Points every slot at the column; returns false if the column lacks a variant.
inline bool use_column(const Column& c) {
    prim_use_eight_lanes(c.wide);
    return prim_fill_slots(c.k) == 1;
}

// The processor's model name, for the printed figures.
inline std::string cpu_model_name() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) return line.substr(colon + 2);
        }
    }
    return "unknown processor";
}

// The engine's two 5-tap kernels, as the filter kernels take them (convolution order).
using engine_filters::kDerivTaps;
using engine_filters::kSmoothTaps;

struct Geometry {
    int32_t columns, lines;
    std::string name() const { return std::to_string(columns) + "x" + std::to_string(lines); }
};
inline const std::vector<Geometry>& geometries() {
    static const std::vector<Geometry> list = {{128, 128}, {640, 480}, {1920, 1080}};
    return list;
}

// Frame m of a smooth texture (grey levels 0 to 255) that moves by (1, 0.5) pixels per frame:
// enough structure for non-trivial gradients and temporal differences everywhere.
inline void make_frame(int32_t columns, int32_t lines, int32_t m, std::vector<float>& out) {
    out.resize(static_cast<size_t>(columns) * static_cast<size_t>(lines));
    const float dx = 1.0f * float(m), dy = 0.5f * float(m);
    for (int32_t y = 0; y < lines; ++y) {
        for (int32_t x = 0; x < columns; ++x) {
            const float u = float(x) - dx, v = float(y) - dy;
            out[size_t(y) * size_t(columns) + size_t(x)] =
                127.5f + 60.0f * std::sin(0.11f * u + 0.05f * v) +
                50.0f * std::cos(0.07f * v - 0.03f * u) +
                15.0f * std::sin(0.5f * u) * std::cos(0.4f * v);
        }
    }
}

// One image from prim_malloc_32f, released on destruction.
class AllocatedImage {
  public:
    AllocatedImage(int32_t width, int32_t height) : width_(width), height_(height) {
        data_ = prim_malloc_32f(width, height, &step_);
    }
    ~AllocatedImage() { prim_free(data_); }
    AllocatedImage(const AllocatedImage&) = delete;
    AllocatedImage& operator=(const AllocatedImage&) = delete;

    float* data() { return data_; }
    const float* data() const { return data_; }
    int32_t step() const { return step_; }
    Size roi() const { return {width_, height_}; }
    float* at(int32_t x, int32_t y) { return data_ + static_cast<ptrdiff_t>(y) * (step_ / 4) + x; }
    void fill(float base) {
        for (int32_t y = 0; y < height_; ++y)
            for (int32_t x = 0; x < width_; ++x)
                *at(x, y) = base + 0.25f * float((x * 7 + y * 13) % 97);
    }

  private:
    int32_t width_, height_, step_ = 0;
    float* data_ = nullptr;
};

}  // namespace bench
