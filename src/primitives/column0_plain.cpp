// Column 0, plain: the reference variant of every kernel, for any processor. Built without
// instruction-set flags; the loops are written so that the compiler may vectorise them at -O2
// without changing a bit.
//
// Storage. Images start on a 32-byte boundary and their rows are 32-byte multiples; the block
// keeps the address that malloc returned just below the image. Copy and fill move bit patterns,
// never float values, so NaN payloads, signed zeros and subnormals arrive unchanged.
//
// Arithmetic. One IEEE single-precision operation per element gives the same value as the wider
// evaluation with one rounding at the store. Sources and destination may be the same image (same
// address and step): each element is read before its own result is stored, and nothing else in a
// row depends on it. The division follows the zero-divisor rule of prim_div_reference_run.
//
// Filters. dst(x) = sum over k of kernel[k] * src(x + anchor - k): kernel[0] meets the source
// pixel farthest right (or down). For each output the sum starts at +0.0 and takes the products
// in order of increasing source coordinate (k from kernel_size - 1 down to 0). A product of two
// floats is exact in double, so only the additions round, and the one conversion to float at the
// store rounds again. A row is produced in blocks of outputs: one pass per group of taps adds
// their products to the block's double accumulators. Every output still receives its terms in
// the reference order, so the block length changes no value, but the inner loop runs over
// adjacent pixels and vectorises. The caller supplies the source margin.
//
// Running average. src_dst + alpha * (src - src_dst) in double, in exactly that order, rounded
// once at the store; the order matters for special values (an infinite accumulator gives NaN for
// every alpha >= 0, -0.0 becomes +0.0 for alpha 0).
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "primitives/column0_kernels.hpp"

using prim_detail::row_at;
using prim_detail::ufloat;

namespace {

// ---- storage ------------------------------------------------------------------------------------
constexpr std::uintptr_t kAlign = 32;                  // image and row alignment [bytes]
constexpr int64_t kOverhead = kAlign + sizeof(void*);  // alignment slack + back-pointer [bytes]

float* malloc_32f(int32_t width, int32_t height, int32_t* step) {
    if (step == nullptr) return nullptr;
    if (width <= 0 || height <= 0) {
        *step = 0;
        return nullptr;
    }
    // 64-bit arithmetic throughout: a size that does not fit fails, it never wraps.
    const int64_t row_step = (int64_t{4} * width + 31) & ~int64_t{31};
    if (row_step > std::numeric_limits<int32_t>::max()) {
        // The row step itself cannot be reported; leave no misleading value behind.
        *step = 0;
        return nullptr;
    }
    *step = static_cast<int32_t>(row_step);
    const int64_t size = row_step * height;
    if (size <= 0 || size > std::numeric_limits<int32_t>::max() - kOverhead) return nullptr;

    void* raw = std::malloc(static_cast<std::size_t>(size + kOverhead));
    if (raw == nullptr) return nullptr;
    // The first multiple of 32 that leaves room for the back-pointer just below it.
    const std::uintptr_t image =
        (reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*) + kAlign - 1) & ~(kAlign - 1);
    std::memcpy(reinterpret_cast<void*>(image - sizeof(void*)), &raw, sizeof(void*));
    return reinterpret_cast<float*>(image);
}

void free_image(void* ptr) {
    if (ptr == nullptr) return;
    void* raw;
    std::memcpy(&raw, static_cast<unsigned char*>(ptr) - sizeof(void*), sizeof(void*));
    std::free(raw);
}

