// Column 2: processors with four-lane single-precision vectors (SSE) but without SSE2 (class 2).
//
// Only this file of the column is built with -msse. Every kernel that computes takes the
// four-lane row loops of simd_kernels.hpp; allocation and release stay the plain routines. The
// copy and the fill use vector moves and never bypass the cache.
#include "primitives/simd_kernels.hpp"

PrimColumn prim_column2_sse() {
    return simd::vector_column<simd::Lanes4, prim_never_stream, prim_never_stream>();
}
