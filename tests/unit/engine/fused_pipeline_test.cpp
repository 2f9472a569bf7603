// The fused pipeline against the whole-image kernel sequence, bit for bit: two engines take the
// same frames, one forced onto each path, and every image either can read back must agree after
// every frame (two NaNs count as equal; the division's special values are compared by pattern).
// One parameter per variant column x mode x time rule x input filter x regularizer (the slots are
// filled from the column, so the fused engine must reproduce that column's kernels); each runs
// many geometries over twelve frames (the ring wraps twice) full of special values, in every
// row-routine flavour the processor has, with streamed and cached stores, and with one band and
// several.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine/engine_test_access.hpp"
#include "engine/fused_rows.hpp"
#include "engine/motion_engine.hpp"
#include "engine_test_support.hpp"
#include "primitives/primitives.hpp"

namespace {

using namespace engine_test;

// Frame m of a test sequence, in four kinds that take the pipeline down different roads:
//  - ordinary grey levels with fractions: every 5-tap sum is exact in double, so the rows use
//    their cheaper exact forms;
//  - large values of alternating sign with small ones between: exponent spans on both sides of
//    the limit of those forms, and cancellations that would show a sum taken in another order;
//  - every kind of value that the rules treat specially: NaN, both infinities, both zeros,
//    subnormals, magnitudes from 1e-38 to 1e38 side by side;
//  - mostly zeros of either sign: exact sums that are zero, whose sign the kernels fix.
// All three have flat patches (zero gradients, which with regularizer 0 give zero divisors).
// With `ordinary`, every frame is of the first kind: a NaN that enters the recursive It stays
// there for good, and the huge values overflow the products, so that in the mixed sequence most
// quotients are NaN, infinite or zero whatever the division does; the ordinary sequence keeps them
// numbers. A steep sequence moves steps of 2^60 over a relief of steps near 2^66 (every sum
// still exact): the gradients' squares overflow while It's stay finite, so that finite dividends
// meet infinite divisors, where one division gives a number and another NaN.
enum class Frames { mixed, ordinary, steep };
Image test_frame(int32_t columns, int32_t lines, int32_t m, Frames kind = Frames::mixed) {
    if (kind == Frames::steep) {
        Image f(columns, lines);
        for (int32_t y = 0; y < lines; ++y)
            for (int32_t x = 0; x < columns; ++x)
                f.at(x, y) = (x / 3 + y / 2) % 3 == 0 ? std::ldexp(float(x % 5 + 1), 66)
                                                      : std::ldexp(float((x + y + m) % 3), 60);
        return f;
    }
    const bool ordinary = kind == Frames::ordinary;
    std::mt19937 rng(uint32_t(m * 7919 + columns * 31 + lines));
    std::uniform_real_distribution<float> grey(0.0f, 255.0f);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              0.0f,
                              -0.0f,
                              std::numeric_limits<float>::denorm_min(),
                              -3.0e-40f,
                              1e-38f,
                              -1e38f,
                              1e38f,
                              3.4e38f,
                              1.0f};
    Image f(columns, lines);
    const float flat = grey(rng);
    if (ordinary) m = 4 * m;  // the first kind, in a sequence of its own
    for (int32_t y = 0; y < lines; ++y) {
        for (int32_t x = 0; x < columns; ++x) {
            const uint32_t pick = rng() % 16;
            float v = grey(rng);
            if (m % 4 == 1) {
                // Equal large values four pixels apart (of alternating sign in some rows), small
                // ones between them: the large terms cancel exactly.
                if (x % 4 == 0 || y % 4 == 0) {
                    const bool negative = (x / 4 + y / 4) % 2 == 1 && y % 8 < 4;
                    v = std::ldexp(negative ? -flat : flat, 18);
                } else if (pick < 8) {
                    v = std::ldexp(v, -int(rng() % 30));
                }
            }
            if (m % 4 == 2 && pick < 2) v = specials[rng() % std::size(specials)];
            if (m % 4 == 3 && pick < 12) v = pick % 2 ? 0.0f : -0.0f;
            if ((x / 6 + y / 5) % 3 == 0) v = flat;
            f.at(x, y) = v;
        }
    }
    return f;
}

struct PathCase {
    int32_t column;
    int32_t mode;
    int32_t td;
    int32_t filter;
    float regularizer;
};

