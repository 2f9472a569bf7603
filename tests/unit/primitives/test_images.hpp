// The primitives' test image: a region of floats inside a byte buffer, its rows laid out as the
// test asks (aligned, contiguous, off the vector grid, with gaps, off the float grid), and a
// guard pattern in every byte around and between the rows, so that a test sees every byte a
// kernel wrote. Also bit-level float helpers and the argument-check table of two-source kernels.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "primitives/primitives.hpp"

namespace prim_test {

inline uint32_t bits(float f) {
    return std::bit_cast<uint32_t>(f);
}
inline float from_bits(uint32_t b) {
    return std::bit_cast<float>(b);
}

// Guard pattern, in every four bytes of the buffer: a quiet NaN with a payload that no kernel
// produces.
inline constexpr uint32_t kGuardBits = 0x7FC0BEEF;

// How the rows lie in memory: the first pixel `lead` bytes past a 64-byte boundary, each row
// `gap` bytes longer than the region's row (kRoundTo32: the step rounded up to 32 bytes).
struct Layout {
    const char* name;
    int32_t lead, gap;
    bool operator==(const Layout&) const = default;
};
inline constexpr int32_t kRoundTo32 = -1;
// Rows on 32-byte boundaries, as prim_malloc_32f lays them out.
inline constexpr Layout kAligned{"aligned", 0, kRoundTo32};
// No gap: the kernels may fold the region into one run.
inline constexpr Layout kContiguous{"contiguous", 0, 0};
// The first row 4 bytes past a 16-byte boundary, one float between rows.
inline constexpr Layout kUnaligned{"unaligned", 4, 4};
// Three floats between rows, starting off the vector grid.
inline constexpr Layout kGapped{"gapped", 4, 12};
// Rows leave the 4-byte grid (for kernels that take their steps unchanged).
inline constexpr Layout kOddStep{"odd step", 0, 2};
// The region and every row off the 4-byte grid.
inline constexpr Layout kByteSteps{"byte steps", 1, 5};
// `floats` floats between rows.
inline Layout padded(int32_t floats) {
    return {"padded", 0, 4 * floats};
}

// Storage aligned to 64 bytes, so that every copy of an image keeps its rows' alignment.
template <class T>
struct Aligned64 {
    using value_type = T;
    Aligned64() = default;
    template <class U>
    Aligned64(const Aligned64<U>&) {}
    T* allocate(size_t n) {
        return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{64}));
    }
    void deallocate(T* p, size_t) { ::operator delete (p, std::align_val_t{64}); }
    bool operator==(const Aligned64&) const { return true; }
};

struct Image {
    // Guard bytes before the first row and after the last: the filters read around the region.
    static constexpr size_t kMargin = 256;

    int32_t width = 0, height = 0, step = 0;
    size_t offset = 0;  // of pixel (0, 0) in `bytes`
    std::vector<unsigned char, Aligned64<unsigned char>> bytes;

    Image(int32_t w, int32_t h, Layout layout = kGapped)
        : width(w),
          height(h),
          step(layout.gap == kRoundTo32 ? (4 * w + 31) & ~31 : 4 * w + layout.gap),
          offset(kMargin + size_t(layout.lead)),
          bytes(offset + size_t(step) * size_t(h) + kMargin) {
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = guard_byte(i);
    }

    static unsigned char guard_byte(size_t i) {
        unsigned char word[4];
        std::memcpy(word, &kGuardBits, 4);
        return word[i % 4];
    }

    // Pixel (x, y), which may lie off the float grid: read and write it with get() and set().
    float* at(int32_t x, int32_t y) {
        return reinterpret_cast<float*>(bytes.data() + offset + ptrdiff_t(y) * step + 4 * x);
    }
    const float* at(int32_t x, int32_t y) const { return const_cast<Image*>(this)->at(x, y); }
    float* ptr() { return at(0, 0); }
    const float* ptr() const { return at(0, 0); }
    Size roi() const { return {width, height}; }
    float get(int32_t x, int32_t y) const {
        float f;
        std::memcpy(&f, at(x, y), 4);
        return f;
    }
    void set(int32_t x, int32_t y, float f) { std::memcpy(at(x, y), &f, 4); }

    // Fills the region row by row with f(x, y), or with f() where f takes no position.
    template <class F>
    void fill(F&& f) {
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                if constexpr (std::is_invocable_v<F&, int32_t, int32_t>) {
                    set(x, y, f(x, y));
                } else {
                    set(x, y, f());
                }
            }
    }

    // Calls gap(begin, end) for every run of bytes outside the region, in order.
    template <class F>
    void for_each_gap(F&& gap) const {
        size_t begin = 0;
        for (int32_t y = 0; y < height && width > 0; ++y) {
            const size_t row = offset + size_t(y) * size_t(step);
            gap(begin, row);
            begin = row + 4 * size_t(width);
        }
        gap(begin, bytes.size());
    }
    // True when every byte outside the region (margins and row gaps) still holds the guard.
    bool guards_intact() const {
        bool intact = true;
        for_each_gap([&](size_t begin, size_t end) {
            for (size_t i = begin; i < end && intact; ++i) intact = bytes[i] == guard_byte(i);
        });
        return intact;
    }
    // True when no byte at all was written.
    bool untouched() const {
        for (size_t i = 0; i < bytes.size(); ++i)
            if (bytes[i] != guard_byte(i)) return false;
        return true;
    }
};

// How the region of an image must relate to the region of a reference copy.
using Tolerance = std::function<bool(float got, float want, int32_t x, int32_t y)>;

// Compares an image with a reference copy of the same layout: every byte outside the region to
// the letter, the region pixel by pixel by `close`.
inline ::testing::AssertionResult same_outside_and_close_inside(const Image& got, const Image& want,
                                                                const Tolerance& close) {
    size_t changed = got.bytes.size();
    got.for_each_gap([&](size_t begin, size_t end) {
        for (size_t i = begin; i < end && changed == got.bytes.size(); ++i)
            if (got.bytes[i] != want.bytes[i]) changed = i;
    });
    if (changed != got.bytes.size()) {
        return ::testing::AssertionFailure()
               << "a byte outside the region differs (byte " << changed << ")";
    }
    for (int32_t y = 0; y < got.height; ++y) {
        for (int32_t x = 0; x < got.width; ++x) {
            const float g = got.get(x, y), w = want.get(x, y);
            if (!close(g, w, x, y)) {
                return ::testing::AssertionFailure()
                       << "pixel (" << x << ", " << y << "): " << g << " [0x" << std::hex << bits(g)
                       << "] where the reference holds " << w << " [0x" << bits(w) << std::dec
                       << "]";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

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
    const int32_t s = 28;  // a valid step for 4-wide images of the default layout
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
