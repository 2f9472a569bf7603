// Column 0, eight lanes: the column-0 kernels with AVX2 row loops, for 64-bit builds on
// processors with AVX2 whose OS saves the 256-bit registers. The variant table names this
// flavour for column 0 when the table is built on such a machine (dispatch.cpp).
//
// Of column 0 only this file is built with -mavx2 (column3_avx2.cpp is column 3's), without
// -mfma and with -ffp-contract=off: every multiplication and addition must round on its own, as
// in the baseline loops of column0_plain.cpp. The loops below are those loops with wider vectors
// and nothing else changed:
//  - the filters convert four floats to four doubles (exact), multiply by the coefficient
//    (exact in double: 24 x 24 significant bits), add to an accumulator that starts at +0.0 in
//    order of increasing source coordinate, and convert to float once at the end;
//  - the division is the IEEE single-precision division (correctly rounded at any width) with
//    the zero-divisor rule applied by selects;
//  - the running average is old + alpha * (new - old) in double, rounded once.
// Each row finishes with scalar steps of the same operations, so a pixel's value depends
// neither on its position in the row nor on the flavour. The argument checks are the shared
// ones of column0_kernels.hpp.
#include <immintrin.h>

#include <cstddef>
#include <cstring>

#include "primitives/column0_kernels.hpp"

using prim_detail::row_at;
using prim_detail::ufloat;

