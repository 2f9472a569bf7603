// Processor identification as a pure function of the CPUID words: the type table over a grid of
// processors, the class of every type, and the reading of this processor's words.
#include <gtest/gtest.h>

#include <cstdint>

#include "primitives/primitives.hpp"

namespace {

enum Feature : uint32_t {
    kMmx = 1u << 23,
    kSse = 1u << 25,
    kSse2 = 1u << 26,
    kHtt = 1u << 28,
};

struct Vendor {
    uint32_t ebx, edx, ecx;
};
constexpr Vendor kIntel{0x756e6547, 0x49656e69, 0x6c65746e};         // "Genu" "ineI" "ntel"
constexpr Vendor kAmd{0x68747541, 0x69746e65, 0x444d4163};           // "Auth" "enti" "cAMD"
constexpr Vendor kIntelSwapped{0x756e6547, 0x6c65746e, 0x49656e69};  // ECX and EDX exchanged

CpuidWords words(Vendor v, uint32_t family, uint32_t edx, bool sse3 = false, uint32_t logical = 1,
                 uint32_t model_stepping = 0x5A) {
    CpuidWords w;
    w.has_cpuid = true;
    w.leaf0_ebx = v.ebx;
    w.leaf0_edx = v.edx;
    w.leaf0_ecx = v.ecx;
    w.leaf1_eax = (family << 8) | model_stepping;
    w.leaf1_ebx = logical << 16;
    w.leaf1_ecx = sse3 ? 1u : 0u;
    w.leaf1_edx = edx;
    return w;
}

TEST(PrimCpuType, TypeTableOverAGridOfProcessors) {
    struct Case {
        const char* name;
        CpuidWords w;
        int32_t expected;
    };
    const uint32_t all = kMmx | kSse | kSse2 | kHtt;
    const Case cases[] = {
        {"no CPUID", CpuidWords{}, 0},
        {"no CPUID, words ignored",
         [] {
             CpuidWords w = words(kIntel, 6, all);
             w.has_cpuid = false;
             return w;
         }(),
         0},
        {"other vendor with every feature", words(kAmd, 6, all, true, 2), 0},
        {"other vendor family 15", words(kAmd, 15, all, true), 0},
        {"vendor words in the wrong registers", words(kIntelSwapped, 6, all), 0},
        {"family 4", words(kIntel, 4, kMmx), 0},
        {"family 5 without MMX", words(kIntel, 5, 0), 1},
        {"family 5 with MMX", words(kIntel, 5, kMmx), 2},
        {"family 5 with everything", words(kIntel, 5, all, true, 2), 2},
        {"family 6 bare", words(kIntel, 6, 0), 3},
        {"family 6 MMX", words(kIntel, 6, kMmx), 4},
        {"family 6 SSE", words(kIntel, 6, kMmx | kSse), 5},
        {"family 6 SSE without MMX", words(kIntel, 6, kSse), 5},
        {"family 6 SSE2", words(kIntel, 6, kMmx | kSse | kSse2), 6},
        {"family 6 SSE2 SSE3 HT", words(kIntel, 6, all, true, 2), 6},
        {"family 7", words(kIntel, 7, all, true, 4), 16},
        {"family 7 bare", words(kIntel, 7, 0), 16},
        {"family 15 without SSE2", words(kIntel, 15, kMmx | kSse), 17},
        {"family 15 without SSE2, with SSE3", words(kIntel, 15, kMmx | kSse | kHtt, true, 2), 17},
        {"family 15 SSE2", words(kIntel, 15, kMmx | kSse | kSse2), 6},
        {"family 15 SSE2, HT flag but one logical processor",
         words(kIntel, 15, kMmx | kSse | kSse2 | kHtt, false, 1), 6},
        {"family 15 SSE2, two logical processors without HT flag",
         words(kIntel, 15, kMmx | kSse | kSse2, false, 2), 6},
        {"family 15 SSE2 multi-threading", words(kIntel, 15, all, false, 2), 7},
        {"family 15 SSE2 SSE3", words(kIntel, 15, kMmx | kSse | kSse2, true), 8},
        {"family 15 SSE2 SSE3 multi-threading", words(kIntel, 15, all, true, 2), 8},
        // Only bits 8..11 make the family: model, stepping and the extended fields do not count.
        {"family 6 with extended model and family bits",
         words(kIntel, 6, kMmx | kSse, false, 1, 0x0FF000FF), 5},
        {"family 0 with extended family 6", words(kIntel, 0, all, false, 1, 0x00600000), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(prim_cpu_type_from(c.w), c.expected) << c.name;
    }
}

TEST(PrimCpuClass, ClassOfEveryType) {
    struct Case {
        int32_t type, expected_class;
    };
    const Case cases[] = {{0, 0}, {1, 0}, {2, 0},  {3, 0},  {4, 1}, {5, 2},  {6, 3},
                          {7, 3}, {8, 3}, {16, 0}, {17, 0}, {9, 0}, {-1, 0}, {100, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(prim_cpu_class_of_type(c.type), c.expected_class) << "type " << c.type;
    }
}

TEST(PrimCpuType, ThisProcessor) {
    const CpuidWords w = prim_read_cpuid();
    const int32_t type = prim_cpu_type();
    const int32_t cls = prim_cpu_class();
    EXPECT_TRUE(type == 0 || (type >= 1 && type <= 8) || type == 16 || type == 17) << type;
    EXPECT_EQ(cls, prim_cpu_class_of_type(type));
#if defined(__x86_64__) || defined(__i386__)
    // Every processor this code runs on has CPUID, a vendor identification and SSE2 on x86-64.
    EXPECT_TRUE(w.has_cpuid);
    EXPECT_NE(w.leaf0_ebx, 0u);
#if defined(__x86_64__)
    EXPECT_NE(w.leaf1_edx & kSse2, 0u);
#endif
#else
    EXPECT_FALSE(w.has_cpuid);
    EXPECT_EQ(type, 0);
#endif
}

}  // namespace
