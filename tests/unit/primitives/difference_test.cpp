// Image difference and running average: operand order, in-place use, the running average's own
// argument rules, its evaluation order with special values, and row folding.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "primitives/primitives.hpp"
#include "primitives/test_images.hpp"

namespace {

using namespace prim_test;

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(PrimSubtract, SecondSourceMinusFirstAlsoInPlace) {
    Image src1(7, 3), src2(7, 3), dst(7, 3);
    src1.fill([] { return 1.0f; });
    src2.fill([](int32_t x, int32_t y) { return 3.0f + x * 0.5f + y; });
    ASSERT_EQ(prim_subtract_32f(src1.ptr(), src1.step, src2.ptr(), src2.step, dst.ptr(), dst.step,
                                dst.roi()),
              prim_ok);
    EXPECT_EQ(dst.get(0, 0), 2.0f);  // 3 - 1, not 1 - 3
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 7; ++x) EXPECT_EQ(dst.get(x, y), 2.0f + x * 0.5f + y);
    EXPECT_TRUE(dst.guards_intact());

    // Destination equal to the minuend, and to the subtrahend.
    Image minuend = src2, subtrahend = src1;
    ASSERT_EQ(prim_subtract_32f(src1.ptr(), src1.step, minuend.ptr(), minuend.step, minuend.ptr(),
                                minuend.step, dst.roi()),
              prim_ok);
    ASSERT_EQ(prim_subtract_32f(subtrahend.ptr(), subtrahend.step, src2.ptr(), src2.step,
                                subtrahend.ptr(), subtrahend.step, dst.roi()),
              prim_ok);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 7; ++x) {
            EXPECT_EQ(minuend.get(x, y), dst.get(x, y));
            EXPECT_EQ(subtrahend.get(x, y), dst.get(x, y));
        }
}

TEST(PrimSubtract, IsTheSingleIeeeDifferenceForEveryTail) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1e6f, 1e6f);
    for (int32_t width = 1; width <= 40; ++width) {
        Image a(width, 2, padded(width % 3)), b(width, 2), d(width, 2, padded(1));
        a.fill([&] { return dist(rng); });
        b.fill([&] { return dist(rng) * 1e-3f; });
        ASSERT_EQ(prim_subtract_32f(a.ptr(), a.step, b.ptr(), b.step, d.ptr(), d.step, d.roi()),
                  prim_ok);
        for (int32_t y = 0; y < 2; ++y)
            for (int32_t x = 0; x < width; ++x)
                ASSERT_EQ(bits(d.get(x, y)), bits(b.get(x, y) - a.get(x, y))) << width;
        ASSERT_TRUE(d.guards_intact());
    }
    // Special values follow IEEE rules: inf - inf is NaN, x - x is +0.
    const float s1[] = {kInf, 2.0f, -0.0f};
    const float s2[] = {kInf, 2.0f, 0.0f};
    float out[3];
    ASSERT_EQ(prim_subtract_32f(s1, 12, s2, 12, out, 12, {3, 1}), prim_ok);
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(bits(out[1]), bits(0.0f));
    EXPECT_EQ(bits(out[2]), bits(0.0f));
}

