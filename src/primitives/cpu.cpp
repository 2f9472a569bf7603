// Processor identification: reading the CPUID words of this processor, and the pure decision
// that maps CPUID words to a processor type and a type to a class. The decision reads only the
// family and five feature flags, so tests can feed it the words of any processor. Also whether
// the eight-lane (AVX2) flavours of columns 0 and 3 can run here.
#include <cstdint>

#include "primitives/columns.hpp"
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

bool examine_avx2() {
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

}  // namespace

bool prim_cpu_has_avx2() {
    static const bool has = examine_avx2();
    return has;
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