PrimStatus copy_32f(const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = prim_check::two(src, src_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    const std::size_t row_bytes = std::size_t{4} * static_cast<std::size_t>(roi.width);
    // memmove, not memcpy: a copy onto itself (or onto an overlapping region, which is not a
    // supported use) must still be well defined.
    if (static_cast<std::size_t>(src_step) == row_bytes &&
        static_cast<std::size_t>(dst_step) == row_bytes) {
        std::memmove(dst, src, row_bytes * static_cast<std::size_t>(roi.height));
        return prim_ok;
    }
    for (int32_t y = 0; y < roi.height; ++y) {
        std::memmove(row_at(dst, dst_step, y), row_at(src, src_step, y), row_bytes);
    }
    return prim_ok;
}

// ---- division -----------------------------------------------------------------------------------
constexpr float kPlusInf = std::bit_cast<float>(0x7F800000u);
constexpr float kMinusInf = std::bit_cast<float>(0xFF800000u);
constexpr float kDivNaN = std::bit_cast<float>(0xFFC00000u);

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

// ---- filters ------------------------------------------------------------------------------------
constexpr int32_t kBlock = 64;  // outputs per block of accumulators

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

// ---- the baseline row loops ---------------------------------------------------------------------
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

struct BaselineRows {
    static void add(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                    float* dst, int32_t dst_step, Size roi) {
        binary_rows(src1, src1_step, src2, src2_step, dst, dst_step, roi,
                    [](float a, float b) { return a + b; });
    }
    static void subtract(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                         float* dst, int32_t dst_step, Size roi) {
        binary_rows(src1, src1_step, src2, src2_step, dst, dst_step, roi,
                    [](float a, float b) { return b - a; });
    }
    static void mul(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                    float* dst, int32_t dst_step, Size roi) {
        binary_rows(src1, src1_step, src2, src2_step, dst, dst_step, roi,
                    [](float a, float b) { return a * b; });
    }
    static bool div(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                    float* dst, int32_t dst_step, Size roi) {
        bool any_zero = false;
        for (int32_t y = 0; y < roi.height; ++y) {
            any_zero |= div_run(row_at(src1, src1_step, y), row_at(src2, src2_step, y),
                                row_at(dst, dst_step, y), roi.width);
        }
        return any_zero;
    }
    static void add_const(float value, float* src_dst, int32_t src_dst_step, Size roi) {
        for (int32_t y = 0; y < roi.height; ++y) {
            ufloat* d = row_at(src_dst, src_dst_step, y);
            for (int32_t x = 0; x < roi.width; ++x) d[x] = d[x] + value;
        }
    }
    static void sqr(const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi) {
        for (int32_t y = 0; y < roi.height; ++y) {
            const ufloat* s = row_at(src, src_step, y);
            ufloat* d = row_at(dst, dst_step, y);
            for (int32_t x = 0; x < roi.width; ++x) d[x] = s[x] * s[x];
        }
    }
    static void set(uint32_t bits, float* dst, int32_t dst_step, Size roi) {
        for (int32_t y = 0; y < roi.height; ++y) {
            unsigned char* row = reinterpret_cast<unsigned char*>(row_at(dst, dst_step, y));
            for (int32_t x = 0; x < roi.width; ++x) std::memcpy(row + std::size_t{4} * x, &bits, 4);
        }
    }
    static void filter_row(const float* src, std::ptrdiff_t src_stride, float* dst,
                           std::ptrdiff_t dst_stride, Size roi, const float* kernel,
                           int32_t kernel_size, int32_t anchor) {
        filter_baseline(src, src_stride, dst, dst_stride, roi, kernel, kernel_size, anchor, 1);
    }
    static void filter_column(const float* src, std::ptrdiff_t src_stride, float* dst,
                              std::ptrdiff_t dst_stride, Size roi, const float* kernel,
                              int32_t kernel_size, int32_t anchor) {
        filter_baseline(src, src_stride, dst, dst_stride, roi, kernel, kernel_size, anchor,
                        src_stride);
    }
    static void weighted_run(const float* s, float* d, int64_t n, double alpha) {
        for (int64_t i = 0; i < n; ++i) {
            const double old = d[i];
            d[i] = static_cast<float>(old + alpha * (static_cast<double>(s[i]) - old));
        }
    }
};

}  // namespace

bool prim_div_reference_run(const float* divisor, const float* dividend, float* quotient,
                            std::ptrdiff_t n) {
    return div_run(reinterpret_cast<const ufloat*>(divisor),
                   reinterpret_cast<const ufloat*>(dividend), reinterpret_cast<ufloat*>(quotient),
                   n);
}

PrimColumn prim_column0_plain() {
    return column0::with_rows<BaselineRows>(&malloc_32f, &free_image, &copy_32f);
}
