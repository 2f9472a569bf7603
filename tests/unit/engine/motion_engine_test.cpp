// The engine's buffers: geometry, the exact set per mode and time rule, initial contents,
// release, allocation failure and the absence of any allocation per frame.
#include "engine/motion_engine.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/engine_test_access.hpp"
#include "engine_test_support.hpp"
#include "primitives/primitives.hpp"

namespace {

using namespace engine_test;

constexpr EngineImage kProducts[] = {EngineImage::It2, EngineImage::Ix,  EngineImage::Iy,
                                     EngineImage::Ix2, EngineImage::Iy2, EngineImage::Ig2,
                                     EngineImage::Ixy, EngineImage::Ixt, EngineImage::Iyt,
                                     EngineImage::Fn2, EngineImage::Un,  EngineImage::Vn};

const char* image_name(EngineImage which) {
    static const char* const names[] = {"Is",  "It",  "It2", "Ix",  "Iy",  "Ix2", "Iy2",
                                        "Ig2", "Ixy", "Ixt", "Iyt", "Fn2", "Un",  "Vn"};
    return names[static_cast<int>(which)];
}

struct ModeCase {
    int32_t flags;
    std::vector<EngineImage> products;  // allocated, everything else in kProducts is null
};

const std::vector<ModeCase>& mode_cases() {
    using E = EngineImage;
    static const std::vector<ModeCase> cases = {
        {FLAG_CHANGE_DETECTION, {E::It2}},
        {FLAG_AFFINE_PARAMS, {E::Ix, E::Iy, E::Ix2, E::Iy2, E::Ixy, E::Ixt, E::Iyt}},
        {FLAG_ORVANE,
         {E::It2, E::Ix, E::Iy, E::Ix2, E::Iy2, E::Ig2, E::Ixt, E::Iyt, E::Fn2, E::Un, E::Vn}},
        {FLAG_ALL,
         {E::It2, E::Ix, E::Iy, E::Ix2, E::Iy2, E::Ig2, E::Ixy, E::Ixt, E::Iyt, E::Fn2, E::Un,
          E::Vn}},
    };
    return cases;
}

bool contains(const std::vector<EngineImage>& set, EngineImage which) {
    for (EngineImage e : set)
        if (e == which) return true;
    return false;
}

// The blocks that a create of `mode` takes (one for all images, or one per image in builds
// with the address checker). Call it with no HeapHook alive: it sets its own.
int32_t blocks_of_create(const ModeCase& mode, int32_t time_derivative) {
    HeapHook heap;
    MotionEngine e;
    if (!e.create(12, 7, 0.01f, time_derivative, mode.flags)) return -1;
    return heap.counters().live;
}

// Every handle the engine exposes is null.
void expect_empty(const MotionEngine& e, const std::string& context) {
    EXPECT_FALSE(e.is_created()) << context;
    EXPECT_EQ(e.get_image(EngineImage::Is), nullptr) << context;
    EXPECT_EQ(e.get_image(EngineImage::It), nullptr) << context;
    for (EngineImage p : kProducts) EXPECT_EQ(e.get_image(p), nullptr) << context << image_name(p);
    for (int32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(e.get_history_ring(i), nullptr) << context << " ring " << i;
        EXPECT_EQ(e.get_time_window(i), nullptr) << context << " window " << i;
    }
    EXPECT_EQ(MotionEngineTestAccess::workspace(e), nullptr) << context;
    EXPECT_EQ(MotionEngineTestAccess::It_prev(e), nullptr) << context;
    EXPECT_EQ(MotionEngineTestAccess::smooth_taps(e), nullptr) << context;
    EXPECT_EQ(MotionEngineTestAccess::deriv_taps(e), nullptr) << context;
}

// The buffers of exactly `mode` and `time_derivative`, null handles elsewhere.
void expect_buffer_set(const MotionEngine& e, const ModeCase& mode, int32_t time_derivative,
                       const std::string& context) {
    EXPECT_TRUE(e.is_created()) << context;
    EXPECT_NE(e.get_image(EngineImage::Is), nullptr) << context;
    EXPECT_NE(e.get_image(EngineImage::It), nullptr) << context;
    EXPECT_NE(MotionEngineTestAccess::workspace(e), nullptr) << context;
    EXPECT_NE(MotionEngineTestAccess::smooth_taps(e), nullptr) << context;
    EXPECT_NE(MotionEngineTestAccess::deriv_taps(e), nullptr) << context;
    EXPECT_EQ(MotionEngineTestAccess::It_prev(e) != nullptr, time_derivative == TD_RECURSIVE)
        << context;
    for (int32_t i = 0; i < 5; ++i) EXPECT_NE(e.get_history_ring(i), nullptr) << context << i;
    for (EngineImage p : kProducts) {
        EXPECT_EQ(e.get_image(p) != nullptr, contains(mode.products, p))
            << context << " buffer " << image_name(p);
    }
}

// No two images of the set overlap, and each starts on a cache line; in one block, each also
// starts on a 64-byte line of the page that no other image starts on (images met at the same
// pixel must not share first-level cache sets). Blocks of their own start where the heap puts
// them.
void expect_apart_on_own_lines(const MotionEngine& e, const ModeCase& mode, int32_t td,
                               bool one_block, const std::string& context) {
    struct Extent {
        std::string name;
        uintptr_t begin, end;
    };
    std::vector<Extent> extents;
    const auto bordered = size_t(e.get_padded_step()) * size_t(e.get_lines() + 4);
    const auto plain = size_t(e.get_plain_step()) * size_t(e.get_lines());
    auto add = [&](const std::string& name, const float* p, size_t bytes) {
        extents.push_back(
            {name, reinterpret_cast<uintptr_t>(p), reinterpret_cast<uintptr_t>(p) + bytes});
    };
    add("Is", e.get_image(EngineImage::Is), bordered);
    for (int32_t i = 0; i < 5; ++i)
        add("ring " + std::to_string(i), e.get_history_ring(i), bordered);
    add("It", e.get_image(EngineImage::It), plain);
    if (td == TD_RECURSIVE) add("It_prev", MotionEngineTestAccess::It_prev(e), plain);
    for (EngineImage p : mode.products) add(image_name(p), e.get_image(p), plain);
    for (size_t i = 0; i < extents.size(); ++i) {
        const Extent& a = extents[i];
        EXPECT_EQ(a.begin % 64, 0u) << context << a.name << " starts inside a cache line";
        for (size_t j = 0; j < i; ++j) {
            const Extent& b = extents[j];
            EXPECT_TRUE(a.end <= b.begin || b.end <= a.begin)
                << context << a.name << " overlaps " << b.name;
            if (one_block) {
                EXPECT_NE(a.begin % 4096, b.begin % 4096)
                    << context << a.name << " and " << b.name << " share a line of the page";
            }
        }
    }
}

std::string describe(const ModeCase& mode, int32_t td) {
    return mode_name(mode.flags) + (td == TD_BATCH ? "/batch" : "/recursive") + ": ";
}

TEST(MotionEngineGeometry, StepsAndInteriorOffset) {
    struct Case {
        int32_t columns, lines;
        int32_t padded_step, plain_step, interior_offset;
    };
    const Case cases[] = {
        {4, 1, 32, 32, 18},   // bordered 8 x 5
        {12, 7, 64, 64, 34},  // bordered 16 x 11
        {128, 128, 544, 512, 274},
        {28, 3, 128, 128, 66},  // bordered width 32 floats needs a 128-byte step
    };
    for (const Case& c : cases) {
        MotionEngine e;
        ASSERT_TRUE(e.create(c.columns, c.lines, 0.01f, TD_RECURSIVE, FLAG_ALL));
        EXPECT_EQ(e.get_padded_step(), c.padded_step) << c.columns << "x" << c.lines;
        EXPECT_EQ(e.get_plain_step(), c.plain_step) << c.columns << "x" << c.lines;
        EXPECT_EQ(e.get_interior_offset(), c.interior_offset) << c.columns << "x" << c.lines;
        EXPECT_EQ(e.get_columns(), c.columns);
        EXPECT_EQ(e.get_lines(), c.lines);
        EXPECT_EQ(e.get_frames_processed(), 0);
    }
}

TEST(MotionEngineGeometry, SettingsAreStoredAtCreate) {
    MotionEngine e;
    ASSERT_TRUE(e.create(16, 9, 0.25f, TD_BATCH, FLAG_ORVANE | FLAG_INPUT_FILTER));
    EXPECT_EQ(MotionEngineTestAccess::regularizer(e), 0.25f);
    EXPECT_EQ(MotionEngineTestAccess::time_derivative(e), TD_BATCH);
    EXPECT_EQ(MotionEngineTestAccess::flags(e), FLAG_ORVANE | FLAG_INPUT_FILTER);
}

TEST(MotionEngineGeometry, TapSetsHoldTheExactKernels) {
    MotionEngine e;
    ASSERT_TRUE(e.create(8, 8, 0.0f, TD_RECURSIVE, FLAG_CHANGE_DETECTION));
    const float smooth[5] = {0.12109375f, 0.234375f, 0.2890625f, 0.234375f, 0.12109375f};
    const float deriv[5] = {-0.11328125f, 0.88671875f, 0.0f, -0.88671875f, 0.11328125f};
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(MotionEngineTestAccess::smooth_taps(e)[k], smooth[k]) << "smoothing tap " << k;
        EXPECT_EQ(MotionEngineTestAccess::deriv_taps(e)[k], deriv[k]) << "derivative tap " << k;
    }
}

