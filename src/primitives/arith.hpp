// Plain (column-0) variants of the element-wise arithmetic kernels. They are the reference: every
// stored value is the correctly rounded single-precision result of one operation, and the
// division follows the zero-divisor rule (see arith.cpp). Callers outside the primitives use the
// slot wrappers of primitives.hpp.
#pragma once

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

// The quotient n / d of the division kernel's reference rule, for one element. A divisor that is
// zero (either sign) or NaN gives +infinity for n > 0, -infinity for n < 0 and the NaN 0xFFC00000
// otherwise, and sets *zero_divisor. Processor-specific division variants use it for the
// elements that their blocks do not take.
float prim_div_reference(float d, float n, bool* zero_divisor);
