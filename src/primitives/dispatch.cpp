// The variant table, the kernel slots and the waterfall selection.
//
// Each kernel has one slot, a pointer-sized atomic word holding the variant in use; the inline
// wrappers of primitives.hpp call through it. The table's four columns come from the typed
// column tables of columns.hpp, each in the flavour this machine runs (columns 0 and 3 have an
// eight-lane one), chosen once when the table is built. The slots start on column 0, so every
// kernel works before any selection. prim_select_variants() (run by every construction of a
// component object) identifies the processor, takes the class's list of columns from the best down,
// and fills every slot from the first column that has a variant for every kernel. Selections on one
// machine always write the same values, so concurrent callers see either of two interchangeable
// variants and no lock is needed.
#include <atomic>
#include <cstdio>

#include "primitives/columns.hpp"
#include "primitives/primitives.hpp"

namespace {

// The report of a process that installed none: standard error, with a bell. The Windows module
// installs its message box at start-up.
void default_failure_report(const char* text, const char* title) {
    std::fprintf(stderr, "\a%s:%s\n", title, text);
    std::fflush(stderr);
}

std::atomic<prim_failure_report_fn> g_failure_report{&default_failure_report};

// Columns to try for each processor class, best first; 4 ends a list.
constexpr int32_t kWaterfall[4][5] = {
    {0, 4, 4, 4, 4},
    {1, 0, 4, 4, 4},
    {2, 1, 0, 4, 4},
    {3, 2, 1, 0, 4},
};
constexpr int32_t kEndOfList = 4;

}  // namespace

// The slots start empty (constant initialisation) and the table names no routine until the
// columns are put in at start-up; that happens first of all (init_priority), so that a kernel
// called from another file's static initialiser already finds column 0 in its slot.
#define PRIM_EARLY __attribute__((init_priority(101)))

namespace prim_slots {
PrimSlot malloc_32f, free, copy_32f, add_32f, add_const_inplace_32f, subtract_32f, set_32f, mul_32f,
    div_32f, sqr_32f, filter_row_32f, filter_column_32f, add_weighted_inplace_32f;
}  // namespace prim_slots

PrimDispatchEntry prim_dispatch_table[prim_dispatch_count] = {
    {&prim_slots::malloc_32f, {}},
    {&prim_slots::free, {}},
    {&prim_slots::copy_32f, {}},
    {&prim_slots::add_32f, {}},
    {&prim_slots::add_const_inplace_32f, {}},
    {&prim_slots::subtract_32f, {}},
    {&prim_slots::set_32f, {}},
    {&prim_slots::mul_32f, {}},
    {&prim_slots::div_32f, {}},
    {&prim_slots::sqr_32f, {}},
    {&prim_slots::filter_row_32f, {}},
    {&prim_slots::filter_column_32f, {}},
    {&prim_slots::add_weighted_inplace_32f, {}},
};

namespace {

template <class Fn>
PrimFn erased(Fn fn) {
    return reinterpret_cast<PrimFn>(fn);
}

// A column's routines in table order.
static_assert(sizeof(PrimColumn) == prim_dispatch_count * sizeof(PrimFn),
              "every kernel of the table is a member of PrimColumn, and nothing else");
void put_column(int32_t k, const PrimColumn& c) {
    const PrimFn routines[prim_dispatch_count] = {
        erased(c.malloc_32f),
        erased(c.free),
        erased(c.copy_32f),
        erased(c.add_32f),
        erased(c.add_const_inplace_32f),
        erased(c.subtract_32f),
        erased(c.set_32f),
        erased(c.mul_32f),
        erased(c.div_32f),
        erased(c.sqr_32f),
        erased(c.filter_row_32f),
        erased(c.filter_column_32f),
        erased(c.add_weighted_inplace_32f),
    };
    for (int32_t i = 0; i < prim_dispatch_count; ++i)
        prim_dispatch_table[i].variant[k] = routines[i];
}

bool g_eight_lanes = true;  // the hook's setting; written only by prim_use_eight_lanes

// Puts the four columns into the table, each in the flavour that this machine runs best (or,
// with the hook off, the plain and four-lane flavours).
void put_columns() {
    put_column(0, g_eight_lanes && prim_eight_lanes_available(0) ? prim_column0_avx2()
                                                                 : prim_column0_plain());
    put_column(1, prim_column1_mmx());
    put_column(2, prim_column2_sse());
    put_column(3, g_eight_lanes && prim_eight_lanes_available(3) ? prim_column3_avx2()
                                                                 : prim_column3_sse2());
}

struct TableAtStartUp {
    TableAtStartUp() {
        put_columns();
        for (const PrimDispatchEntry& entry : prim_dispatch_table) {
            entry.slot->store(entry.variant[0], std::memory_order_relaxed);
        }
    }
};
TableAtStartUp g_table_at_start_up PRIM_EARLY;

}  // namespace

#undef PRIM_EARLY

bool prim_eight_lanes_available(int32_t column) {
    if (column == 3) return prim_cpu_has_avx2();
#if defined(__x86_64__)
    // 32-bit builds may evaluate the plain column's double sums on the x87 stack, which the
    // vector loops could not match; column 0 has its eight lanes on 64-bit builds only.
    if (column == 0) return prim_cpu_has_avx2();
#endif
    return false;
}

bool prim_eight_lanes_in_use(int32_t column) {
    return g_eight_lanes && prim_eight_lanes_available(column);
}

bool prim_use_eight_lanes(bool use) {
    const bool previous = g_eight_lanes;
    g_eight_lanes = use;
    put_columns();
    return previous;
}

int32_t prim_fill_slots_in(PrimDispatchEntry* table, int32_t count, int32_t k) {
    if (k < 0 || k > 3 || (table == nullptr && count > 0)) return 0;
    for (int32_t i = 0; i < count; ++i) {
        const PrimFn variant = table[i].variant[k];
        if (variant == nullptr) return 0;
        table[i].slot->store(variant, std::memory_order_relaxed);
    }
    return 1;
}

int32_t prim_select_variants_in(PrimDispatchEntry* table, int32_t count, int32_t cpu_class) {
    // A class outside 0..3 has no list of columns; it is reported like a table with gaps.
    if (count > 0 && cpu_class >= 0 && cpu_class <= 3) {
        for (const int32_t column : kWaterfall[cpu_class]) {
            if (column == kEndOfList) break;
            if (prim_fill_slots_in(table, count, column) != 0) return 1;
        }
    }
    g_failure_report.load()(prim_select_failure_text, prim_select_failure_title);
    return 0;
}

int32_t prim_fill_slots(int32_t k) {
    return prim_fill_slots_in(prim_dispatch_table, prim_dispatch_count, k);
}

int32_t prim_select_variants() {
    return prim_select_variants_in(prim_dispatch_table, prim_dispatch_count, prim_cpu_class());
}

prim_failure_report_fn prim_set_failure_report(prim_failure_report_fn report) {
    return g_failure_report.exchange(report != nullptr ? report : &default_failure_report);
}

float* prim_scratch_block(int32_t floats) {
    int32_t step = 0;
    return prim_malloc_32f(floats, 1, &step);
}

void prim_release_scratch_block(float* block) {
    prim_free(block);
}
