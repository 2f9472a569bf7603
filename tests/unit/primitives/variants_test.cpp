// Every kernel in every variant column against the plain column, on this machine.
//
// prim_fill_slots(k) points every slot at column k; column 3 runs twice where the machine has
// AVX2, once on its eight-lane path and once held to four lanes. Each case runs the plain
// variant and the column under test on identical copies of the same images and compares the
// whole buffers, gaps and guards included: bit for bit where all variants promise the same bits,
// within the stated rounding where they do not (filters, division, running average), and always
// the same status and the same untouched floats outside the region.
#include <gtest/gtest.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "primitives/primitives.hpp"
#include "primitives/test_images.hpp"

namespace {

// ---- columns ------------------------------------------------------------------------------------
struct Column {
    int32_t k;
    bool wide;  // column 3 on its eight-lane path
    std::string name;
};

// The columns compared with the plain one, each a test instance of its own (named column1,
// column2, column3_four_lanes, column3_eight_lanes), so that one column can be selected or skipped
// by a filter.
std::vector<Column> variant_columns() {
    std::vector<Column> list = {
        {1, false, "column 1"}, {2, false, "column 2"}, {3, false, "column 3 (four lanes)"}};
    if (prim_eight_lanes_available(3)) list.push_back({3, true, "column 3 (eight lanes)"});
    return list;
}
void PrintTo(const Column& c, std::ostream* os) {
    *os << c.name;
}
std::string test_name_of(const ::testing::TestParamInfo<Column>& info) {
    std::string name;
    for (char c : info.param.name) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += c;
        } else if (c == ' ' && !name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    // "column_1" reads "column1"; "column_3_four_lanes" keeps its words apart.
    return name.substr(0, 6) + name.substr(7);
}

// The column of the running test instance; the sweeps below run every case on it.
const Column* g_column_under_test = nullptr;
std::vector<Column> columns_under_test() {
    return {*g_column_under_test};
}

class Variants : public ::testing::TestWithParam<Column> {
  protected:
    void SetUp() override { g_column_under_test = &GetParam(); }
    void TearDown() override { g_column_under_test = nullptr; }
};

// Fills every slot from one column for the life of the scope; the slots go back to column 0.
class UseColumn {
  public:
    UseColumn(int32_t k, bool wide) {
        prim_use_eight_lanes(wide);
        EXPECT_EQ(prim_fill_slots(k), 1) << "column " << k << " lacks a variant";
    }
    ~UseColumn() {
        prim_use_eight_lanes(true);
        prim_fill_slots(0);
    }
};

// ---- images -------------------------------------------------------------------------------------
using namespace prim_test;

// The layouts every kernel is swept over.
const Layout kLayouts[] = {kAligned, kContiguous, kUnaligned, kOddStep};

// Distance in units in the last place between two finite floats of the same sign.
int64_t ulp_distance(float a, float b) {
    auto key = [](float f) {
        const int32_t i = std::bit_cast<int32_t>(f);
        return i < 0 ? int64_t{INT32_MIN} - i : int64_t{i};
    };
    return std::llabs(key(a) - key(b));
}

// ---- value generators ---------------------------------------------------------------------------
std::mt19937& rng() {
    static std::mt19937 engine(20261207);
    return engine;
}
float uniform(float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng());
}

// Ordinary values of mixed sign and size.
float ordinary() {
    return uniform(-1000.0f, 1000.0f) * std::pow(2.0f, float(int(rng()() % 16)) - 8);
}

// Any float at all, special values often: NaNs with payloads, infinities, signed zeros,
// subnormals and the largest finite values.
float any_float() {
    switch (rng()() % 10) {
        case 0:
            return from_bits(rng()());  // any bit pattern, signalling NaNs included
        case 1:
            return from_bits(0x00000001u + (rng()() & 0x007FFFFFu));  // subnormal
        case 2:
            return -0.0f;
        case 3:
            return (rng()() & 1) ? INFINITY : -INFINITY;
        case 4:
            return (rng()() & 1) ? 3.4e38f : -3.4e38f;
        default:
            return ordinary();
    }
}

// ---- comparison ---------------------------------------------------------------------------------
const Tolerance kSameBits = [](float v, float p, int32_t, int32_t) {
    return bits(v) == bits(p) || (std::isnan(v) && std::isnan(p));
};
const Tolerance kExactBits = [](float v, float p, int32_t, int32_t) { return bits(v) == bits(p); };

