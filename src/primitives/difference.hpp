// Plain (column-0) variants of the image difference and the running average. Callers outside the
// primitives use the slot wrappers of primitives.hpp.
#pragma once

#include "primitives/primitives.hpp"

// dst = src2 - src1
PrimStatus prim_subtract_32f_c0(const float* src1, int32_t src1_step, const float* src2,
                                int32_t src2_step, float* dst, int32_t dst_step, Size roi);
// src_dst = src_dst + alpha * (src - src_dst), in double, rounded once
PrimStatus prim_add_weighted_inplace_32f_c0(const float* src, int32_t src_step, float* src_dst,
                                            int32_t src_dst_step, Size roi, float alpha);