namespace {

// Leaving 256-bit code with clean upper halves avoids the transition penalty in the SSE code
// that runs next.
struct UpperClear {
    ~UpperClear() { _mm256_zeroupper(); }
};

// Rows of byte-stepped images may start anywhere, so every vector access is unaligned.
template <class Op>
void binary_rows(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                 float* dst, int32_t dst_step, Size roi, Op op) {
    for (int32_t y = 0; y < roi.height; ++y) {
        const ufloat* a = row_at(src1, src1_step, y);
        const ufloat* b = row_at(src2, src2_step, y);
        ufloat* d = row_at(dst, dst_step, y);
        int32_t x = 0;
        for (; x + 8 <= roi.width; x += 8) {
            const __m256 va = _mm256_loadu_ps(reinterpret_cast<const float*>(a + x));
            const __m256 vb = _mm256_loadu_ps(reinterpret_cast<const float*>(b + x));
            _mm256_storeu_ps(reinterpret_cast<float*>(d + x), op.vec(va, vb));
        }
        for (; x < roi.width; ++x) d[x] = op.one(a[x], b[x]);
    }
}

struct OpAdd {
    static __m256 vec(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
    static float one(float a, float b) { return a + b; }
};
struct OpSubtract {  // the second source minus the first
    static __m256 vec(__m256 a, __m256 b) { return _mm256_sub_ps(b, a); }
    static float one(float a, float b) { return b - a; }
};
struct OpMul {
    static __m256 vec(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
    static float one(float a, float b) { return a * b; }
};

inline __m256 bits8(uint32_t bits) {
    return _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(bits)));
}

// Outputs per step of the filters' main loops: eight accumulators of four doubles, so that eight
// independent chains of additions keep both adders busy through their latency.
constexpr int32_t kFilterOutputs = 32;

inline __m256d widen(const float* p) {
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
}

// One filter output at source pointer `s` (the pixel under kernel[0]); taps are `tap` floats
// apart. The same sum as one lane of the vector loops.
inline float filter_one(const float* s, std::ptrdiff_t tap, const float* kernel,
                        int32_t kernel_size) {
    double sum = 0.0;
    for (int32_t k = kernel_size - 1; k >= 0; --k) {
        sum += static_cast<double>(kernel[k]) * static_cast<double>(s[-tap * k]);
    }
    return static_cast<float>(sum);
}

// One row (or one output row of the column filter): `s` points at the source pixel under
// kernel[0] for output 0; consecutive outputs are one float apart, consecutive taps `tap`.
void filter_line(const float* s, std::ptrdiff_t tap, float* d, int32_t width, const float* kernel,
                 int32_t kernel_size) {
    int32_t x = 0;
    for (; x + kFilterOutputs <= width; x += kFilterOutputs) {
        __m256d a[kFilterOutputs / 4];
        for (__m256d& v : a) v = _mm256_setzero_pd();
        const float* p = s + x - tap * (kernel_size - 1);
        for (int32_t k = kernel_size - 1; k >= 0; --k, p += tap) {
            const __m256d c = _mm256_set1_pd(static_cast<double>(kernel[k]));
            for (int32_t i = 0; i < kFilterOutputs / 4; ++i) {
                a[i] = _mm256_add_pd(a[i], _mm256_mul_pd(c, widen(p + 4 * i)));
            }
        }
        for (int32_t i = 0; i < kFilterOutputs / 4; i += 2) {
            _mm256_storeu_ps(d + x + 4 * i,
                             _mm256_set_m128(_mm256_cvtpd_ps(a[i + 1]), _mm256_cvtpd_ps(a[i])));
        }
    }
    for (; x + 4 <= width; x += 4) {
        __m256d a0 = _mm256_setzero_pd();
        const float* p = s + x - tap * (kernel_size - 1);
        for (int32_t k = kernel_size - 1; k >= 0; --k, p += tap) {
            a0 = _mm256_add_pd(
                a0, _mm256_mul_pd(_mm256_set1_pd(static_cast<double>(kernel[k])), widen(p)));
        }
        _mm_storeu_ps(d + x, _mm256_cvtpd_ps(a0));
    }
    for (; x < width; ++x) d[x] = filter_one(s + x, tap, kernel, kernel_size);
}

// Along a row, kernels up to this many taps run on sources converted to double once (each
// source pixel would otherwise be converted once per tap); longer kernels convert on the fly
// (filter_line).
constexpr int32_t kMaxBufferedTaps = 16;
constexpr int32_t kChunk = 256;  // outputs per converted block [pixels]

// Converts n floats to doubles (exact).
void widen_run(const float* s, double* d, int32_t n) {
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(d + i, widen(s + i));
    for (; i < n; ++i) d[i] = static_cast<double>(s[i]);
}

// n outputs of a row from its converted source: term j (j = 0 .. taps - 1, in order of
// increasing source coordinate) of output x is coef[j] * s[x + j]. The sum starts at +0.0 and
// rounds to float once, as in filter_line.
void sum_terms(const double* s, const double* coef, int32_t taps, float* d, int32_t n) {
    int32_t x = 0;
    for (; x + kFilterOutputs <= n; x += kFilterOutputs) {
        __m256d a[kFilterOutputs / 4];
        for (__m256d& v : a) v = _mm256_setzero_pd();
        for (int32_t j = 0; j < taps; ++j) {
            const __m256d c = _mm256_broadcast_sd(coef + j);
            const double* p = s + x + j;
            for (int32_t i = 0; i < kFilterOutputs / 4; ++i) {
                a[i] = _mm256_add_pd(a[i], _mm256_mul_pd(c, _mm256_loadu_pd(p + 4 * i)));
            }
        }
        for (int32_t i = 0; i < kFilterOutputs / 4; i += 2) {
            _mm256_storeu_ps(d + x + 4 * i,
                             _mm256_set_m128(_mm256_cvtpd_ps(a[i + 1]), _mm256_cvtpd_ps(a[i])));
        }
    }
    for (; x + 4 <= n; x += 4) {
        __m256d a0 = _mm256_setzero_pd();
        for (int32_t j = 0; j < taps; ++j) {
            a0 = _mm256_add_pd(
                a0, _mm256_mul_pd(_mm256_broadcast_sd(coef + j), _mm256_loadu_pd(s + x + j)));
        }
        _mm_storeu_ps(d + x, _mm256_cvtpd_ps(a0));
    }
    for (; x < n; ++x) {
        double sum = 0.0;
        for (int32_t j = 0; j < taps; ++j) sum += coef[j] * s[x + j];
        d[x] = static_cast<float>(sum);
    }
}

// The coefficients in the order in which the terms are added: kernel[kernel_size - 1] first.
void coefficients_in_order(const float* kernel, int32_t kernel_size, double* coef) {
    for (int32_t j = 0; j < kernel_size; ++j) {
        coef[j] = static_cast<double>(kernel[kernel_size - 1 - j]);
    }
}

// The row loops that column0_kernels.hpp runs after its checks.
struct WideRows {
    static void add(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                    float* dst, int32_t dst_step, Size roi) {
        UpperClear clear;
        binary_rows(src1, src1_step, src2, src2_step, dst, dst_step, roi, OpAdd{});
    }

