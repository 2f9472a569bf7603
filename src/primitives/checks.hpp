// The argument checks of the kernels, shared by every column so that every variant returns the
// same status for the same arguments. Each tests pointers (prim_err_null_ptr), then sizes
// (prim_err_size), then steps (prim_err_step) and returns prim_ok when the kernel may run; a
// kernel whose check fails touches nothing.
//
// In an anonymous namespace: each column's file compiles its own copy under its own flags.
#pragma once

#include <cstdint>

#include "primitives/primitives.hpp"

namespace {
namespace prim_check {

// One image, read or written in place.
inline PrimStatus one(const float* img, int32_t step, Size roi) {
    if (img == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0) return prim_err_size;
    if (step <= 0) return prim_err_step;
    return prim_ok;
}

// A source and a destination.
inline PrimStatus two(const float* src, int32_t src_step, const float* dst, int32_t dst_step,
                      Size roi) {
    if (src == nullptr || dst == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0) return prim_err_size;
    if (src_step <= 0 || dst_step <= 0) return prim_err_step;
    return prim_ok;
}

// Two sources and a destination.
inline PrimStatus three(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                        const float* dst, int32_t dst_step, Size roi) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0) return prim_err_size;
    if (src1_step <= 0 || src2_step <= 0 || dst_step <= 0) return prim_err_step;
    return prim_ok;
}

// The filters: the kernel is a third pointer, its length a third size.
inline PrimStatus filter(const float* src, int32_t src_step, const float* dst, int32_t dst_step,
                         Size roi, const float* kernel, int32_t kernel_size) {
    if (src == nullptr || dst == nullptr || kernel == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0 || kernel_size <= 0) return prim_err_size;
    if (src_step <= 0 || dst_step <= 0) return prim_err_step;
    return prim_ok;
}

// The running average validates on its own terms: empty regions are accepted (the kernel then
// stores nothing), and every bad size or step (shorter than a row, or not whole floats) is
// reported as prim_err_size.
inline PrimStatus running_average(const float* src, int32_t src_step, const float* src_dst,
                                  int32_t src_dst_step, Size roi) {
    if (src == nullptr || src_dst == nullptr) return prim_err_null_ptr;
    if (roi.width < 0 || roi.height < 0) return prim_err_size;
    const int64_t row_bytes = int64_t{4} * roi.width;  // 64-bit: a huge width must not wrap
    if (src_step < row_bytes || src_step % 4 != 0) return prim_err_size;
    if (src_dst_step < row_bytes || src_dst_step % 4 != 0) return prim_err_size;
    return prim_ok;
}

}  // namespace prim_check
}  // namespace
