// Column 3, eight lanes: processors of class 3 with AVX2 whose OS saves the 256-bit registers.
// The variant table names this flavour for column 3 when the table is built on such a machine
// (dispatch.cpp).
//
// Of column 3 only this file is built with -mavx2 (column0_avx2.cpp is column 0's), and without
// -mfma: the filters, the division and the running average must round every multiplication
// and addition separately, as the four-lane flavour does. The row loops are those of
// simd_kernels.hpp with eight lanes; every pixel goes through the same operations in the same
// order, so the stored values equal the four-lane ones bit for bit (the reciprocal estimate is
// the same instruction on 256-bit registers).
#include "primitives/simd_kernels.hpp"

namespace {

// Leaving 256-bit code with clean upper halves avoids the transition penalty in the SSE code
// that runs next.
struct UpperClear {
    ~UpperClear() { _mm256_zeroupper(); }
};

struct Lanes8 {
    using vec = __m256;
    using Exit = UpperClear;
    static constexpr int lanes = 8;
    static constexpr std::uintptr_t align = 32;

    static vec loadu(const float* p) { return _mm256_loadu_ps(p); }
    static vec loada(const float* p) { return _mm256_load_ps(p); }
    static void storeu(float* p, vec v) { _mm256_storeu_ps(p, v); }
    static void storea(float* p, vec v) { _mm256_store_ps(p, v); }
    static void stream(float* p, vec v) { _mm256_stream_ps(p, v); }
    static vec splat(float x) { return _mm256_set1_ps(x); }
    static vec splat_bits(uint32_t bits) {
        return _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(bits)));
    }
    // The scratch block holds each coefficient four times; both halves take the same four.
    static vec coef(const float* four) {
        return _mm256_broadcast_ps(reinterpret_cast<const __m128*>(four));
    }
    static vec zero() { return _mm256_setzero_ps(); }
    static vec add(vec a, vec b) { return _mm256_add_ps(a, b); }
    static vec sub(vec a, vec b) { return _mm256_sub_ps(a, b); }
    static vec mul(vec a, vec b) { return _mm256_mul_ps(a, b); }
    static vec rcp(vec a) { return _mm256_rcp_ps(a); }
    static bool any_zero(vec a) {
        return _mm256_movemask_ps(_mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_EQ_OQ)) != 0;
    }
};

}  // namespace

PrimColumn prim_column3_avx2() {
    return simd::vector_column<Lanes8, prim_stream_copy_above, prim_stream_set_above>();
}
