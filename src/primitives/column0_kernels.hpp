// The column-0 kernels, written once for both of the column's flavours.
//
// Each kernel checks its arguments (pointers, then sizes, then steps; nothing is touched when a
// check fails) and hands the checked region to the row loops of its flavour: `Rows` is the
// baseline loops of column0_plain.cpp or the eight-lane loops of column0_avx2.cpp. Both store
// the same bits, so the checks and statuses here are the whole of what the flavours share.
//
// Everything lives in an anonymous namespace: each of the two files compiles its own copy under
// its own instruction-set flags, and the linker can never substitute one for the other.
//
// What `Rows` provides (regions already checked; steps in bytes, filter strides in floats):
//   add, subtract (src2 - src1), mul     (src1, step1, src2, step2, dst, step, roi)
//   div (dst = src2 / src1, zero-divisor rule; true when a divisor counted as zero)
//   add_const (value, src_dst, step, roi)       sqr (src, step, dst, step, roi)
//   set (bit pattern, dst, step, roi)
//   filter_row, filter_column (src, stride, dst, stride, roi, kernel, size, anchor)
//   weighted_run (src, src_dst, n, alpha): src_dst = src_dst + alpha * (src - src_dst) in double
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "primitives/checks.hpp"
#include "primitives/columns.hpp"
#include "primitives/row_access.hpp"

namespace {
namespace column0 {

// The element-wise two-source kernels: `Op` is the row loop of Rows to run.
template <auto Op>
PrimStatus binary(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                  float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status =
        prim_check::three(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    Op(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    return prim_ok;
}

template <class Rows>
PrimStatus div_32f(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                   float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status =
        prim_check::three(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    return Rows::div(src1, src1_step, src2, src2_step, dst, dst_step, roi) ? prim_warn_div_by_zero
                                                                           : prim_ok;
}

template <class Rows>
PrimStatus add_const_inplace_32f(float value, float* src_dst, int32_t src_dst_step, Size roi) {
    const PrimStatus status = prim_check::one(src_dst, src_dst_step, roi);
    if (status != prim_ok) return status;
    Rows::add_const(value, src_dst, src_dst_step, roi);
    return prim_ok;
}

template <class Rows>
PrimStatus sqr_32f(const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = prim_check::two(src, src_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    // This kernel walks whole floats: each step is truncated to a multiple of 4 bytes.
    Rows::sqr(src, src_step & ~3, dst, dst_step & ~3, roi);
    return prim_ok;
}

template <class Rows>
PrimStatus set_32f(float value, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = prim_check::one(dst, dst_step, roi);
    if (status != prim_ok) return status;
    // Stored as a 32-bit word so that no float load or store can quiet a signalling NaN.
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    Rows::set(bits, dst, dst_step, roi);
    return prim_ok;
}

// Both filters: `Op` is the row or the column loop of Rows. Rows advance by whole floats: each
// step is truncated to a multiple of 4 bytes.
template <auto Op>
PrimStatus filter(const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi,
                  const float* kernel, int32_t kernel_size, int32_t anchor) {
    const PrimStatus status =
        prim_check::filter(src, src_step, dst, dst_step, roi, kernel, kernel_size);
    if (status != prim_ok) return status;
    Op(src, src_step / 4, dst, dst_step / 4, roi, kernel, kernel_size, anchor);
    return prim_ok;
}

// Contiguous rows (or a single row) are one run; the folding changes no value.
template <class Rows>
PrimStatus add_weighted_inplace_32f(const float* src, int32_t src_step, float* src_dst,
                                    int32_t src_dst_step, Size roi, float alpha) {
    const PrimStatus status =
        prim_check::running_average(src, src_step, src_dst, src_dst_step, roi);
    if (status != prim_ok) return status;
    const int64_t row_bytes = int64_t{4} * roi.width;
    if (roi.width == 0 || roi.height == 0) return prim_ok;
    if (roi.height == 1 || (src_step == row_bytes && src_dst_step == row_bytes)) {
        Rows::weighted_run(src, src_dst, int64_t{roi.width} * roi.height, alpha);
        return prim_ok;
    }
    for (int32_t y = 0; y < roi.height; ++y) {
        Rows::weighted_run(reinterpret_cast<const float*>(prim_detail::row_at(src, src_step, y)),
                           reinterpret_cast<float*>(prim_detail::row_at(src_dst, src_dst_step, y)),
                           roi.width, alpha);
    }
    return prim_ok;
}

// The column of one flavour. Allocation, release and copy move no float values and have one
// routine for both flavours (the copy is memmove, which already uses the widest moves the
// machine has); the caller passes them in.
template <class Rows>
PrimColumn with_rows(prim_malloc_32f_fn malloc_32f, prim_free_fn free, prim_copy_32f_fn copy_32f) {
    return PrimColumn{
        .malloc_32f = malloc_32f,
        .free = free,
        .copy_32f = copy_32f,
        .add_32f = &binary<&Rows::add>,
        .add_const_inplace_32f = &add_const_inplace_32f<Rows>,
        .subtract_32f = &binary<&Rows::subtract>,
        .set_32f = &set_32f<Rows>,
        .mul_32f = &binary<&Rows::mul>,
        .div_32f = &div_32f<Rows>,
        .sqr_32f = &sqr_32f<Rows>,
        .filter_row_32f = &filter<&Rows::filter_row>,
        .filter_column_32f = &filter<&Rows::filter_column>,
        .add_weighted_inplace_32f = &add_weighted_inplace_32f<Rows>,
    };
}

}  // namespace column0
}  // namespace
