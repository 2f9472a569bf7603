// Helpers for the primitives' tests: a padded float image with a guard value in every float past
// the region, and bit-level float comparison.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "primitives/primitives.hpp"

namespace prim_test {

inline uint32_t bits(float f) {
    return std::bit_cast<uint32_t>(f);
}
inline float from_bits(uint32_t b) {
    return std::bit_cast<float>(b);
}

// Guard pattern: a quiet NaN with a payload that no kernel produces.
inline constexpr uint32_t kGuardBits = 0x7FC0BEEF;

// A float image whose rows are `stride` floats apart (stride >= width); every float starts as
// the guard pattern, so a test can see which floats a kernel wrote.
struct TestImage {
    int32_t width, height, stride;
    std::vector<float> data;

    TestImage(int32_t w, int32_t h, int32_t pad = 3)
        : width(w),
          height(h),
          stride(w + pad),
          data(static_cast<size_t>(stride) * static_cast<size_t>(h), from_bits(kGuardBits)) {}

    int32_t step() const { return stride * 4; }
    float* ptr() { return data.data(); }
    const float* ptr() const { return data.data(); }
    float& at(int32_t x, int32_t y) { return data[static_cast<size_t>(y) * stride + x]; }
    float at(int32_t x, int32_t y) const { return data[static_cast<size_t>(y) * stride + x]; }
    Size roi() const { return {width, height}; }

    void fill(const std::function<float(int32_t, int32_t)>& f) {
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) at(x, y) = f(x, y);
    }
    // True when every float past the region (the row padding) still holds the guard.
    bool padding_untouched() const {
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = width; x < stride; ++x)
                if (bits(at(x, y)) != kGuardBits) return false;
        return true;
    }
    bool all_guard() const {
        for (float f : data)
            if (bits(f) != kGuardBits) return false;
        return true;
    }
};

// One row of an argument-check table for a two-source kernel (src1, src2, dst): which pointer
// is null, the region, the three steps, and the status expected.
struct BinaryCheckCase {
    std::string name;
    bool null_src1, null_src2, null_dst;
    Size roi;
    int32_t src1_step, src2_step, dst_step;
    PrimStatus expected;
};

// Pointers before sizes before steps, and each group on its own.
inline std::vector<BinaryCheckCase> binary_check_cases() {
    const Size ok{4, 2};
    const int32_t s = 28;  // a valid step for the 4-wide images below (stride 7)
    return {
        {"src1 null", true, false, false, ok, s, s, s, prim_err_null_ptr},
        {"src2 null", false, true, false, ok, s, s, s, prim_err_null_ptr},
        {"dst null", false, false, true, ok, s, s, s, prim_err_null_ptr},
        {"null before size", true, false, false, {0, 2}, s, s, s, prim_err_null_ptr},
        {"null before negative size and bad steps",
         true,
         false,
         false,
         {-1, 2},
         0,
         0,
         0,
         prim_err_null_ptr},
        {"width 0", false, false, false, {0, 2}, s, s, s, prim_err_size},
        {"height 0", false, false, false, {4, 0}, s, s, s, prim_err_size},
        {"width negative", false, false, false, {-3, 2}, s, s, s, prim_err_size},
        {"size before step", false, false, false, {0, 2}, 0, 0, 0, prim_err_size},
        {"src1 step 0", false, false, false, ok, 0, s, s, prim_err_step},
        {"src2 step negative", false, false, false, ok, s, -28, s, prim_err_step},
        {"dst step 0", false, false, false, ok, s, s, 0, prim_err_step},
        {"valid", false, false, false, ok, s, s, s, prim_ok},
    };
}

}  // namespace prim_test