    static void subtract(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                         float* dst, int32_t dst_step, Size roi) {
        UpperClear clear;
        binary_rows(src1, src1_step, src2, src2_step, dst, dst_step, roi, OpSubtract{});
    }

    static void mul(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                    float* dst, int32_t dst_step, Size roi) {
        UpperClear clear;
        binary_rows(src1, src1_step, src2, src2_step, dst, dst_step, roi, OpMul{});
    }

    static bool div(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                    float* dst, int32_t dst_step, Size roi) {
        UpperClear clear;
        const __m256 zero = _mm256_setzero_ps();
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256 plus_inf = bits8(0x7F800000u);
        const __m256 minus_inf = bits8(0xFF800000u);
        const __m256 div_nan = bits8(0xFFC00000u);
        bool any_zero = false;
        for (int32_t y = 0; y < roi.height; ++y) {
            const ufloat* divisor = row_at(src1, src1_step, y);
            const ufloat* dividend = row_at(src2, src2_step, y);
            ufloat* d = row_at(dst, dst_step, y);
            // Lanes whose divisor counted as zero, gathered per row so that the flag stays in a
            // register and never travels through memory in the loop (the tail's call saves it).
            __m256 row_zero = zero;
            int32_t x = 0;
            for (; x + 8 <= roi.width; x += 8) {
                const __m256 dv = _mm256_loadu_ps(reinterpret_cast<const float*>(divisor + x));
                const __m256 n = _mm256_loadu_ps(reinterpret_cast<const float*>(dividend + x));
                // A zero (either sign) or NaN divisor is replaced by 1, so no such division runs;
                // the special value is chosen by the dividend's sign.
                const __m256 is_zero = _mm256_or_ps(_mm256_cmp_ps(dv, zero, _CMP_EQ_OQ),
                                                    _mm256_cmp_ps(dv, dv, _CMP_UNORD_Q));
                const __m256 q = _mm256_div_ps(n, _mm256_blendv_ps(dv, one, is_zero));
                __m256 special =
                    _mm256_blendv_ps(div_nan, minus_inf, _mm256_cmp_ps(n, zero, _CMP_LT_OQ));
                special = _mm256_blendv_ps(special, plus_inf, _mm256_cmp_ps(n, zero, _CMP_GT_OQ));
                _mm256_storeu_ps(reinterpret_cast<float*>(d + x),
                                 _mm256_blendv_ps(q, special, is_zero));
                row_zero = _mm256_or_ps(row_zero, is_zero);
            }
            any_zero |= _mm256_movemask_ps(row_zero) != 0;
            any_zero |= prim_div_reference_run(reinterpret_cast<const float*>(divisor + x),
                                               reinterpret_cast<const float*>(dividend + x),
                                               reinterpret_cast<float*>(d + x), roi.width - x);
        }
        return any_zero;
    }

    static void add_const(float value, float* src_dst, int32_t src_dst_step, Size roi) {
        UpperClear clear;
        const __m256 v = _mm256_set1_ps(value);
        for (int32_t y = 0; y < roi.height; ++y) {
            ufloat* d = row_at(src_dst, src_dst_step, y);
            float* df = reinterpret_cast<float*>(d);
            int32_t x = 0;
            for (; x + 8 <= roi.width; x += 8) {
                _mm256_storeu_ps(df + x, _mm256_add_ps(_mm256_loadu_ps(df + x), v));
            }
            for (; x < roi.width; ++x) d[x] = d[x] + value;
        }
    }

