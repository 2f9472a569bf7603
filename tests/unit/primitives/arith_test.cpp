// Element-wise arithmetic: argument checks of every kernel, the division's zero-divisor rule
// and status, the square kernel's step truncation, in-place use, and agreement with single
// IEEE operations over every row tail.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "primitives/primitives.hpp"
#include "primitives/test_images.hpp"

namespace {

using namespace prim_test;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct BinaryKernel {
    const char* name;
    prim_binary_32f_fn fn;
};
// Called through the public wrappers, so through the slots.
const BinaryKernel kBinaryKernels[] = {
    {"add", [](const float* a, int32_t as, const float* b, int32_t bs, float* d, int32_t ds,
               Size r) { return prim_add_32f(a, as, b, bs, d, ds, r); }},
    {"mul", [](const float* a, int32_t as, const float* b, int32_t bs, float* d, int32_t ds,
               Size r) { return prim_mul_32f(a, as, b, bs, d, ds, r); }},
    {"div", [](const float* a, int32_t as, const float* b, int32_t bs, float* d, int32_t ds,
               Size r) { return prim_div_32f(a, as, b, bs, d, ds, r); }},
    {"subtract", [](const float* a, int32_t as, const float* b, int32_t bs, float* d, int32_t ds,
                    Size r) { return prim_subtract_32f(a, as, b, bs, d, ds, r); }},
};

TEST(PrimBinaryKernels, ArgumentChecksInOrderLeaveDestinationUntouched) {
    for (const BinaryKernel& k : kBinaryKernels) {
        for (const auto& c : binary_check_cases()) {
            SCOPED_TRACE(testing::Message() << k.name << ": " << c.name);
            Image a(4, 2), b(4, 2), d(4, 2);
            a.fill([](int32_t x, int32_t) { return 2.0f + x; });
            b.fill([](int32_t x, int32_t y) { return 1.0f + x * y; });
            EXPECT_EQ(
                k.fn(c.null_src1 ? nullptr : a.ptr(), c.src1_step, c.null_src2 ? nullptr : b.ptr(),
                     c.src2_step, c.null_dst ? nullptr : d.ptr(), c.dst_step, c.roi),
                c.expected);
            if (c.expected != prim_ok) {
                EXPECT_TRUE(d.untouched());
            }
        }
    }
}

TEST(PrimUnaryKernels, ArgumentChecksInOrderLeaveDestinationUntouched) {
    struct Case {
        const char* name;
        bool null_src, null_dst;
        Size roi;
        int32_t src_step, dst_step;
        PrimStatus expected_sqr, expected_add_const;  // add_const works on dst alone
    };
    const int32_t s = 28;
    const Case cases[] = {
        {"src null", true, false, {4, 2}, s, s, prim_err_null_ptr, prim_ok},
        {"dst null, width 0", false, true, {0, 2}, s, s, prim_err_null_ptr, prim_err_null_ptr},
        {"height 0, steps 0", false, false, {4, 0}, 0, 0, prim_err_size, prim_err_size},
        {"negative width", false, false, {-4, 2}, s, s, prim_err_size, prim_err_size},
        {"src step 0", false, false, {4, 2}, 0, s, prim_err_step, prim_ok},
        {"dst step 0", false, false, {4, 2}, s, 0, prim_err_step, prim_err_step},
        // Truncation comes after the tests: a step of 3 passes them.
        {"step 3 passes the tests", false, false, {4, 1}, 3, 3, prim_ok, prim_ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image src(4, 2), d1(4, 2), d2(4, 2);
        src.fill([](int32_t x, int32_t) { return float(x); });
        EXPECT_EQ(prim_sqr_32f(c.null_src ? nullptr : src.ptr(), c.src_step,
                               c.null_dst ? nullptr : d1.ptr(), c.dst_step, c.roi),
                  c.expected_sqr);
        if (c.expected_sqr != prim_ok) {
            EXPECT_TRUE(d1.untouched());
        }
        EXPECT_EQ(
            prim_add_const_inplace_32f(1.0f, c.null_dst ? nullptr : d2.ptr(), c.dst_step, c.roi),
            c.expected_add_const);
        if (c.expected_add_const != prim_ok) {
            EXPECT_TRUE(d2.untouched());
        }
    }
}

TEST(PrimDiv, ZeroAndNaNDivisorsFollowTheReferenceRule) {
    const uint32_t kDivNaN = 0xFFC00000;
    struct Case {
        float divisor, dividend;
        uint32_t expected;
    };
    const Case cases[] = {
        {0.0f, 3.0f, bits(kInf)},
        {-0.0f, 3.0f, bits(kInf)},  // the divisor's sign is not taken into account
        {2.0f, 3.0f, bits(1.5f)},
        {kNaN, 3.0f, bits(kInf)},
        {0.0f, -3.0f, bits(-kInf)},
        {-0.0f, -3.0f, bits(-kInf)},
        {kNaN, -kInf, bits(-kInf)},
        {0.0f, kInf, bits(kInf)},
        {0.0f, 0.0f, kDivNaN},
        {-0.0f, -0.0f, kDivNaN},
        {kNaN, kNaN, kDivNaN},
        {0.0f, from_bits(0x7FC00123), kDivNaN},
        {0.0f, 1e-45f, bits(kInf)},  // a subnormal dividend is greater than 0
        {-4.0f, 3.0f, bits(-0.75f)},
        {kInf, 3.0f, bits(0.0f)},
        {1e-45f, 1.0f, bits(kInf)},  // overflow of a real quotient, not a zero divisor
    };
    // Each case alone (status per element) and all together in one row.
    std::vector<float> divisors, dividends;
    bool any_zero = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dividend << " / " << c.divisor);
        const bool zero = c.divisor == 0.0f || std::isnan(c.divisor);
        float out = 0.0f;
        EXPECT_EQ(prim_div_32f(&c.divisor, 4, &c.dividend, 4, &out, 4, {1, 1}),
                  zero ? prim_warn_div_by_zero : prim_ok);
        EXPECT_EQ(bits(out), c.expected);
        divisors.push_back(c.divisor);
        dividends.push_back(c.dividend);
        any_zero |= zero;
    }
    ASSERT_TRUE(any_zero);
    const int32_t n = static_cast<int32_t>(divisors.size());
    std::vector<float> out(n);
    EXPECT_EQ(
        prim_div_32f(divisors.data(), n * 4, dividends.data(), n * 4, out.data(), n * 4, {n, 1}),
        prim_warn_div_by_zero);
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(bits(out[i]), cases[i].expected) << "element " << i;
}