std::string case_name(const PathCase& c) {
    return "column" + std::to_string(c.column) + "_" + mode_name(c.mode) + "_" +
           (c.td == TD_BATCH ? "batch" : "recursive") + "_" + (c.filter ? "filter" : "nofilter") +
           (c.regularizer == 0.0f ? "_reg0" : "_reg");
}

std::vector<PathCase> all_cases() {
    std::vector<PathCase> cases;
    for (int32_t column : {0, 1, 2, 3})
        for (int32_t mode : {FLAG_CHANGE_DETECTION, FLAG_AFFINE_PARAMS, FLAG_ORVANE, FLAG_ALL})
            for (int32_t td : {TD_RECURSIVE, TD_BATCH})
                for (int32_t filter : {0, FLAG_INPUT_FILTER})
                    for (float reg : {0.0f, 0.01f})
                        cases.push_back({column, mode, td, filter, reg});
    return cases;
}

// Every image of the engine that a host or a test can read, by name.
std::vector<std::pair<std::string, Image>> readable(const MotionEngine& e) {
    std::vector<std::pair<std::string, Image>> out;
    out.emplace_back("Is", read_bordered(e, e.get_image(EngineImage::Is)));
    for (int32_t i = 0; i < 5; ++i)
        out.emplace_back("ring " + std::to_string(i), read_bordered(e, e.get_history_ring(i)));
    if (MotionEngineTestAccess::It_prev(e) != nullptr)
        out.emplace_back("It_prev",
                         read_region(MotionEngineTestAccess::It_prev(e), e.get_plain_step(),
                                     e.get_columns(), e.get_lines()));
    const char* names[] = {"Is",  "It",  "It2", "Ix",  "Iy",  "Ix2", "Iy2",
                           "Ig2", "Ixy", "Ixt", "Iyt", "Fn2", "Un",  "Vn"};
    for (int32_t i = 1; i < 14; ++i) {
        const auto which = static_cast<EngineImage>(i);
        if (e.get_image(which) != nullptr) out.emplace_back(names[i], read_plain(e, which));
    }
    return out;
}

// The first difference between the two engines' images, or "" when all agree.
std::string first_difference(const MotionEngine& kernels, const MotionEngine& fused) {
    const auto a = readable(kernels);
    const auto b = readable(fused);
    if (a.size() != b.size()) return "different image sets";
    for (size_t i = 0; i < a.size(); ++i) {
        const Image& x = a[i].second;
        const Image& y = b[i].second;
        for (size_t p = 0; p < x.px.size(); ++p) {
            if (!same_float(x.px[p], y.px[p])) {
                return a[i].first + " at (" + std::to_string(p % size_t(x.columns)) + ", " +
                       std::to_string(p / size_t(x.columns)) + "): kernels " +
                       std::to_string(x.px[p]) + " (0x" +
                       std::to_string(std::bit_cast<uint32_t>(x.px[p])) + "), fused " +
                       std::to_string(y.px[p]) + " (0x" +
                       std::to_string(std::bit_cast<uint32_t>(y.px[p])) + ")";
            }
        }
    }
    return "";
}

// How the fused engine runs: row-routine flavour, stores and number of bands.
struct Variant {
    const engine_fused::RowOps* ops;
    StreamStores stores;
    int32_t threads;
    std::string name() const {
        return std::string(ops->name) + (stores == StreamStores::always ? " streamed" : " cached") +
               " x" + std::to_string(threads);
    }
};

// Bands and streamed stores are the same driver for every column: columns other than 0 take them
// in one combination only.
std::vector<Variant> variants(int32_t column) {
    const engine_fused::RowOps* flavours[3];
    const int32_t count = engine_fused::row_ops_available(flavours);
    std::vector<Variant> list;
    for (int32_t i = 0; i < count; ++i) list.push_back({flavours[i], StreamStores::never, 1});
    if (column == 0) {
        list.push_back({flavours[0], StreamStores::never, 3});
        list.push_back({flavours[0], StreamStores::always, 1});
    }
    list.push_back({flavours[0], StreamStores::always, 3});
    // Streamed rows without the widest flavour's one-loop sweep (processors without AVX-512).
    if (count > 1) list.push_back({flavours[count - 1], StreamStores::always, 1});
    return list;
}