// Runs `call` on a fresh copy of `dst` in column 0 and in every column under test, and checks
// status and destination. `call` receives the destination image.
void compare_columns(const std::string& what, const Image& dst,
                     const std::function<PrimStatus(Image&)>& call, const Tolerance& tolerance) {
    Image plain = dst;
    const PrimStatus plain_status = call(plain);
    for (const Column& c : columns_under_test()) {
        Image got = dst;
        PrimStatus status;
        {
            UseColumn use(c.k, c.wide);
            status = call(got);
        }
        EXPECT_EQ(status, plain_status) << what << ", " << c.name;
        EXPECT_TRUE(same_outside_and_close_inside(got, plain, tolerance)) << what << ", " << c.name;
    }
}

// The sizes every kernel is swept over: every tail length, and one large region (above the
// streaming thresholds of the copy and the fill).
struct Shape {
    int32_t width, height;
};
std::vector<Shape> sweep_shapes() {
    std::vector<Shape> shapes;
    for (int32_t w = 1; w <= 40; ++w) shapes.push_back({w, w % 3 == 0 ? 1 : 3});
    shapes.push_back({1000, 300});
    return shapes;
}

// A contiguous region above 4 MiB, where the column-3 results bypass the cache.
constexpr Shape kHuge{1024, 1100};
std::vector<Shape> sweep_shapes_and_huge() {
    std::vector<Shape> shapes = sweep_shapes();
    shapes.push_back(kHuge);
    return shapes;
}
bool skip(Shape s, Layout l) {
    return s.width == kHuge.width && s.height == kHuge.height && l != kContiguous;
}

std::string describe(const char* kernel, Shape s, Layout l) {
    return std::string(kernel) + " " + std::to_string(s.width) + "x" + std::to_string(s.height) +
           " " + l.name;
}

// ---- copy and fill ------------------------------------------------------------------------------
TEST_P(Variants, CopyAndFillMoveTheSameBitsInEveryColumn) {
    for (Shape s : sweep_shapes_and_huge()) {
        for (Layout l : kLayouts) {
            if (skip(s, l)) continue;
            Image src(s.width, s.height, l);
            src.fill(any_float);
            // The destination's rows lie differently from the source's.
            const Layout dl = l == kContiguous ? kContiguous : kUnaligned;
            Image dst(s.width, s.height, dl);
            compare_columns(
                describe("copy", s, l), dst,
                [&](Image& d) {
                    return prim_copy_32f(src.ptr(), src.step, d.ptr(), d.step, {s.width, s.height});
                },
                kExactBits);
            for (uint32_t pattern :
                 {0x7F800001u /* signalling NaN */, 0x80000000u, 0x00000003u, bits(1.5f)}) {
                compare_columns(
                    describe("set", s, l), src,
                    [&](Image& d) {
                        return prim_set_32f(from_bits(pattern), d.ptr(), d.step,
                                            {s.width, s.height});
                    },
                    kExactBits);
            }
        }
    }
}

// ---- element-wise kernels with identical results ------------------------------------------------
struct ElementwiseKernel {
    const char* name;
    // Calls the kernel with sources a, b and destination d over `roi`.
    std::function<PrimStatus(Image& a, Image& b, Image& d, Size roi)> call;
    bool raw_steps;  // takes its steps unchanged (the square kernel truncates them)
};

std::vector<ElementwiseKernel> bit_identical_kernels() {
    return {
        {"add",
         [](Image& a, Image& b, Image& d, Size r) {
             return prim_add_32f(a.ptr(), a.step, b.ptr(), b.step, d.ptr(), d.step, r);
         },
         true},
        {"subtract",
         [](Image& a, Image& b, Image& d, Size r) {
             return prim_subtract_32f(a.ptr(), a.step, b.ptr(), b.step, d.ptr(), d.step, r);
         },
         true},
        {"mul",
         [](Image& a, Image& b, Image& d, Size r) {
             return prim_mul_32f(a.ptr(), a.step, b.ptr(), b.step, d.ptr(), d.step, r);
         },
         true},
        {"sqr",
         [](Image& a, Image&, Image& d, Size r) {
             return prim_sqr_32f(a.ptr(), a.step, d.ptr(), d.step, r);
         },
         false},
        {"add_const_inplace",
         [](Image& a, Image&, Image& d, Size r) {
             // In place on the destination, which starts as a copy of source a's values.
             for (int32_t y = 0; y < r.height; ++y)
                 for (int32_t x = 0; x < r.width; ++x) d.set(x, y, a.get(x, y));
             return prim_add_const_inplace_32f(-2.75f, d.ptr(), d.step, r);
         },
         true},
    };
}

