// Image difference and running average, plain variants.
//
// The difference is one single-precision subtraction per element (the double evaluation with one
// rounding gives the same value). The running average evaluates
//     src_dst + alpha * (src - src_dst)
// in double, in exactly that order, and rounds once at the store; the order matters for special
// values (an infinite accumulator gives NaN for every alpha >= 0, -0.0 becomes +0.0 for alpha 0).
//
// The two kernels validate differently on purpose: the difference rejects empty regions and
// non-positive steps like the arithmetic kernels, the running average accepts empty regions and
// reports every bad size or step (shorter than a row, or not whole floats) as prim_err_size.
//
// Where the machine has AVX2, the checked calls go to the eight-lane copies of these loops in
// plain_avx2.cpp (see plain_paths.hpp), which store the same bits.
#include "primitives/difference.hpp"

#include "primitives/plain_paths.hpp"
#include "primitives/row_access.hpp"

using prim_detail::row_at;
using prim_detail::ufloat;

PrimStatus prim_subtract_32f_c0(const float* src1, int32_t src1_step, const float* src2,
                                int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return prim_err_null_ptr;
    if (roi.height <= 0 || roi.width <= 0) return prim_err_size;
    if (src1_step <= 0 || src2_step <= 0 || dst_step <= 0) return prim_err_step;
    if (prim_plain_wide()) {
        prim_plain_subtract_rows_avx2(src1, src1_step, src2, src2_step, dst, dst_step, roi);
        return prim_ok;
    }
    for (int32_t y = 0; y < roi.height; ++y) {
        const ufloat* a = row_at(src1, src1_step, y);
        const ufloat* b = row_at(src2, src2_step, y);
        ufloat* d = row_at(dst, dst_step, y);
        for (int32_t x = 0; x < roi.width; ++x) d[x] = b[x] - a[x];
    }
    return prim_ok;
}

namespace {

void weighted_run(const float* s, float* d, int64_t n, double alpha) {
    for (int64_t i = 0; i < n; ++i) {
        const double old = d[i];
        d[i] = static_cast<float>(old + alpha * (static_cast<double>(s[i]) - old));
    }
}

}  // namespace

PrimStatus prim_add_weighted_inplace_32f_c0(const float* src, int32_t src_step, float* src_dst,
                                            int32_t src_dst_step, Size roi, float alpha) {
    if (src == nullptr || src_dst == nullptr) return prim_err_null_ptr;
    if (roi.width < 0 || roi.height < 0) return prim_err_size;
    const int64_t row_bytes = int64_t{4} * roi.width;  // 64-bit: a huge width must not wrap
    if (src_step < row_bytes || src_step % 4 != 0) return prim_err_size;
    if (src_dst_step < row_bytes || src_dst_step % 4 != 0) return prim_err_size;
    if (roi.width == 0 || roi.height == 0) return prim_ok;

    // The path is chosen once per call, not once per row.
    const auto run = prim_plain_wide() ? &prim_plain_weighted_run_avx2 : &weighted_run;
    // Contiguous rows (or a single row) are one run; the folding changes no value.
    if (roi.height == 1 || (src_step == row_bytes && src_dst_step == row_bytes)) {
        run(src, src_dst, int64_t{roi.width} * roi.height, alpha);
        return prim_ok;
    }
    for (int32_t y = 0; y < roi.height; ++y) {
        run(reinterpret_cast<const float*>(row_at(src, src_step, y)),
            reinterpret_cast<float*>(row_at(src_dst, src_dst_step, y)), roi.width, alpha);
    }
    return prim_ok;
}
