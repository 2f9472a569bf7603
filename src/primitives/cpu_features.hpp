// What this processor offers each layer's processor-specific code, examined once for the whole
// program: the primitives' variant columns, the engine's fused row flavours and its cache-sized
// choices, and the analysis loops with an eight-lane body all read it here.
//
// The variant selection keeps its own decision on the CPUID words (prim_cpu_type_from), which
// tests feed the words of other processors; this record only says what may run here.
#pragma once

#include <cstdint>

struct CpuFeatures {
    // AVX2, with the OS saving the 256-bit registers (OSXSAVE and XCR0 bits 1 and 2).
    bool avx2 = false;
    // FMA, under the same OS support as AVX2 (every processor of note with one has the other).
    bool fma = false;
    // AVX-512 F, DQ and VL on top of AVX2, with the OS saving the opmask and the upper 512-bit
    // state as well (XCR0 bits 5 to 7).
    bool avx512 = false;
    // The largest data or unified cache in the processor's list of its caches [bytes], a cache
    // shared by several cores counted whole; 0 where the processor does not list its caches.
    int64_t largest_cache_bytes = 0;
};

// This processor's, examined on the first call.
const CpuFeatures& cpu_features();
