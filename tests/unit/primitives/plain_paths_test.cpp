// The plain column's two paths against each other: every column-0 kernel runs on identical
// copies of the same images once held to its baseline loops and once on its eight-lane path,
// and the two runs must return the same status and leave the same bytes everywhere, region,
// row gaps and guards alike. The only freedom is the payload of a NaN result where two NaN
// operands met in one operation (IEEE lets the hardware pick either, and the compiler may swap
// the operands of a commutative operation).
//
// The eight-lane path needs AVX2; on other machines these tests are skipped.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "primitives/primitives.hpp"

namespace {

uint32_t bits_of(float f) {
    return std::bit_cast<uint32_t>(f);
}
float of_bits(uint32_t b) {
    return std::bit_cast<float>(b);
}

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
            return of_bits(0x7F800001u + rng()() % 0x007FFFFFu);  // NaN, either kind
        case 1:
            return of_bits(0x80000001u + (rng()() & 0x007FFFFEu));  // negative subnormal
        case 2:
            return of_bits(0x00000001u + (rng()() & 0x007FFFFEu));  // positive subnormal
        case 3:
            return (rng()() & 1) ? 0.0f : -0.0f;
        case 4:
            return (rng()() & 1) ? INFINITY : -INFINITY;
        case 5:
            return (rng()() & 1) ? 3.4e38f : -3.4e38f;
        case 6:
            return of_bits(0xFFC00000u);  // the default NaN
        default:
            return ordinary();
    }
}

// ---- images -------------------------------------------------------------------------------------
// How rows lie in memory: packed rows on a 32-byte boundary (the contiguous case), rows with a
// gap starting off the vector grid, and (for kernels that take any byte step) rows that start
// off the 4-byte grid.
enum class Layout { kPacked, kGapped, kByteSteps };
const char* name_of(Layout l) {
    switch (l) {
        case Layout::kPacked:
            return "packed";
        case Layout::kGapped:
            return "gapped";
        case Layout::kByteSteps:
            return "byte steps";
    }
    return "?";
}

constexpr unsigned char kGuardByte = 0xA5;

// Storage on a 32-byte boundary, so that a copy of an image has its rows at the same distances
// from the vector grid as the original.
template <class T>
struct Aligned32 {
    using value_type = T;
    Aligned32() = default;
    template <class U>
    Aligned32(const Aligned32<U>&) {}
    T* allocate(std::size_t n) {
        return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{32}));
    }
    void deallocate(T* p, std::size_t) { ::operator delete (p, std::align_val_t{32}); }
    bool operator==(const Aligned32&) const { return true; }
};

// An image in a byte buffer with 64 guard bytes on both sides; the region starts `lead` bytes
// past a 32-byte boundary.
struct Plane {
    int32_t width = 0, height = 0, step = 0;
    std::size_t lead = 0;
    std::vector<unsigned char, Aligned32<unsigned char>> store;

    Plane(int32_t w, int32_t h, Layout layout) : width(w), height(h) {
        switch (layout) {
            case Layout::kPacked:
                step = 4 * w;
                lead = 0;
                break;
            case Layout::kGapped:
                step = 4 * w + 12;
                lead = 4;
                break;
            case Layout::kByteSteps:
                step = 4 * w + 5;
                lead = 1;
                break;
        }
        store.assign(64 + lead + std::size_t(step) * std::size_t(h) + 64, kGuardByte);
    }
    unsigned char* base() { return store.data() + 64 + lead; }
    float* ptr() { return reinterpret_cast<float*>(base()); }
    std::size_t offset_of(int32_t x, int32_t y) {
        return std::size_t(base() - store.data()) + std::size_t(y) * step + std::size_t(4) * x;
    }
    float get(int32_t x, int32_t y) {
        float f;
        std::memcpy(&f, store.data() + offset_of(x, y), 4);
        return f;
    }
    void put(int32_t x, int32_t y, float f) { std::memcpy(store.data() + offset_of(x, y), &f, 4); }
    void fill(Values v) {
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) put(x, y, any_float(v));
    }
};

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
    std::vector<Plane> sources;
    Plane dst;
    std::function<PrimStatus(std::vector<Plane>&, Plane&)> call;
    std::function<bool(std::vector<Plane>&, Plane&, int32_t, int32_t)> nan_operands_met;
};

