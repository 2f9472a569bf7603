// Whether the processor running the program has AVX2 and FMA (cpu_features.hpp, the one
// examination every layer reads): the analysis loops that have an eight-lane body choose it once,
// at run time, so that one build serves every x86-64.
#pragma once

#include "primitives/cpu_features.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORVANE_ANALYSIS_AVX2 1
inline bool have_avx2() {
    static const bool yes = cpu_features().avx2 && cpu_features().fma;
    return yes;
}
#else
#define ORVANE_ANALYSIS_AVX2 0
inline bool have_avx2() {
    return false;
}
#endif
