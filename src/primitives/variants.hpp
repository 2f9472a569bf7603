// The four columns of every kernel, as the variant table names them.
//
// Column 0 is the plain reference (declared in the kernels' own headers). Columns 1 to 3 serve
// processor classes 1 (MMX), 2 (SSE) and 3 (SSE2). A column that has no routine of its own is an
// alias of the plain routine below; to give a kernel a processor-specific routine, replace its
// alias line with the declaration of the routine, defined in the column's own file
// (kernels_mmx.cpp, kernels_sse.cpp, kernels_sse2.cpp), which alone is built with the
// instruction-set flags. The table in dispatch.cpp needs no change.
#pragma once

#include "primitives/arith.hpp"
#include "primitives/difference.hpp"
#include "primitives/filters.hpp"
#include "primitives/image.hpp"

// ---- column 1: MMX, no SSE ---------------------------------------------------------------
inline constexpr prim_malloc_32f_fn prim_malloc_32f_c1 = &prim_malloc_32f_c0;
inline constexpr prim_free_fn prim_free_c1 = &prim_free_c0;
PrimStatus prim_copy_32f_c1(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                            Size roi);
inline constexpr prim_binary_32f_fn prim_add_32f_c1 = &prim_add_32f_c0;
inline constexpr prim_add_const_inplace_32f_fn prim_add_const_inplace_32f_c1 =
    &prim_add_const_inplace_32f_c0;
inline constexpr prim_binary_32f_fn prim_subtract_32f_c1 = &prim_subtract_32f_c0;
PrimStatus prim_set_32f_c1(float value, float* dst, int32_t dst_step, Size roi);
inline constexpr prim_binary_32f_fn prim_mul_32f_c1 = &prim_mul_32f_c0;
PrimStatus prim_div_32f_c1(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
inline constexpr prim_sqr_32f_fn prim_sqr_32f_c1 = &prim_sqr_32f_c0;
inline constexpr prim_filter_32f_fn prim_filter_row_32f_c1 = &prim_filter_row_32f_c0;
inline constexpr prim_filter_32f_fn prim_filter_column_32f_c1 = &prim_filter_column_32f_c0;
inline constexpr prim_add_weighted_inplace_32f_fn prim_add_weighted_inplace_32f_c1 =
    &prim_add_weighted_inplace_32f_c0;

// ---- column 2: SSE, no SSE2 --------------------------------------------------------------
inline constexpr prim_malloc_32f_fn prim_malloc_32f_c2 = &prim_malloc_32f_c0;
inline constexpr prim_free_fn prim_free_c2 = &prim_free_c0;
PrimStatus prim_copy_32f_c2(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                            Size roi);
PrimStatus prim_add_32f_c2(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_add_const_inplace_32f_c2(float value, float* src_dst, int32_t src_dst_step,
                                         Size roi);
PrimStatus prim_subtract_32f_c2(const float* src1, int32_t src1_step, const float* src2,
                                int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_set_32f_c2(float value, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_mul_32f_c2(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_div_32f_c2(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_sqr_32f_c2(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                           Size roi);
PrimStatus prim_filter_row_32f_c2(const float* src, int32_t src_step, float* dst,
                                  int32_t dst_step, Size roi, const float* kernel,
                                  int32_t kernel_size, int32_t anchor);
PrimStatus prim_filter_column_32f_c2(const float* src, int32_t src_step, float* dst,
                                     int32_t dst_step, Size roi, const float* kernel,
                                     int32_t kernel_size, int32_t anchor);
PrimStatus prim_add_weighted_inplace_32f_c2(const float* src, int32_t src_step, float* src_dst,
                                            int32_t src_dst_step, Size roi, float alpha);

// ---- column 3: SSE2 ----------------------------------------------------------------------
inline constexpr prim_malloc_32f_fn prim_malloc_32f_c3 = &prim_malloc_32f_c0;
inline constexpr prim_free_fn prim_free_c3 = &prim_free_c0;
PrimStatus prim_copy_32f_c3(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                            Size roi);
PrimStatus prim_add_32f_c3(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_add_const_inplace_32f_c3(float value, float* src_dst, int32_t src_dst_step,
                                         Size roi);
PrimStatus prim_subtract_32f_c3(const float* src1, int32_t src1_step, const float* src2,
                                int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_set_32f_c3(float value, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_mul_32f_c3(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_div_32f_c3(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_sqr_32f_c3(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                           Size roi);
PrimStatus prim_filter_row_32f_c3(const float* src, int32_t src_step, float* dst,
                                  int32_t dst_step, Size roi, const float* kernel,
                                  int32_t kernel_size, int32_t anchor);
PrimStatus prim_filter_column_32f_c3(const float* src, int32_t src_step, float* dst,
                                     int32_t dst_step, Size roi, const float* kernel,
                                     int32_t kernel_size, int32_t anchor);
PrimStatus prim_add_weighted_inplace_32f_c3(const float* src, int32_t src_step, float* src_dst,
                                            int32_t src_dst_step, Size roi, float alpha);