// Runs the case on both paths from identical copies and compares status and every byte.
void expect_same_on_both_paths(Case& c) {
    Plane before = c.dst;
    std::vector<Plane> src_base = c.sources, src_wide = c.sources;
    Plane dst_base = c.dst, dst_wide = c.dst;
    PrimStatus status_base, status_wide;
    {
        UsePath path(false);
        ASSERT_FALSE(prim_eight_lanes_in_use(0)) << "the hook did not hold column 0 to its baseline";
        status_base = c.call(src_base, dst_base);
    }
    {
        UsePath path(true);
        ASSERT_TRUE(prim_eight_lanes_in_use(0)) << "the hook did not restore the eight-lane path";
        status_wide = c.call(src_wide, dst_wide);
    }
    ASSERT_EQ(status_wide, status_base) << c.what;
    for (std::size_t i = 0; i < c.sources.size(); ++i) {
        ASSERT_TRUE(src_wide[i].store == c.sources[i].store) << c.what << ": a source changed";
    }
    // Which float of the region each byte belongs to (-1: outside the region).
    std::vector<int64_t> pixel_of(before.store.size(), -1);
    for (int32_t y = 0; y < before.height; ++y) {
        for (int32_t x = 0; x < before.width; ++x) {
            for (std::size_t j = 0; j < 4; ++j) {
                pixel_of[before.offset_of(x, y) + j] = int64_t{y} * before.width + x;
            }
        }
    }
    for (std::size_t i = 0; i < dst_base.store.size(); ++i) {
        if (dst_base.store[i] == dst_wide.store[i]) continue;
        const int64_t pixel = pixel_of[i];
        const int32_t x = pixel < 0 ? -1 : int32_t(pixel % before.width);
        const int32_t y = pixel < 0 ? -1 : int32_t(pixel / before.width);
        // A difference is allowed only in a float of the region that holds NaN on both paths
        // where two NaN operands met.
        const bool tolerated = pixel >= 0 && std::isnan(dst_base.get(x, y)) &&
                               std::isnan(dst_wide.get(x, y)) &&
                               c.nan_operands_met(c.sources, before, x, y);
        if (!tolerated) {
            FAIL() << c.what << ": byte " << i << " (pixel " << x << ", " << y << ") baseline 0x"
                   << std::hex
                   << (pixel < 0 ? uint32_t{dst_base.store[i]} : bits_of(dst_base.get(x, y)))
                   << ", eight lanes 0x"
                   << (pixel < 0 ? uint32_t{dst_wide.store[i]} : bits_of(dst_wide.get(x, y)));
        }
    }
}