// Restores the process-wide choices that the test changes.
struct FusedSettings {
    ~FusedSettings() {
        engine_fused::row_ops_choose(nullptr);
        engine_set_threads(1);
    }
};

class FusedPath : public ::testing::TestWithParam<PathCase> {
  protected:
    void SetUp() override {
        const int32_t column = GetParam().column;
        if (!MotionEngine::fused_available(column))
            GTEST_SKIP() << "this build has no fused pipeline for column " << column;
        ASSERT_EQ(prim_fill_slots(column), 1);
    }
    SlotSnapshot restore_;
    FusedSettings settings_;

    // Runs `frames` frames through both paths and reports the first disagreement.
    void expect_same(int32_t columns, int32_t lines, int32_t frames, const Variant& v,
                     Frames kind = Frames::mixed) {
        const PathCase& c = GetParam();
        engine_fused::row_ops_choose(v.ops);
        engine_set_threads(v.threads);
        MotionEngine kernels, fused;
        ASSERT_TRUE(kernels.create(columns, lines, c.regularizer, c.td, c.mode | c.filter));
        ASSERT_TRUE(fused.create(columns, lines, c.regularizer, c.td, c.mode | c.filter));
        kernels.set_path(EnginePath::kernels);
        fused.set_path(EnginePath::fused);
        fused.set_stream_stores(v.stores);
        for (int32_t m = 1; m <= frames; ++m) {
            const Image frame = test_frame(columns, lines, m, kind);
            kernels.process(frame.px.data());
            fused.process(frame.px.data());
            ASSERT_FALSE(kernels.last_frame_fused());
            ASSERT_TRUE(fused.last_frame_fused());
            const std::string diff = first_difference(kernels, fused);
            ASSERT_EQ(diff, "") << columns << "x" << lines << ", frame " << m << ", " << v.name()
                                << (kind == Frames::ordinary ? ", ordinary frames"
                                    : kind == Frames::steep  ? ", steep frames"
                                                             : "");
        }
    }
};

TEST_P(FusedPath, NarrowFramesOfEveryWidth) {
    for (const Variant& v : variants(GetParam().column))
        if (v.stores == StreamStores::never && v.threads == 1)
            for (int32_t lines : {1, 2, 3, 6})
                for (int32_t columns = 1; columns <= 40; ++columns)
                    expect_same(columns, lines, 7, v);
}

TEST_P(FusedPath, LargerAndOddFramesOverTwelveFrames) {
    const std::pair<int32_t, int32_t> sizes[] = {{4, 1}, {12, 7}, {33, 71}, {128, 128}, {1, 37}};
    for (const Variant& v : variants(GetParam().column)) {
        for (const auto& [columns, lines] : sizes) expect_same(columns, lines, 12, v);
        // Frames wide enough for the division's blocks: ordinary ones, whose quotients stay
        // numbers, and steep ones, with infinite divisors of finite dividends.
        expect_same(72, 40, 12, v, Frames::ordinary);
        expect_same(72, 40, 12, v, Frames::steep);
    }
}