TEST_P(Variants, ElementwiseKernelsStoreTheSameBitsInEveryColumn) {
    for (const ElementwiseKernel& k : bit_identical_kernels()) {
        for (Shape s : sweep_shapes_and_huge()) {
            for (Layout l : kLayouts) {
                if (skip(s, l) || (l == kOddStep && !k.raw_steps)) continue;
                Image a(s.width, s.height, l), b(s.width, s.height, l);
                a.fill(any_float);
                b.fill(any_float);
                Image dst(s.width, s.height, l);
                compare_columns(
                    describe(k.name, s, l), dst,
                    [&](Image& d) {
                        return k.call(a, b, d, {s.width, s.height});
                    },
                    kSameBits);
            }
        }
    }
}

TEST_P(Variants, ElementwiseKernelsMayWriteOverTheirFirstSource) {
    // dst == src1 (same address and step): every element is read before it is written.
    for (const ElementwiseKernel& k : bit_identical_kernels()) {
        Image a(37, 5, kAligned), b(37, 5, kAligned);
        a.fill(ordinary);
        b.fill(ordinary);
        compare_columns(
            std::string(k.name) + " in place", a,
            [&](Image& d) {
                return k.call(d, b, d, {37, 5});
            },
            kSameBits);
    }
}

// ---- division -----------------------------------------------------------------------------------
PrimStatus divide(Image& divisor, Image& dividend, Image& q, Size roi) {
    return prim_div_32f(divisor.ptr(), divisor.step, dividend.ptr(), dividend.step, q.ptr(), q.step,
                        roi);
}

// Quotients of ordinary operands: the block methods are allowed a few units in the last place
// (one Newton step on a 12-bit estimate; one reciprocal per four in double).
const Tolerance kQuotientTolerance = [](float v, float p, int32_t, int32_t) {
    if (bits(v) == bits(p) || (std::isnan(v) && std::isnan(p))) return true;
    return std::isfinite(v) && std::isfinite(p) && std::signbit(v) == std::signbit(p) &&
           ulp_distance(v, p) <= 4;
};

float divisor_value() {
    const float mag = uniform(0.01f, 100.0f);
    return (rng()() & 1) ? mag : -mag;
}

TEST_P(Variants, DivisionStaysWithinAFewUlpAndKeepsTheZeroDivisorRule) {
    for (Shape s : sweep_shapes_and_huge()) {
        for (Layout l : kLayouts) {
            if (skip(s, l)) continue;
            Image d(s.width, s.height, l), n(s.width, s.height, l), q(s.width, s.height, l);
            // Zero divisors (both signs, over every sign of dividend) at a few places only, so
            // that most blocks take the block method.
            d.fill([](int32_t x, int32_t y) {
                if ((x * 7 + y * 3) % 29 == 11) return (x & 1) ? -0.0f : 0.0f;
                return divisor_value();
            });
            n.fill([](int32_t x, int32_t) {
                switch (x % 13) {
                    case 0:
                        return 0.0f;
                    case 1:
                        return -0.0f;
                    case 2:
                        return from_bits(0x7FC01234);
                    default:
                        return ordinary();
                }
            });
            compare_columns(
                describe("div", s, l), q,
                [&](Image& out) {
                    return divide(d, n, out, {s.width, s.height});
                },
                [&](float v, float p, int32_t x, int32_t y) {
                    // Every zero divisor gets the reference value at its own place.
                    if (d.get(x, y) == 0.0f) return bits(v) == bits(p);
                    return kQuotientTolerance(v, p, x, y);
                });
        }
    }
}

