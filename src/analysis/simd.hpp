// Whether the processor running the program has AVX2 and FMA (every one of note with the
// first has the second): the analysis loops that have an eight-lane body choose it once, at
// run time, so that one build serves every x86-64.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORVANE_ANALYSIS_AVX2 1
inline bool have_avx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return yes;
}
#else
#define ORVANE_ANALYSIS_AVX2 0
inline bool have_avx2() {
    return false;
}
#endif
