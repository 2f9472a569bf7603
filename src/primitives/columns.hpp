// The variant columns as typed tables: one struct of kernel addresses per column and instruction
// set, each built by the one file of that name.
//
//   column          file                 processors
//   0, plain        column0_plain.cpp    any (the reference every other column is compared with)
//   0, eight lanes  column0_avx2.cpp     64-bit builds on AVX2 machines whose OS saves the YMM
//   state 1               column1_mmx.cpp      class 1: MMX without SSE 2 column2_sse.cpp class 2:
//   SSE without SSE2 3, four lanes   column3_sse2.cpp     class 3: SSE2 3, eight lanes
//   column3_avx2.cpp     class 3 on AVX2 machines whose OS saves the YMM state
//
// Where a column has an eight-lane flavour, the variant table names it when the table is built
// at start-up (see dispatch.cpp), so a kernel call never asks which flavour to run. Both
// flavours of a column store the same bits. Only the files of a flavour are built with its
// instruction-set flags; everything here is plain code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/primitives.hpp"

// One column's routines, one member per kernel in the order of the variant table. Being typed,
// a routine of the wrong signature does not compile into a column.
struct PrimColumn {
    prim_malloc_32f_fn malloc_32f;
    prim_free_fn free;
    prim_copy_32f_fn copy_32f;
    prim_binary_32f_fn add_32f;
    prim_add_const_inplace_32f_fn add_const_inplace_32f;
    prim_binary_32f_fn subtract_32f;
    prim_set_32f_fn set_32f;
    prim_binary_32f_fn mul_32f;
    prim_binary_32f_fn div_32f;
    prim_sqr_32f_fn sqr_32f;
    prim_filter_32f_fn filter_row_32f;
    prim_filter_32f_fn filter_column_32f;
    prim_add_weighted_inplace_32f_fn add_weighted_inplace_32f;
};

PrimColumn prim_column0_plain();
PrimColumn prim_column0_avx2();
PrimColumn prim_column1_mmx();
PrimColumn prim_column2_sse();
PrimColumn prim_column3_sse2();
PrimColumn prim_column3_avx2();

// True when the processor has AVX2 and the OS saves the 256-bit registers (OSXSAVE, XGETBV).
// Examined once.
bool prim_cpu_has_avx2();

// The division kernel's reference rule over a run of n elements: quotient[i] =
// dividend[i] / divisor[i], where a divisor that is zero (either sign) or NaN gives +infinity
// for a dividend > 0, -infinity for one < 0 and the NaN 0xFFC00000 otherwise. Returns whether
// any divisor counted as zero. The pointers need not be 4-byte aligned (rows of byte-stepped
// images). The vector and MMX divisions use it for the elements that their blocks do not take.
bool prim_div_reference_run(const float* divisor, const float* dividend, float* quotient,
                            std::ptrdiff_t n);

// The vector filters' scratch block for long kernels: `floats` floats, 32-byte aligned, from the
// image heap (through the malloc slot), or null. Defined out of line in a file built without
// instruction-set flags: the inline slot wrappers must not be compiled inside the vector files,
// where the linker could pick their copy, built for a newer processor, for every caller.
float* prim_scratch_block(int32_t floats);
void prim_release_scratch_block(float* block);

// Region sizes [bytes] above which the column-3 copy and fill store past the cache: a region
// that large would only evict what the next kernels read. Negative: never (column 2).
inline constexpr int64_t prim_stream_copy_above = 131072;
inline constexpr int64_t prim_stream_set_above = 262144;
inline constexpr int64_t prim_never_stream = -1;