TEST_P(Variants, DivisionStatusFollowsTheZeroDivisorsInEveryColumn) {
    // A row of 40 with one zero or NaN divisor at element 20: only that element holds the
    // special value, and the status is the warning; without it the status is prim_ok even where
    // quotients overflow. Element 20 lies inside a block of the block methods; in the groups of
    // four of column 1 a NaN divisor sends its group to the reference rule as a zero does (in
    // the blocks of eight of columns 2 and 3 a NaN does not count).
    struct Case {
        const char* name;
        float divisor_at_20;  // 0.5 like the others: no special divisor
        float dividend;
        PrimStatus expected;
    };
    const Case cases[] = {
        {"zero divisor, positive dividend", 0.0f, 3.0f, prim_warn_div_by_zero},
        {"zero divisor, negative dividend", 0.0f, -3.0f, prim_warn_div_by_zero},
        {"zero divisor, zero dividend", 0.0f, 0.0f, prim_warn_div_by_zero},
        {"NaN divisor, positive dividend", std::numeric_limits<float>::quiet_NaN(), 3.0f,
         prim_warn_div_by_zero},
        {"NaN divisor, negative dividend", std::numeric_limits<float>::quiet_NaN(), -3.0f,
         prim_warn_div_by_zero},
        {"no zero divisor, overflowing quotients", 0.5f, 3.0e38f, prim_ok},
    };
    for (const Case& c : cases) {
        const bool special = c.divisor_at_20 != 0.5f;
        Image d(40, 1, kAligned), n(40, 1, kAligned), q(40, 1, kAligned);
        d.fill([&](int32_t x, int32_t) { return x == 20 ? c.divisor_at_20 : 0.5f; });
        n.fill([&] { return c.dividend; });
        for (const Column& col : columns_under_test()) {
            if (std::isnan(c.divisor_at_20) && col.k >= 2) continue;
            Image out = q;
            UseColumn use(col.k, col.wide);
            EXPECT_EQ(divide(d, n, out, {40, 1}), c.expected) << c.name << ", " << col.name;
            for (int32_t x = 0; x < 40; ++x) {
                const float v = out.get(x, 0);
                if (special && x == 20) {
                    const uint32_t want = c.dividend > 0   ? 0x7F800000u
                                          : c.dividend < 0 ? 0xFF800000u
                                                           : 0xFFC00000u;
                    EXPECT_EQ(bits(v), want) << c.name << ", " << col.name;
                } else {
                    EXPECT_TRUE(std::isfinite(v) || c.dividend == 3.0e38f)
                        << c.name << ", " << col.name << ", element " << x << " = " << v;
                }
            }
        }
    }
}

// The block methods, exactly as stated: classes 2 and 3 take ((r + r) - (d * r) * r) * n in
// single precision with the processor's reciprocal estimate; class 1 takes one reciprocal of
// (d0 d1)(d2 d3) per group of four in double. A block with a zero divisor, the elements past the
// last multiple of 8 and every row shorter than 32 follow the reference rule (the plain bits).
// Built for SSE whatever the test program's own target (the 32-bit builds' is x87 only).
__attribute__((target("sse"))) float refined_estimate_quotient(float d, float n) {
    const __m128 dv = _mm_set_ss(d);
    const __m128 r = _mm_rcp_ss(dv);
    const __m128 t = _mm_sub_ss(_mm_add_ss(r, r), _mm_mul_ss(_mm_mul_ss(dv, r), r));
    return _mm_cvtss_f32(_mm_mul_ss(t, _mm_set_ss(n)));
}

void group_of_four_quotients(const float* d, const float* m, float* q) {
    const double d01 = double(d[0]) * d[1], d23 = double(d[2]) * d[3];
    const double r = 1.0 / (d01 * d23), a = d23 * r, b = d01 * r;
    q[0] = float(d[1] * (m[0] * a));
    q[1] = float((m[1] * a) * d[0]);
    q[2] = float((m[2] * b) * d[3]);
    q[3] = float((m[3] * b) * d[2]);
}

TEST_P(Variants, DivisionBlockMethodsFollowTheStatedOrder) {
    for (int32_t width : {31, 32, 45, 64}) {
        Image d(width, 2, kAligned), n(width, 2, kAligned);
        // One zero divisor in the second block of row 1 sends that whole block (and, in column
        // 1, its group of four) to the reference rule.
        d.fill([](int32_t x, int32_t y) { return y == 1 && x == 10 ? 0.0f : divisor_value(); });
        n.fill(ordinary);
        Image plain(width, 2, kAligned);
        divide(d, n, plain, {width, 2});
        for (const Column& col : columns_under_test()) {
            Image out(width, 2, kAligned);
            {
                UseColumn use(col.k, col.wide);
                divide(d, n, out, {width, 2});
            }
            for (int32_t y = 0; y < 2; ++y) {
                for (int32_t x = 0; x < width; ++x) {
                    const bool block = width >= 32 && x < (width & ~7);
                    const bool zero_block = y == 1 && x / 8 == 1;
                    const bool zero_group = y == 1 && x / 4 == 2;
                    float want = plain.get(x, y);
                    if (block && col.k >= 2 && !zero_block) {
                        want = refined_estimate_quotient(d.get(x, y), n.get(x, y));
                    } else if (block && col.k == 1 && !zero_group) {
                        float dg[4], mg[4], qg[4];
                        for (int i = 0; i < 4; ++i) {
                            dg[i] = d.get(x / 4 * 4 + i, y);
                            mg[i] = n.get(x / 4 * 4 + i, y);
                        }
                        group_of_four_quotients(dg, mg, qg);
                        want = qg[x % 4];
                    }
                    ASSERT_EQ(bits(out.get(x, y)), bits(want))
                        << col.name << ", width " << width << ", element (" << x << ", " << y
                        << ")";
                }
            }
        }
    }
}

