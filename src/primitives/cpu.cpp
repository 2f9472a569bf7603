// Processor identification: reading the CPUID words of this processor, and the pure decision
// that maps CPUID words to a processor type and a type to a class. The decision reads only the
// family and five feature flags, so tests can feed it the words of any processor. Also what
// every layer's processor-specific code may use here (cpu_features.hpp).
#include <cstdint>

#include "primitives/columns.hpp"
#include "primitives/cpu_features.hpp"
#include "primitives/primitives.hpp"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

// The vendor identification "GenuineIntel" as leaf 0 returns it in EBX, EDX, ECX.
constexpr uint32_t kGenu = 0x756e6547;  // "Genu"
constexpr uint32_t kIneI = 0x49656e69;  // "ineI"
constexpr uint32_t kNtel = 0x6c65746e;  // "ntel"

constexpr bool bit(uint32_t word, int n) {
    return ((word >> n) & 1u) != 0;
}

#if defined(__i386__)
// A 32-bit processor has CPUID when bit 21 (ID) of EFLAGS can be inverted.
bool id_flag_toggles() {
    uint32_t before, after;
    __asm__ volatile(
        "pushfl\n\t"
        "popl %0\n\t"
        "movl %0, %1\n\t"
        "xorl $0x200000, %1\n\t"
        "pushl %1\n\t"
        "popfl\n\t"
        "pushfl\n\t"
        "popl %1\n\t"
        "pushl %0\n\t"
        "popfl"
        : "=&r"(before), "=&r"(after)
        :
        : "cc");
    return ((before ^ after) & 0x200000u) != 0;
}
#endif

#if defined(__i386__) || defined(__x86_64__)
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

// The CPUID bits say what the processor can do; XCR0 says whether the OS saves the XMM (bit 1)
// and YMM (bit 2) state, without which 256-bit registers are not usable, and the opmask and
// upper 512-bit state (bits 5 to 7) for the 512-bit registers.
CpuFeatures examine_features() {
    CpuFeatures f;
#if defined(__i386__) || defined(__x86_64__)
#if defined(__i386__)
    if (!id_flag_toggles()) return f;
#endif
    f.largest_cache_bytes = largest_listed_cache();
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return f;
    __cpuid(1, eax, ebx, ecx, edx);
    constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28, kFma = 1u << 12;
    if ((ecx & kOsxsave) == 0 || (ecx & kAvx) == 0) return f;
    const bool fma = (ecx & kFma) != 0;
    unsigned xcr0 = 0, xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0 & 6u) != 6u) return f;
    f.fma = fma;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    f.avx2 = (ebx & (1u << 5)) != 0;
    constexpr unsigned kF = 1u << 16, kDq = 1u << 17, kVl = 1u << 31;
    f.avx512 = f.avx2 && (ebx & (kF | kDq | kVl)) == (kF | kDq | kVl) && (xcr0 & 0xE6u) == 0xE6u;
#endif
    return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = examine_features();
    return features;
}

bool prim_cpu_has_avx2() {
    return cpu_features().avx2;
}

CpuidWords prim_read_cpuid() {
    CpuidWords words;
#if defined(__i386__) || defined(__x86_64__)
#if defined(__i386__)
    if (!id_flag_toggles()) return words;
#endif
    // Every x86-64 processor has CPUID (and the ID flag cannot be tested there without
    // touching the stack below the red zone).
    words.has_cpuid = true;
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return words;
    words.leaf0_ebx = ebx;
    words.leaf0_ecx = ecx;
    words.leaf0_edx = edx;
    if (eax >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
        words.leaf1_eax = eax;
        words.leaf1_ebx = ebx;
        words.leaf1_ecx = ecx;
        words.leaf1_edx = edx;
    }
#endif
    return words;
}

int32_t prim_cpu_type_from(const CpuidWords& words) {
    if (!words.has_cpuid) return 0;
    if (words.leaf0_ebx != kGenu || words.leaf0_edx != kIneI || words.leaf0_ecx != kNtel) return 0;

    const uint32_t family = (words.leaf1_eax >> 8) & 0xF;
    const bool mmx = bit(words.leaf1_edx, 23);
    const bool sse = bit(words.leaf1_edx, 25);
    const bool sse2 = bit(words.leaf1_edx, 26);
    const bool sse3 = bit(words.leaf1_ecx, 0);
    const bool multi_threading = bit(words.leaf1_edx, 28) && ((words.leaf1_ebx >> 16) & 0xFF) > 1;

    switch (family) {
        case 7:
            return 16;
        case 15:
            if (!sse2) return 17;
            if (sse3) return 8;
            return multi_threading ? 7 : 6;
        case 5:
            return mmx ? 2 : 1;
        case 6:
            if (sse2) return 6;
            if (sse) return 5;
            return mmx ? 4 : 3;
        default:
            return 0;
    }
}

int32_t prim_cpu_class_of_type(int32_t type) {
    switch (type) {
        case 4:
            return 1;
        case 5:
            return 2;
        case 6:
        case 7:
        case 8:
            return 3;
        default:
            return 0;
    }
}

int32_t prim_cpu_type() {
    return prim_cpu_type_from(prim_read_cpuid());
}

int32_t prim_cpu_class() {
    return prim_cpu_class_of_type(prim_cpu_type());
}
