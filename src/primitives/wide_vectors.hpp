// Eight-lane (AVX2) routines of column 3, and whether this machine may run them.
//
// Column 3 is the variant column of SSE2 processors. Where the processor has AVX2 and the
// operating system saves the 256-bit registers on a context switch, its routines hand the work
// to the eight-lane routines below, which store exactly what the four-lane routines store (the
// same operations in the same order for every pixel). The column-3 routines of kernels_sse2.cpp
// ask prim_wide_vectors() on every call; the answer is computed once.
#pragma once

#include "primitives/primitives.hpp"

// True when AVX2 is present, the OS has enabled the AVX register state (OSXSAVE and XGETBV),
// and prim_allow_wide_vectors has not turned the eight-lane routines off.
bool prim_wide_vectors();
// True when AVX2 is present and the OS has enabled the AVX register state, whatever the hook
// below says; other users of eight-lane code ask this.
bool prim_machine_has_wide_vectors();
// Test and benchmark hook: with false, column 3 runs its four-lane path even on AVX2 machines.
// Returns the previous setting. It cannot turn the eight-lane routines on where the machine
// lacks them.
bool prim_allow_wide_vectors(bool allow);

PrimStatus prim_copy_32f_avx2(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                              Size roi);
PrimStatus prim_set_32f_avx2(float value, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_add_32f_avx2(const float* src1, int32_t src1_step, const float* src2,
                             int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_add_const_inplace_32f_avx2(float value, float* src_dst, int32_t src_dst_step,
                                           Size roi);
PrimStatus prim_subtract_32f_avx2(const float* src1, int32_t src1_step, const float* src2,
                                  int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_mul_32f_avx2(const float* src1, int32_t src1_step, const float* src2,
                             int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_div_32f_avx2(const float* src1, int32_t src1_step, const float* src2,
                             int32_t src2_step, float* dst, int32_t dst_step, Size roi);
PrimStatus prim_sqr_32f_avx2(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                             Size roi);
PrimStatus prim_filter_row_32f_avx2(const float* src, int32_t src_step, float* dst,
                                    int32_t dst_step, Size roi, const float* kernel,
                                    int32_t kernel_size, int32_t anchor);
PrimStatus prim_filter_column_32f_avx2(const float* src, int32_t src_step, float* dst,
                                       int32_t dst_step, Size roi, const float* kernel,
                                       int32_t kernel_size, int32_t anchor);
PrimStatus prim_add_weighted_inplace_32f_avx2(const float* src, int32_t src_step, float* src_dst,
                                              int32_t src_dst_step, Size roi, float alpha);

// The filters' scratch block for long kernels: `floats` floats, 32-byte aligned, from the image
// heap (through the malloc slot), or null. Defined out of line in a file built without
// instruction-set flags: the inline slot wrappers must not be compiled inside the vector files,
// where the linker could pick their copy, built for a newer processor, for every caller.
float* prim_scratch_block(int32_t floats);
void prim_release_scratch_block(float* block);

// Region sizes [bytes] above which the column-3 copy and fill store past the cache: a region
// that large would only evict what the next kernels read.
inline constexpr int64_t prim_stream_copy_above = 131072;
inline constexpr int64_t prim_stream_set_above = 262144;
