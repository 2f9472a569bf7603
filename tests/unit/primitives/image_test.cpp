// Image storage and the region moves: allocation steps and failures, release, copy and fill
// with their argument checks and bit-exact moves.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "primitives/primitives.hpp"
#include "primitives/test_images.hpp"

namespace {

using namespace prim_test;

TEST(PrimMalloc, RowStepIsFourTimesWidthRoundedUpTo32AndAddressAligned) {
    struct Case {
        int32_t width, expected_step;
    };
    const Case cases[] = {{1, 32}, {5, 32}, {8, 32}, {9, 64}, {128, 512}, {130, 544}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width);
        for (int32_t height : {1, 3}) {
            int32_t step = -1;
            float* image = prim_malloc_32f(c.width, height, &step);
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(step, c.expected_step);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(image) % 32, 0u);
            // The whole block step x height is usable (the sanitizer run checks the bounds).
            std::memset(image, 0xAB, static_cast<size_t>(step) * height);
            prim_free(image);
        }
    }
}

TEST(PrimMalloc, FailuresReturnNullAndReportTheStepAsDesigned) {
    constexpr int32_t kUntouched = 12345;
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    struct Case {
        const char* name;
        int32_t width, height, expected_step;
    };
    const Case cases[] = {
        {"width 0", 0, 4, 0},
        {"negative width", -5, 4, 0},
        {"height 0", 4, 0, 0},
        {"negative height", 4, -1, 0},
        // Sizes that do not fit a signed 32-bit count: null, with the computed step written.
        {"4 GiB image", 1 << 28, 4, 1 << 30},
        {"2 GiB rows of one float", 1, kMax, 32},
        {"largest step, image plus overhead too big", 536870904, 1, 2147483616},
        // A row step that is itself beyond 32 bits cannot be reported: 0, never a wrapped value.
        {"row step beyond 32 bits", 536870905, 1, 0},
        {"largest width", kMax, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t step = kUntouched;
        float* image = prim_malloc_32f(c.width, c.height, &step);
        EXPECT_EQ(image, nullptr);
        prim_free(image);
        EXPECT_EQ(step, c.expected_step);
    }
    // Without a place for the step nothing is allocated and nothing written.
    EXPECT_EQ(prim_malloc_32f(16, 16, nullptr), nullptr);
}

TEST(PrimFree, NullIsIgnoredAndBlocksGoBackWhole) {
    prim_free(nullptr);
    // Many allocations of odd sizes; the leak checker of the sanitizer run sees any overhead
    // that is not returned, and the address checker any write outside a block.
    for (int32_t w = 1; w <= 40; ++w) {
        int32_t step = 0;
        float* image = prim_malloc_32f(w, w % 7 + 1, &step);
        ASSERT_NE(image, nullptr);
        image[0] = 1.0f;
        image[static_cast<size_t>(step / 4) * (w % 7) + w - 1] = 2.0f;
        prim_free(image);
    }
}

// The argument checks of copy and set, pointers before sizes before steps; a failing check
// leaves the destination untouched.
TEST(PrimCopySet, ArgumentChecksInOrder) {
    Image src(4, 2), dst(4, 2);
    src.fill([](int32_t x, int32_t y) { return float(x + 10 * y); });
    const int32_t s = src.step;
    struct Case {
        const char* name;
        bool null_src, null_dst;
        Size roi;
        int32_t src_step, dst_step;
        PrimStatus expected_copy, expected_set;  // set has no source
    };
    const Case cases[] = {
        {"src null", true, false, {4, 2}, s, s, prim_err_null_ptr, prim_ok},
        {"dst null with width 0", false, true, {0, 2}, s, s, prim_err_null_ptr, prim_err_null_ptr},
        {"width 0 with step 0", false, false, {0, 2}, 0, 0, prim_err_size, prim_err_size},
        {"negative height", false, false, {4, -2}, s, s, prim_err_size, prim_err_size},
        {"src step 0", false, false, {4, 2}, 0, s, prim_err_step, prim_ok},
        {"dst step negative", false, false, {4, 2}, s, -s, prim_err_step, prim_err_step},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image d1 = dst, d2 = dst;
        EXPECT_EQ(prim_copy_32f(c.null_src ? nullptr : src.ptr(), c.src_step,
                                c.null_dst ? nullptr : d1.ptr(), c.dst_step, c.roi),
                  c.expected_copy);
        if (c.expected_copy != prim_ok) {
            EXPECT_TRUE(d1.untouched());
        }
        EXPECT_EQ(prim_set_32f(1.0f, c.null_dst ? nullptr : d2.ptr(), c.dst_step, c.roi),
                  c.expected_set);
        if (c.expected_set != prim_ok) {
            EXPECT_TRUE(d2.untouched());
        }
    }
}

TEST(PrimCopy, PaddedToContiguousAndBackMovesExactlyTheRegion) {
    for (int32_t width : {1, 3, 8, 9, 33}) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        const int32_t height = 3;
        int32_t step = 0;
        float* padded = prim_malloc_32f(width, height, &step);
        ASSERT_NE(padded, nullptr);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < step / 4; ++x)
                padded[y * (step / 4) + x] = x < width ? float(x * 100 + y) : -1.0f;

        Image contiguous(width, height, kContiguous);
        ASSERT_EQ(prim_copy_32f(padded, step, contiguous.ptr(), width * 4, {width, height}),
                  prim_ok);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) EXPECT_EQ(contiguous.get(x, y), float(x * 100 + y));

        // Back into a second allocated image whose padding holds a guard.
        int32_t step2 = 0;
        float* back = prim_malloc_32f(width, height, &step2);
        ASSERT_NE(back, nullptr);
        for (int32_t i = 0; i < step2 / 4 * height; ++i) back[i] = from_bits(kGuardBits);
        ASSERT_EQ(prim_copy_32f(contiguous.ptr(), width * 4, back, step2, {width, height}),
                  prim_ok);
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < step2 / 4; ++x) {
                const float v = back[y * (step2 / 4) + x];
                if (x < width) {
                    EXPECT_EQ(v, float(x * 100 + y));
                } else {
                    EXPECT_EQ(bits(v), kGuardBits) << "padding written at " << x;
                }
            }
        }
        prim_free(back);
        prim_free(padded);
    }
}

