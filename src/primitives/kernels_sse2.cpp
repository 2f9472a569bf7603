// Column 3: processors with SSE2.
//
// Only this file of the column is built with -msse2. The kernels run the four-lane row loops of
// simd_kernels.hpp, or, where prim_wide_vectors() allows it, hand the call to the eight-lane
// routines of kernels_avx2.cpp, which store exactly the same values. The copy and the fill
// bypass the cache for regions above 128 KiB and 256 KiB.
#include "primitives/simd_kernels.hpp"
#include "primitives/variants.hpp"
#include "primitives/wide_vectors.hpp"

using simd::Lanes4;

PrimStatus prim_copy_32f_c3(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                            Size roi) {
    if (prim_wide_vectors()) return prim_copy_32f_avx2(src, src_step, dst, dst_step, roi);
    return simd::copy_kernel<Lanes4>(src, src_step, dst, dst_step, roi, prim_stream_copy_above);
}

PrimStatus prim_set_32f_c3(float value, float* dst, int32_t dst_step, Size roi) {
    if (prim_wide_vectors()) return prim_set_32f_avx2(value, dst, dst_step, roi);
    return simd::set_kernel<Lanes4>(value, dst, dst_step, roi, prim_stream_set_above);
}

PrimStatus prim_add_32f_c3(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    if (prim_wide_vectors()) {
        return prim_add_32f_avx2(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    }
    return simd::binary_kernel<Lanes4, simd::OpAdd>(src1, src1_step, src2, src2_step, dst, dst_step,
                                                    roi);
}

PrimStatus prim_add_const_inplace_32f_c3(float value, float* src_dst, int32_t src_dst_step,
                                         Size roi) {
    if (prim_wide_vectors()) {
        return prim_add_const_inplace_32f_avx2(value, src_dst, src_dst_step, roi);
    }
    return simd::add_const_kernel<Lanes4>(value, src_dst, src_dst_step, roi);
}

PrimStatus prim_subtract_32f_c3(const float* src1, int32_t src1_step, const float* src2,
                                int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    if (prim_wide_vectors()) {
        return prim_subtract_32f_avx2(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    }
    return simd::binary_kernel<Lanes4, simd::OpSub>(src1, src1_step, src2, src2_step, dst, dst_step,
                                                    roi);
}

PrimStatus prim_mul_32f_c3(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    if (prim_wide_vectors()) {
        return prim_mul_32f_avx2(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    }
    return simd::binary_kernel<Lanes4, simd::OpMul>(src1, src1_step, src2, src2_step, dst, dst_step,
                                                    roi);
}

PrimStatus prim_div_32f_c3(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    if (prim_wide_vectors()) {
        return prim_div_32f_avx2(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    }
    return simd::div_kernel<Lanes4>(src1, src1_step, src2, src2_step, dst, dst_step, roi);
}

PrimStatus prim_sqr_32f_c3(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                           Size roi) {
    if (prim_wide_vectors()) return prim_sqr_32f_avx2(src, src_step, dst, dst_step, roi);
    return simd::square_kernel<Lanes4>(src, src_step, dst, dst_step, roi);
}

PrimStatus prim_filter_row_32f_c3(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                                  Size roi, const float* kernel, int32_t kernel_size,
                                  int32_t anchor) {
    if (prim_wide_vectors()) {
        return prim_filter_row_32f_avx2(src, src_step, dst, dst_step, roi, kernel, kernel_size,
                                        anchor);
    }
    return simd::filter_kernel<Lanes4>(false, src, src_step, dst, dst_step, roi, kernel,
                                       kernel_size, anchor);
}

PrimStatus prim_filter_column_32f_c3(const float* src, int32_t src_step, float* dst,
                                     int32_t dst_step, Size roi, const float* kernel,
                                     int32_t kernel_size, int32_t anchor) {
    if (prim_wide_vectors()) {
        return prim_filter_column_32f_avx2(src, src_step, dst, dst_step, roi, kernel, kernel_size,
                                           anchor);
    }
    return simd::filter_kernel<Lanes4>(true, src, src_step, dst, dst_step, roi, kernel, kernel_size,
                                       anchor);
}

PrimStatus prim_add_weighted_inplace_32f_c3(const float* src, int32_t src_step, float* src_dst,
                                            int32_t src_dst_step, Size roi, float alpha) {
    if (prim_wide_vectors()) {
        return prim_add_weighted_inplace_32f_avx2(src, src_step, src_dst, src_dst_step, roi, alpha);
    }
    return simd::add_weighted_kernel<Lanes4>(src, src_step, src_dst, src_dst_step, roi, alpha);
}