TEST_P(Variants, DivisionMayOverwriteItsDividend) {
    Image d(48, 3, kAligned), n(48, 3, kAligned);
    d.fill(divisor_value);
    n.fill(ordinary);
    compare_columns(
        "div into its dividend", n,
        [&](Image& out) {
            return divide(d, out, out, {48, 3});
        },
        kQuotientTolerance);
}

// ---- filters ------------------------------------------------------------------------------------
struct FilterCase {
    std::string name;
    std::vector<float> taps;
    int32_t anchor;
};

std::vector<FilterCase> filter_cases() {
    std::vector<float> long_kernel(40);
    for (size_t i = 0; i < long_kernel.size(); ++i) long_kernel[i] = uniform(-1.0f, 1.0f);
    return {
        {"smoothing 5", {0.12109375f, 0.234375f, 0.2890625f, 0.234375f, 0.12109375f}, 2},
        {"derivative 5", {-0.11328125f, 0.88671875f, 0.0f, -0.88671875f, 0.11328125f}, 2},
        {"one tap", {1.7f}, 0},
        {"two taps", {0.3f, -1.1f}, 1},
        {"three taps, anchor -1", {1.0f, 0.0f, -1.0f}, -1},
        {"seven taps, anchor 7", {0.1f, 0.2f, 0.3f, 0.4f, 0.3f, 0.2f, 0.1f}, 7},
        {"40 taps (scratch block from the heap)", long_kernel, 17},
    };
}

// A sum of n single-precision products, each product and each addition rounded once, lies
// within (n + 1) units of rounding (2^-24) of the sum of the products' magnitudes from the exact
// value; the plain variant is correctly rounded from double sums, so the two differ by at most
// that plus half a unit in the last place.
Tolerance filter_tolerance(size_t taps, const std::function<double(int32_t, int32_t)>& magnitude) {
    return [=](float v, float p, int32_t x, int32_t y) {
        const double bound = double(taps + 2) * std::ldexp(magnitude(x, y), -24);
        return std::fabs(double(v) - double(p)) <= bound;
    };
}

TEST_P(Variants, FiltersDifferFromThePlainSumsOnlyByRounding) {
    for (const FilterCase& fc : filter_cases()) {
        const int32_t k = int32_t(fc.taps.size());
        const int32_t margin = std::max(k + 2, std::abs(fc.anchor) + k + 1);
        for (Shape s : sweep_shapes()) {
            if (s.width == 1000 && k > 5) continue;  // the large image once per common kernel
            for (Layout l : {kAligned, kUnaligned}) {
                for (bool vertical : {false, true}) {
                    // The source region sits inside a larger image that supplies the margin.
                    Image src(s.width + 2 * margin, s.height + 2 * margin, l);
                    src.fill(ordinary);
                    Image dst(s.width, s.height, l);
                    const float* origin = src.at(margin, margin);
                    // Sum of |kernel[k] x source pixel| over the window of output (x, y).
                    const auto magnitude = [&, vertical](int32_t x, int32_t y) {
                        double sum = 0;
                        for (int32_t t = 0; t < k; ++t) {
                            const int32_t off = fc.anchor - t;
                            const float pixel = vertical ? src.get(margin + x, margin + y + off)
                                                         : src.get(margin + x + off, margin + y);
                            sum += std::fabs(double(fc.taps[size_t(t)]) * pixel);
                        }
                        return sum;
                    };
                    const std::string what =
                        describe(vertical ? "filter_column" : "filter_row", s, l) + ", " + fc.name;
                    compare_columns(
                        what, dst,
                        [&](Image& d) {
                            auto* fn = vertical ? &prim_filter_column_32f : &prim_filter_row_32f;
                            return fn(origin, src.step, d.ptr(), d.step, {s.width, s.height},
                                      fc.taps.data(), k, fc.anchor);
                        },
                        filter_tolerance(fc.taps.size(), magnitude));
                }
            }
        }
    }
}