bool never(std::vector<Plane>&, Plane&, int32_t, int32_t) {
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
           " " + name_of(l) +
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
            for (Layout l : {Layout::kPacked, Layout::kGapped, Layout::kByteSteps}) {
                for (Values v : {Values::kOrdinary, Values::kSpecial, Values::kCancelling}) {
                    Case c{describe(k.name, s, l, v),
                           {Plane(s.width, s.height, l), Plane(s.width, s.height, l)},
                           Plane(s.width, s.height, l),
                           [fn = k.fn, s](std::vector<Plane>& in, Plane& out) {
                               return fn(in[0].ptr(), in[0].step, in[1].ptr(), in[1].step,
                                         out.ptr(), out.step, {s.width, s.height});
                           },
                           never};
                    if (k.payload_free_when_both_nan) {
                        c.nan_operands_met = [](std::vector<Plane>& in, Plane&, int32_t x,
                                                int32_t y) {
                            return std::isnan(in[0].get(x, y)) && std::isnan(in[1].get(x, y));
                        };
                    }
                    c.sources[0].fill(v);
                    c.sources[1].fill(v);
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
        for (float zero : {0.0f, -0.0f, of_bits(0x7FC00001u)}) {
            for (int32_t x = 0; x < w; x += 3) {
                Case c{"div " + std::to_string(w) + "x3, divisor " + std::to_string(bits_of(zero)) +
                           " at x " + std::to_string(x),
                       {Plane(w, 3, Layout::kGapped), Plane(w, 3, Layout::kGapped)},
                       Plane(w, 3, Layout::kGapped),
                       [w](std::vector<Plane>& in, Plane& out) {
                           return prim_div_32f(in[0].ptr(), in[0].step, in[1].ptr(), in[1].step,
                                               out.ptr(), out.step, {w, 3});
                       },
                       never};
                c.sources[0].fill(Values::kOrdinary);
                c.sources[1].fill(Values::kOrdinary);
                c.sources[0].put(x, 2, zero);
                expect_same_on_both_paths(c);
                if (HasFatalFailure()) return;
                // Both paths agreeing on a wrong status would slip through the comparison.
                Plane q(w, 3, Layout::kGapped);
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
        for (Layout l : {Layout::kPacked, Layout::kGapped, Layout::kByteSteps}) {
            for (Values v : {Values::kOrdinary, Values::kSpecial, Values::kCancelling}) {
                const float value = any_float(Values::kSpecial);
                const Size roi{s.width, s.height};
                std::vector<Case> cases;
                cases.push_back(
                    Case{describe("add_const_inplace", s, l, v),
                         {},
                         Plane(s.width, s.height, l),
                         [roi, value](std::vector<Plane>&, Plane& out) {
                             return prim_add_const_inplace_32f(value, out.ptr(), out.step, roi);
                         },
                         [value](std::vector<Plane>&, Plane& old, int32_t x, int32_t y) {
                             return std::isnan(value) && std::isnan(old.get(x, y));
                         }});
                cases.push_back(Case{describe("sqr", s, l, v),
                                     {Plane(s.width, s.height, l)},
                                     Plane(s.width, s.height, l),
                                     [roi](std::vector<Plane>& in, Plane& out) {
                                         return prim_sqr_32f(in[0].ptr(), in[0].step, out.ptr(),
                                                             out.step, roi);
                                     },
                                     never});
                cases.push_back(Case{describe("set", s, l, v),
                                     {},
                                     Plane(s.width, s.height, l),
                                     [roi, value](std::vector<Plane>&, Plane& out) {
                                         return prim_set_32f(value, out.ptr(), out.step, roi);
                                     },
                                     never});
                cases.push_back(Case{describe("copy", s, l, v),
                                     {Plane(s.width, s.height, l)},
                                     Plane(s.width, s.height, l),
                                     [roi](std::vector<Plane>& in, Plane& out) {
                                         return prim_copy_32f(in[0].ptr(), in[0].step, out.ptr(),
                                                              out.step, roi);
                                     },
                                     never});
                for (Case& c : cases) {
                    for (Plane& p : c.sources) p.fill(v);
                    c.dst.fill(v);
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
    const float alphas[] = {
        0.03f, 0.5f, 1.0f, 0.0f, -0.0f, 2.0f, of_bits(0x00000003u), INFINITY, of_bits(0x7FC01234u)};
    int32_t next_alpha = 0;
    for (Shape s : shapes()) {
        for (Layout l : {Layout::kPacked, Layout::kGapped}) {
            for (Values v : {Values::kOrdinary, Values::kSpecial, Values::kCancelling}) {
                const float alpha = alphas[next_alpha++ % std::size(alphas)];
                const Size roi{s.width, s.height};
                Case c{
                    describe("add_weighted_inplace", s, l, v) + " alpha " + std::to_string(alpha),
                    {Plane(s.width, s.height, l)},
                    Plane(s.width, s.height, l),
                    [roi, alpha](std::vector<Plane>& in, Plane& out) {
                        return prim_add_weighted_inplace_32f(in[0].ptr(), in[0].step, out.ptr(),
                                                             out.step, roi, alpha);
                    },
                    [alpha](std::vector<Plane>& in, Plane& old, int32_t x, int32_t y) {
                        return int(!std::isfinite(alpha)) + int(!std::isfinite(in[0].get(x, y))) +
                                   int(!std::isfinite(old.get(x, y))) >=
                               2;
                    }};
                c.sources[0].fill(v);
                c.dst.fill(v);
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
                const Layout l = (si % 2) ? Layout::kGapped : Layout::kPacked;
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
                       {Plane(s.width + 2 * kMargin, s.height + 2 * kMargin, l)},
                       Plane(s.width, s.height, l),
                       [=](std::vector<Plane>& in, Plane& out) {
                           const float* origin = reinterpret_cast<const float*>(
                               in[0].base() + std::size_t(kMargin) * in[0].step + 4 * kMargin);
                           return column
                                      ? prim_filter_column_32f(origin, in[0].step, out.ptr(),
                                                               out.step, roi, kernel.data(), size,
                                                               anchor)
                                      : prim_filter_row_32f(origin, in[0].step, out.ptr(), out.step,
                                                            roi, kernel.data(), size, anchor);
                       },
                       // Two non-finite values among the window and the coefficients are
                       // needed for two different NaNs to meet.
                       [=](std::vector<Plane>& in, Plane&, int32_t x, int32_t y) {
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
                c.sources[0].fill(v);
                expect_same_on_both_paths(c);
                if (HasFatalFailure()) return;
            }
        }
    }
}

}  // namespace