    static void sqr(const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi) {
        UpperClear clear;
        for (int32_t y = 0; y < roi.height; ++y) {
            const ufloat* s = row_at(src, src_step, y);
            ufloat* d = row_at(dst, dst_step, y);
            int32_t x = 0;
            for (; x + 8 <= roi.width; x += 8) {
                const __m256 v = _mm256_loadu_ps(reinterpret_cast<const float*>(s + x));
                _mm256_storeu_ps(reinterpret_cast<float*>(d + x), _mm256_mul_ps(v, v));
            }
            for (; x < roi.width; ++x) d[x] = s[x] * s[x];
        }
    }

    static void set(uint32_t bits, float* dst, int32_t dst_step, Size roi) {
        UpperClear clear;
        // Integer stores only: a float move could quiet a signalling NaN.
        const __m256i v = _mm256_set1_epi32(static_cast<int>(bits));
        for (int32_t y = 0; y < roi.height; ++y) {
            unsigned char* row = reinterpret_cast<unsigned char*>(row_at(dst, dst_step, y));
            int32_t x = 0;
            for (; x + 8 <= roi.width; x += 8) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + std::size_t{4} * x), v);
            }
            for (; x < roi.width; ++x) std::memcpy(row + std::size_t{4} * x, &bits, 4);
        }
    }

    static void filter_row(const float* src, std::ptrdiff_t src_stride, float* dst,
                           std::ptrdiff_t dst_stride, Size roi, const float* kernel,
                           int32_t kernel_size, int32_t anchor) {
        UpperClear clear;
        if (kernel_size > kMaxBufferedTaps) {
            for (int32_t y = 0; y < roi.height; ++y) {
                filter_line(src + src_stride * y + anchor, 1, dst + dst_stride * y, roi.width,
                            kernel, kernel_size);
            }
            return;
        }
        double coef[kMaxBufferedTaps];
        coefficients_in_order(kernel, kernel_size, coef);
        // The block of converted source pixels: output x of the block takes its terms from
        // buffer[x .. x + kernel_size - 1].
        double buffer[kChunk + kMaxBufferedTaps - 1];
        for (int32_t y = 0; y < roi.height; ++y) {
            const float* s_row =
                src + src_stride * y + (std::ptrdiff_t{anchor} - (kernel_size - 1));
            float* d_row = dst + dst_stride * y;
            for (int32_t x0 = 0; x0 < roi.width; x0 += kChunk) {
                const int32_t n = roi.width - x0 < kChunk ? roi.width - x0 : kChunk;
                widen_run(s_row + x0, buffer, n + kernel_size - 1);
                sum_terms(buffer, coef, kernel_size, d_row + x0, n);
            }
        }
    }

    static void filter_column(const float* src, std::ptrdiff_t src_stride, float* dst,
                              std::ptrdiff_t dst_stride, Size roi, const float* kernel,
                              int32_t kernel_size, int32_t anchor) {
        UpperClear clear;
        // Down a column each source row serves kernel_size output rows, but converting it again
        // for each costs less than passing it through a block of converted rows (measured).
        for (int32_t y = 0; y < roi.height; ++y) {
            filter_line(src + src_stride * (std::ptrdiff_t{y} + anchor), src_stride,
                        dst + dst_stride * y, roi.width, kernel, kernel_size);
        }
    }

    static void weighted_run(const float* s, float* d, int64_t n, double alpha) {
        UpperClear clear;
        const __m256d a = _mm256_set1_pd(alpha);
        int64_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256d old0 = widen(d + i), old1 = widen(d + i + 4);
            const __m256d r0 =
                _mm256_add_pd(old0, _mm256_mul_pd(a, _mm256_sub_pd(widen(s + i), old0)));
            const __m256d r1 =
                _mm256_add_pd(old1, _mm256_mul_pd(a, _mm256_sub_pd(widen(s + i + 4), old1)));
            _mm256_storeu_ps(d + i, _mm256_set_m128(_mm256_cvtpd_ps(r1), _mm256_cvtpd_ps(r0)));
        }
        for (; i < n; ++i) {
            const double old = d[i];
            d[i] = static_cast<float>(old + alpha * (static_cast<double>(s[i]) - old));
        }
    }
};

}  // namespace

PrimColumn prim_column0_avx2() {
    const PrimColumn plain = prim_column0_plain();
    return column0::with_rows<WideRows>(plain.malloc_32f, plain.free, plain.copy_32f);
}