// A pixel does not depend on the loop that computed it: narrow regions give the same bits as
// the same pixels of a wide one, in every column.
TEST_P(Variants, FilterPixelsDoNotDependOnRegionWidth) {
    const std::vector<float> taps = {0.12109375f, 0.234375f, 0.2890625f, 0.234375f, 0.12109375f};
    Image src(80, 12, kAligned);
    src.fill(ordinary);
    for (const Column& col : columns_under_test()) {
        UseColumn use(col.k, col.wide);
        for (bool vertical : {false, true}) {
            auto* fn = vertical ? &prim_filter_column_32f : &prim_filter_row_32f;
            Image wide(70, 4, kAligned);
            fn(src.at(5, 4), src.step, wide.ptr(), wide.step, {70, 4}, taps.data(), 5, 2);
            for (int32_t w : {1, 2, 3, 5, 7, 9, 17}) {
                Image narrow(w, 4, kAligned);
                fn(src.at(5 + 3, 4), src.step, narrow.ptr(), narrow.step, {w, 4}, taps.data(), 5,
                   2);
                for (int32_t y = 0; y < 4; ++y)
                    for (int32_t x = 0; x < w; ++x)
                        ASSERT_EQ(bits(narrow.get(x, y)), bits(wide.get(x + 3, y)))
                            << col.name << (vertical ? " column" : " row") << " filter, width " << w
                            << ", pixel (" << x << ", " << y << ")";
            }
        }
    }
}

// Kernels long enough to need a heap scratch block still filter, and give the same pixels, when
// the allocation fails; short kernels allocate nothing at all.
std::atomic<int> g_allocations{0};
float* counting_failing_malloc(int32_t, int32_t, int32_t* step) {
    ++g_allocations;
    if (step != nullptr) *step = 0;
    return nullptr;
}

TEST_P(Variants, FilterScratchBlockFailureFallsBackAndShortKernelsDoNotAllocate) {
    std::vector<float> taps(40);
    for (float& t : taps) t = uniform(-1.0f, 1.0f);
    const std::vector<float> five = {0.1f, 0.2f, 0.4f, 0.2f, 0.1f};
    Image src(140, 100, kAligned);
    src.fill(ordinary);
    for (const Column& col : columns_under_test()) {
        for (bool vertical : {false, true}) {
            auto* fn = vertical ? &prim_filter_column_32f : &prim_filter_row_32f;
            Image with_block(50, 20, kAligned), without_block(50, 20, kAligned);
            UseColumn use(col.k, col.wide);
            ASSERT_EQ(fn(src.at(45, 45), src.step, with_block.ptr(), with_block.step, {50, 20},
                         taps.data(), 40, 20),
                      prim_ok);

            const PrimFn saved = prim_slots::malloc_32f.load();
            prim_slots::malloc_32f.store(reinterpret_cast<PrimFn>(&counting_failing_malloc));
            g_allocations = 0;
            const PrimStatus status = fn(src.at(45, 45), src.step, without_block.ptr(),
                                         without_block.step, {50, 20}, taps.data(), 40, 20);
            const int long_allocations = g_allocations.exchange(0);
            Image short_out(50, 20, kAligned);
            fn(src.at(45, 45), src.step, short_out.ptr(), short_out.step, {50, 20}, five.data(), 5,
               2);
            const int short_allocations = g_allocations.load();
            prim_slots::malloc_32f.store(saved);

            EXPECT_EQ(status, prim_ok) << col.name;
            EXPECT_EQ(short_allocations, 0) << col.name << ": a 5-tap filter allocated";
            if (col.k >= 2) {
                EXPECT_EQ(long_allocations, 1) << col.name;
            }
            EXPECT_TRUE(same_outside_and_close_inside(without_block, with_block, kExactBits))
                << col.name << (vertical ? " column" : " row")
                << " filter: the fallback stores other pixels";
        }
    }
}

