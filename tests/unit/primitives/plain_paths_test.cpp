// The plain column's two paths against each other: every column-0 kernel runs on identical
// copies of the same images once held to its baseline loops and once on its eight-lane path,
// and the two runs must return the same status and leave the same bytes everywhere, region,
// row gaps and guards alike. The only freedom is the payload of a NaN result where two NaN
// operands met in one operation (IEEE lets the hardware pick either, and the compiler may swap
// the operands of a commutative operation).
//
// The eight-lane path needs AVX2; on other machines these tests are skipped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "primitives/primitives.hpp"
#include "primitives/test_images.hpp"

namespace {

using namespace prim_test;

std::mt19937& rng() {
    static std::mt19937 engine(20261207);
    return engine;
}

// ---- values -------------------------------------------------------------------------------------
// Cancelling values are small integers times 2^-30, 1 or 2^30: sums of their products in double
// lose their small terms or not depending on the order of the additions, which shows up after
// the rounding to float.
enum class Values { kOrdinary, kSpecial, kCancelling };

float ordinary() {
    const float mag = std::uniform_real_distribution<float>(0.001f, 1000.0f)(rng());
    return (rng()() & 1) ? mag : -mag;
}

// Special values often: signed zeros, infinities, NaNs with payloads (signalling ones too),
// subnormals, the largest finite values.
float any_float(Values v) {
    if (v == Values::kOrdinary) return ordinary();
    if (v == Values::kCancelling) {
        const float scale[] = {0x1p-30f, 1.0f, 0x1p30f};
        const float m = float(1 + rng()() % 7) * scale[rng()() % 3];
        return (rng()() & 1) ? m : -m;
    }
    switch (rng()() % 12) {
        case 0:
            return from_bits(0x7F800001u + rng()() % 0x007FFFFFu);  // NaN, either kind
        case 1:
            return from_bits(0x80000001u + (rng()() & 0x007FFFFEu));  // negative subnormal
        case 2:
            return from_bits(0x00000001u + (rng()() & 0x007FFFFEu));  // positive subnormal
        case 3:
            return (rng()() & 1) ? 0.0f : -0.0f;
        case 4:
            return (rng()() & 1) ? INFINITY : -INFINITY;
        case 5:
            return (rng()() & 1) ? 3.4e38f : -3.4e38f;
        case 6:
            return from_bits(0xFFC00000u);  // the default NaN
        default:
            return ordinary();
    }
}

// ---- images -------------------------------------------------------------------------------------
// Packed rows on a 64-byte boundary (the contiguous case), rows with a gap starting off the vector
// grid, and (for kernels that take any byte step) rows that start off the 4-byte grid.
const Layout kLayouts[] = {kContiguous, kGapped, kByteSteps};

void fill(Image& image, Values v) {
    image.fill([v] { return any_float(v); });
}

// ---- paths --------------------------------------------------------------------------------------
// Column 0 in every slot, the path chosen by the hook, for the life of the scope.
class UsePath {
  public:
    explicit UsePath(bool wide) {
        prim_use_eight_lanes(wide);
        prim_fill_slots(0);
    }
    ~UsePath() {
        prim_use_eight_lanes(true);
        prim_fill_slots(0);
    }
};

// The inputs of one call: sources (unchanged by the call) and the destination, which in-place
// kernels also read. May NaN operands at pixel (x, y) of this case have met in one operation?
struct Case {
    std::string what;
    std::vector<Image> sources;
    Image dst;
    std::function<PrimStatus(std::vector<Image>&, Image&)> call;
    std::function<bool(std::vector<Image>&, Image&, int32_t, int32_t)> nan_operands_met;
};

// Runs the case on both paths from identical copies and compares status and every byte.
void expect_same_on_both_paths(Case& c) {
    std::vector<Image> src_base = c.sources, src_wide = c.sources;
    Image dst_base = c.dst, dst_wide = c.dst;
    PrimStatus status_base, status_wide;
    {
        UsePath path(false);
        ASSERT_FALSE(prim_eight_lanes_in_use(0))
            << "the hook did not hold column 0 to its baseline";
        status_base = c.call(src_base, dst_base);
    }
    {
        UsePath path(true);
        ASSERT_TRUE(prim_eight_lanes_in_use(0)) << "the hook did not restore the eight-lane path";
        status_wide = c.call(src_wide, dst_wide);
    }
    ASSERT_EQ(status_wide, status_base) << c.what;
    for (std::size_t i = 0; i < c.sources.size(); ++i) {
        ASSERT_TRUE(src_wide[i].bytes == c.sources[i].bytes) << c.what << ": a source changed";
    }
    // A pixel may differ only where it holds NaN on both paths and two NaN operands met.
    ASSERT_TRUE(same_outside_and_close_inside(
        dst_wide, dst_base,
        [&](float wide, float base, int32_t x, int32_t y) {
            return bits(wide) == bits(base) || (std::isnan(wide) && std::isnan(base) &&
                                                c.nan_operands_met(c.sources, c.dst, x, y));
        }))
        << c.what << " (eight lanes against the baseline)";
}

bool never(std::vector<Image>&, Image&, int32_t, int32_t) {
    return false;
}

// ---- shapes -------------------------------------------------------------------------------------
struct Shape {
    int32_t width, height;
};

// Every row length from 1 to 40 (each tail of the 8- and 16-wide loops) with odd heights, and
// a large image.
std::vector<Shape> shapes() {
    std::vector<Shape> list;
    for (int32_t w = 1; w <= 40; ++w) list.push_back({w, (w % 3) * 2 + 1});
    list.push_back({1283, 517});
    return list;
}

std::string describe(const char* kernel, Shape s, Layout l, Values v) {
    return std::string(kernel) + " " + std::to_string(s.width) + "x" + std::to_string(s.height) +
           " " + l.name +
           (v == Values::kSpecial      ? " special values"
            : v == Values::kCancelling ? " cancelling values"
                                       : " ordinary values");
}

// ---- element-wise kernels -----------------------------------------------------------------------
using BinaryFn = PrimStatus (*)(const float*, int32_t, const float*, int32_t, float*, int32_t,
                                Size);

struct BinaryKernel {
    const char* name;
    BinaryFn fn;
    bool payload_free_when_both_nan;  // false for the division: one NaN source at most
};

TEST(PlainPaths, TwoSourceKernelsStoreTheSameBitsAndStatus) {
    if (!prim_eight_lanes_available(0)) GTEST_SKIP() << "no AVX2 on this machine";
    const BinaryKernel kernels[] = {
        {"add", &prim_add_32f, true},
        {"subtract", &prim_subtract_32f, true},
        {"mul", &prim_mul_32f, true},
        {"div", &prim_div_32f, false},
    };
    for (const BinaryKernel& k : kernels) {
        for (Shape s : shapes()) {
            for (Layout l : kLayouts) {
                for (Values v : {Values::kOrdinary, Values::kSpecial, Values::kCancelling}) {
                    Case c{describe(k.name, s, l, v),
                           {Image(s.width, s.height, l), Image(s.width, s.height, l)},
                           Image(s.width, s.height, l),
                           [fn = k.fn, s](std::vector<Image>& in, Image& out) {
                               return fn(in[0].ptr(), in[0].step, in[1].ptr(), in[1].step,
                                         out.ptr(), out.step, {s.width, s.height});
                           },
                           never};
                    if (k.payload_free_when_both_nan) {
                        c.nan_operands_met = [](std::vector<Image>& in, Image&, int32_t x,
                                                int32_t y) {
                            return std::isnan(in[0].get(x, y)) && std::isnan(in[1].get(x, y));
                        };
                    }
                    fill(c.sources[0], v);
                    fill(c.sources[1], v);
                    expect_same_on_both_paths(c);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

// The division's status must come from wherever the one zero divisor lies: in a full vector or
// in the scalar tail of any row.
TEST(PlainPaths, DivisionReportsAZeroDivisorAnywhere) {
    if (!prim_eight_lanes_available(0)) GTEST_SKIP() << "no AVX2 on this machine";
    for (int32_t w = 1; w <= 40; ++w) {
        for (float zero : {0.0f, -0.0f, from_bits(0x7FC00001u)}) {
            for (int32_t x = 0; x < w; x += 3) {
                Case c{"div " + std::to_string(w) + "x3, divisor " + std::to_string(bits(zero)) +
                           " at x " + std::to_string(x),
                       {Image(w, 3, kGapped), Image(w, 3, kGapped)},
                       Image(w, 3, kGapped),
                       [w](std::vector<Image>& in, Image& out) {
                           return prim_div_32f(in[0].ptr(), in[0].step, in[1].ptr(), in[1].step,
                                               out.ptr(), out.step, {w, 3});
                       },
                       never};
                fill(c.sources[0], Values::kOrdinary);
                fill(c.sources[1], Values::kOrdinary);
                c.sources[0].set(x, 2, zero);
                expect_same_on_both_paths(c);
                if (HasFatalFailure()) return;
                // Both paths agreeing on a wrong status would slip through the comparison.
                Image q(w, 3, kGapped);
                EXPECT_EQ(prim_div_32f(c.sources[0].ptr(), c.sources[0].step, c.sources[1].ptr(),
                                       c.sources[1].step, q.ptr(), q.step, {w, 3}),
                          prim_warn_div_by_zero)
                    << c.what;
            }
        }
    }
}

TEST(PlainPaths, OneSourceKernelsStoreTheSameBits) {
    if (!prim_eight_lanes_available(0)) GTEST_SKIP() << "no AVX2 on this machine";
    for (Shape s : shapes()) {
        for (Layout l : kLayouts) {
            for (Values v : {Values::kOrdinary, Values::kSpecial, Values::kCancelling}) {
                const float value = any_float(Values::kSpecial);
                const Size roi{s.width, s.height};
                std::vector<Case> cases;
                cases.push_back(
                    Case{describe("add_const_inplace", s, l, v),
                         {},
                         Image(s.width, s.height, l),
                         [roi, value](std::vector<Image>&, Image& out) {
                             return prim_add_const_inplace_32f(value, out.ptr(), out.step, roi);
                         },
                         [value](std::vector<Image>&, Image& old, int32_t x, int32_t y) {
                             return std::isnan(value) && std::isnan(old.get(x, y));
                         }});
                cases.push_back(Case{describe("sqr", s, l, v),
                                     {Image(s.width, s.height, l)},
                                     Image(s.width, s.height, l),
                                     [roi](std::vector<Image>& in, Image& out) {
                                         return prim_sqr_32f(in[0].ptr(), in[0].step, out.ptr(),
                                                             out.step, roi);
                                     },
                                     never});
                cases.push_back(Case{describe("set", s, l, v),
                                     {},
                                     Image(s.width, s.height, l),
                                     [roi, value](std::vector<Image>&, Image& out) {
                                         return prim_set_32f(value, out.ptr(), out.step, roi);
                                     },
                                     never});
                cases.push_back(Case{describe("copy", s, l, v),
                                     {Image(s.width, s.height, l)},
                                     Image(s.width, s.height, l),
                                     [roi](std::vector<Image>& in, Image& out) {
                                         return prim_copy_32f(in[0].ptr(), in[0].step, out.ptr(),
                                                              out.step, roi);
                                     },
                                     never});
                for (Case& c : cases) {
                    for (Image& p : c.sources) fill(p, v);
                    fill(c.dst, v);
                    expect_same_on_both_paths(c);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

// The running average takes whole-float steps only; packed rows are folded into one run.
TEST(PlainPaths, RunningAverageStoresTheSameBits) {
    if (!prim_eight_lanes_available(0)) GTEST_SKIP() << "no AVX2 on this machine";
    const float alphas[] = {0.03f,
                            0.5f,
                            1.0f,
                            0.0f,
                            -0.0f,
                            2.0f,
                            from_bits(0x00000003u),
                            INFINITY,
                            from_bits(0x7FC01234u)};
    int32_t next_alpha = 0;
    for (Shape s : shapes()) {
        for (Layout l : {kContiguous, kGapped}) {
            for (Values v : {Values::kOrdinary, Values::kSpecial, Values::kCancelling}) {
                const float alpha = alphas[next_alpha++ % std::size(alphas)];
                const Size roi{s.width, s.height};
                Case c{
                    describe("add_weighted_inplace", s, l, v) + " alpha " + std::to_string(alpha),
                    {Image(s.width, s.height, l)},
                    Image(s.width, s.height, l),
                    [roi, alpha](std::vector<Image>& in, Image& out) {
                        return prim_add_weighted_inplace_32f(in[0].ptr(), in[0].step, out.ptr(),
                                                             out.step, roi, alpha);
                    },
                    [alpha](std::vector<Image>& in, Image& old, int32_t x, int32_t y) {
                        return int(!std::isfinite(alpha)) + int(!std::isfinite(in[0].get(x, y))) +
                                   int(!std::isfinite(old.get(x, y))) >=
                               2;
                    }};
                fill(c.sources[0], v);
                fill(c.dst, v);
                expect_same_on_both_paths(c);
                if (HasFatalFailure()) return;
            }
        }
    }
}

// ---- filters ------------------------------------------------------------------------------------
// Kernel sizes 1..7 at every anchor from -1 to the size, and two long kernels (which take another
// route along rows) at three anchors. The source has a margin of kMargin pixels on every side,
// enough for 20 taps at anchors -1..20.
constexpr int32_t kMargin = 21;

std::vector<std::pair<int32_t, int32_t>> sizes_and_anchors() {
    std::vector<std::pair<int32_t, int32_t>> list;
    for (int32_t size = 1; size <= 7; ++size)
        for (int32_t anchor = -1; anchor <= size; ++anchor) list.push_back({size, anchor});
    for (int32_t size : {17, 20})
        for (int32_t anchor : {-1, size / 2, size}) list.push_back({size, anchor});
    return list;
}

TEST(PlainPaths, FiltersStoreTheSameBitsForEverySizeAndAnchor) {
    if (!prim_eight_lanes_available(0)) GTEST_SKIP() << "no AVX2 on this machine";
    std::vector<Shape> list = shapes();
    for (bool column : {false, true}) {
        for (const auto& size_anchor : sizes_and_anchors()) {
            const int32_t size = size_anchor.first, anchor = size_anchor.second;
            for (std::size_t si = 0; si < list.size(); ++si) {
                const Shape s = list[si];
                // The large image once per kernel size, not for every anchor.
                if (s.width > 40 && anchor != size / 2) continue;
                const Layout l = (si % 2) ? kGapped : kContiguous;
                const Values v = si % 3 == 0   ? Values::kSpecial
                                 : si % 3 == 1 ? Values::kCancelling
                                               : Values::kOrdinary;
                std::vector<float> kernel(static_cast<std::size_t>(size));
                for (float& k : kernel) {
                    k = any_float(si % 5 == 4 ? Values::kSpecial : v);
                }
                const Size roi{s.width, s.height};
                Case c{describe(column ? "filter_column" : "filter_row", s, l, v) + " size " +
                           std::to_string(size) + " anchor " + std::to_string(anchor),
                       {Image(s.width + 2 * kMargin, s.height + 2 * kMargin, l)},
                       Image(s.width, s.height, l),
                       [=](std::vector<Image>& in, Image& out) {
                           const float* origin = in[0].at(kMargin, kMargin);
                           return column
                                      ? prim_filter_column_32f(origin, in[0].step, out.ptr(),
                                                               out.step, roi, kernel.data(), size,
                                                               anchor)
                                      : prim_filter_row_32f(origin, in[0].step, out.ptr(), out.step,
                                                            roi, kernel.data(), size, anchor);
                       },
                       // Two non-finite values among the window and the coefficients are
                       // needed for two different NaNs to meet.
                       [=](std::vector<Image>& in, Image&, int32_t x, int32_t y) {
                           int32_t non_finite = 0;
                           for (int32_t k = 0; k < size; ++k) {
                               const int32_t o = anchor - k;
                               const float p = column ? in[0].get(x + kMargin, y + kMargin + o)
                                                      : in[0].get(x + kMargin + o, y + kMargin);
                               non_finite += !std::isfinite(p);
                               non_finite += !std::isfinite(kernel[std::size_t(k)]);
                           }
                           return non_finite >= 2;
                       }};
                fill(c.sources[0], v);
                expect_same_on_both_paths(c);
                if (HasFatalFailure()) return;
            }
        }
    }
}

}  // namespace
