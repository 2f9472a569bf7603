// Row and column filters: argument checks, the orientation of the convolution, the summation
// in double in order of increasing source coordinate with one rounding, the anchor, and the
// agreement of every row length with a wider region.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "primitives/primitives.hpp"
#include "primitives/test_images.hpp"

namespace {

using namespace prim_test;

// A source with a margin of `m` pixels on every side of a w x h region; origin() is the pixel
// that lines up with the first destination pixel.
struct Bordered : Image {
    int32_t m;
    Bordered(int32_t w, int32_t h, int32_t margin)
        : Image(w + 2 * margin, h + 2 * margin, padded(1)), m(margin) {}
    // Fills with f(x, y) in region coordinates (the margin has negative or large coordinates).
    void fill(const std::function<float(int32_t, int32_t)>& f) {
        Image::fill([&](int32_t x, int32_t y) { return f(x - m, y - m); });
    }
    const float* origin(int32_t x = 0, int32_t y = 0) const { return at(m + x, m + y); }
};

enum class Dir { kRow, kColumn };
const Dir kDirs[] = {Dir::kRow, Dir::kColumn};
const char* name(Dir d) {
    return d == Dir::kRow ? "row" : "column";
}

PrimStatus filter(Dir d, const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi,
                  const float* kernel, int32_t size, int32_t anchor) {
    return d == Dir::kRow
               ? prim_filter_row_32f(src, src_step, dst, dst_step, roi, kernel, size, anchor)
               : prim_filter_column_32f(src, src_step, dst, dst_step, roi, kernel, size, anchor);
}

TEST(PrimFilter, ArgumentChecksInOrderLeaveDestinationUntouched) {
    const float k3[] = {1.0f, 2.0f, 1.0f};
    struct Case {
        const char* name;
        bool null_src, null_dst, null_kernel;
        Size roi;
        int32_t kernel_size, src_step, dst_step;
        PrimStatus expected;
    };
    Bordered src(4, 3, 2);
    const int32_t s = src.step, ds = 4 * 7;
    const Case cases[] = {
        {"src null", true, false, false, {4, 3}, 3, s, ds, prim_err_null_ptr},
        {"dst null", false, true, false, {4, 3}, 3, s, ds, prim_err_null_ptr},
        {"kernel null with width 0", false, false, true, {0, 3}, 3, s, ds, prim_err_null_ptr},
        {"height 0", false, false, false, {4, 0}, 3, s, ds, prim_err_size},
        {"width negative", false, false, false, {-1, 3}, 3, s, ds, prim_err_size},
        {"kernel size 0", false, false, false, {4, 3}, 0, s, ds, prim_err_size},
        {"kernel size negative, step 0", false, false, false, {4, 3}, -2, 0, ds, prim_err_size},
        {"src step 0", false, false, false, {4, 3}, 3, 0, ds, prim_err_step},
        {"dst step negative", false, false, false, {4, 3}, 3, s, -ds, prim_err_step},
    };
    for (Dir d : kDirs) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << name(d) << ": " << c.name);
            Image dst(4, 3);
            EXPECT_EQ(filter(d, c.null_src ? nullptr : src.origin(), c.src_step,
                             c.null_dst ? nullptr : dst.ptr(), c.dst_step, c.roi,
                             c.null_kernel ? nullptr : k3, c.kernel_size, 1),
                      c.expected);
            EXPECT_TRUE(dst.untouched());
        }
    }
}

// Exact results on ramps and constants, in both directions. Each case gives the kernel, the
// anchor, the source as a function of the position t along the filter, and the expected output
// as a function of t.
TEST(PrimFilter, ConvolutionExamplesAreExact) {
    struct Case {
        const char* name;
        std::vector<float> kernel;
        int32_t anchor;
        float (*src)(int32_t t);
        float (*expected)(int32_t t);
    };
    const Case cases[] = {
        // kernel[0] meets the pixel at +anchor: (1, 0, -1) is src(t + 1) - src(t - 1).
        {"central difference gives +2 on a ramp",
         {1.0f, 0.0f, -1.0f},
         1,
         [](int32_t t) { return float(t); },
         [](int32_t) { return 2.0f; }},
        {"5-tap derivative on a ramp",
         {-0.11328125f, 0.88671875f, 0.0f, -0.88671875f, 0.11328125f},
         2,
         [](int32_t t) { return float(t); },
         [](int32_t) { return 1.3203125f; }},
        {"5-tap smoothing keeps a constant",
         {0.12109375f, 0.234375f, 0.2890625f, 0.234375f, 0.12109375f},
         2,
         [](int32_t) { return 97.3f; },
         [](int32_t) { return 97.3f; }},
        {"single tap scales",
         {0.1f},
         0,
         [](int32_t t) { return 3.0f + t; },
         [](int32_t t) { return float(0.1f * double(3.0f + t)); }},
        // Windows wholly to one side: anchor -1 reads t-1 and t-2, anchor = size reads t+1, t+2.
        {"anchor -1",
         {1.0f, 2.0f},
         -1,
         [](int32_t t) { return float(t); },
         [](int32_t t) { return float((t - 1) + 2 * (t - 2)); }},
        {"anchor = kernel size",
         {1.0f, 2.0f},
         2,
         [](int32_t t) { return float(t); },
         [](int32_t t) { return float((t + 2) + 2 * (t + 1)); }},
        {"anchor 0 reads the pixel and those before it",
         {1.0f, 10.0f, 100.0f},
         0,
         [](int32_t t) { return float(t); },
         [](int32_t t) { return float(t + 10 * (t - 1) + 100 * (t - 2)); }},
    };
    for (Dir d : kDirs) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << name(d) << ": " << c.name);
            const int32_t w = 9, h = 6;
            Bordered src(w, h, 6);
            src.fill([&](int32_t x, int32_t y) { return c.src(d == Dir::kRow ? x : y); });
            Image dst(w, h);
            ASSERT_EQ(filter(d, src.origin(), src.step, dst.ptr(), dst.step, {w, h},
                             c.kernel.data(), int32_t(c.kernel.size()), c.anchor),
                      prim_ok);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    EXPECT_EQ(bits(dst.get(x, y)), bits(c.expected(d == Dir::kRow ? x : y)))
                        << "at " << x << "," << y << ": " << dst.get(x, y);
            EXPECT_TRUE(dst.guards_intact());
        }
    }
}

