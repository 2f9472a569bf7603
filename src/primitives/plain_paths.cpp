// Which path the column-0 routines take. Built without instruction-set flags: it runs on every
// processor, including those that it rules out.
#include "primitives/plain_paths.hpp"

#include "primitives/wide_vectors.hpp"

namespace {

std::atomic<bool> g_allowed{true};

}  // namespace

bool prim_plain_wide_available() {
#if defined(__x86_64__)
    // The machine is examined once and the answer cached by the column-3 detection.
    return prim_machine_has_wide_vectors();
#else
    return false;
#endif
}

bool prim_plain_wide() {
    return g_allowed.load(std::memory_order_relaxed) && prim_plain_wide_available();
}

bool prim_allow_plain_wide(bool allow) {
    return g_allowed.exchange(allow, std::memory_order_relaxed);
}
