// The variant table, the kernel slots and the waterfall selection.
//
// Each kernel has one slot, a pointer-sized atomic word holding the variant in use; the inline
// wrappers of primitives.hpp call through it. The slots start on column 0, so every kernel works
// before any selection. prim_select_variants() (run by every construction of a component
// object) identifies the processor, takes the class's list of columns from the best down, and
// fills every slot from the first column that has a variant for every kernel. Selections on one
// machine always write the same values, so concurrent callers see either of two interchangeable
// variants and no lock is needed.
#include <atomic>
#include <cstdio>

#include "primitives/primitives.hpp"
#include "primitives/variants.hpp"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

template <class Fn>
PrimFn as_prim_fn(Fn fn) {
    return reinterpret_cast<PrimFn>(fn);
}

void default_failure_report(const char* text, const char* title) {
#if defined(_WIN32)
    MessageBeep(MB_ICONHAND);
    MessageBoxA(nullptr, text, title, MB_OK | MB_ICONERROR);
#else
    std::fprintf(stderr, "\a%s:%s\n", title, text);
    std::fflush(stderr);
#endif
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

// A function address cannot be converted to PrimFn in a constant expression, so the slots and the
// table are initialised at start-up; they are constructed first of all (init_priority) so that a
// kernel called from another file's static initialiser already finds column 0 in its slot.
#define PRIM_EARLY __attribute__((init_priority(101)))

namespace prim_slots {
PrimSlot malloc_32f PRIM_EARLY{as_prim_fn(&prim_malloc_32f_c0)};
PrimSlot free PRIM_EARLY{as_prim_fn(&prim_free_c0)};
PrimSlot copy_32f PRIM_EARLY{as_prim_fn(&prim_copy_32f_c0)};
PrimSlot add_32f PRIM_EARLY{as_prim_fn(&prim_add_32f_c0)};
PrimSlot add_const_inplace_32f PRIM_EARLY{as_prim_fn(&prim_add_const_inplace_32f_c0)};
PrimSlot subtract_32f PRIM_EARLY{as_prim_fn(&prim_subtract_32f_c0)};
PrimSlot set_32f PRIM_EARLY{as_prim_fn(&prim_set_32f_c0)};
PrimSlot mul_32f PRIM_EARLY{as_prim_fn(&prim_mul_32f_c0)};
PrimSlot div_32f PRIM_EARLY{as_prim_fn(&prim_div_32f_c0)};
PrimSlot sqr_32f PRIM_EARLY{as_prim_fn(&prim_sqr_32f_c0)};
PrimSlot filter_row_32f PRIM_EARLY{as_prim_fn(&prim_filter_row_32f_c0)};
PrimSlot filter_column_32f PRIM_EARLY{as_prim_fn(&prim_filter_column_32f_c0)};
PrimSlot add_weighted_inplace_32f PRIM_EARLY{as_prim_fn(&prim_add_weighted_inplace_32f_c0)};
}  // namespace prim_slots

#define PRIM_ENTRY(slot_name, kernel)                                                  \
    PrimDispatchEntry {                                                                \
        &prim_slots::slot_name, {                                                      \
            as_prim_fn(kernel##_c0), as_prim_fn(kernel##_c1), as_prim_fn(kernel##_c2), \
                as_prim_fn(kernel##_c3)                                                \
        }                                                                              \
    }

PrimDispatchEntry prim_dispatch_table[prim_dispatch_count] PRIM_EARLY = {
    PRIM_ENTRY(malloc_32f, prim_malloc_32f),
    PRIM_ENTRY(free, prim_free),
    PRIM_ENTRY(copy_32f, prim_copy_32f),
    PRIM_ENTRY(add_32f, prim_add_32f),
    PRIM_ENTRY(add_const_inplace_32f, prim_add_const_inplace_32f),
    PRIM_ENTRY(subtract_32f, prim_subtract_32f),
    PRIM_ENTRY(set_32f, prim_set_32f),
    PRIM_ENTRY(mul_32f, prim_mul_32f),
    PRIM_ENTRY(div_32f, prim_div_32f),
    PRIM_ENTRY(sqr_32f, prim_sqr_32f),
    PRIM_ENTRY(filter_row_32f, prim_filter_row_32f),
    PRIM_ENTRY(filter_column_32f, prim_filter_column_32f),
    PRIM_ENTRY(add_weighted_inplace_32f, prim_add_weighted_inplace_32f),
};

#undef PRIM_ENTRY
#undef PRIM_EARLY

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
