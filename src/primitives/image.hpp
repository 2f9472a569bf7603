// Plain (column-0) variants of image storage and of the kernels that move regions without
// arithmetic. Callers outside the primitives use the slot wrappers of primitives.hpp; these
// names exist for the variant table and for processor-specific variants that fall back on them.
#pragma once

#include "primitives/primitives.hpp"

float* prim_malloc_32f_c0(int32_t width, int32_t height, int32_t* step);
void prim_free_c0(void* ptr);
PrimStatus prim_copy_32f_c0(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                            Size roi);
PrimStatus prim_set_32f_c0(float value, float* dst, int32_t dst_step, Size roi);
