// Image primitives: single-channel 32-bit float images and the kernels that work on them.
//
// Every kernel takes each image as (address of the region's top-left element, row step in
// bytes), then the region `Size`, and returns a `PrimStatus`. Arguments are tested in one
// order: pointers (prim_err_null_ptr), then sizes (prim_err_size), then steps (prim_err_step);
// when a test fails nothing is read or written.
//
// Each kernel has one slot that holds the address of the variant in use; the inline functions
// below call through the slot. Slots start on column 0 (the plain variants) and are rewritten
// by prim_select_variants(), which picks the best column for the processor.
#pragma once

#include <atomic>
#include <cstdint>

struct Size {
    int32_t width;
    int32_t height;
};

using PrimStatus = int32_t;
inline constexpr PrimStatus prim_ok = 0;
inline constexpr PrimStatus prim_warn_div_by_zero = 6;
inline constexpr PrimStatus prim_err_size = -6;
inline constexpr PrimStatus prim_err_null_ptr = -8;
inline constexpr PrimStatus prim_err_step = -14;

// ---- kernel signatures ------------------------------------------------------------------
using prim_malloc_32f_fn = float* (*)(int32_t width, int32_t height, int32_t* step);
using prim_free_fn = void (*)(void* ptr);
using prim_copy_32f_fn = PrimStatus (*)(const float* src, int32_t src_step, float* dst,
                                        int32_t dst_step, Size roi);
using prim_set_32f_fn = PrimStatus (*)(float value, float* dst, int32_t dst_step, Size roi);
// Two-source kernels: the first source is the one applied to the second (divisor,
// subtrahend); the destination comes last.
using prim_binary_32f_fn = PrimStatus (*)(const float* src1, int32_t src1_step, const float* src2,
                                          int32_t src2_step, float* dst, int32_t dst_step,
                                          Size roi);
using prim_add_const_inplace_32f_fn = PrimStatus (*)(float value, float* src_dst,
                                                     int32_t src_dst_step, Size roi);
using prim_sqr_32f_fn = PrimStatus (*)(const float* src, int32_t src_step, float* dst,
                                       int32_t dst_step, Size roi);
using prim_filter_32f_fn = PrimStatus (*)(const float* src, int32_t src_step, float* dst,
                                          int32_t dst_step, Size roi, const float* kernel,
                                          int32_t kernel_size, int32_t anchor);
using prim_add_weighted_inplace_32f_fn = PrimStatus (*)(const float* src, int32_t src_step,
                                                        float* src_dst, int32_t src_dst_step,
                                                        Size roi, float alpha);

// ---- variant table ----------------------------------------------------------------------
// A slot is one pointer-sized word; it is read and written with single relaxed atomic
// operations, so a kernel running during a selection sees either the old or the new variant.
using PrimFn = void (*)();
using PrimSlot = std::atomic<PrimFn>;

struct PrimDispatchEntry {
    PrimSlot* slot;
    PrimFn variant[4];  // columns 0..3; a null variant means "none in this column"
};

inline constexpr int32_t prim_dispatch_count = 13;
// Table order: malloc, free, copy, add, add_const_inplace, subtract, set, mul, div, sqr,
// filter_row, filter_column, add_weighted_inplace.
extern PrimDispatchEntry prim_dispatch_table[prim_dispatch_count];

namespace prim_slots {
extern PrimSlot malloc_32f, free, copy_32f, add_32f, add_const_inplace_32f, subtract_32f, set_32f,
    mul_32f, div_32f, sqr_32f, filter_row_32f, filter_column_32f, add_weighted_inplace_32f;
}

template <class Fn>
inline Fn prim_slot_target(const PrimSlot& slot) {
    return reinterpret_cast<Fn>(slot.load(std::memory_order_relaxed));
}