TEST(MotionEngineBuffers, ExactSetPerModeAndTimeRule) {
    for (const ModeCase& mode : mode_cases()) {
        for (int32_t td : {TD_RECURSIVE, TD_BATCH}) {
            const std::string context = describe(mode, td);
            HeapHook heap;
            MotionEngine e;
            ASSERT_TRUE(e.create(12, 7, 0.01f, td, mode.flags)) << context;
            expect_buffer_set(e, mode, td, context);
            expect_apart_on_own_lines(e, mode, td, heap.counters().mallocs == 1, context);
            EXPECT_EQ(heap.counters().live, heap.counters().mallocs) << context;
            for (int32_t i = 0; i < 5; ++i)
                EXPECT_EQ(e.get_time_window(i), nullptr) << context << "window before frame 1";

            e.destroy();
            expect_empty(e, context + "after destroy ");
            EXPECT_EQ(heap.counters().live, 0) << context << "blocks left after destroy";
        }
    }
}

TEST(MotionEngineBuffers, CreateAfterDestroyInAnotherModeStartsAfresh) {
    const ModeCase& all = mode_cases()[3];
    const ModeCase& change = mode_cases()[0];
    const int32_t change_blocks = blocks_of_create(change, TD_BATCH);
    HeapHook heap;
    MotionEngine e;
    ASSERT_TRUE(e.create(12, 7, 0.01f, TD_RECURSIVE, all.flags));
    Image frame(12, 7, 3.0f);
    for (int i = 0; i < 6; ++i) e.process(frame.px.data());
    e.destroy();

    ASSERT_TRUE(e.create(8, 5, 0.0f, TD_BATCH, change.flags));
    expect_buffer_set(e, change, TD_BATCH, "changedetection/batch after all/recursive: ");
    EXPECT_EQ(e.get_frames_processed(), 0);
    EXPECT_EQ(heap.counters().live, change_blocks);
    for (int32_t i = 0; i < 5; ++i) {
        const Image slot = read_bordered(e, e.get_history_ring(i));
        for (float v : slot.px) ASSERT_EQ(v, 0.0f) << "ring slot " << i << " kept an old frame";
    }
}

