// The fused pipeline's row routines for every processor: built without instruction-set flags.
// Also decides which flavour this processor runs.
#include <atomic>

#include "engine/fused_rows.hpp"

#define ENGINE_FUSED_NS fused_base
#define ENGINE_FUSED_NAME "base"
#include "engine/fused_rows_impl.hpp"

#include "primitives/cpu_features.hpp"

namespace engine_fused {

int64_t largest_cache_bytes() {
    return cpu_features().largest_cache_bytes;
}

const RowOps& row_ops_base() {
    return fused_base::ops;
}

int32_t row_ops_available(const RowOps* out[3]) {
    int32_t count = 0;
    // The vector flavours are built for 64-bit x86 only (see CMakeLists.txt).
#if defined(ORVANE_FUSED_VECTOR_FLAVOURS)
    if (cpu_features().avx512) out[count++] = &row_ops_avx512();
    if (cpu_features().avx2) out[count++] = &row_ops_avx2();
#endif
    out[count++] = &row_ops_base();
    return count;
}

const RowOps& row_ops_best() {
    static const RowOps* best = [] {
        const RowOps* list[3];
        row_ops_available(list);
        return list[0];
    }();
    return *best;
}

namespace {
std::atomic<const RowOps*> g_chosen{nullptr};
}  // namespace

const RowOps& row_ops_in_use() {
    const RowOps* chosen = g_chosen.load(std::memory_order_relaxed);
    return chosen != nullptr ? *chosen : row_ops_best();
}

const RowOps* row_ops_choose(const RowOps* ops) {
    return g_chosen.exchange(ops, std::memory_order_relaxed);
}

}  // namespace engine_fused
