// The fused pipeline's row routines with eight-lane vectors: built with -mavx2, without -mfma.
#include "engine/fused_rows.hpp"

#define ENGINE_FUSED_NS fused_avx2
#define ENGINE_FUSED_NAME "avx2"
#include "engine/fused_rows_impl.hpp"

const engine_fused::RowOps& engine_fused::row_ops_avx2() {
    return fused_avx2::ops;
}
