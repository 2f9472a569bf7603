// Plain (column-0) variants of the element-wise arithmetic kernels. They are the reference: every
// stored value is the correctly rounded single-precision result of one operation, and the
// division follows the zero-divisor rule (see arith.cpp). Callers outside the primitives use the
// slot wrappers of primitives.hpp.
#pragma once

#include <cstddef>

#include "primitives/primitives.hpp"

PrimStatus prim_add_32f_c0(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_add_const_inplace_32f_c0(float value, float* src_dst, int32_t src_dst_step,
                                         Size roi);
PrimStatus prim_mul_32f_c0(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_div_32f_c0(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_sqr_32f_c0(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                           Size roi);

// The division kernel's reference rule over a run of n elements: quotient[i] =
// dividend[i] / divisor[i], where a divisor that is zero (either sign) or NaN gives +infinity
// for a dividend > 0, -infinity for one < 0 and the NaN 0xFFC00000 otherwise. Returns whether
// any divisor counted as zero. The pointers need not be 4-byte aligned (rows of byte-stepped
// images). Processor-specific division variants use it for the elements that their blocks do
// not take.
bool prim_div_reference_run(const float* divisor, const float* dividend, float* quotient,
                            std::ptrdiff_t n);