TEST(MotionEngineBuffers, CreateOverAHeldEngineReleasesTheOldBuffers) {
    const int32_t change_blocks = blocks_of_create(mode_cases()[0], TD_BATCH);
    HeapHook heap;
    MotionEngine e;
    ASSERT_TRUE(e.create(12, 7, 0.01f, TD_RECURSIVE, FLAG_ALL));
    ASSERT_TRUE(e.create(12, 7, 0.01f, TD_BATCH, FLAG_CHANGE_DETECTION));
    EXPECT_EQ(heap.counters().live, change_blocks);
    e.destroy();
    EXPECT_EQ(heap.counters().live, 0);
}

TEST(MotionEngineBuffers, CreateZeroFillsEveryBuffer) {
    for (const ModeCase& mode : mode_cases()) {
        for (int32_t td : {TD_RECURSIVE, TD_BATCH}) {
            const std::string context = describe(mode, td);
            HeapHook heap(0, /*poison=*/true);  // fresh blocks read as NaN unless cleared
            MotionEngine e;
            ASSERT_TRUE(e.create(12, 7, 0.01f, td, mode.flags)) << context;

            std::vector<std::pair<std::string, Image>> buffers;
            buffers.emplace_back("Is", read_bordered(e, e.get_image(EngineImage::Is)));
            for (int32_t i = 0; i < 5; ++i)
                buffers.emplace_back("ring " + std::to_string(i),
                                     read_bordered(e, e.get_history_ring(i)));
            buffers.emplace_back("It", read_plain(e, EngineImage::It));
            if (td == TD_RECURSIVE)
                buffers.emplace_back("It_prev", read_region(MotionEngineTestAccess::It_prev(e),
                                                            e.get_plain_step(), 12, 7));
            for (EngineImage p : mode.products)
                buffers.emplace_back(image_name(p), read_plain(e, p));

            for (const auto& [name, image] : buffers) {
                for (float v : image.px) {
                    ASSERT_TRUE(same_float(v, 0.0f)) << context << name << " not cleared: " << v;
                }
            }
        }
    }
}

TEST(MotionEngineBuffers, DestructorReleasesBuffersStillHeld) {
    const int32_t all_blocks = blocks_of_create(mode_cases()[3], TD_RECURSIVE);
    HeapHook heap;
    {
        MotionEngine e;
        ASSERT_TRUE(e.create(12, 7, 0.01f, TD_RECURSIVE, FLAG_ALL));
        EXPECT_EQ(heap.counters().live, all_blocks);
    }
    EXPECT_EQ(heap.counters().live, 0);
}

