// The fused pipeline's row routines for every processor: built without instruction-set flags.
// Also decides which flavour this processor runs.
#include <atomic>

#include "engine/fused_rows.hpp"

#define ENGINE_FUSED_NS fused_base
#define ENGINE_FUSED_NAME "base"
#include "engine/fused_rows_impl.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace engine_fused {

namespace {

struct Machine {
    bool avx2 = false;
    bool avx512 = false;
    int64_t cache_bytes = 0;  // largest_cache_bytes()
};

#if defined(__x86_64__) || defined(__i386__)
// The largest data or unified cache in the processor's list of its caches (leaf 4 on Intel's,
// 0x8000001D on AMD's and Hygon's, which share the layout): ways x partitions x line x sets.
int64_t largest_listed_cache() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    const auto top = static_cast<unsigned>(__get_cpuid_max(0, &ebx));
    const bool amd = ebx == 0x68747541u || ebx == 0x6F677948u;  // "Auth", "Hygo"
    unsigned leaf = 4;
    if (amd) {
        leaf = 0x8000001Du;
        if (static_cast<unsigned>(__get_cpuid_max(0x80000000u, nullptr)) < leaf) return 0;
        __cpuid(0x80000001u, eax, ebx, ecx, edx);
        if ((ecx & (1u << 22)) == 0) return 0;  // no cache list (topology extensions)
    } else if (top < 4) {
        return 0;
    }
    int64_t largest = 0;
    for (unsigned index = 0; index < 16; ++index) {
        __cpuid_count(leaf, index, eax, ebx, ecx, edx);
        const unsigned type = eax & 31u;  // 0: no more; 1 data, 2 instruction, 3 unified
        if (type == 0) break;
        if (type == 2) continue;
        const int64_t bytes = int64_t{((ebx >> 22) & 1023u) + 1} * (((ebx >> 12) & 1023u) + 1) *
                              ((ebx & 4095u) + 1) * (int64_t{ecx} + 1);
        if (bytes > largest) largest = bytes;
    }
    return largest;
}
#endif

// AVX2 needs the processor's flag and the OS saving the 256-bit state (XCR0 bits 1 and 2); the
// 512-bit flavour needs AVX-512 F, DQ and VL and the OS saving the opmask and upper 512-bit state
// as well (XCR0 bits 5 to 7).
Machine examine() {
    Machine m;
#if defined(__x86_64__) || defined(__i386__)
    m.cache_bytes = largest_listed_cache();
#endif
#if defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return m;
    __cpuid(1, eax, ebx, ecx, edx);
    constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
    if ((ecx & kOsxsave) == 0 || (ecx & kAvx) == 0) return m;
    unsigned xcr0 = 0, xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0 & 6u) != 6u) return m;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    m.avx2 = (ebx & (1u << 5)) != 0;
    constexpr unsigned kF = 1u << 16, kDq = 1u << 17, kVl = 1u << 31;
    m.avx512 = m.avx2 && (ebx & (kF | kDq | kVl)) == (kF | kDq | kVl) && (xcr0 & 0xE6u) == 0xE6u;
#endif
    return m;
}

const Machine& machine() {
    static const Machine m = examine();
    return m;
}

}  // namespace

int64_t largest_cache_bytes() {
    return machine().cache_bytes;
}

const RowOps& row_ops_base() {
    return fused_base::ops;
}

int32_t row_ops_available(const RowOps* out[3]) {
    int32_t count = 0;
    // The vector flavours are built for 64-bit x86 only (see CMakeLists.txt).
#if defined(ORVANE_FUSED_VECTOR_FLAVOURS)
    if (machine().avx512) out[count++] = &row_ops_avx512();
    if (machine().avx2) out[count++] = &row_ops_avx2();
#else
    (void)machine;
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