// One engine that changes path between frames (the fused pipeline keeps `Is` in the ring, the
// kernel sequence needs it apart) stays bit for bit with one that runs the kernels throughout.
TEST_P(FusedPath, SwitchingPathsBetweenFrames) {
    const PathCase& c = GetParam();
    const EnginePath pattern[] = {EnginePath::fused, EnginePath::fused,   EnginePath::kernels,
                                  EnginePath::fused, EnginePath::kernels, EnginePath::kernels,
                                  EnginePath::fused};
    for (const auto& [columns, lines] : {std::pair{12, 7}, std::pair{33, 71}}) {
        MotionEngine kernels, switching;
        ASSERT_TRUE(kernels.create(columns, lines, c.regularizer, c.td, c.mode | c.filter));
        ASSERT_TRUE(switching.create(columns, lines, c.regularizer, c.td, c.mode | c.filter));
        kernels.set_path(EnginePath::kernels);
        for (int32_t m = 1; m <= 12; ++m) {
            switching.set_path(pattern[m % std::size(pattern)]);
            const Image frame = test_frame(columns, lines, m);
            kernels.process(frame.px.data());
            switching.process(frame.px.data());
            ASSERT_EQ(first_difference(kernels, switching), "")
                << columns << "x" << lines << ", frame " << m;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllModes, FusedPath, ::testing::ValuesIn(all_cases()),
                         [](const auto& param_info) { return case_name(param_info.param); });

// Frames whose results leave the cache but whose It stays in it keep no image for the previous It
// and update It in place: the kernel sequence through an image that its mode stage writes later
// (or, without a mode, the workspace), the fused pipeline row by row, streamed or cached, in one
// band or several. Both still agree bit for bit; a mode without products is held against "all",
// whose It is the same.
TEST(FusedPipeline, LargeFramesUpdateTheDerivativeInPlace) {
    if (!MotionEngine::fused_available()) GTEST_SKIP() << "this build has no fused pipeline";
    SlotSnapshot restore;
    FusedSettings settings;
    ASSERT_EQ(prim_fill_slots(0), 1);
    struct Case {
        int32_t mode, images, filter;  // images: the mode's products, It and Is
        StreamStores stores;
        int32_t threads;
        bool switching = false;  // the fused engine takes the kernels every other frame
    };
    const Case cases[] = {{FLAG_ALL, 14, FLAG_INPUT_FILTER, StreamStores::automatic, 1},
                          {FLAG_ALL, 14, 0, StreamStores::never, 1},
                          {FLAG_ALL, 14, FLAG_INPUT_FILTER, StreamStores::never, 3},
                          {FLAG_AFFINE_PARAMS, 9, FLAG_INPUT_FILTER, StreamStores::automatic, 3},
                          {FLAG_ALL, 14, FLAG_INPUT_FILTER, StreamStores::automatic, 1, true},
                          {0, 2, FLAG_INPUT_FILTER, StreamStores::automatic, 1}};
    const int32_t columns = 400;  // rows of 1600 bytes
    for (const Case& c : cases) {
        const int32_t lines = (8 << 20) / (c.images * columns * 4) + 8;
        if (3 * int64_t{columns} * 4 * lines > engine_fused::largest_cache_bytes()) continue;
        const std::string context = "mode " + std::to_string(c.mode) + ", filter " +
                                    std::to_string(c.filter) + ", " + std::to_string(c.threads) +
                                    " threads, frame ";
        engine_set_threads(c.threads);
        MotionEngine kernels, other;
        ASSERT_TRUE(kernels.create(columns, lines, 0.01f, TD_RECURSIVE, c.mode | c.filter));
        ASSERT_EQ(MotionEngineTestAccess::It_prev(kernels), nullptr) << context;
        kernels.set_path(EnginePath::kernels);
        const int32_t other_mode = c.mode != 0 ? c.mode : FLAG_ALL;
        ASSERT_TRUE(other.create(columns, lines, 0.01f, TD_RECURSIVE, other_mode | c.filter));
        other.set_path(c.mode != 0 ? EnginePath::fused : EnginePath::kernels);
        other.set_stream_stores(c.stores);
        for (int32_t m = 1; m <= 4; ++m) {
            const Image frame = test_frame(columns, lines, m);
            if (c.switching) other.set_path(m % 2 == 0 ? EnginePath::fused : EnginePath::kernels);
            kernels.process(frame.px.data());
            other.process(frame.px.data());
            if (c.mode != 0) {
                ASSERT_EQ(other.last_frame_fused(), !c.switching || m % 2 == 0) << context << m;
                ASSERT_EQ(first_difference(kernels, other), "") << context << m;
                continue;
            }
            const Image a = read_plain(kernels, EngineImage::It);
            const Image b = read_plain(other, EngineImage::It);
            for (size_t p = 0; p < a.px.size(); ++p)
                ASSERT_TRUE(same_float(a.px[p], b.px[p])) << context << m << ", pixel " << p;
        }
    }
}

// A frame allocates nothing on the fused path, with one band or several.
TEST(FusedPipeline, FramesAllocateNothing) {
    if (!MotionEngine::fused_available()) GTEST_SKIP() << "this build has no fused pipeline";
    SlotSnapshot restore;
    FusedSettings settings;
    ASSERT_EQ(prim_fill_slots(0), 1);
    for (int32_t threads : {1, 2}) {
        engine_set_threads(threads);
        MotionEngine e;
        ASSERT_TRUE(e.create(128, 96, 0.01f, TD_RECURSIVE, FLAG_ALL | FLAG_INPUT_FILTER));
        const Image frame = test_frame(128, 96, 2);
        e.process(frame.px.data());  // a first frame may start the band threads
        HeapHook heap;
        for (int m = 0; m < 6; ++m) e.process(frame.px.data());
        EXPECT_TRUE(e.last_frame_fused());
        EXPECT_EQ(heap.counters().mallocs, 0) << threads << " threads";
    }
}

// The engine recognises a column by the routines that the variant table names for it, so the
// waterfall selection must leave the slots recognisable: for a processor of every class the fused
// pipeline runs after the selection, with the columns' eight-lane flavours (the default where the
// machine has AVX2) and without them. (Builds that have no fused pipeline, the x87 code of 32-bit
// Windows, always run the kernels.)
TEST(FusedPipeline, RunsAfterTheSelectionForEveryProcessorClass) {
    SlotSnapshot restore;
    const Image frame(12, 7, 1.0f);
    for (bool eight_lanes : {true, false}) {
        prim_use_eight_lanes(eight_lanes);
        for (int32_t cpu_class = 0; cpu_class < 4; ++cpu_class) {
            ASSERT_EQ(prim_select_variants_in(prim_dispatch_table, prim_dispatch_count, cpu_class),
                      1);
            MotionEngine e;
            ASSERT_TRUE(e.create(12, 7, 0.01f, TD_RECURSIVE, FLAG_ALL));
            const bool fused = MotionEngine::fused_available(cpu_class);
            EXPECT_EQ(e.fused_selected(), fused)
                << "class " << cpu_class << ", eight lanes " << eight_lanes;
            e.process(frame.px.data());
            EXPECT_EQ(e.last_frame_fused(), fused)
                << "class " << cpu_class << ", eight lanes " << eight_lanes;
        }
    }
    prim_use_eight_lanes(true);
}

// The row pass that widens the next input row in its own loop stores what the two routines store
// one after the other, summaries included (they choose the exact forms of later sums), in every
// flavour, for rows of every kind of test frame.
TEST(FusedRows, RowPassWithTheNextRowMatchesTheTwoRoutines) {
    const double c[5] = {31.0 / 256, 60.0 / 256, 74.0 / 256, 60.0 / 256, 31.0 / 256};
    auto same = [](double x, double y) {
        return (x != x && y != y) || std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
    };
    const engine_fused::RowOps* flavours[3];
    const int32_t count = engine_fused::row_ops_available(flavours);
    for (int32_t i = 0; i < count; ++i) {
        const engine_fused::RowOps& ops = *flavours[i];
        for (int32_t n : {1, 7, 8, 9, 16, 33, 130}) {
            for (int32_t m = 0; m < 4; ++m) {
                const Image rows = test_frame(n, 2, m);  // the row pass's source, the next row
                const float* next = rows.px.data() + n;
                const auto len = static_cast<size_t>(n);
                std::vector<double> src(len + 4);
                uint32_t src_range = 0;
                ops.widen_clamped(rows.px.data(), n, src.data() + 2, &src_range);
                for (bool exact : {false, engine_fused::exact_sums(src_range)}) {
                    std::vector<double> a(len), b(len), wa(len + 4), wb(len + 4);
                    uint32_t ra = 0, rb = 0, na = 0, nb = 0;
                    ops.smooth_row(src.data() + 2, n, c, exact, a.data(), &ra);
                    ops.widen_clamped(next, n, wa.data() + 2, &na);
                    ops.smooth_row_widen(src.data() + 2, n, c, exact, b.data(), &rb, next,
                                         wb.data() + 2, &nb);
                    const std::string where = std::string(ops.name) + ", " + std::to_string(n) +
                                              " pixels, kind " + std::to_string(m);
                    EXPECT_EQ(ra, rb) << where;
                    EXPECT_EQ(na, nb) << where;
                    for (int32_t x = 0; x < n; ++x) ASSERT_TRUE(same(a[x], b[x])) << where;
                    for (int32_t x = 0; x < n + 4; ++x) ASSERT_TRUE(same(wa[x], wb[x])) << where;
                }
            }
        }
    }
}

// Column 1's quotients at ties of the subnormal range (m / d exactly halfway between two
// subnormal floats, where the groups' double arithmetic may round either way) are the groups',
// in every flavour, as the flavour without vectors writes the method out. The mode stage's
// taps (1 and -1 on the outer rows) make Iy the difference of the outer rows and Ix zero.
TEST(FusedRows, ColumnOneQuotientsAtSubnormalTiesAreTheGroups) {
    constexpr int32_t n = 64;
    const double taps[5] = {1.0, 0.0, 0.0, 0.0, -1.0};
    std::vector<double> zero(n + 4, 0.0), bottom(n + 4, 0.0);
    std::vector<float> it(n);
    for (int32_t x = 0; x < n; ++x) {
        // Lanes 0 and 2 of each group divide 2 (Ig2 = 4) into a tie, the others other numbers.
        const bool tie = x % 2 == 0;
        bottom[size_t(x) + 2] = tie ? 2.0 : double(3 + 2 * (x % 7));
        it[size_t(x)] = tie ? std::ldexp(float(2 * (x % 11) + 1), -149) : 1.0f;
    }
    const double* d[5] = {zero.data() + 2, zero.data() + 2, zero.data() + 2, zero.data() + 2,
                          bottom.data() + 2};
    auto quotients = [&](const engine_fused::RowOps& ops) {
        std::vector<std::vector<float>> images(12, std::vector<float>(n));
        engine_fused::ProductRows rows{};
        float** fields[] = {&rows.It2, &rows.Ix,  &rows.Iy,  &rows.Ix2, &rows.Iy2, &rows.Ig2,
                            &rows.Ixy, &rows.Ixt, &rows.Iyt, &rows.Fn2, &rows.Un,  &rows.Vn};
        for (size_t i = 0; i < 12; ++i) *fields[i] = images[i].data();
        ops.products_row(engine_fused::ProductSet::all, d, taps, true, it.data(), 0.0f, false,
                         rows, n, true);
        return images[11];  // Vn = Iy It / Iy^2
    };
    const std::vector<float> reference = quotients(*engine_fused::row_ops_base().column_ops(1));
    const engine_fused::RowOps* flavours[3];
    const int32_t count = engine_fused::row_ops_available(flavours);
    for (int32_t i = 0; i < count; ++i) {
        const std::vector<float> made = quotients(*flavours[i]->column_ops(1));
        for (int32_t x = 0; x < n; ++x) {
            ASSERT_TRUE(same_float(made[size_t(x)], reference[size_t(x)]))
                << flavours[i]->name << ", pixel " << x << ": " << made[size_t(x)] << " against "
                << reference[size_t(x)];
        }
    }
}

// The fused pipeline reproduces the kernels of one whole column: with the slots on any column it
// runs (where the build has it), with the kernels forced or with slots of two columns mixed the
// engine runs the kernel sequence.
TEST(FusedPipeline, RunsOnlyWhereItMatchesTheSlots) {
    SlotSnapshot restore;
    MotionEngine e;
    ASSERT_TRUE(e.create(12, 7, 0.01f, TD_RECURSIVE, FLAG_ALL));
    const Image frame(12, 7, 1.0f);
    struct Case {
        int32_t column;
        EnginePath path;
        bool fused;
        int32_t division_from = -1;  // the division slot from this column instead
    };
    const Case cases[] = {{0, EnginePath::automatic, true},     {0, EnginePath::kernels, false},
                          {1, EnginePath::automatic, true},     {2, EnginePath::fused, true},
                          {3, EnginePath::automatic, true},     {3, EnginePath::kernels, false},
                          {3, EnginePath::automatic, false, 0}, {0, EnginePath::fused, false, 1}};
    constexpr int32_t kDivisionEntry = 8;  // prim_div_32f in table order
    ASSERT_EQ(prim_dispatch_table[kDivisionEntry].slot, &prim_slots::div_32f);
    for (const Case& c : cases) {
        const bool fused = c.fused && MotionEngine::fused_available(c.column);
        ASSERT_EQ(prim_fill_slots(c.column), 1);
        if (c.division_from >= 0) {
            prim_slots::div_32f.store(prim_dispatch_table[kDivisionEntry].variant[c.division_from]);
        }
        e.set_path(c.path);
        const std::string where =
            "column " + std::to_string(c.column) + ", division " + std::to_string(c.division_from);
        EXPECT_EQ(e.fused_selected(), fused) << where;
        e.process(frame.px.data());
        EXPECT_EQ(e.last_frame_fused(), fused) << where;
    }
}

}  // namespace
