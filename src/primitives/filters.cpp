// Row and column convolution, plain variants.
//
// dst(x) = sum over k of kernel[k] * src(x + anchor - k): kernel[0] meets the source pixel
// farthest right (or down). For each output the sum starts at +0.0 and takes the products in
// order of increasing source coordinate (k from kernel_size - 1 down to 0). A product of two
// floats is exact in double, so only the additions round, and the one conversion to float at the
// store rounds again.
//
// A row is produced in blocks of outputs: for each tap, one pass adds that tap's products to the
// block's double accumulators. Every output still receives its terms in the reference order, so
// the block length changes no value, but the inner loop runs over adjacent pixels and vectorises.
// The caller supplies the source margin; nothing outside the region is tested.
#include "primitives/filters.hpp"

#include <cstddef>

namespace {

constexpr int32_t kBlock = 64;  // outputs per block of accumulators

PrimStatus check_filter(const float* src, int32_t src_step, const float* dst, int32_t dst_step,
                        Size roi, const float* kernel, int32_t kernel_size) {
    if (src == nullptr || dst == nullptr || kernel == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0 || kernel_size <= 0) return prim_err_size;
    if (src_step <= 0 || dst_step <= 0) return prim_err_step;
    return prim_ok;
}

// Adds coefficient c times n source floats from `s` to the accumulators.
inline void accumulate(double* __restrict acc, const float* __restrict s, double c, int32_t n) {
    for (int32_t i = 0; i < n; ++i) acc[i] += c * static_cast<double>(s[i]);
}

inline void store(float* __restrict d, const double* __restrict acc, int32_t n) {
    for (int32_t i = 0; i < n; ++i) d[i] = static_cast<float>(acc[i]);
}

}  // namespace

PrimStatus prim_filter_row_32f_c0(const float* src, int32_t src_step, float* dst,
                                  int32_t dst_step, Size roi, const float* kernel,
                                  int32_t kernel_size, int32_t anchor) {
    const PrimStatus status = check_filter(src, src_step, dst, dst_step, roi, kernel, kernel_size);
    if (status != prim_ok) return status;
    // Rows advance by whole floats: each step is truncated to a multiple of 4 bytes.
    const std::ptrdiff_t src_stride = src_step / 4;
    const std::ptrdiff_t dst_stride = dst_step / 4;

    double acc[kBlock];
    for (int32_t y = 0; y < roi.height; ++y) {
        const float* s_row = src + src_stride * y;
        float* d_row = dst + dst_stride * y;
        for (int32_t x0 = 0; x0 < roi.width; x0 += kBlock) {
            const int32_t n = roi.width - x0 < kBlock ? roi.width - x0 : kBlock;
            for (int32_t i = 0; i < n; ++i) acc[i] = 0.0;
            for (int32_t k = kernel_size - 1; k >= 0; --k) {
                const std::ptrdiff_t offset = std::ptrdiff_t{x0} + anchor - k;
                accumulate(acc, s_row + offset, static_cast<double>(kernel[k]), n);
            }
            store(d_row + x0, acc, n);
        }
    }
    return prim_ok;
}

PrimStatus prim_filter_column_32f_c0(const float* src, int32_t src_step, float* dst,
                                     int32_t dst_step, Size roi, const float* kernel,
                                     int32_t kernel_size, int32_t anchor) {
    const PrimStatus status = check_filter(src, src_step, dst, dst_step, roi, kernel, kernel_size);
    if (status != prim_ok) return status;
    const std::ptrdiff_t src_stride = src_step / 4;
    const std::ptrdiff_t dst_stride = dst_step / 4;

    double acc[kBlock];
    for (int32_t y = 0; y < roi.height; ++y) {
        float* d_row = dst + dst_stride * y;
        for (int32_t x0 = 0; x0 < roi.width; x0 += kBlock) {
            const int32_t n = roi.width - x0 < kBlock ? roi.width - x0 : kBlock;
            for (int32_t i = 0; i < n; ++i) acc[i] = 0.0;
            for (int32_t k = kernel_size - 1; k >= 0; --k) {
                const std::ptrdiff_t row = std::ptrdiff_t{y} + anchor - k;
                accumulate(acc, src + src_stride * row + x0, static_cast<double>(kernel[k]), n);
            }
            store(d_row + x0, acc, n);
        }
    }
    return prim_ok;
}
