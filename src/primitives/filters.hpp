// Plain (column-0) variants of the separable row and column filters: true convolution, each
// output the sum of its products in double precision in order of increasing source coordinate,
// rounded once to float. Callers outside the primitives use the slot wrappers of primitives.hpp.
#pragma once

#include "primitives/primitives.hpp"

PrimStatus prim_filter_row_32f_c0(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                                  Size roi, const float* kernel, int32_t kernel_size,
                                  int32_t anchor);
PrimStatus prim_filter_column_32f_c0(const float* src, int32_t src_step, float* dst,
                                     int32_t dst_step, Size roi, const float* kernel,
                                     int32_t kernel_size, int32_t anchor);
