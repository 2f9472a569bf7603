// The variant table and the waterfall selection: the table's order and completeness, calls going
// through the slots, the fall-back column by column over tables with gaps, and the failure
// report with result 0 when no column fills every slot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "primitives/primitives.hpp"

namespace {

// Distinct routines for test tables; each records that it ran, so no two are folded together.
int g_last_call = -1;
template <int Column, int Entry>
void fake_variant() {
    g_last_call = Column * 100 + Entry;
}
template <int Column>
PrimFn fake(int entry) {
    switch (entry) {
        case 0:
            return &fake_variant<Column, 0>;
        case 1:
            return &fake_variant<Column, 1>;
        default:
            return &fake_variant<Column, 2>;
    }
}

// A three-entry table with its own slots; `gaps` lists (entry, column) pairs left null.
struct TestTable {
    PrimSlot slots[3];
    std::vector<PrimDispatchEntry> entries;

    explicit TestTable(std::vector<std::pair<int, int>> gaps = {}) {
        for (int i = 0; i < 3; ++i) {
            slots[i].store(nullptr);
            entries.push_back({&slots[i], {fake<0>(i), fake<1>(i), fake<2>(i), fake<3>(i)}});
        }
        for (auto [entry, column] : gaps) entries[entry].variant[column] = nullptr;
    }
    int32_t count() const { return static_cast<int32_t>(entries.size()); }
    // The column every slot holds, or -1 when the slots disagree or hold no table routine.
    int column_in_use() const {
        int found = -2;
        for (int i = 0; i < 3; ++i) {
            int col = -1;
            for (int c = 0; c < 4; ++c)
                if (slots[i].load() != nullptr && slots[i].load() == entries[i].variant[c]) col = c;
            if (col < 0 || (found != -2 && found != col)) return -1;
            found = col;
        }
        return found;
    }
};

// Replaces the failure report for one test and records what it was given.
struct ReportSpy {
    static inline std::vector<std::string> texts, titles;
    prim_failure_report_fn previous;
    ReportSpy() {
        texts.clear();
        titles.clear();
        previous = prim_set_failure_report([](const char* text, const char* title) {
            texts.push_back(text);
            titles.push_back(title);
        });
    }
    ~ReportSpy() { prim_set_failure_report(previous); }
};

TEST(PrimDispatchTable, HoldsThirteenKernelsInOrderWithEveryColumn) {
    const PrimSlot* expected[] = {
        &prim_slots::malloc_32f,
        &prim_slots::free,
        &prim_slots::copy_32f,
        &prim_slots::add_32f,
        &prim_slots::add_const_inplace_32f,
        &prim_slots::subtract_32f,
        &prim_slots::set_32f,
        &prim_slots::mul_32f,
        &prim_slots::div_32f,
        &prim_slots::sqr_32f,
        &prim_slots::filter_row_32f,
        &prim_slots::filter_column_32f,
        &prim_slots::add_weighted_inplace_32f,
    };
    ASSERT_EQ(prim_dispatch_count, 13);
    for (int32_t i = 0; i < prim_dispatch_count; ++i) {
        EXPECT_EQ(prim_dispatch_table[i].slot, expected[i]) << "entry " << i;
        for (int c = 0; c < 4; ++c)
            EXPECT_NE(prim_dispatch_table[i].variant[c], nullptr) << "entry " << i << " col " << c;
    }
}

TEST(PrimDispatchTable, SelectionFillsFromTheBestColumnOfThisProcessorAndRepeats) {
    ReportSpy spy;
    ASSERT_EQ(prim_select_variants(), 1);
    // The table is complete, so the first column of the class's list wins.
    const int32_t column = prim_cpu_class();
    std::vector<PrimFn> first;
    for (int32_t i = 0; i < prim_dispatch_count; ++i) {
        first.push_back(prim_dispatch_table[i].slot->load());
        EXPECT_EQ(first.back(), prim_dispatch_table[i].variant[column]) << "entry " << i;
    }
    ASSERT_EQ(prim_select_variants(), 1);
    for (int32_t i = 0; i < prim_dispatch_count; ++i)
        EXPECT_EQ(prim_dispatch_table[i].slot->load(), first[i]) << "entry " << i;
    EXPECT_TRUE(spy.texts.empty());

    // Any column can be put in place by hand, and the kernels keep working from it.
    for (int32_t k = 3; k >= 0; --k) {
        ASSERT_EQ(prim_fill_slots(k), 1);
        float a[2] = {1.0f, 2.0f}, b[2] = {3.0f, 5.0f}, d[2];
        EXPECT_EQ(prim_subtract_32f(a, 8, b, 8, d, 8, {2, 1}), prim_ok);
        EXPECT_EQ(d[1], 3.0f);
    }
    EXPECT_EQ(prim_fill_slots(4), 0);
    EXPECT_EQ(prim_fill_slots(-1), 0);
}

TEST(PrimDispatchTable, EveryKernelCallGoesThroughItsSlot) {
    static int calls = 0;
    const PrimFn saved = prim_slots::div_32f.load();
    prim_slots::div_32f.store(reinterpret_cast<PrimFn>(
        +[](const float*, int32_t, const float*, int32_t, float*, int32_t, Size) -> PrimStatus {
            ++calls;
            return 42;
        }));
    const float one = 1.0f;
    float out = 0.0f;
    EXPECT_EQ(prim_div_32f(&one, 4, &one, 4, &out, 4, {1, 1}), 42);
    EXPECT_EQ(calls, 1);
    prim_slots::div_32f.store(saved);
    EXPECT_EQ(prim_div_32f(&one, 4, &one, 4, &out, 4, {1, 1}), prim_ok);
    EXPECT_EQ(out, 1.0f);
}

TEST(PrimWaterfall, FallsBackColumnByColumnOverTablesWithGaps) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> gaps;  // (entry, column) without a variant
        int32_t cpu_class;
        int expected_column;
    };
    const Case cases[] = {
        {"complete table, class 0", {}, 0, 0},
        {"complete table, class 1", {}, 1, 1},
        {"complete table, class 2", {}, 2, 2},
        {"complete table, class 3", {}, 3, 3},
        // Column 3 is written for entries 0 and 1 before the gap, then overwritten by column 2.
        {"last entry lacks column 3", {{2, 3}}, 3, 2},
        {"middle entry lacks column 3", {{1, 3}}, 3, 2},
        {"column 3 and 2 gaps", {{0, 3}, {2, 2}}, 3, 1},
        {"class 2 skips column 3 entirely", {{1, 3}}, 2, 2},
        {"class 2 with a gap in column 2", {{0, 2}}, 2, 1},
        {"class 1 with a gap in column 1", {{1, 1}}, 1, 0},
        {"only column 0 complete", {{0, 1}, {1, 2}, {2, 3}}, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReportSpy spy;
        TestTable table(c.gaps);
        EXPECT_EQ(prim_select_variants_in(table.entries.data(), table.count(), c.cpu_class), 1);
        EXPECT_EQ(table.column_in_use(), c.expected_column);
        EXPECT_TRUE(spy.texts.empty());
        // Running it again writes the same values.
        EXPECT_EQ(prim_select_variants_in(table.entries.data(), table.count(), c.cpu_class), 1);
        EXPECT_EQ(table.column_in_use(), c.expected_column);
    }
}