// The sum runs in double, from the lowest source coordinate up, and is rounded once: windows
// whose result depends on both the precision and the order of the additions.
TEST(PrimFilter, SumsInDoubleInOrderOfIncreasingSourceCoordinate) {
    struct Case {
        const char* name;
        float left, middle, right;  // source at t - 1, t, t + 1
        float expected;             // with kernel (1, 1, 1), anchor 1
    };
    const Case cases[] = {
        // Single-precision sums would lose 2^-30 against 1.
        {"double precision", 1.0f, std::ldexp(1.0f, -30), -1.0f, std::ldexp(1.0f, -30)},
        // Right to left, 2^-60 would vanish against -1 in double.
        {"increasing coordinate", 1.0f, -1.0f, std::ldexp(1.0f, -60), std::ldexp(1.0f, -60)},
        // Left to right the tiny term vanishes; right to left it would survive.
        {"not decreasing coordinate", std::ldexp(1.0f, -60), 1.0f, -1.0f, 0.0f},
        // The sum starts at +0.0: negative zeros add up to +0.0.
        {"sum starts at +0", -0.0f, -0.0f, -0.0f, 0.0f},
    };
    const float ones[] = {1.0f, 1.0f, 1.0f};
    for (Dir d : kDirs) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << name(d) << ": " << c.name);
            Bordered src(1, 1, 1);
            src.fill([&](int32_t x, int32_t y) {
                const int32_t t = d == Dir::kRow ? x : y;
                const int32_t other = d == Dir::kRow ? y : x;
                if (other != 0) return 1e30f;  // never read
                return t < 0 ? c.left : (t == 0 ? c.middle : c.right);
            });
            float out = 5.0f;
            ASSERT_EQ(filter(d, src.origin(), src.step, &out, 4, {1, 1}, ones, 3, 1), prim_ok);
            EXPECT_EQ(bits(out), bits(c.expected)) << out;
        }
    }
}

// Any region width (and height) gives, pixel for pixel, what a wider region gives at the same
// pixels: no path for short rows or row tails differs from the long-row path.
TEST(PrimFilter, EveryWidthAgreesWithAWideRegion) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    const int32_t kWide = 150, kHigh = 5, kMargin = 8;
    for (int32_t ksize : {1, 2, 3, 5, 6, 9, 17}) {
        std::vector<float> kernel(ksize);
        for (float& k : kernel) k = dist(rng);
        const int32_t anchor = ksize / 2;
        for (Dir d : kDirs) {
            SCOPED_TRACE(testing::Message() << name(d) << ", kernel size " << ksize);
            Bordered src(kWide, kWide, kMargin);
            src.fill([&](int32_t, int32_t) { return dist(rng) * 100.0f; });
            const Size wide_roi = d == Dir::kRow ? Size{kWide, kHigh} : Size{kHigh, kWide};
            Image wide_img(wide_roi.width, wide_roi.height);
            ASSERT_EQ(filter(d, src.origin(), src.step, wide_img.ptr(), wide_img.step, wide_roi,
                             kernel.data(), ksize, anchor),
                      prim_ok);
            for (int32_t len = 1; len <= 40; ++len) {
                // A region starting at offset 3 along the filter direction, `len` long.
                const Size roi = d == Dir::kRow ? Size{len, kHigh} : Size{kHigh, len};
                const int32_t ox = d == Dir::kRow ? 3 : 0, oy = d == Dir::kRow ? 0 : 3;
                Image part(roi.width, roi.height);
                ASSERT_EQ(filter(d, src.origin(ox, oy), src.step, part.ptr(), part.step, roi,
                                 kernel.data(), ksize, anchor),
                          prim_ok);
                for (int32_t y = 0; y < roi.height; ++y)
                    for (int32_t x = 0; x < roi.width; ++x)
                        ASSERT_EQ(bits(part.get(x, y)), bits(wide_img.get(x + ox, y + oy)))
                            << "length " << len << " at " << x << "," << y;
                ASSERT_TRUE(part.guards_intact()) << "length " << len;
            }
        }
    }
}

// The steps are used as whole floats: a step 3 bytes (or 2) longer walks the same rows.
TEST(PrimFilter, StepsAreTruncatedToWholeFloats) {
    const float k[] = {0.25f, 0.5f, 0.25f};
    for (Dir d : kDirs) {
        SCOPED_TRACE(name(d));
        Bordered src(6, 4, 2);
        src.fill([](int32_t x, int32_t y) { return float(x * x + 3 * y * y); });
        Image a(6, 4), b(6, 4);
        ASSERT_EQ(filter(d, src.origin(), src.step, a.ptr(), a.step, {6, 4}, k, 3, 1), prim_ok);
        ASSERT_EQ(filter(d, src.origin(), src.step + 3, b.ptr(), b.step + 2, {6, 4}, k, 3, 1),
                  prim_ok);
        ASSERT_TRUE(a.bytes == b.bytes);
    }
}

}  // namespace