// ---- running average ----------------------------------------------------------------------------
TEST_P(Variants, RunningAverageDiffersOnlyBySinglePrecisionRounding) {
    for (float alpha : {0.5f, 0.8867f, 0.0f, 2.0f, -0.25f}) {
        for (Shape s : sweep_shapes()) {
            for (Layout l : {kAligned, kContiguous, kUnaligned}) {
                Image src(s.width, s.height, l), acc(s.width, s.height, l);
                src.fill(ordinary);
                acc.fill(ordinary);
                // Three single-precision roundings of values no larger than the operands.
                const Tolerance close = [&](float v, float p, int32_t x, int32_t y) {
                    const float old = acc.get(x, y), in = src.get(x, y);
                    const float scale =
                        std::fabs(old) + std::fabs(alpha) * (std::fabs(in) + std::fabs(old));
                    return std::fabs(v - p) <= std::ldexp(scale, -22);
                };
                compare_columns(
                    describe("add_weighted", s, l) + ", alpha " + std::to_string(alpha), acc,
                    [&](Image& d) {
                        return prim_add_weighted_inplace_32f(src.ptr(), src.step, d.ptr(), d.step,
                                                             {s.width, s.height}, alpha);
                    },
                    close);
            }
        }
    }
}

TEST_P(Variants, RunningAverageKeepsTheEvaluationOrderForSpecialValues) {
    // +infinity in the accumulator gives NaN for alpha >= 0 (infinity - infinity, or
    // 0 x infinity) and stays +infinity for a negative alpha; -0 with alpha 0 becomes +0.
    struct Case {
        float acc, src, alpha;
        bool nan;
        float want;
    };
    const Case cases[] = {
        {INFINITY, 1.0f, 0.5f, true, 0},          {INFINITY, 1.0f, 0.0f, true, 0},
        {INFINITY, 1.0f, -1.0f, false, INFINITY}, {-0.0f, 5.0f, 0.0f, false, 0.0f},
        {1.0f, 3.0f, 2.0f, false, 5.0f},
    };
    for (const Case& c : cases) {
        for (const Column& col : columns_under_test()) {
            Image src(19, 2, kAligned), acc(19, 2, kAligned);
            src.fill([&] { return c.src; });
            acc.fill([&] { return c.acc; });
            UseColumn use(col.k, col.wide);
            ASSERT_EQ(prim_add_weighted_inplace_32f(src.ptr(), src.step, acc.ptr(), acc.step,
                                                    {19, 2}, c.alpha),
                      prim_ok);
            for (int32_t y = 0; y < 2; ++y)
                for (int32_t x = 0; x < 19; ++x) {
                    const float v = acc.get(x, y);
                    if (c.nan) {
                        EXPECT_TRUE(std::isnan(v))
                            << col.name << " acc " << c.acc << " alpha " << c.alpha;
                    } else {
                        EXPECT_EQ(bits(v), bits(c.want))
                            << col.name << " acc " << c.acc << " alpha " << c.alpha;
                    }
                }
        }
    }
}

