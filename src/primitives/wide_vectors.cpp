// Detection of the eight-lane (AVX2) path of column 3, and the heap calls of the vector files.
// Built without instruction-set flags: it must run on every processor, including those that it
// rules out.
#include "primitives/wide_vectors.hpp"

#include <atomic>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

bool machine_has_avx2() {
#if defined(__i386__) || defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid(1, eax, ebx, ecx, edx);
    constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
    if ((ecx & kOsxsave) == 0 || (ecx & kAvx) == 0) return false;
    // The CPUID bits say what the processor can do; XCR0 says whether the OS saves the XMM
    // (bit 1) and YMM (bit 2) state, without which 256-bit registers are not usable.
    unsigned xcr0_lo = 0, xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 6u) != 6u) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    constexpr unsigned kAvx2 = 1u << 5;
    return (ebx & kAvx2) != 0;
#else
    return false;
#endif
}

// -1: not yet examined; 0 or 1 afterwards. Written only with the same value by racing callers.
std::atomic<int> g_machine{-1};
std::atomic<bool> g_allowed{true};

}  // namespace

bool prim_machine_has_wide_vectors() {
    int machine = g_machine.load(std::memory_order_relaxed);
    if (machine < 0) {
        machine = machine_has_avx2() ? 1 : 0;
        g_machine.store(machine, std::memory_order_relaxed);
    }
    return machine == 1;
}

bool prim_wide_vectors() {
    return prim_machine_has_wide_vectors() && g_allowed.load(std::memory_order_relaxed);
}

bool prim_allow_wide_vectors(bool allow) {
    return g_allowed.exchange(allow, std::memory_order_relaxed);
}

float* prim_scratch_block(int32_t floats) {
    int32_t step = 0;
    return prim_malloc_32f(floats, 1, &step);
}

void prim_release_scratch_block(float* block) {
    prim_free(block);
}