TEST(PrimCopySet, MoveBitPatternsUnchanged) {
    const uint32_t patterns[] = {
        0x7FC00001,  // quiet NaN with payload
        0x7F800001,  // signalling NaN
        0xFFC12345,  // negative NaN with payload
        0x80000000,  // -0.0
        0x00000001,  // smallest subnormal
        0x807FFFFF,  // largest negative subnormal
        0xFF800000,  // -infinity
    };
    // Copy: a row of every pattern, in a contiguous and in a padded layout.
    Image src(7, 2), dst(7, 2);
    // Written as words: on 32-bit x86 a float return value passes the x87 stack, which would
    // quiet the signalling NaN before the kernel sees it.
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 7; ++x) std::memcpy(src.at(x, y), &patterns[x], 4);
    ASSERT_EQ(prim_copy_32f(src.ptr(), src.step, dst.ptr(), dst.step, src.roi()), prim_ok);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 7; ++x) EXPECT_EQ(bits(dst.get(x, y)), patterns[x]);
    EXPECT_TRUE(dst.guards_intact());

    // Set: every element of the region carries the pattern, nothing past the rows changes.
    for (uint32_t p : patterns) {
        SCOPED_TRACE(testing::Message() << std::hex << p);
        Image img(5, 3);
        ASSERT_EQ(prim_set_32f(from_bits(p), img.ptr(), img.step, img.roi()), prim_ok);
        for (int32_t y = 0; y < 3; ++y)
            for (int32_t x = 0; x < 5; ++x) EXPECT_EQ(bits(img.get(x, y)), p);
        EXPECT_TRUE(img.guards_intact());
    }
}

TEST(PrimCopySet, OneByOneRegionAndSubRectangle) {
    Image img(6, 5);
    img.fill([](int32_t x, int32_t y) { return float(x + 10 * y); });
    // A 1x1 region works for both kernels.
    float one = 0.0f;
    EXPECT_EQ(prim_copy_32f(img.at(2, 3), img.step, &one, 4, {1, 1}), prim_ok);
    EXPECT_EQ(one, 32.0f);
    EXPECT_EQ(prim_set_32f(-7.0f, &one, 4, {1, 1}), prim_ok);
    EXPECT_EQ(one, -7.0f);
    // A 2x3 sub-rectangle addressed through the enclosing image's step.
    ASSERT_EQ(prim_set_32f(0.5f, img.at(1, 1), img.step, {2, 3}), prim_ok);
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 6; ++x) {
            const bool inside = x >= 1 && x <= 2 && y >= 1 && y <= 3;
            EXPECT_EQ(img.get(x, y), inside ? 0.5f : float(x + 10 * y)) << x << "," << y;
        }
}

}  // namespace
