// Element-wise arithmetic, plain variants. One IEEE single-precision operation per element gives
// the same value as the wider evaluation with one rounding at the store, so the rows are written
// as simple float loops that the compiler may vectorise without changing a bit.
//
// Sources and destination may be the same image (same address and step): each element is read
// before its own result is stored, and nothing else in a row depends on it.
//
// Where the machine has AVX2, the checked calls go to the eight-lane copies of these loops in
// plain_avx2.cpp (see plain_paths.hpp), which store the same bits.
#include "primitives/arith.hpp"

#include <bit>

#include "primitives/plain_paths.hpp"
#include "primitives/row_access.hpp"

using prim_detail::row_at;
using prim_detail::ufloat;

namespace {

constexpr float kPlusInf = std::bit_cast<float>(0x7F800000u);
constexpr float kMinusInf = std::bit_cast<float>(0xFF800000u);
constexpr float kDivNaN = std::bit_cast<float>(0xFFC00000u);

PrimStatus check_binary(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                        const float* dst, int32_t dst_step, Size roi) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0) return prim_err_size;
    if (src1_step <= 0 || src2_step <= 0 || dst_step <= 0) return prim_err_step;
    return prim_ok;
}

template <class Op>
void binary_rows(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                 float* dst, int32_t dst_step, Size roi, Op op) {
    for (int32_t y = 0; y < roi.height; ++y) {
        const ufloat* a = row_at(src1, src1_step, y);
        const ufloat* b = row_at(src2, src2_step, y);
        ufloat* d = row_at(dst, dst_step, y);
        for (int32_t x = 0; x < roi.width; ++x) d[x] = op(a[x], b[x]);
    }
}

// One element of the reference division, written as selects so that a row loop of it
// vectorises. The divisor is replaced by 1 where it counts as zero, so no division by zero or
// NaN is ever executed; the special value is chosen by the dividend's sign.
inline float div_element(float d, float n, bool& zero) {
    // Every comparison is evaluated unconditionally so that the compiler can turn the choices
    // into selects.
    const bool d_zero = d == 0.0f;
    const bool d_nan = d != d;
    const bool n_pos = n > 0.0f;
    const bool n_neg = n < 0.0f;
    zero = d_zero | d_nan;
    const float q = n / (zero ? 1.0f : d);
    float special = n_neg ? kMinusInf : kDivNaN;
    special = n_pos ? kPlusInf : special;
    return zero ? special : q;
}

// One run of the reference division; a zero divisor does not stop it, it is only remembered
// for the status.
inline bool div_run(const ufloat* divisor, const ufloat* dividend, ufloat* quotient,
                    std::ptrdiff_t n) {
    int any_zero = 0;
    for (std::ptrdiff_t x = 0; x < n; ++x) {
        bool zero;
        quotient[x] = div_element(divisor[x], dividend[x], zero);
        any_zero |= zero;
    }
    return any_zero != 0;
}

}  // namespace

bool prim_div_reference_run(const float* divisor, const float* dividend, float* quotient,
                            std::ptrdiff_t n) {
    return div_run(reinterpret_cast<const ufloat*>(divisor),
                   reinterpret_cast<const ufloat*>(dividend), reinterpret_cast<ufloat*>(quotient),
                   n);
}

PrimStatus prim_add_32f_c0(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = check_binary(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    if (prim_plain_wide()) {
        prim_plain_add_rows_avx2(src1, src1_step, src2, src2_step, dst, dst_step, roi);
        return prim_ok;
    }
    binary_rows(src1, src1_step, src2, src2_step, dst, dst_step, roi,
                [](float a, float b) { return a + b; });
    return prim_ok;
}

PrimStatus prim_mul_32f_c0(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = check_binary(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    if (prim_plain_wide()) {
        prim_plain_mul_rows_avx2(src1, src1_step, src2, src2_step, dst, dst_step, roi);
        return prim_ok;
    }
    binary_rows(src1, src1_step, src2, src2_step, dst, dst_step, roi,
                [](float a, float b) { return a * b; });
    return prim_ok;
}

PrimStatus prim_div_32f_c0(const float* src1, int32_t src1_step, const float* src2,
                           int32_t src2_step, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = check_binary(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    if (prim_plain_wide()) {
        return prim_plain_div_rows_avx2(src1, src1_step, src2, src2_step, dst, dst_step, roi)
                   ? prim_warn_div_by_zero
                   : prim_ok;
    }
    bool any_zero = false;
    for (int32_t y = 0; y < roi.height; ++y) {
        any_zero |= div_run(row_at(src1, src1_step, y), row_at(src2, src2_step, y),
                            row_at(dst, dst_step, y), roi.width);
    }
    return any_zero ? prim_warn_div_by_zero : prim_ok;
}

PrimStatus prim_add_const_inplace_32f_c0(float value, float* src_dst, int32_t src_dst_step,
                                         Size roi) {
    if (src_dst == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0) return prim_err_size;
    if (src_dst_step <= 0) return prim_err_step;
    if (prim_plain_wide()) {
        prim_plain_add_const_rows_avx2(value, src_dst, src_dst_step, roi);
        return prim_ok;
    }
    for (int32_t y = 0; y < roi.height; ++y) {
        ufloat* d = row_at(src_dst, src_dst_step, y);
        for (int32_t x = 0; x < roi.width; ++x) d[x] = d[x] + value;
    }
    return prim_ok;
}

PrimStatus prim_sqr_32f_c0(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                           Size roi) {
    if (src == nullptr || dst == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0) return prim_err_size;
    if (src_step <= 0 || dst_step <= 0) return prim_err_step;
    // This kernel walks whole floats: each step is truncated to a multiple of 4 bytes.
    src_step &= ~3;
    dst_step &= ~3;
    if (prim_plain_wide()) {
        prim_plain_sqr_rows_avx2(src, src_step, dst, dst_step, roi);
        return prim_ok;
    }
    for (int32_t y = 0; y < roi.height; ++y) {
        const ufloat* s = row_at(src, src_step, y);
        ufloat* d = row_at(dst, dst_step, y);
        for (int32_t x = 0; x < roi.width; ++x) d[x] = s[x] * s[x];
    }
    return prim_ok;
}