TEST(PrimDiv, StatusCountsZeroDivisorsOverTheWholeRegion) {
    // No zero divisor: status 0 even when quotients overflow to infinity.
    {
        Image d(9, 3), n(9, 3), q(9, 3);
        d.fill([] { return 1e-30f; });
        n.fill([] { return 1e30f; });
        EXPECT_EQ(prim_div_32f(d.ptr(), d.step, n.ptr(), n.step, q.ptr(), q.step, d.roi()),
                  prim_ok);
        EXPECT_EQ(q.get(8, 2), kInf);
    }
    // A single zero divisor at element 20 of a 40-wide row, in the last row: only that element
    // gets the special value, and the kernel still computes every other element.
    for (int32_t height : {1, 3}) {
        Image d(40, height), n(40, height), q(40, height);
        d.fill([&](int32_t x, int32_t y) { return x == 20 && y == height - 1 ? 0.0f : 4.0f; });
        n.fill([](int32_t x, int32_t y) { return float(x + y); });
        EXPECT_EQ(prim_div_32f(d.ptr(), d.step, n.ptr(), n.step, q.ptr(), q.step, d.roi()),
                  prim_warn_div_by_zero);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < 40; ++x) {
                const float expected = x == 20 && y == height - 1 ? kInf : float(x + y) / 4.0f;
                EXPECT_EQ(bits(q.get(x, y)), bits(expected)) << x << "," << y;
            }
        EXPECT_TRUE(q.guards_intact());
    }
}

// The square kernel truncates each step to whole floats; the sum kernel uses its byte steps
// unchanged, so with a step of 518 its rows start off the float grid.
TEST(PrimSqr, StepsAreTruncatedToMultiplesOfFourUnlikeAdd) {
    constexpr int32_t kStep = 518, kWidth = 4, kHeight = 3;
    std::vector<unsigned char> src(kStep * kHeight + 16), sqr_dst(src.size()), add_dst(src.size());
    // Rows at multiples of 516 bytes hold y + 1 + x/8; read at multiples of 518 they would
    // give other (mixed-byte) values.
    auto put = [](std::vector<unsigned char>& buf, size_t offset, float v) {
        std::memcpy(buf.data() + offset, &v, 4);
    };
    auto get = [](const std::vector<unsigned char>& buf, size_t offset) {
        float v;
        std::memcpy(&v, buf.data() + offset, 4);
        return v;
    };
    for (int32_t y = 1; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
            put(src, size_t(516) * y + 4 * x, float(y + 1) + x / 8.0f);
    for (int32_t x = 0; x < kWidth; ++x) put(src, 4 * x, 1.0f + x / 8.0f);

    const float* s = reinterpret_cast<const float*>(src.data());
    ASSERT_EQ(
        prim_sqr_32f(s, kStep, reinterpret_cast<float*>(sqr_dst.data()), kStep, {kWidth, kHeight}),
        prim_ok);
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x) {
            const float v = float(y + 1) + x / 8.0f;
            EXPECT_EQ(get(sqr_dst, size_t(516) * y + 4 * x), v * v) << x << "," << y;
        }

    // prim_add_32f with the same 518-byte steps reads and writes at multiples of 518.
    std::vector<unsigned char> src518(src.size());
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
            put(src518, size_t(518) * y + 4 * x, float(10 * y + x));
    const float* s518 = reinterpret_cast<const float*>(src518.data());
    ASSERT_EQ(prim_add_32f(s518, kStep, s518, kStep, reinterpret_cast<float*>(add_dst.data()),
                           kStep, {kWidth, kHeight}),
              prim_ok);
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
            EXPECT_EQ(get(add_dst, size_t(518) * y + 4 * x), float(2 * (10 * y + x)))
                << x << "," << y;
}

