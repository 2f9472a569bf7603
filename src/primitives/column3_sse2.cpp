// Column 3, four lanes: processors with SSE2 (class 3).
//
// Only this file of the column's four-lane flavour is built with -msse2. The kernels run the
// four-lane row loops of simd_kernels.hpp; the copy and the fill bypass the cache for regions
// above 128 KiB and 256 KiB. On machines with AVX2 the variant table names the eight-lane
// flavour of column3_avx2.cpp instead, which stores the same values.
#include "primitives/simd_kernels.hpp"

PrimColumn prim_column3_sse2() {
    return simd::vector_column<simd::Lanes4, prim_stream_copy_above, prim_stream_set_above>();
}