// ---- argument checks ----------------------------------------------------------------------------
// The
// same bad arguments give the same status in every column, and touch nothing.
TEST_P(Variants, ArgumentChecksAgreeWithThePlainColumn) {
    struct Args {
        std::string name;
        bool null_src, null_dst;
        Size roi;
        int32_t src_step, dst_step;
        int32_t kernel_size;
    };
    const Args table[] = {
        {"valid", false, false, {4, 2}, 32, 32, 5},
        {"null source, width 0", true, false, {0, 2}, 32, 32, 5},
        {"null destination", false, true, {4, 2}, 32, 32, 5},
        {"width 0", false, false, {0, 2}, 32, 32, 5},
        {"height -1", false, false, {4, -1}, 32, 32, 5},
        {"width 0, steps 0", false, false, {0, 5}, 0, 0, 5},
        {"source step 0", false, false, {4, 2}, 0, 32, 5},
        {"destination step -4", false, false, {4, 2}, 32, -4, 5},
        {"source step shorter than the row", false, false, {4, 2}, 12, 32, 5},
        {"source step not whole floats", false, false, {4, 2}, 18, 32, 5},
        {"kernel size 0", false, false, {4, 2}, 32, 32, 0},
    };
    using Call = std::function<PrimStatus(const float*, int32_t, float*, int32_t, Size, int32_t)>;
    static const float taps[5] = {1, 2, 3, 2, 1};
    const std::pair<const char*, Call> kernels[] = {
        {"copy", [](const float* s, int32_t ss, float* d, int32_t ds, Size r,
                    int32_t) { return prim_copy_32f(s, ss, d, ds, r); }},
        {"set", [](const float*, int32_t, float* d, int32_t ds, Size r,
                   int32_t) { return prim_set_32f(1.0f, d, ds, r); }},
        {"add", [](const float* s, int32_t ss, float* d, int32_t ds, Size r,
                   int32_t) { return prim_add_32f(s, ss, s, ss, d, ds, r); }},
        {"subtract", [](const float* s, int32_t ss, float* d, int32_t ds, Size r,
                        int32_t) { return prim_subtract_32f(s, ss, s, ss, d, ds, r); }},
        {"mul", [](const float* s, int32_t ss, float* d, int32_t ds, Size r,
                   int32_t) { return prim_mul_32f(s, ss, s, ss, d, ds, r); }},
        {"div", [](const float* s, int32_t ss, float* d, int32_t ds, Size r,
                   int32_t) { return prim_div_32f(s, ss, s, ss, d, ds, r); }},
        {"sqr", [](const float* s, int32_t ss, float* d, int32_t ds, Size r,
                   int32_t) { return prim_sqr_32f(s, ss, d, ds, r); }},
        {"add_const_inplace", [](const float*, int32_t, float* d, int32_t ds, Size r,
                                 int32_t) { return prim_add_const_inplace_32f(1.0f, d, ds, r); }},
        {"filter_row", [](const float* s, int32_t ss, float* d, int32_t ds, Size r,
                          int32_t k) { return prim_filter_row_32f(s, ss, d, ds, r, taps, k, 0); }},
        {"filter_column",
         [](const float* s, int32_t ss, float* d, int32_t ds, Size r, int32_t k) {
             return prim_filter_column_32f(s, ss, d, ds, r, taps, k, 0);
         }},
        {"add_weighted_inplace",
         [](const float* s, int32_t ss, float* d, int32_t ds, Size r, int32_t) {
             return prim_add_weighted_inplace_32f(s, ss, d, ds, r, 0.5f);
         }},
    };
    for (const auto& [kernel, call_of] : kernels) {
        const Call& call = call_of;  // clang 14 cannot capture a structured binding
        for (const Args& a : table) {
            // 8 x 8 images; the filters read at most 4 floats before the origin.
            Image src(8, 8, kAligned);
            src.fill([](int32_t x, int32_t y) { return float(x + 10 * y); });
            Image dst(8, 8, kAligned);
            compare_columns(
                std::string(kernel) + ": " + a.name, dst,
                [&](Image& d) {
                    return call(a.null_src ? nullptr : src.at(4, 4), a.src_step,
                                a.null_dst ? nullptr : d.ptr(), a.dst_step, a.roi, a.kernel_size);
                },
                kExactBits);
        }
    }
}

// The hook changes which flavour the table names for columns 0 and 3, never more than the machine
// allows; the slots take the change when they are filled.
TEST(VariantTable, EightLaneHookOnlyEverNarrowsColumnsZeroAndThree) {
    const int32_t flavoured[] = {0, 3};
    std::vector<PrimFn> eight[4];
    for (int32_t k : flavoured) {
        EXPECT_EQ(prim_eight_lanes_in_use(k), prim_eight_lanes_available(k)) << "column " << k;
        for (const PrimDispatchEntry& e : prim_dispatch_table) eight[k].push_back(e.variant[k]);
    }
    EXPECT_FALSE(prim_eight_lanes_available(1));
    EXPECT_FALSE(prim_eight_lanes_available(2));

    EXPECT_TRUE(prim_use_eight_lanes(false));
    for (int32_t k : flavoured) {
        EXPECT_FALSE(prim_eight_lanes_in_use(k)) << "column " << k;
        ASSERT_EQ(prim_fill_slots(k), 1);
        // Only the kernels that compute have a second flavour; storage is shared.
        for (int32_t i = 3; i < prim_dispatch_count; ++i) {
            const PrimFn in_slot = prim_dispatch_table[i].slot->load();
            EXPECT_EQ(in_slot, prim_dispatch_table[i].variant[k]) << "entry " << i;
            EXPECT_EQ(in_slot != eight[k][i], prim_eight_lanes_available(k))
                << "column " << k << ", entry " << i;
        }
    }
    EXPECT_FALSE(prim_use_eight_lanes(true));
    for (int32_t k : flavoured) {
        EXPECT_EQ(prim_eight_lanes_in_use(k), prim_eight_lanes_available(k)) << "column " << k;
        for (int32_t i = 0; i < prim_dispatch_count; ++i)
            EXPECT_EQ(prim_dispatch_table[i].variant[k], eight[k][i]) << "column " << k;
    }
    prim_fill_slots(0);
}

INSTANTIATE_TEST_SUITE_P(Columns, Variants, ::testing::ValuesIn(variant_columns()), test_name_of);

}  // namespace
