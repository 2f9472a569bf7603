// The two paths of the plain (column-0) kernels, and which one runs.
//
// Column 0 is the reference that every other column is compared with, and it is also what the
// variant selection gives to every processor that is not identified as an Intel one. On such
// processors with AVX2 (and an OS that saves the 256-bit registers) the column-0 routines hand
// their row loops to the routines below, built in plain_avx2.cpp alone with -mavx2 and without
// fused multiply-add. They do the same IEEE operations in the same order for every pixel as the
// baseline loops (the filters and the running average in double, rounded once at the store;
// the division in single precision with the same special-value rule), so the stored bits do not
// depend on the path. Only the argument checks stay in the column-0 routines; the routines here
// are called with checked arguments.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "primitives/primitives.hpp"

// True when the column-0 routines run their eight-lane path: the machine has AVX2 with the OS
// support for it, the build is a 64-bit one (32-bit builds may evaluate the baseline's double
// sums on the x87 stack, which the vector path could not match), and the hook below allows it.
// The machine is examined once.
bool prim_plain_wide();
// Test and benchmark hook: with false, column 0 runs its baseline loops even where the eight-lane
// path could run. Returns the previous setting. It cannot turn the path on where the machine or
// the build lacks it.
bool prim_allow_plain_wide(bool allow);
// Whether this machine and build could run the eight-lane path at all (ignores the hook).
bool prim_plain_wide_available();

// ---- eight-lane row loops of the column-0 kernels (arguments already checked) -----------------
// Steps are in bytes and taken as given, so rows may start anywhere; the filters take strides
// in floats.

// dst = src1 + src2, dst = src2 - src1, dst = src1 * src2
void prim_plain_add_rows_avx2(const float* src1, int32_t src1_step, const float* src2,
                              int32_t src2_step, float* dst, int32_t dst_step, Size roi);
void prim_plain_subtract_rows_avx2(const float* src1, int32_t src1_step, const float* src2,
                                   int32_t src2_step, float* dst, int32_t dst_step, Size roi);
void prim_plain_mul_rows_avx2(const float* src1, int32_t src1_step, const float* src2,
                              int32_t src2_step, float* dst, int32_t dst_step, Size roi);
// dst = src2 / src1 with the zero-divisor rule; true when any divisor was zero or NaN.
bool prim_plain_div_rows_avx2(const float* src1, int32_t src1_step, const float* src2,
                              int32_t src2_step, float* dst, int32_t dst_step, Size roi);
// src_dst = src_dst + value
void prim_plain_add_const_rows_avx2(float value, float* src_dst, int32_t src_dst_step, Size roi);
// dst = src * src
void prim_plain_sqr_rows_avx2(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                              Size roi);
// Every float of the region becomes the bit pattern `bits` (no float operation touches it).
void prim_plain_set_rows_avx2(uint32_t bits, float* dst, int32_t dst_step, Size roi);
// Convolution along rows / down columns: dst(x) = sum over k of kernel[k] * src(x + anchor - k),
// summed in double from the largest k down, starting at +0.0, rounded once. Strides [floats].
void prim_plain_filter_row_avx2(const float* src, std::ptrdiff_t src_stride, float* dst,
                                std::ptrdiff_t dst_stride, Size roi, const float* kernel,
                                int32_t kernel_size, int32_t anchor);
void prim_plain_filter_column_avx2(const float* src, std::ptrdiff_t src_stride, float* dst,
                                   std::ptrdiff_t dst_stride, Size roi, const float* kernel,
                                   int32_t kernel_size, int32_t anchor);
// d[i] = d[i] + alpha * (s[i] - d[i]) in double, rounded once, for n floats.
void prim_plain_weighted_run_avx2(const float* s, float* d, int64_t n, double alpha);
