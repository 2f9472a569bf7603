// The eight-lane routines of column 3, for processors with AVX2 whose OS saves the 256-bit
// registers (checked by prim_wide_vectors() before any of them is called).
//
// Of column 3 only this file is built with -mavx2 (plain_avx2.cpp is column 0's), and without
// -mfma: the filters, the division and the running average must round every multiplication
// and addition separately, as the four-lane path does. The row loops are those of simd_kernels.hpp with eight lanes; every pixel goes
// through the same operations in the same order, so the stored values equal the four-lane ones
// bit for bit (the reciprocal estimate is the same instruction on 256-bit registers).
#include "primitives/simd_kernels.hpp"
#include "primitives/wide_vectors.hpp"

namespace {

struct Lanes8 {
    using vec = __m256;
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

// Leaving 256-bit code with clean upper halves avoids the transition penalty in the SSE code
// that runs next.
struct UpperClear {
    ~UpperClear() { _mm256_zeroupper(); }
};

}  // namespace

PrimStatus prim_copy_32f_avx2(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                              Size roi) {
    UpperClear clear;
    return simd::copy_kernel<Lanes8>(src, src_step, dst, dst_step, roi, prim_stream_copy_above);
}

PrimStatus prim_set_32f_avx2(float value, float* dst, int32_t dst_step, Size roi) {
    UpperClear clear;
    return simd::set_kernel<Lanes8>(value, dst, dst_step, roi, prim_stream_set_above);
}

PrimStatus prim_add_32f_avx2(const float* src1, int32_t src1_step, const float* src2,
                             int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    UpperClear clear;
    return simd::binary_kernel<Lanes8, simd::OpAdd>(src1, src1_step, src2, src2_step, dst, dst_step,
                                                    roi);
}

PrimStatus prim_add_const_inplace_32f_avx2(float value, float* src_dst, int32_t src_dst_step,
                                           Size roi) {
    UpperClear clear;
    return simd::add_const_kernel<Lanes8>(value, src_dst, src_dst_step, roi);
}

PrimStatus prim_subtract_32f_avx2(const float* src1, int32_t src1_step, const float* src2,
                                  int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    UpperClear clear;
    return simd::binary_kernel<Lanes8, simd::OpSub>(src1, src1_step, src2, src2_step, dst, dst_step,
                                                    roi);
}

PrimStatus prim_mul_32f_avx2(const float* src1, int32_t src1_step, const float* src2,
                             int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    UpperClear clear;
    return simd::binary_kernel<Lanes8, simd::OpMul>(src1, src1_step, src2, src2_step, dst, dst_step,
                                                    roi);
}

PrimStatus prim_div_32f_avx2(const float* src1, int32_t src1_step, const float* src2,
                             int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    UpperClear clear;
    return simd::div_kernel<Lanes8>(src1, src1_step, src2, src2_step, dst, dst_step, roi);
}

PrimStatus prim_sqr_32f_avx2(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                             Size roi) {
    UpperClear clear;
    return simd::square_kernel<Lanes8>(src, src_step, dst, dst_step, roi);
}

PrimStatus prim_filter_row_32f_avx2(const float* src, int32_t src_step, float* dst,
                                    int32_t dst_step, Size roi, const float* kernel,
                                    int32_t kernel_size, int32_t anchor) {
    UpperClear clear;
    return simd::filter_kernel<Lanes8>(false, src, src_step, dst, dst_step, roi, kernel,
                                       kernel_size, anchor);
}

PrimStatus prim_filter_column_32f_avx2(const float* src, int32_t src_step, float* dst,
                                       int32_t dst_step, Size roi, const float* kernel,
                                       int32_t kernel_size, int32_t anchor) {
    UpperClear clear;
    return simd::filter_kernel<Lanes8>(true, src, src_step, dst, dst_step, roi, kernel, kernel_size,
                                       anchor);
}

PrimStatus prim_add_weighted_inplace_32f_avx2(const float* src, int32_t src_step, float* src_dst,
                                              int32_t src_dst_step, Size roi, float alpha) {
    UpperClear clear;
    return simd::add_weighted_kernel<Lanes8>(src, src_step, src_dst, src_dst_step, roi, alpha);
}
