// The fused pipeline's row routines with 512-bit vectors (eight doubles, sixteen floats): built
// with AVX-512 F, DQ and VL and -ffp-contract=off, so that no multiply-add is fused.
#include "engine/fused_rows.hpp"

#define ENGINE_FUSED_NS fused_avx512
#define ENGINE_FUSED_NAME "avx512"
#include "engine/fused_rows_impl.hpp"

const engine_fused::RowOps& engine_fused::row_ops_avx512() {
    return fused_avx512::ops;
}
