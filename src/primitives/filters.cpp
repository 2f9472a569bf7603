// Row and column convolution, plain variants.
//
// dst(x) = sum over k of kernel[k] * src(x + anchor - k): kernel[0] meets the source pixel
// farthest right (or down). For each output the sum starts at +0.0 and takes the products in
// order of increasing source coordinate (k from kernel_size - 1 down to 0). A product of two
// floats is exact in double, so only the additions round, and the one conversion to float at the
// store rounds again.
//
// A row is produced in blocks of outputs: one pass per group of taps adds their products to the
// block's double accumulators. Every output still receives its terms in the reference order, so
// the block length changes no value, but the inner loop runs over adjacent pixels and vectorises.
// The caller supplies the source margin; nothing outside the region is tested.
//
// Where the machine has AVX2, the checked calls go to the eight-lane copies of these loops in
// plain_avx2.cpp (see plain_paths.hpp), which store the same bits.
#include "primitives/filters.hpp"

#include <cstddef>

#include "primitives/plain_paths.hpp"

namespace {

constexpr int32_t kBlock = 64;  // outputs per block of accumulators

PrimStatus check_filter(const float* src, int32_t src_step, const float* dst, int32_t dst_step,
                        Size roi, const float* kernel, int32_t kernel_size) {
    if (src == nullptr || dst == nullptr || kernel == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0 || kernel_size <= 0) return prim_err_size;
    if (src_step <= 0 || dst_step <= 0) return prim_err_step;
    return prim_ok;
}

// Add the products of four taps to n accumulators, with coefficients c0..c3 in that order,
// reading the taps' sources a, b, c, d (adjacent pixels along a row, adjacent rows down a
// column). Four taps per pass keep each accumulator in a register for four additions instead of
// one; each output still takes its terms one by one in the reference order.
inline void accumulate4(double* __restrict acc, const float* a, const float* b, const float* c,
                        const float* d, double c0, double c1, double c2, double c3, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        double sum = acc[i];
        sum += c0 * static_cast<double>(a[i]);
        sum += c1 * static_cast<double>(b[i]);
        sum += c2 * static_cast<double>(c[i]);
        sum += c3 * static_cast<double>(d[i]);
        acc[i] = sum;
    }
}

inline void accumulate(double* __restrict acc, const float* __restrict s, double coef, int32_t n) {
    for (int32_t i = 0; i < n; ++i) acc[i] += coef * static_cast<double>(s[i]);
}

inline void store(float* __restrict d, const double* __restrict acc, int32_t n) {
    for (int32_t i = 0; i < n; ++i) d[i] = static_cast<float>(acc[i]);
}

// Both filters: tap k of output pixel x reads the source `anchor - k` taps away, one tap being
// one float along a row or one row step [floats] down a column.
void filter_baseline(const float* src, std::ptrdiff_t src_stride, float* dst,
                     std::ptrdiff_t dst_stride, Size roi, const float* kernel, int32_t kernel_size,
                     int32_t anchor, std::ptrdiff_t tap) {
    double acc[kBlock];
    for (int32_t y = 0; y < roi.height; ++y) {
        float* d_row = dst + dst_stride * y;
        for (int32_t x0 = 0; x0 < roi.width; x0 += kBlock) {
            const int32_t n = roi.width - x0 < kBlock ? roi.width - x0 : kBlock;
            for (int32_t i = 0; i < n; ++i) acc[i] = 0.0;
            // From k = kernel_size - 1 down to 0 the source coordinate increases.
            const float* s = src + src_stride * y + x0 + tap * anchor;
            int32_t k = kernel_size - 1;
            for (; k >= 3; k -= 4) {
                accumulate4(acc, s - tap * k, s - tap * (k - 1), s - tap * (k - 2),
                            s - tap * (k - 3), kernel[k], kernel[k - 1], kernel[k - 2],
                            kernel[k - 3], n);
            }
            for (; k >= 0; --k) accumulate(acc, s - tap * k, static_cast<double>(kernel[k]), n);
            store(d_row + x0, acc, n);
        }
    }
}

}  // namespace

PrimStatus prim_filter_row_32f_c0(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                                  Size roi, const float* kernel, int32_t kernel_size,
                                  int32_t anchor) {
    const PrimStatus status = check_filter(src, src_step, dst, dst_step, roi, kernel, kernel_size);
    if (status != prim_ok) return status;
    // Rows advance by whole floats: each step is truncated to a multiple of 4 bytes.
    const std::ptrdiff_t src_stride = src_step / 4;
    const std::ptrdiff_t dst_stride = dst_step / 4;
    if (prim_plain_wide()) {
        prim_plain_filter_row_avx2(src, src_stride, dst, dst_stride, roi, kernel, kernel_size,
                                   anchor);
        return prim_ok;
    }

    filter_baseline(src, src_stride, dst, dst_stride, roi, kernel, kernel_size, anchor, 1);
    return prim_ok;
}

PrimStatus prim_filter_column_32f_c0(const float* src, int32_t src_step, float* dst,
                                     int32_t dst_step, Size roi, const float* kernel,
                                     int32_t kernel_size, int32_t anchor) {
    const PrimStatus status = check_filter(src, src_step, dst, dst_step, roi, kernel, kernel_size);
    if (status != prim_ok) return status;
    const std::ptrdiff_t src_stride = src_step / 4;
    const std::ptrdiff_t dst_stride = dst_step / 4;
    if (prim_plain_wide()) {
        prim_plain_filter_column_avx2(src, src_stride, dst, dst_stride, roi, kernel, kernel_size,
                                      anchor);
        return prim_ok;
    }

    filter_baseline(src, src_stride, dst, dst_stride, roi, kernel, kernel_size, anchor,
                    src_stride);
    return prim_ok;
}