TEST(PrimAddConst, ZeroLeavesValuesExceptNegativeZero) {
    const float values[] = {1.0f, -2.5f, -0.0f, 0.0f, 1e-45f, kInf, -kInf, 3.4e38f};
    Image img(8, 2);
    img.fill([&](int32_t x, int32_t) { return values[x]; });
    ASSERT_EQ(prim_add_const_inplace_32f(0.0f, img.ptr(), img.step, img.roi()), prim_ok);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 8; ++x) {
            const uint32_t expected = x == 2 ? bits(0.0f) : bits(values[x]);
            EXPECT_EQ(bits(img.get(x, y)), expected) << x;
        }
    EXPECT_TRUE(img.guards_intact());
}

// Every kernel stores the correctly rounded single-precision result of its one operation, for
// every row length 1..40, with padded steps and with the destination equal to a source.
TEST(PrimArithmetic, MatchesSingleIeeeOperationsForEveryTailAndInPlace) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
    for (int32_t width = 1; width <= 40; ++width) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        Image a(width, 3, padded(width % 5)), b(width, 3, padded(width % 5));
        a.fill([&] { return dist(rng); });
        b.fill([&] { return dist(rng); });
        struct Op {
            const char* name;
            prim_binary_32f_fn fn;
            float (*expected)(float a, float b);
        };
        const Op ops[] = {
            {"add", kBinaryKernels[0].fn, [](float x, float y) { return x + y; }},
            {"mul", kBinaryKernels[1].fn, [](float x, float y) { return x * y; }},
            {"div", kBinaryKernels[2].fn, [](float x, float y) { return y / x; }},
        };
        for (const Op& op : ops) {
            SCOPED_TRACE(op.name);
            Image out(width, 3, padded(2));
            ASSERT_EQ(op.fn(a.ptr(), a.step, b.ptr(), b.step, out.ptr(), out.step, a.roi()),
                      prim_ok);
            // In place over either source (for the division only over the dividend).
            Image in_a = a, in_b = b;
            if (std::string(op.name) != "div") {
                ASSERT_EQ(
                    op.fn(in_a.ptr(), in_a.step, b.ptr(), b.step, in_a.ptr(), in_a.step, a.roi()),
                    prim_ok);
            }
            ASSERT_EQ(op.fn(a.ptr(), a.step, in_b.ptr(), in_b.step, in_b.ptr(), in_b.step, a.roi()),
                      prim_ok);
            for (int32_t y = 0; y < 3; ++y)
                for (int32_t x = 0; x < width; ++x) {
                    const uint32_t e = bits(op.expected(a.get(x, y), b.get(x, y)));
                    EXPECT_EQ(bits(out.get(x, y)), e);
                    if (std::string(op.name) != "div") {
                        EXPECT_EQ(bits(in_a.get(x, y)), e);
                    }
                    EXPECT_EQ(bits(in_b.get(x, y)), e);
                }
            EXPECT_TRUE(out.guards_intact());
        }
        // Square and constant sum, the latter always in place.
        Image sq(width, 3, padded(1)), plus = a;
        ASSERT_EQ(prim_sqr_32f(a.ptr(), a.step, sq.ptr(), sq.step, a.roi()), prim_ok);
        ASSERT_EQ(prim_add_const_inplace_32f(0.1f, plus.ptr(), plus.step, a.roi()), prim_ok);
        for (int32_t y = 0; y < 3; ++y)
            for (int32_t x = 0; x < width; ++x) {
                EXPECT_EQ(bits(sq.get(x, y)), bits(a.get(x, y) * a.get(x, y)));
                EXPECT_EQ(bits(plus.get(x, y)), bits(a.get(x, y) + 0.1f));
            }
        EXPECT_TRUE(sq.guards_intact());
    }
}

}  // namespace
