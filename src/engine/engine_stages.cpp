#include "engine/engine_stages.hpp"

#include "engine/motion_engine.hpp"

namespace engine_stages {

namespace {

using engine_filters::kAnchor;
using engine_filters::kTaps;

// The filters' taps where the vector variants read them best: whole cache lines.
alignas(64) constexpr float kSmooth[kTaps] = {
    engine_filters::kSmoothTaps[0], engine_filters::kSmoothTaps[1], engine_filters::kSmoothTaps[2],
    engine_filters::kSmoothTaps[3], engine_filters::kSmoothTaps[4]};
alignas(64) constexpr float kDeriv[kTaps] = {
    engine_filters::kDerivTaps[0], engine_filters::kDerivTaps[1], engine_filters::kDerivTaps[2],
    engine_filters::kDerivTaps[3], engine_filters::kDerivTaps[4]};

void fill_border_columns(float* interior, int32_t step, Size roi) {
    // The interior rows only; the corners follow with the whole-row copies.
    const Size column{1, roi.height};
    for (int32_t i = 0; i < kBorder; ++i) {
        prim_copy_32f(interior, step, interior - 1 - i, step, column);
        prim_copy_32f(interior + roi.width - 1, step, interior + roi.width + i, step, column);
    }
}

void fill_border_rows(float* interior, int32_t step, Size roi) {
    const int32_t stride = step / 4;
    const Size row{roi.width + 2 * kBorder, 1};
    float* first = interior - kBorder;
    float* last = first + (roi.height - 1) * stride;
    for (int32_t i = 0; i < kBorder; ++i) {
        prim_copy_32f(first, step, first - (1 + i) * stride, step, row);
        prim_copy_32f(last, step, last + (1 + i) * stride, step, row);
    }
}

}  // namespace

void fill_border(float* interior, int32_t step, Size roi) {
    fill_border_columns(interior, step, roi);
    fill_border_rows(interior, step, roi);
}

void smooth(float* interior, float* scratch, int32_t step, Size roi) {
    // The row pass needs the side columns of the image, the column pass the top and bottom rows
    // of the row pass's result.
    fill_border_columns(interior, step, roi);
    prim_filter_row_32f(interior, step, scratch, step, roi, kSmooth, kTaps, kAnchor);
    fill_border_rows(scratch, step, roi);
    prim_filter_column_32f(scratch, step, interior, step, roi, kSmooth, kTaps, kAnchor);
}

void spatial_derivatives(const float* src, int32_t src_step, float* ix, float* iy, int32_t step,
                         Size roi) {
    prim_filter_row_32f(src, src_step, ix, step, roi, kDeriv, kTaps, kAnchor);
    prim_filter_column_32f(src, src_step, iy, step, roi, kDeriv, kTaps, kAnchor);
}

void spatial_products(const float* ix, const float* iy, float* ix2, float* iy2, float* ixy,
                      int32_t step, Size roi) {
    prim_sqr_32f(ix, step, ix2, step, roi);
    prim_sqr_32f(iy, step, iy2, step, roi);
    prim_mul_32f(ix, step, iy, step, ixy, step, roi);
}

void batch_time_derivative(const float* const window[5], int32_t window_step, float* dst,
                           float* inner, int32_t step, Size roi) {
    prim_subtract_32f(window[4], window_step, window[0], window_step, dst, step, roi);
    prim_subtract_32f(window[1], window_step, window[3], window_step, inner, step, roi);
    prim_add_weighted_inplace_32f(inner, step, dst, step, roi, engine_filters::kBatchWeight);
}

void batch_moments_line(const float* const f[5], const float* ix, const float* iy, int32_t n,
                        float* it, float* ixt, float* iyt) {
    const Size line{n, 1};
    const int32_t step = n * 4;
    batch_time_derivative(f, step, it, ixt, step, line);
    prim_mul_32f(ix, step, it, step, ixt, step, line);
    prim_mul_32f(iy, step, it, step, iyt, step, line);
}

}  // namespace engine_stages