// The running average accepts empty regions and reports bad steps as size errors; it never
// returns prim_err_step. Every failing case leaves the accumulator untouched.
TEST(PrimAddWeighted, ArgumentRules) {
    struct Case {
        const char* name;
        bool null_src, null_acc;
        Size roi;
        int32_t src_step, acc_step;
        PrimStatus expected;
    };
    const int32_t w = 4, row = 4 * w;
    const Case cases[] = {
        {"src null", true, false, {w, 2}, row, row, prim_err_null_ptr},
        {"accumulator null with negative width", false, true, {-1, 2}, row, row, prim_err_null_ptr},
        {"empty region with steps 0", false, false, {0, 5}, 0, 0, prim_ok},
        {"empty height", false, false, {w, 0}, row, row, prim_ok},
        {"width -1", false, false, {-1, 2}, row, row, prim_err_size},
        {"height -1", false, false, {w, -1}, row, row, prim_err_size},
        {"src step not whole floats", false, false, {w, 2}, row + 2, row, prim_err_size},
        {"src step shorter than a row", false, false, {w, 2}, row - 4, row, prim_err_size},
        {"accumulator step negative", false, false, {w, 2}, row, -row, prim_err_size},
        {"accumulator step shorter than a row", false, false, {w, 2}, row, row - 4, prim_err_size},
        {"negative step with empty region", false, false, {0, 2}, 0, -4, prim_err_size},
        {"padded steps", false, false, {w, 2}, row + 12, row + 12, prim_ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image src(w, 2, padded(3)), acc(w, 2, padded(3));
        src.fill([] { return 3.0f; });
        EXPECT_EQ(prim_add_weighted_inplace_32f(c.null_src ? nullptr : src.ptr(), c.src_step,
                                                c.null_acc ? nullptr : acc.ptr(), c.acc_step, c.roi,
                                                0.5f),
                  c.expected);
        if (c.expected != prim_ok || c.roi.width == 0 || c.roi.height == 0) {
            EXPECT_TRUE(acc.untouched());
        }
    }
    // A huge width must not wrap the row length into an acceptable step.
    float one = 1.0f;
    EXPECT_EQ(prim_add_weighted_inplace_32f(&one, 4, &one, 4, {0x40000001, 1}, 0.5f),
              prim_err_size);
}

TEST(PrimAddWeighted, EvaluatesOldPlusAlphaTimesDifference) {
    struct Case {
        const char* name;
        float src, acc, alpha;
        float expected;  // NaN: any NaN
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"alpha 0.5", 3.0f, 1.0f, 0.5f, 2.0f},
        {"alpha 1", 3.0f, 1.0f, 1.0f, 3.0f},
        {"alpha 0", 3.0f, 1.0f, 0.0f, 1.0f},
        {"alpha 2 extrapolates", 3.0f, 1.0f, 2.0f, 5.0f},
        {"alpha -1", 3.0f, 1.0f, -1.0f, -1.0f},
        {"-0 becomes +0 for alpha 0", 3.0f, -0.0f, 0.0f, 0.0f},
        {"infinite accumulator, alpha 0", 3.0f, kInf, 0.0f, nan},
        {"infinite accumulator, alpha 0.5", 3.0f, kInf, 0.5f, nan},
        {"infinite accumulator, alpha 1", 3.0f, kInf, 1.0f, nan},
        {"infinite accumulator, negative alpha", 3.0f, kInf, -0.5f, kInf},
        // Each step in double, one rounding: single-precision steps would give another value.
        {"rounded once from double", 1.0f, 1e8f, 1.0f - 1e-7f,
         float(1e8 + double(1.0f - 1e-7f) * (1.0 - 1e8))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int32_t width : {1, 9}) {
            Image src(width, 2), acc(width, 2);
            src.fill([&] { return c.src; });
            acc.fill([&] { return c.acc; });
            ASSERT_EQ(prim_add_weighted_inplace_32f(src.ptr(), src.step, acc.ptr(), acc.step,
                                                    acc.roi(), c.alpha),
                      prim_ok);
            for (int32_t y = 0; y < 2; ++y)
                for (int32_t x = 0; x < width; ++x) {
                    if (std::isnan(c.expected)) {
                        EXPECT_TRUE(std::isnan(acc.get(x, y))) << acc.get(x, y);
                    } else {
                        EXPECT_EQ(bits(acc.get(x, y)), bits(c.expected)) << acc.get(x, y);
                    }
                }
            EXPECT_TRUE(acc.guards_intact());
        }
    }
}

TEST(PrimAddWeighted, PaddedAndContiguousRowsGiveIdenticalResults) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> dist(-50.0f, 50.0f);
    for (int32_t width : {1, 3, 8, 17}) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        const int32_t h = 4;
        Image src_p(width, h, padded(5)), acc_p(width, h, padded(2));
        src_p.fill([&] { return dist(rng); });
        acc_p.fill([&] { return dist(rng); });
        Image src_c(width, h, kContiguous), acc_c(width, h, kContiguous);
        src_c.fill([&](int32_t x, int32_t y) { return src_p.get(x, y); });
        acc_c.fill([&](int32_t x, int32_t y) { return acc_p.get(x, y); });
        ASSERT_EQ(prim_add_weighted_inplace_32f(src_p.ptr(), src_p.step, acc_p.ptr(), acc_p.step,
                                                {width, h}, 0.3f),
                  prim_ok);
        ASSERT_EQ(prim_add_weighted_inplace_32f(src_c.ptr(), src_c.step, acc_c.ptr(), acc_c.step,
                                                {width, h}, 0.3f),
                  prim_ok);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < width; ++x)
                EXPECT_EQ(bits(acc_p.get(x, y)), bits(acc_c.get(x, y)));
        EXPECT_TRUE(acc_p.guards_intact());
    }
}

}  // namespace