TEST(PrimWaterfall, FillStopsAtTheFirstGapKeepingEarlierSlots) {
    TestTable table({{1, 2}});
    EXPECT_EQ(prim_fill_slots_in(table.entries.data(), table.count(), 2), 0);
    EXPECT_EQ(table.slots[0].load(), table.entries[0].variant[2]);
    EXPECT_EQ(table.slots[1].load(), nullptr);
    EXPECT_EQ(table.slots[2].load(), nullptr);
    // The routines in the slots are callable: the filled one is column 2's entry 0.
    reinterpret_cast<void (*)()>(table.slots[0].load())();
    EXPECT_EQ(g_last_call, 200);
}

TEST(PrimWaterfall, ReportsAndReturnsZeroWhenNoColumnFillsEverySlot) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> gaps;
        int32_t cpu_class;
        bool empty_table;
    };
    const Case cases[] = {
        {"entry without any variant", {{1, 0}, {1, 1}, {1, 2}, {1, 3}}, 3, false},
        {"class 0 with a gap in column 0", {{2, 0}}, 0, false},
        {"class 1 with gaps in columns 1 and 0", {{0, 1}, {2, 0}}, 1, false},
        {"empty table", {}, 3, true},
        {"class outside 0..3", {}, 7, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReportSpy spy;
        TestTable table(c.gaps);
        EXPECT_EQ(prim_select_variants_in(table.entries.data(), c.empty_table ? 0 : table.count(),
                                          c.cpu_class),
                  0);
        ASSERT_EQ(spy.texts.size(), 1u);
        EXPECT_EQ(spy.texts[0],
                  " No kernel variant matching the examined CPU was found during the Waterfall "
                  "procedure");
        EXPECT_EQ(spy.titles[0], "Set kernel library error");
    }
}

TEST(PrimWaterfall, DefaultReportGoesToStandardErrorWithABell) {
    const prim_failure_report_fn previous = prim_set_failure_report(nullptr);  // the default
    testing::internal::CaptureStderr();
    EXPECT_EQ(prim_select_variants_in(nullptr, 0, 0), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    prim_set_failure_report(previous);
    EXPECT_EQ(err,
              "\aSet kernel library error: No kernel variant matching the examined CPU was found "
              "during the Waterfall procedure\n");
}

}  // namespace