TEST(MotionEngineBuffers, DestroyTwiceAndProcessWithoutBuffersAreHarmless) {
    HeapHook heap;
    MotionEngine e;
    e.destroy();
    Image frame(4, 1, 1.0f);
    e.process(frame.px.data());  // never created: nothing happens, nothing is counted
    EXPECT_EQ(e.get_frames_processed(), 0);
    ASSERT_TRUE(e.create(4, 1, 0.01f, TD_RECURSIVE, FLAG_ALL));
    e.process(nullptr);
    EXPECT_EQ(e.get_frames_processed(), 0) << "a missing frame must not be counted";
    e.destroy();
    e.destroy();
    expect_empty(e, "after two destroys ");
    EXPECT_EQ(heap.counters().live, 0);
}

// Fails the k-th allocation of create, for every k: create reports false, holds no buffer,
// has released everything it took, stops allocating at the failure, and the engine is usable
// by the next create.
TEST(MotionEngineAllocationFailure, EveryAllocationOfEveryMode) {
    for (const ModeCase& mode : mode_cases()) {
        for (int32_t td : {TD_RECURSIVE, TD_BATCH}) {
            const int32_t total = blocks_of_create(mode, td);
            ASSERT_GE(total, 1);
            for (int32_t k = 1; k <= total; ++k) {
                const std::string context = describe(mode, td) + "failing allocation " +
                                            std::to_string(k) + " of " + std::to_string(total) +
                                            ": ";
                MotionEngine e;
                {
                    HeapHook heap(k);
                    EXPECT_FALSE(e.create(12, 7, 0.01f, td, mode.flags | FLAG_INPUT_FILTER))
                        << context;
                    EXPECT_EQ(heap.counters().mallocs, k) << context << "allocated past failure";
                    EXPECT_EQ(heap.counters().live, 0) << context << "blocks leaked";
                    expect_empty(e, context);
                }
                ASSERT_TRUE(e.create(12, 7, 0.01f, td, mode.flags)) << context << "recreate";
                Image frame(12, 7, 2.0f);
                e.process(frame.px.data());
                EXPECT_EQ(read_plain(e, EngineImage::It).at(3, 3), 0.0f) << context;
            }
        }
    }
}

TEST(MotionEngineAllocationFailure, GeometriesWhoseByteCountOverflowFailBeforeAllocating) {
    struct Case {
        int32_t columns, lines;
        const char* why;
    };
    const Case cases[] = {
        {std::numeric_limits<int32_t>::max() - 3, 1, "columns + 4 overflows"},
        {65536, 65536, "bordered byte count exceeds 2^31"},
        {536870908, 4, "row step alone near 2^31"},
        {std::numeric_limits<int32_t>::max() - 7, std::numeric_limits<int32_t>::max() - 4,
         "both extents near 2^31: step x lines overflows 64 bits"},
        {0, 4, "no columns"},
        {4, 0, "no lines"},
        {-4, 4, "negative columns"},
    };
    for (const Case& c : cases) {
        HeapHook heap;
        MotionEngine e;
        EXPECT_FALSE(e.create(c.columns, c.lines, 0.01f, TD_RECURSIVE, FLAG_ALL)) << c.why;
        EXPECT_EQ(heap.counters().mallocs, 0) << c.why;
        expect_empty(e, c.why);
    }
}

TEST(MotionEngineAllocation, NothingIsAllocatedOrReleasedPerFrame) {
    // The plain kernels allocate nothing, so every heap call seen here would be the engine's.
    SlotSnapshot restore;
    ASSERT_EQ(prim_fill_slots(0), 1);
    for (const ModeCase& mode : mode_cases()) {
        for (int32_t td : {TD_RECURSIVE, TD_BATCH}) {
            const std::string context = describe(mode, td);
            MotionEngine e;
            ASSERT_TRUE(e.create(12, 7, 0.01f, td, mode.flags | FLAG_INPUT_FILTER));
            Image frame(12, 7);
            HeapHook heap;
            for (int32_t m = 1; m <= 12; ++m) {
                for (int32_t y = 0; y < 7; ++y)
                    for (int32_t x = 0; x < 12; ++x) frame.at(x, y) = float(m * x + y);
                e.process(frame.px.data());
            }
            EXPECT_EQ(heap.counters().mallocs, 0) << context;
            EXPECT_EQ(heap.counters().frees, 0) << context;
            EXPECT_EQ(e.get_frames_processed(), 12) << context;
        }
    }
}

}  // namespace