// ---- kernels (every call goes through the kernel's slot) --------------------------------
inline float* prim_malloc_32f(int32_t width, int32_t height, int32_t* step) {
    return prim_slot_target<prim_malloc_32f_fn>(prim_slots::malloc_32f)(width, height, step);
}
inline void prim_free(void* ptr) {
    prim_slot_target<prim_free_fn>(prim_slots::free)(ptr);
}
inline PrimStatus prim_copy_32f(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                                Size roi) {
    return prim_slot_target<prim_copy_32f_fn>(prim_slots::copy_32f)(src, src_step, dst, dst_step,
                                                                    roi);
}
inline PrimStatus prim_set_32f(float value, float* dst, int32_t dst_step, Size roi) {
    return prim_slot_target<prim_set_32f_fn>(prim_slots::set_32f)(value, dst, dst_step, roi);
}
// dst = src1 + src2
inline PrimStatus prim_add_32f(const float* src1, int32_t src1_step, const float* src2,
                               int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    return prim_slot_target<prim_binary_32f_fn>(prim_slots::add_32f)(src1, src1_step, src2,
                                                                     src2_step, dst, dst_step, roi);
}
// src_dst = src_dst + value
inline PrimStatus prim_add_const_inplace_32f(float value, float* src_dst, int32_t src_dst_step,
                                             Size roi) {
    return prim_slot_target<prim_add_const_inplace_32f_fn>(prim_slots::add_const_inplace_32f)(
        value, src_dst, src_dst_step, roi);
}
// dst = src2 - src1
inline PrimStatus prim_subtract_32f(const float* src1, int32_t src1_step, const float* src2,
                                    int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    return prim_slot_target<prim_binary_32f_fn>(prim_slots::subtract_32f)(
        src1, src1_step, src2, src2_step, dst, dst_step, roi);
}
// dst = src1 * src2
inline PrimStatus prim_mul_32f(const float* src1, int32_t src1_step, const float* src2,
                               int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    return prim_slot_target<prim_binary_32f_fn>(prim_slots::mul_32f)(src1, src1_step, src2,
                                                                     src2_step, dst, dst_step, roi);
}
// dst = src2 / src1 (src1 is the divisor); prim_warn_div_by_zero when any divisor was 0 or NaN
inline PrimStatus prim_div_32f(const float* src1, int32_t src1_step, const float* src2,
                               int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    return prim_slot_target<prim_binary_32f_fn>(prim_slots::div_32f)(src1, src1_step, src2,
                                                                     src2_step, dst, dst_step, roi);
}
// dst = src * src; both steps are truncated to a multiple of 4 bytes
inline PrimStatus prim_sqr_32f(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                               Size roi) {
    return prim_slot_target<prim_sqr_32f_fn>(prim_slots::sqr_32f)(src, src_step, dst, dst_step,
                                                                  roi);
}
// dst(x, y) = sum over k of kernel[k] * src(x + anchor - k, y)   (true convolution)
inline PrimStatus prim_filter_row_32f(const float* src, int32_t src_step, float* dst,
                                      int32_t dst_step, Size roi, const float* kernel,
                                      int32_t kernel_size, int32_t anchor) {
    return prim_slot_target<prim_filter_32f_fn>(prim_slots::filter_row_32f)(
        src, src_step, dst, dst_step, roi, kernel, kernel_size, anchor);
}
// dst(x, y) = sum over k of kernel[k] * src(x, y + anchor - k)
inline PrimStatus prim_filter_column_32f(const float* src, int32_t src_step, float* dst,
                                         int32_t dst_step, Size roi, const float* kernel,
                                         int32_t kernel_size, int32_t anchor) {
    return prim_slot_target<prim_filter_32f_fn>(prim_slots::filter_column_32f)(
        src, src_step, dst, dst_step, roi, kernel, kernel_size, anchor);
}
// src_dst = src_dst + alpha * (src - src_dst); empty regions accepted, bad steps -> prim_err_size
inline PrimStatus prim_add_weighted_inplace_32f(const float* src, int32_t src_step, float* src_dst,
                                                int32_t src_dst_step, Size roi, float alpha) {
    return prim_slot_target<prim_add_weighted_inplace_32f_fn>(prim_slots::add_weighted_inplace_32f)(
        src, src_step, src_dst, src_dst_step, roi, alpha);
}

// ---- processor identification and variant selection -------------------------------------
// The CPUID words that the decision reads. `has_cpuid` false models a processor whose ID flag
// cannot be toggled.
struct CpuidWords {
    bool has_cpuid = false;
    uint32_t leaf0_ebx = 0, leaf0_ecx = 0, leaf0_edx = 0;  // vendor identification
    uint32_t leaf1_eax = 0, leaf1_ebx = 0, leaf1_ecx = 0, leaf1_edx = 0;
};

CpuidWords prim_read_cpuid();                         // this processor
int32_t prim_cpu_type_from(const CpuidWords& words);  // pure: type code 0..8, 16, 17
int32_t prim_cpu_class_of_type(int32_t type);         // pure: class 0..3
int32_t prim_cpu_type();                              // type of this processor
int32_t prim_cpu_class();                             // class of this processor

// Fills every slot of the table from column k; 0 when an entry has no variant in column k
// (slots written before the gap keep their new values).
int32_t prim_fill_slots(int32_t k);
// Waterfall selection for this processor; 1 on success, 0 (after the failure report) when no
// column of the class's list fills every slot.
int32_t prim_select_variants();

// The same procedures over any table and class, so that tests can use tables with gaps.
int32_t prim_fill_slots_in(PrimDispatchEntry* table, int32_t count, int32_t k);
int32_t prim_select_variants_in(PrimDispatchEntry* table, int32_t count, int32_t cpu_class);

// ---- eight-lane flavours -----------------------------------------------------------------
// Columns 0 and 3 each have an eight-lane (AVX2) flavour that stores the same bits as the
// column's plain or four-lane routines. Where the machine (and, for column 0, a 64-bit build)
// allows it, the table names the eight-lane flavour; the choice is made when the table is built
// at start-up, so no kernel call asks which flavour to run.
bool prim_eight_lanes_available(int32_t column);  // could run here (false for columns 1 and 2)
bool prim_eight_lanes_in_use(int32_t column);     // the table names it now
// Test and benchmark hook: with false, the table names the plain flavour of column 0 and the
// four-lane flavour of column 3; with true, the eight-lane flavours where available. Slots take
// the change at the next prim_fill_slots or prim_select_variants. Returns the previous setting.
// Not to be called while another thread fills the slots.
bool prim_use_eight_lanes(bool use);

// The report shown when no column can be selected: by default written to standard error with a
// bell. A host replaces it (the Windows module with a beep and a message box, tests with a spy);
// a null report restores the default.
inline constexpr const char* prim_select_failure_text =
    " No kernel variant matching the examined CPU was found during the Waterfall procedure";
inline constexpr const char* prim_select_failure_title = "Set kernel library error";
using prim_failure_report_fn = void (*)(const char* text, const char* title);
prim_failure_report_fn prim_set_failure_report(prim_failure_report_fn report);  // returns old
