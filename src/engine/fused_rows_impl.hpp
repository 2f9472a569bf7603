// The row routines of the fused pipeline, written once and compiled once per instruction set.
//
// Included only by fused_rows_base.cpp, fused_rows_avx2.cpp and fused_rows_avx512.cpp, each of
// which defines ENGINE_FUSED_NS (the namespace of its flavour) and ENGINE_FUSED_NAME first. Every
// definition lands in an unnamed namespace, so no copy built for one instruction set can stand in
// for another at link time; for the same reason nothing here calls into the standard library.
//
// The loops are plain element-wise loops that the compiler vectorises to the width of the file's
// instruction set. Vector and scalar iterations do the same operations in the same order (see
// fused_rows.hpp), so a pixel's value depends neither on its position in the row nor on the
// flavour. Every pointer is __restrict: the rows a routine writes never overlap what it reads
// (recursive_row, which may update It in place, passes its loops rows that do not overlap).
#ifndef ENGINE_FUSED_NS
#error "define ENGINE_FUSED_NS before including fused_rows_impl.hpp"
#endif

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// Around the 512-bit intrinsics: GCC 12's intrinsics fill the lanes they leave undefined from a
// vector initialised with itself, which its own warnings then report at every use.
#if !defined(ENGINE_FUSED_QUIET_BEGIN)
#if defined(__GNUC__) && !defined(__clang__)
#define ENGINE_FUSED_QUIET_BEGIN                                \
    _Pragma("GCC diagnostic push")                              \
        _Pragma("GCC diagnostic ignored \"-Wuninitialized\"") \
            _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define ENGINE_FUSED_QUIET_END _Pragma("GCC diagnostic pop")
#else
#define ENGINE_FUSED_QUIET_BEGIN
#define ENGINE_FUSED_QUIET_END
#endif
#endif

namespace {
namespace ENGINE_FUSED_NS {

using engine_fused::ProductRows;
using engine_fused::ProductSet;
using engine_fused::RowOps;
using engine_fused::SweepRows;

// The three values the division's zero-divisor rule stores.
inline float plus_inf() {
    return __builtin_bit_cast(float, 0x7F800000u);
}
inline float minus_inf() {
    return __builtin_bit_cast(float, 0xFF800000u);
}
inline float div_nan() {
    return __builtin_bit_cast(float, 0xFFC00000u);
}

// n / d by the division kernel's reference rule, written as selects so that a loop of it
// vectorises: a zero or NaN divisor is replaced by 1 (no such division runs) and the special
// value is chosen by the dividend's sign.
inline float divide(float d, float n) {
    const bool zero = (d == 0.0f) | (d != d);
    const float q = n / (zero ? 1.0f : d);
    float special = n < 0.0f ? minus_inf() : div_nan();
    special = n > 0.0f ? plus_inf() : special;
    return zero ? special : q;
}

// The exponent summary of a run of floats (see fused_rows.hpp): the largest biased exponent, and
// the smallest of the nonzero values (255 when all are zero). A loop keeps the largest magnitude
// bits and the smallest of (magnitude bits - 1), in which a zero wraps round to the largest
// value and so drops out; the exponents are taken once at the end.
struct Range {
    uint32_t lo_key = 0xFFFFFFFFu;
    uint32_t hi_key = 0;
};
inline uint32_t pack(const Range& r) {
    const uint32_t lo = r.lo_key == 0xFFFFFFFFu ? 255u : (r.lo_key + 1) >> 23;
    return lo | ((r.hi_key >> 23) << 8);
}

// Takes one float into a summary.
inline void note_range(float v, uint32_t& lo_key, uint32_t& hi_key) {
    const uint32_t key = __builtin_bit_cast(uint32_t, v) & 0x7FFFFFFFu;
    hi_key = hi_key > key ? hi_key : key;
    const uint32_t below = key - 1;
    lo_key = lo_key < below ? lo_key : below;
}

void widen(const float* __restrict src, int32_t n, double* __restrict dst, uint32_t* range) {
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    for (int32_t x = 0; x < n; ++x) {
        note_range(src[x], lo, hi);
        dst[x] = static_cast<double>(src[x]);
    }
    *range = pack(Range{lo, hi});
}

void margins(double* row, int32_t n) {
    row[-2] = row[-1] = row[0];
    row[n] = row[n + 1] = row[n - 1];
}

void widen_clamped(const float* src, int32_t n, double* dst, uint32_t* range) {
    widen(src, n, dst, range);
    margins(dst, n);
}

// The row pass in the kernels' order of terms, or, where the sums are exact (`exact`), in the
// cheaper symmetric form: the same exact sum, made +0 where it is zero as the kernels' sum started
// at +0 always is.
template <bool kExact>
void smooth_row_t(const double* __restrict s, int32_t n, const double* c, double* __restrict dst,
                  uint32_t* range) {
    const double c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    for (int32_t x = 0; x < n; ++x) {
        double sum;
        if constexpr (kExact) {
            sum = c4 * (s[x - 2] + s[x + 2]) + c3 * (s[x - 1] + s[x + 1]) + c2 * s[x];
        } else {
            sum = 0.0;
            sum += c4 * s[x - 2];
            sum += c3 * s[x - 1];
            sum += c2 * s[x];
            sum += c1 * s[x + 1];
            sum += c0 * s[x + 2];
        }
        float v = static_cast<float>(sum);
        if constexpr (kExact) v = v + 0.0f;
        note_range(v, lo, hi);
        dst[x] = static_cast<double>(v);
    }
    *range = pack(Range{lo, hi});
}

#if defined(__AVX512F__)
ENGINE_FUSED_QUIET_BEGIN
// The exact forms of the two smoothing passes eight pixels at a time, each rounded sum kept in a
// 256-bit half: the compiler's loops join two halves into one register for the float steps and
// split them again to widen, which costs two moves per sixteen pixels on the critical path. The
// same sums as smooth_row_t<true> and smooth_column_t<true, true>, with two of the products
// added by fused multiply-adds: where the exact forms are taken, every product and partial sum
// is exact in double (fused_rows.hpp), so a fused multiply-add rounds nothing either, in any
// association, and the sum is the same double; the fused form is two operations shorter.
struct Summary8 {
    __m256i lo = _mm256_set1_epi32(-1);
    __m256i hi = _mm256_setzero_si256();
    void note(__m256 v) {
        const __m256i key = _mm256_and_si256(_mm256_castps_si256(v), _mm256_set1_epi32(0x7FFFFFFF));
        hi = _mm256_max_epu32(hi, key);
        lo = _mm256_min_epu32(lo, _mm256_sub_epi32(key, _mm256_set1_epi32(1)));
    }
    Range range() const {
        alignas(32) uint32_t l[8], h[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(l), lo);
        _mm256_store_si256(reinterpret_cast<__m256i*>(h), hi);
        Range r;
        for (int32_t k = 0; k < 8; ++k) {
            r.lo_key = r.lo_key < l[k] ? r.lo_key : l[k];
            r.hi_key = r.hi_key > h[k] ? r.hi_key : h[k];
        }
        return r;
    }
};

inline __m256 rounded8(__m512d sum) {
    return _mm256_add_ps(_mm512_maskz_cvtpd_ps(0xFF, sum), _mm256_setzero_ps());
}

template <bool kNext>
void smooth_row_exact8_t(const double* __restrict s, int32_t n, const double* c,
                         double* __restrict dst, uint32_t* range, const float* __restrict next,
                         double* __restrict next_dst, uint32_t* next_range) {
    const __m512d c2 = _mm512_set1_pd(c[2]), c3 = _mm512_set1_pd(c[3]), c4 = _mm512_set1_pd(c[4]);
    Summary8 summary, next_summary;
    int32_t x = 0;
    for (; x + 8 <= n; x += 8) {
        if constexpr (kNext) {
            const __m256 w = _mm256_loadu_ps(next + x);
            next_summary.note(w);
            _mm512_storeu_pd(next_dst + x, _mm512_cvtps_pd(w));
        }
        auto at = [&](int32_t k) { return _mm512_loadu_pd(s + x + k); };
        const __m512d sum = _mm512_fmadd_pd(
            c4, _mm512_add_pd(at(-2), at(2)),
            _mm512_fmadd_pd(c3, _mm512_add_pd(at(-1), at(1)), _mm512_mul_pd(c2, at(0))));
        const __m256 v = rounded8(sum);
        summary.note(v);
        _mm512_storeu_pd(dst + x, _mm512_cvtps_pd(v));
    }
    Range r = summary.range();
    Range next_r = next_summary.range();
    for (; x < n; ++x) {
        if constexpr (kNext) {
            note_range(next[x], next_r.lo_key, next_r.hi_key);
            next_dst[x] = static_cast<double>(next[x]);
        }
        const double sum =
            c[4] * (s[x - 2] + s[x + 2]) + c[3] * (s[x - 1] + s[x + 1]) + c[2] * s[x];
        const float v = static_cast<float>(sum) + 0.0f;
        note_range(v, r.lo_key, r.hi_key);
        dst[x] = static_cast<double>(v);
    }
    *range = pack(r);
    if constexpr (kNext) {
        *next_range = pack(next_r);
        next_dst[-2] = next_dst[-1] = next_dst[0];
        next_dst[n] = next_dst[n + 1] = next_dst[n - 1];
    }
}

void smooth_row_exact8(const double* s, int32_t n, const double* c, double* dst, uint32_t* range) {
    smooth_row_exact8_t<false>(s, n, c, dst, range, nullptr, nullptr, nullptr);
}

void smooth_column_exact8(const double* const rows[5], int32_t n, const double* c,
                          float* __restrict out, double* __restrict wide, uint32_t* range) {
    const double* __restrict r0 = rows[0];
    const double* __restrict r1 = rows[1];
    const double* __restrict r2 = rows[2];
    const double* __restrict r3 = rows[3];
    const double* __restrict r4 = rows[4];
    const __m512d c2 = _mm512_set1_pd(c[2]), c3 = _mm512_set1_pd(c[3]), c4 = _mm512_set1_pd(c[4]);
    Summary8 summary;
    int32_t x = 0;
    for (; x + 8 <= n; x += 8) {
        const __m512d sum = _mm512_fmadd_pd(
            c4, _mm512_add_pd(_mm512_loadu_pd(r0 + x), _mm512_loadu_pd(r4 + x)),
            _mm512_fmadd_pd(c3, _mm512_add_pd(_mm512_loadu_pd(r1 + x), _mm512_loadu_pd(r3 + x)),
                            _mm512_mul_pd(c2, _mm512_loadu_pd(r2 + x))));
        const __m256 v = rounded8(sum);
        _mm256_storeu_ps(out + x, v);
        summary.note(v);
        _mm512_storeu_pd(wide + x, _mm512_cvtps_pd(v));
    }
    Range r = summary.range();
    for (; x < n; ++x) {
        const double sum = c[4] * (r0[x] + r4[x]) + c[3] * (r1[x] + r3[x]) + c[2] * r2[x];
        const float v = static_cast<float>(sum) + 0.0f;
        out[x] = v;
        note_range(v, r.lo_key, r.hi_key);
        wide[x] = static_cast<double>(v);
    }
    *range = pack(r);
}
ENGINE_FUSED_QUIET_END
#endif

void smooth_row(const double* s, int32_t n, const double* c, bool exact, double* dst,
                uint32_t* range) {
#if defined(__AVX512F__)
    if (exact) {
        smooth_row_exact8(s, n, c, dst, range);
        return;
    }
#endif
    if (exact) {
        smooth_row_t<true>(s, n, c, dst, range);
    } else {
        smooth_row_t<false>(s, n, c, dst, range);
    }
}

void smooth_row_widen(const double* s, int32_t n, const double* c, bool exact, double* dst,
                      uint32_t* range, const float* next, double* next_dst, uint32_t* next_range) {
#if defined(__AVX512F__)
    if (exact) {
        smooth_row_exact8_t<true>(s, n, c, dst, range, next, next_dst, next_range);
        return;
    }
#endif
    smooth_row(s, n, c, exact, dst, range);
    widen_clamped(next, n, next_dst, next_range);
}

template <bool kExact, bool kWiden>
void smooth_column_t(const double* __restrict r0, const double* __restrict r1,
                     const double* __restrict r2, const double* __restrict r3,
                     const double* __restrict r4, int32_t n, const double* c, float* __restrict out,
                     double* __restrict wide, uint32_t* range) {
    const double c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    for (int32_t x = 0; x < n; ++x) {
        double sum;
        if constexpr (kExact) {
            sum = c4 * (r0[x] + r4[x]) + c3 * (r1[x] + r3[x]) + c2 * r2[x];
        } else {
            sum = 0.0;
            sum += c4 * r0[x];
            sum += c3 * r1[x];
            sum += c2 * r2[x];
            sum += c1 * r3[x];
            sum += c0 * r4[x];
        }
        float v = static_cast<float>(sum);
        if constexpr (kExact) v = v + 0.0f;
        out[x] = v;
        if constexpr (kWiden) {
            note_range(v, lo, hi);
            wide[x] = static_cast<double>(v);
        }
    }
    if constexpr (kWiden) *range = pack(Range{lo, hi});
}

void smooth_column(const double* const rows[5], int32_t n, const double* c, bool exact, float* out,
                   double* wide, uint32_t* range) {
    if (wide != nullptr) {
#if defined(__AVX512F__)
        if (exact) {
            smooth_column_exact8(rows, n, c, out, wide, range);
        } else {
            smooth_column_t<false, true>(rows[0], rows[1], rows[2], rows[3], rows[4], n, c, out,
                                         wide, range);
        }
#else
        if (exact) {
            smooth_column_t<true, true>(rows[0], rows[1], rows[2], rows[3], rows[4], n, c, out,
                                        wide, range);
        } else {
            smooth_column_t<false, true>(rows[0], rows[1], rows[2], rows[3], rows[4], n, c, out,
                                         wide, range);
        }
#endif
        wide[-2] = wide[-1] = wide[0];
        wide[n] = wide[n + 1] = wide[n - 1];
    } else if (exact) {
        smooth_column_t<true, false>(rows[0], rows[1], rows[2], rows[3], rows[4], n, c, out,
                                     nullptr, nullptr);
    } else {
        smooth_column_t<false, false>(rows[0], rows[1], rows[2], rows[3], rows[4], n, c, out,
                                      nullptr, nullptr);
    }
    out[-2] = out[-1] = out[0];
    out[n] = out[n + 1] = out[n - 1];
}

// With the weight 1/2 (the engine's), the double form D + (P - D) / 2 of two floats D and P whose
// exponents are at most 28 apart (or one of which is zero) is exact: P - D needs at most 53 bits,
// the halving is exact and so is the sum (D + P) / 2, so the kernel stores (D + P) / 2 rounded
// once. Single precision gets the same: where |D + P| < 2^-125 the float sum is exact and the
// halving rounds once, elsewhere the sum rounds once and the halving is exact; |D|, |P| < 2^127
// keep the sum finite. Only the sign of a zero differs (-0 and -0 give +0 in the double form,
// since P - D is +0): adding +0 mends it and changes nothing else. Rows with any other pair are
// computed in double throughout.
bool recursive_half_row(const float* __restrict cur, const float* __restrict prev,
                        const float* __restrict it_prev, float* __restrict it, int32_t n) {
    uint32_t bad = 0;
    for (int32_t x = 0; x < n; ++x) {
        const float d = cur[x] - prev[x];
        const float p = it_prev[x];
        const uint32_t bd = __builtin_bit_cast(uint32_t, d) & 0x7FFFFFFFu;
        const uint32_t bp = __builtin_bit_cast(uint32_t, p) & 0x7FFFFFFFu;
        const uint32_t big = bd > bp ? bd : bp;
        const uint32_t small = bd > bp ? bp : bd;
        const uint32_t apart = (big >> 23) - (small >> 23);
        bad |= static_cast<uint32_t>(big >= 0x7F000000u) |
               (static_cast<uint32_t>(small != 0) & static_cast<uint32_t>(apart > 28));
        it[x] = (d + p) * 0.5f + 0.0f;
    }
    return bad == 0;
}

void recursive_double_row(const float* __restrict cur, const float* __restrict prev,
                          const float* __restrict it_prev, double alpha, float* __restrict it,
                          int32_t n) {
    for (int32_t x = 0; x < n; ++x) {
        const double d = static_cast<double>(cur[x] - prev[x]);
        it[x] = static_cast<float>(d + alpha * (static_cast<double>(it_prev[x]) - d));
    }
}

// Pixels per stretch of a row whose It is updated in place.
constexpr int32_t kInPlaceStretch = 256;

void recursive_row(const float* cur, const float* prev, const float* it_prev, double alpha,
                   float* it, int32_t n) {
    if (it != it_prev) {
        if (alpha == 0.5 && recursive_half_row(cur, prev, it_prev, it, n)) return;
        recursive_double_row(cur, prev, it_prev, alpha, it, n);
        return;
    }
    // In place: the half form's results wait in a buffer until their stretch is known to need
    // no double form, which reads the previous values.
    alignas(64) float made[kInPlaceStretch];
    for (int32_t x = 0; x < n; x += kInPlaceStretch) {
        const int32_t m = n - x < kInPlaceStretch ? n - x : kInPlaceStretch;
        if (!(alpha == 0.5 && recursive_half_row(cur + x, prev + x, it_prev + x, made, m))) {
            recursive_double_row(cur + x, prev + x, it_prev + x, alpha, made, m);
        }
        for (int32_t i = 0; i < m; ++i) it[x + i] = made[i];
    }
}

void batch_row(const float* __restrict f0, const float* __restrict f1, const float* __restrict f3,
               const float* __restrict f4, double alpha, float* __restrict it, int32_t n) {
    for (int32_t x = 0; x < n; ++x) {
        const double outer = static_cast<double>(f0[x] - f4[x]);
        const double inner = static_cast<double>(f3[x] - f1[x]);
        it[x] = static_cast<float>(outer + alpha * (inner - outer));
    }
}

void square_row(const float* __restrict it, float* __restrict it2, int32_t n) {
    for (int32_t x = 0; x < n; ++x) it2[x] = it[x] * it[x];
}

// One loop per product set: every value of a pixel is formed in registers from Ix, Iy and It and
// stored once. Every row is its own __restrict parameter, which is what lets the compiler
// vectorise without run-time overlap tests.
// With kQuotients false the loop stops before the quotients (Fn2, Un, Vn), which the caller
// makes afterwards by its own column's division.
template <bool kExact, bool kFlow, bool kMoments, bool kRegularizer, bool kPlainDivision,
          bool kCheckDivisors = true, bool kQuotients = true>
bool products(const double* __restrict r0, const double* __restrict r1, const double* __restrict h,
              const double* __restrict r3, const double* __restrict r4, const double* c,
              const float* __restrict it, float reg, float* __restrict o_it2,
              float* __restrict o_ix, float* __restrict o_iy, float* __restrict o_ix2,
              float* __restrict o_iy2, float* __restrict o_ig2, float* __restrict o_ixy,
              float* __restrict o_ixt, float* __restrict o_iyt, float* __restrict o_fn2,
              float* __restrict o_un, float* __restrict o_vn, int32_t n) {
    const double c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];
    uint32_t special = 0;
    for (int32_t x = 0; x < n; ++x) {
        double sx, sy;
        if constexpr (kExact) {
            // Antisymmetric taps, centre 0: the same exact sums from two differences.
            sx = c0 * (h[x + 2] - h[x - 2]) + c1 * (h[x + 1] - h[x - 1]);
            sy = c0 * (r4[x] - r0[x]) + c1 * (r3[x] - r1[x]);
        } else {
            // The centre tap is 0 but still taken: 0 * inf is NaN, and 0 * -x is -0.
            sx = 0.0;
            sx += c4 * h[x - 2];
            sx += c3 * h[x - 1];
            sx += c2 * h[x];
            sx += c1 * h[x + 1];
            sx += c0 * h[x + 2];
            sy = 0.0;
            sy += c4 * r0[x];
            sy += c3 * r1[x];
            sy += c2 * h[x];
            sy += c1 * r3[x];
            sy += c0 * r4[x];
        }
        float ix = static_cast<float>(sx);
        float iy = static_cast<float>(sy);
        if constexpr (kExact) {
            ix = ix + 0.0f;
            iy = iy + 0.0f;
        }
        const float t = it[x];
        const float ix2 = ix * ix;
        const float iy2 = iy * iy;
        const float ixt = ix * t;
        const float iyt = iy * t;
        o_ix[x] = ix;
        o_iy[x] = iy;
        o_ix2[x] = ix2;
        o_iy2[x] = iy2;
        o_ixt[x] = ixt;
        o_iyt[x] = iyt;
        if constexpr (kMoments) o_ixy[x] = ix * iy;
        if constexpr (kFlow) {
            float ig2 = ix2 + iy2;
            if constexpr (kRegularizer) ig2 = ig2 + reg;
            const float it2 = t * t;
            o_it2[x] = it2;
            o_ig2[x] = ig2;
            if constexpr (!kQuotients) {
                // made by the caller
            } else if constexpr (kPlainDivision) {
                if constexpr (kCheckDivisors) {
                    special |=
                        static_cast<uint32_t>(ig2 == 0.0f) | static_cast<uint32_t>(ig2 != ig2);
                }
                o_fn2[x] = it2 / ig2;
                o_un[x] = ixt / ig2;
                o_vn[x] = iyt / ig2;
            } else {
                o_fn2[x] = divide(ig2, it2);
                o_un[x] = divide(ig2, ixt);
                o_vn[x] = divide(ig2, iyt);
            }
        }
    }
    return special == 0;
}

// A row whose divisors are all nonzero numbers (every row, where the regularizer is positive and
// the frame finite) divides plainly: the zero-divisor rule changes nothing there. A row with a
// zero or NaN divisor is made again with the rule.
template <bool kExact, bool kFlow, bool kMoments, bool kRegularizer>
void products_of(const double* const d[5], const double* c, const float* it, float reg,
                 const ProductRows& o, int32_t n) {
    // Exact sums come from finite rows only, so every Ix and Iy is a number or an infinity and
    // Ix2 + Iy2 lies in [0, +inf]; a positive regularizer then makes every divisor at least
    // itself: none is zero or NaN, and the row divides plainly without looking.
    if constexpr (kExact && kFlow && kRegularizer) {
        if (reg > 0.0f) {
            products<kExact, kFlow, kMoments, kRegularizer, true, false>(
                d[0], d[1], d[2], d[3], d[4], c, it, reg, o.It2, o.Ix, o.Iy, o.Ix2, o.Iy2, o.Ig2,
                o.Ixy, o.Ixt, o.Iyt, o.Fn2, o.Un, o.Vn, n);
            return;
        }
    }
    if (products<kExact, kFlow, kMoments, kRegularizer, kFlow>(
            d[0], d[1], d[2], d[3], d[4], c, it, reg, o.It2, o.Ix, o.Iy, o.Ix2, o.Iy2, o.Ig2, o.Ixy,
            o.Ixt, o.Iyt, o.Fn2, o.Un, o.Vn, n)) {
        return;
    }
    products<kExact, kFlow, kMoments, kRegularizer, false>(
        d[0], d[1], d[2], d[3], d[4], c, it, reg, o.It2, o.Ix, o.Iy, o.Ix2, o.Iy2, o.Ig2, o.Ixy,
        o.Ixt, o.Iyt, o.Fn2, o.Un, o.Vn, n);
}

// Calls visit.template operator()<kFlow, kMoments, kRegularizer>() with the product flags of a
// mode: which images it makes (Fn2, Un, Vn; the moment images) and whether the regularizer is
// added to the flow's divisor. One mapping for every routine that is compiled per set.
template <class Visit>
void with_product_flags(ProductSet set, bool add_regularizer, const Visit& visit) {
    switch (set) {
        case ProductSet::affine:
            visit.template operator()<false, true, false>();
            break;
        case ProductSet::orvane:
            if (add_regularizer) {
                visit.template operator()<true, false, true>();
            } else {
                visit.template operator()<true, false, false>();
            }
            break;
        case ProductSet::all:
            if (add_regularizer) {
                visit.template operator()<true, true, true>();
            } else {
                visit.template operator()<true, true, false>();
            }
            break;
    }
}

template <bool kExact>
void products_in(ProductSet set, const double* const d[5], const double* c, const float* it,
                 float reg, bool add_regularizer, const ProductRows& out, int32_t n) {
    with_product_flags(set, add_regularizer, [&]<bool kFlow, bool kMoments, bool kReg>() {
        products_of<kExact, kFlow, kMoments, kReg>(d, c, it, reg, out, n);
    });
}

void products_row(ProductSet set, const double* const d[5], const double* c, bool exact,
                  const float* it, float reg, bool add_regularizer, const ProductRows& out,
                  int32_t n, bool /*blocks: column 0 has none*/) {
    if (exact) {
        products_in<true>(set, d, c, it, reg, add_regularizer, out, n);
    } else {
        products_in<false>(set, d, c, it, reg, add_regularizer, out, n);
    }
}

// The streamed routines of flavours without 16-float vectors: none (nothing written).
[[maybe_unused]] bool no_products_stream(ProductSet, const double* const*, const double*,
                                         const float*, float, bool, const ProductRows&, int32_t) {
    return false;
}
[[maybe_unused]] bool no_sweep_stream(ProductSet, const SweepRows&, const double*, const double*,
                                      float, bool, int32_t, int32_t, uint32_t*) {
    return false;
}

#if defined(__AVX512F__)
ENGINE_FUSED_QUIET_BEGIN
// Sixteen floats from two halves of eight. (The masked forms, all lanes taken, leave no lane
// undefined, which GCC would warn about.)
inline __m512 join16(__m256 lo, __m256 hi) {
    const __m512d low =
        _mm512_maskz_insertf64x4(0xFF, _mm512_setzero_pd(), _mm256_castps_pd(lo), 0);
    return _mm512_castpd_ps(_mm512_maskz_insertf64x4(0xFF, low, _mm256_castps_pd(hi), 1));
}
inline __m256 to_float8(__m512d v) {
    return _mm512_maskz_cvtpd_ps(0xFF, v);
}
// Sixteen results into an image row: past the cache (x starts a 64-byte line), or into it.
template <bool kStream>
[[gnu::always_inline]] inline void put16(float* p, __m512 value) {
    if constexpr (kStream) {
        _mm512_stream_ps(p, value);
    } else {
        _mm512_storeu_ps(p, value);
    }
}

// The products of sixteen pixels from Ix, Iy and It (at `it`), each a single float operation, into
// their image rows; returns those the quotients take.
struct Products16 {
    __m512 ig2, it2, ixt, iyt;
};
template <bool kFlow, bool kMoments, bool kRegularizer, bool kStream>
[[gnu::always_inline]] inline Products16 store_products16(__m512 ix, __m512 iy, const float* it,
                                                          float reg, const ProductRows& o,
                                                          int32_t x) {
    Products16 m{};
    const __m512 t = _mm512_loadu_ps(it);
    const __m512 ix2 = _mm512_mul_ps(ix, ix);
    const __m512 iy2 = _mm512_mul_ps(iy, iy);
    m.ixt = _mm512_mul_ps(ix, t);
    m.iyt = _mm512_mul_ps(iy, t);
    put16<kStream>(o.Ix + x, ix);
    put16<kStream>(o.Iy + x, iy);
    put16<kStream>(o.Ix2 + x, ix2);
    put16<kStream>(o.Iy2 + x, iy2);
    put16<kStream>(o.Ixt + x, m.ixt);
    put16<kStream>(o.Iyt + x, m.iyt);
    if constexpr (kMoments) put16<kStream>(o.Ixy + x, _mm512_mul_ps(ix, iy));
    if constexpr (kFlow) {
        m.ig2 = _mm512_add_ps(ix2, iy2);
        if constexpr (kRegularizer) m.ig2 = _mm512_add_ps(m.ig2, _mm512_set1_ps(reg));
        m.it2 = _mm512_mul_ps(t, t);
        put16<kStream>(o.It2 + x, m.it2);
        put16<kStream>(o.Ig2 + x, m.ig2);
    }
    return m;
}

// num / den by divide()'s rule in the lanes of `bad` (zero or NaN divisors: the special value by
// the dividend's sign), the plain quotient in the others.
[[gnu::always_inline]] inline __m512 divide16(__m512 num, __m512 den, __mmask16 bad) {
    const __m512 zero = _mm512_setzero_ps();
    const __m512 q = _mm512_div_ps(num, _mm512_mask_blend_ps(bad, den, _mm512_set1_ps(1.0f)));
    __m512 special = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(num, zero, _CMP_LT_OQ),
                                          _mm512_set1_ps(div_nan()), _mm512_set1_ps(minus_inf()));
    special = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(num, zero, _CMP_GT_OQ), special,
                                   _mm512_set1_ps(plus_inf()));
    return _mm512_mask_blend_ps(bad, q, special);
}

// Column 1's division (quotients_mmx) in registers: the factors of two groups of four from eight
// divisors.
struct GroupFactors {
    __m512d w;     // A A B B per group: the other pair's product, then times 1 / P
    __m512d e;     // each lane's partner divisor: d1 d0 d3 d2
    __m512d prod;  // P in each lane of its group
    __mmask8 rule;  // lanes whose P is zero or NaN
};
[[gnu::always_inline]] inline GroupFactors group_factors8(__m256 d8) {
    GroupFactors f;
    const __m512d dv = _mm512_cvtps_pd(d8);
    f.e = _mm512_permute_pd(dv, 0x55);
    const __m512d pair = _mm512_mul_pd(dv, f.e);  // d0 d1 twice, d2 d3 twice
    f.w = _mm512_permutex_pd(pair, 0x4E);         // the other pair's
    f.prod = _mm512_mul_pd(pair, f.w);
    f.rule = _mm512_cmp_pd_mask(f.prod, _mm512_setzero_pd(), _CMP_EQ_OQ) |
             _mm512_cmp_pd_mask(f.prod, f.prod, _CMP_UNORD_Q);
    return f;
}
// The four groups' reciprocals of two halves by one division of four lanes (each group's product
// stands in its four lanes), then each lane's factor w.
[[gnu::always_inline]] inline void group_reciprocals(GroupFactors& lo, GroupFactors& hi) {
    const __m512d products =
        _mm512_permutex2var_pd(lo.prod, _mm512_setr_epi64(0, 4, 8, 12, 0, 4, 8, 12), hi.prod);
    const __m512d inverse = _mm512_zextpd256_pd512(
        _mm256_div_pd(_mm256_set1_pd(1.0), _mm512_castpd512_pd256(products)));
    lo.w = _mm512_mul_pd(lo.w,
                         _mm512_permutexvar_pd(_mm512_setr_epi64(0, 0, 0, 0, 1, 1, 1, 1), inverse));
    hi.w = _mm512_mul_pd(hi.w,
                         _mm512_permutexvar_pd(_mm512_setr_epi64(2, 2, 2, 2, 3, 3, 3, 3), inverse));
}
// The eight quotients of a half whose groups need no zero-divisor rule: e (m w), rounded once.
[[gnu::always_inline]] inline __m256 group_quotient8(const GroupFactors& f, __m256 m8) {
    return to_float8(_mm512_mul_pd(f.e, _mm512_mul_pd(_mm512_cvtps_pd(m8), f.w)));
}

// Column 1's quotients (quotients_mmx) of sixteen pixels, four groups of four, whose factors come
// from the divisors in registers: a lane's partner divisor is its pair swapped, the pair's product
// is the same double in either lane, and the other pair's product is the same pattern turned by
// two lanes. q holds the three dividends and gets their quotients.
//
// Where the four divisors of a group are finite nonzero numbers, a quotient of the group is the
// float quotient m / d itself wherever that is a normal number (or m is zero). The method's
// double e (m w) is m / d times (1 + delta) with |delta| < 5.01 * 2^-53: d0 d1 and d2 d3 are exact
// (48 bits), and P, 1 / P, w and the two products round once each, while e times the other
// pair's product over P is exactly 1 / d; nothing overflows or underflows in double. A float m / d
// that is not exactly a midpoint between two floats of the 24-bit grid (a midpoint has an odd
// 25-bit significand, which d times it cannot bring down to m's 24 bits) is at least
// |m / d| 2^-49 from every midpoint (m - d M is a nonzero multiple of d's and M's units), so both
// round to the same float; an infinite or NaN m gives the same infinity or NaN both ways, a zero
// m the same signed zero. Results in the subnormal range, where a tie can occur, and groups with a
// zero, infinite or NaN divisor take the method as written.
[[gnu::always_inline]] inline void group_quotients16(__m512 ig2, __m512 q[3]) {
    const __m512 magnitude = _mm512_abs_ps(ig2);
    // Finite nonzero divisors (NaN fails both ordered comparisons).
    const __mmask16 ordinary =
        _mm512_cmp_ps_mask(magnitude, _mm512_set1_ps(__builtin_inff()), _CMP_LT_OQ) &
        _mm512_cmp_ps_mask(magnitude, _mm512_setzero_ps(), _CMP_GT_OQ);
    if (ordinary == 0xFFFF) {
        __m512 plain[3];
        __mmask16 tiny = 0;
        for (int32_t k = 0; k < 3; ++k) {
            plain[k] = _mm512_div_ps(q[k], ig2);
            tiny |= _mm512_cmp_ps_mask(_mm512_abs_ps(plain[k]),
                                       _mm512_set1_ps(__builtin_bit_cast(float, 0x00800000u)),
                                       _CMP_LT_OQ) &
                    _mm512_cmp_ps_mask(q[k], _mm512_setzero_ps(), _CMP_NEQ_UQ);
        }
        if (tiny == 0) {
            for (int32_t k = 0; k < 3; ++k) q[k] = plain[k];
            return;
        }
    }
    const __mmask16 bad = _mm512_cmp_ps_mask(ig2, _mm512_setzero_ps(), _CMP_EQ_OQ) |
                          _mm512_cmp_ps_mask(ig2, ig2, _CMP_UNORD_Q);
    auto upper = [](__m512 v) {
        return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
    };
    GroupFactors lo = group_factors8(_mm512_castps512_ps256(ig2));
    GroupFactors hi = group_factors8(upper(ig2));
    group_reciprocals(lo, hi);
    const auto rule = static_cast<__mmask16>(lo.rule | (hi.rule << 8));
    for (int32_t k = 0; k < 3; ++k) {
        const __m512 grouped = join16(group_quotient8(lo, _mm512_castps512_ps256(q[k])),
                                      group_quotient8(hi, upper(q[k])));
        // Groups whose product is zero or NaN: the zero-divisor rule, as divide().
        q[k] = rule == 0 ? grouped
                         : _mm512_mask_blend_ps(rule, grouped, divide16(q[k], ig2, rule & bad));
    }
}

// The mode stage of products_of with exact sums for the sixteen pixels from x, every result
// written past the cache straight from its register (whole 64-byte lines: x is the start of a
// line in every image). The same operations in the same order as products<true, ...>: the two
// differences of each sum, their products with the taps, one addition, one rounding to float,
// + 0; then the float products and quotients. Steps whose divisors are all nonzero numbers
// divide plainly; the others take the zero-divisor rule, lane by lane, as divide() does.
// kGroups: the quotients by column 1's method (group_quotients16).
template <bool kFlow, bool kMoments, bool kRegularizer, bool kGroups = false, bool kStream = true>
[[gnu::always_inline]] inline void products16(const double* const d[5], __m512d c0, __m512d c1,
                                              const float* it, float reg, const ProductRows& o,
                                              int32_t x) {
    const double* h = d[2];
    auto ix8 = [&](int32_t at) {
        return to_float8(_mm512_add_pd(
            _mm512_mul_pd(c0,
                          _mm512_sub_pd(_mm512_loadu_pd(h + at + 2), _mm512_loadu_pd(h + at - 2))),
            _mm512_mul_pd(
                c1, _mm512_sub_pd(_mm512_loadu_pd(h + at + 1), _mm512_loadu_pd(h + at - 1)))));
    };
    auto iy8 = [&](int32_t at) {
        return to_float8(_mm512_add_pd(
            _mm512_mul_pd(c0,
                          _mm512_sub_pd(_mm512_loadu_pd(d[4] + at), _mm512_loadu_pd(d[0] + at))),
            _mm512_mul_pd(c1,
                          _mm512_sub_pd(_mm512_loadu_pd(d[3] + at), _mm512_loadu_pd(d[1] + at)))));
    };
    const __m512 zero = _mm512_setzero_ps();
    const __m512 ix = _mm512_add_ps(join16(ix8(x), ix8(x + 8)), zero);
    const __m512 iy = _mm512_add_ps(join16(iy8(x), iy8(x + 8)), zero);
    const Products16 m =
        store_products16<kFlow, kMoments, kRegularizer, kStream>(ix, iy, it + x, reg, o, x);
    const __m512 ig2 = m.ig2, it2 = m.it2, ixt = m.ixt, iyt = m.iyt;
    if constexpr (kFlow) {
        const __mmask16 bad =
            _mm512_cmp_ps_mask(ig2, zero, _CMP_EQ_OQ) | _mm512_cmp_ps_mask(ig2, ig2, _CMP_UNORD_Q);
        if constexpr (kGroups) {
            __m512 q[3] = {it2, ixt, iyt};
            group_quotients16(ig2, q);
            put16<kStream>(o.Fn2 + x, q[0]);
            put16<kStream>(o.Un + x, q[1]);
            put16<kStream>(o.Vn + x, q[2]);
            return;
        }
        // The division rule of divide(), for the lanes in `bad` (zero or NaN divisors).
        auto quotient = [&](__m512 num) {
            return bad == 0 ? _mm512_div_ps(num, ig2) : divide16(num, ig2, bad);
        };
        put16<kStream>(o.Fn2 + x, quotient(it2));
        put16<kStream>(o.Un + x, quotient(ixt));
        put16<kStream>(o.Vn + x, quotient(iyt));
    }
}

template <bool kFlow, bool kMoments, bool kRegularizer, bool kGroups>
void products_stream_t(const double* const d[5], const double* c, const float* it, float reg,
                       const ProductRows& o, int32_t n) {
    const __m512d c0 = _mm512_set1_pd(c[0]);
    const __m512d c1 = _mm512_set1_pd(c[1]);
    for (int32_t x = 0; x < n; x += 16)
        products16<kFlow, kMoments, kRegularizer, kGroups>(d, c0, c1, it, reg, o, x);
}

// The column pass (smooth_column_t<true, true>) and It by recursive_row with weight 1/2 for the
// sixteen pixels from x, the lanes outside [0, n) masked off; It goes past the cache where the
// sixteen pixels are a whole line of its image inside the row.
struct ColumnState {
    __m512d c2, c3, c4;
    __m512i lo, hi;  // the summary's running minimum of key - 1 and maximum of key
};
[[gnu::always_inline]] inline void column_it16(const SweepRows& r, ColumnState& st, int32_t x,
                                               int32_t n) {
    const __mmask16 in = static_cast<__mmask16>((x < 0 ? 0xFFFFu << -x : 0xFFFFu) &
                                                (n - x >= 16 ? 0xFFFFu : (1u << (n - x)) - 1u));
    const auto in_lo = static_cast<__mmask8>(in & 0xFF);
    const auto in_hi = static_cast<__mmask8>(in >> 8);
    auto sum8 = [&](int32_t at, __mmask8 m) {
        auto row = [&](int32_t k) { return _mm512_maskz_loadu_pd(m, r.s[k] + at); };
        return to_float8(
            _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(st.c4, _mm512_add_pd(row(0), row(4))),
                                        _mm512_mul_pd(st.c3, _mm512_add_pd(row(1), row(3)))),
                          _mm512_mul_pd(st.c2, row(2))));
    };
    const __m512 zero = _mm512_setzero_ps();
    // Lanes outside the row hold +0: nothing for the summary.
    const __m512 v = _mm512_maskz_add_ps(in, join16(sum8(x, in_lo), sum8(x + 8, in_hi)), zero);
    _mm512_mask_storeu_ps(r.is_row + x, in, v);
    const __m512i key = _mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(0x7FFFFFFF));
    st.hi = _mm512_max_epu32(st.hi, key);
    st.lo = _mm512_min_epu32(st.lo, _mm512_sub_epi32(key, _mm512_set1_epi32(1)));
    _mm512_mask_storeu_pd(r.wide + x, in_lo, _mm512_cvtps_pd(_mm512_castps512_ps256(v)));
    _mm512_mask_storeu_pd(
        r.wide + x + 8, in_hi,
        _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1))));

    // It: D = cur - prev, then (D + P) / 2 + 0 where recursive_half_row's conditions hold, the
    // double form D + 1/2 (P - D) in the other lanes.
    const __m512 dif = _mm512_sub_ps(v, _mm512_maskz_loadu_ps(in, r.prev + x));
    const __m512 p = _mm512_maskz_loadu_ps(in, r.it_prev + x);
    const __m512i abs_mask = _mm512_set1_epi32(0x7FFFFFFF);
    const __m512i bd = _mm512_and_si512(_mm512_castps_si512(dif), abs_mask);
    const __m512i bp = _mm512_and_si512(_mm512_castps_si512(p), abs_mask);
    const __m512i big = _mm512_max_epu32(bd, bp);
    const __m512i small = _mm512_min_epu32(bd, bp);
    const __m512i apart =
        _mm512_sub_epi32(_mm512_srli_epi32(big, 23), _mm512_srli_epi32(small, 23));
    const __mmask16 bad = _mm512_cmpge_epu32_mask(big, _mm512_set1_epi32(0x7F000000)) |
                          (_mm512_cmpneq_epu32_mask(small, _mm512_setzero_si512()) &
                           _mm512_cmpgt_epu32_mask(apart, _mm512_set1_epi32(28)));
    __m512 it = _mm512_add_ps(_mm512_mul_ps(_mm512_add_ps(dif, p), _mm512_set1_ps(0.5f)), zero);
    if ((bad & in) != 0) {
        const __m512d half = _mm512_set1_pd(0.5);
        auto twice8 = [&](__m256 d8, __m256 p8) {
            const __m512d dd = _mm512_cvtps_pd(d8);
            return to_float8(
                _mm512_add_pd(dd, _mm512_mul_pd(half, _mm512_sub_pd(_mm512_cvtps_pd(p8), dd))));
        };
        auto upper = [](__m512 a) {
            return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(a), 1));
        };
        const __m512 slow = join16(twice8(_mm512_castps512_ps256(dif), _mm512_castps512_ps256(p)),
                                   twice8(upper(dif), upper(p)));
        it = _mm512_mask_blend_ps(bad, it, slow);
    }
    _mm512_mask_storeu_ps(r.it_keep + x, in, it);
    if (in == 0xFFFF) {
        if (r.it_prev == r.it_image) {
            _mm512_store_ps(r.it_image + x, it);
        } else {
            _mm512_stream_ps(r.it_image + x, it);
        }
    }
}

template <bool kFlow, bool kMoments, bool kRegularizer, bool kGroups>
void sweep_t(const SweepRows& r, const double* smooth, const double* deriv, float reg, int32_t head,
             int32_t n, uint32_t* range) {
    ColumnState st{_mm512_set1_pd(smooth[2]), _mm512_set1_pd(smooth[3]), _mm512_set1_pd(smooth[4]),
                   _mm512_set1_epi32(-1), _mm512_setzero_si512()};
    const __m512d c0 = _mm512_set1_pd(deriv[0]);
    const __m512d c1 = _mm512_set1_pd(deriv[1]);
    // The next input row, widened while the stores leave (its loads wait on memory here rather
    // than in a loop of their own): as widen() does it, lanes outside the row masked off.
    __m512i next_lo = _mm512_set1_epi32(-1), next_hi = _mm512_setzero_si512();
    auto widen16 = [&](int32_t x) {
        const __mmask16 in = static_cast<__mmask16>((x < 0 ? 0xFFFFu << -x : 0xFFFFu) &
                                                    (n - x >= 16 ? 0xFFFFu : (1u << (n - x)) - 1u));
        const __m512 v = _mm512_maskz_loadu_ps(in, r.next_src + x);
        const __m512i key = _mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(0x7FFFFFFF));
        next_hi = _mm512_max_epu32(next_hi, key);
        next_lo = _mm512_min_epu32(next_lo, _mm512_sub_epi32(key, _mm512_set1_epi32(1)));
        _mm512_mask_storeu_pd(r.next_wide + x, static_cast<__mmask8>(in & 0xFF),
                              _mm512_cvtps_pd(_mm512_castps512_ps256(v)));
        _mm512_mask_storeu_pd(
            r.next_wide + x + 8, static_cast<__mmask8>(in >> 8),
            _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1))));
    };
    // The input row's whole lines in its image, each as soon as its pixels are made.
    const auto is_offset = static_cast<int32_t>((reinterpret_cast<uintptr_t>(r.is_image) & 63) / 4);
    const int32_t is_first = (16 - is_offset) % 16;
    int32_t is_next = is_first;
    for (int32_t x = head > 0 ? head - 16 : 0; x < n; x += 16) {
        column_it16(r, st, x, n);
        for (const int32_t made = x + 16 < n ? x + 16 : n; is_next + 16 <= made; is_next += 16) {
            _mm512_stream_ps(r.is_image + is_next, _mm512_loadu_ps(r.is_row + is_next));
        }
        if (r.next_src != nullptr) widen16(x);
        if (x >= 0 && x + 16 <= n) {
            products16<kFlow, kMoments, kRegularizer, kGroups>(r.d, c0, c1, r.it, reg, r.out, x);
        }
    }
    r.is_lines[0] = is_first < n ? is_first : n;
    r.is_lines[1] = is_next > is_first ? is_next : r.is_lines[0];  // no line: an empty range
    *range = pack(Range{_mm512_reduce_min_epu32(st.lo), _mm512_reduce_max_epu32(st.hi)});
    if (r.next_src != nullptr) {
        *r.next_range =
            pack(Range{_mm512_reduce_min_epu32(next_lo), _mm512_reduce_max_epu32(next_hi)});
    }
}

template <bool kGroups>
bool products_stream_in(ProductSet set, const double* const d[5], const double* c, const float* it,
                        float reg, bool add_regularizer, const ProductRows& out, int32_t n) {
    with_product_flags(set, add_regularizer, [&]<bool kFlow, bool kMoments, bool kReg>() {
        products_stream_t<kFlow, kMoments, kReg, kGroups>(d, c, it, reg, out, n);
    });
    return true;
}

template <bool kGroups>
bool sweep_stream_in(ProductSet set, const SweepRows& r, const double* smooth, const double* deriv,
                     float reg, bool add_regularizer, int32_t head, int32_t n, uint32_t* range) {
    with_product_flags(set, add_regularizer, [&]<bool kFlow, bool kMoments, bool kReg>() {
        sweep_t<kFlow, kMoments, kReg, kGroups>(r, smooth, deriv, reg, head, n, range);
    });
    return true;
}

bool products_stream(ProductSet set, const double* const d[5], const double* c, const float* it,
                     float reg, bool add_regularizer, const ProductRows& out, int32_t n) {
    return products_stream_in<false>(set, d, c, it, reg, add_regularizer, out, n);
}
bool sweep_stream(ProductSet set, const SweepRows& r, const double* smooth, const double* deriv,
                  float reg, bool add_regularizer, int32_t head, int32_t n, uint32_t* range) {
    return sweep_stream_in<false>(set, r, smooth, deriv, reg, add_regularizer, head, n, range);
}
// Column 1's (the caller asks only for rows of at least 32 pixels, all in groups).
bool products_stream_mmx(ProductSet set, const double* const d[5], const double* c, const float* it,
                         float reg, bool add_regularizer, const ProductRows& out, int32_t n) {
    return products_stream_in<true>(set, d, c, it, reg, add_regularizer, out, n);
}
bool sweep_stream_mmx(ProductSet set, const SweepRows& r, const double* smooth, const double* deriv,
                      float reg, bool add_regularizer, int32_t head, int32_t n, uint32_t* range) {
    return sweep_stream_in<true>(set, r, smooth, deriv, reg, add_regularizer, head, n, range);
}
ENGINE_FUSED_QUIET_END
#else
constexpr auto products_stream = no_products_stream;
constexpr auto sweep_stream = no_sweep_stream;
constexpr auto products_stream_mmx = no_products_stream;
constexpr auto sweep_stream_mmx = no_sweep_stream;
#endif

// ---- column 1 -------------------------------------------------------------------------------
// Every routine of column 0 but the quotients: the MMX column divides, in rows of at least 32
// pixels (`blocks`), the pixels up to the last multiple of 8 in groups of four with one reciprocal
// in double per group: P = (d0 d1)(d2 d3), R = 1 / P, A = (d2 d3) R, B = (d0 d1) R, the quotients
// d1 (m0 A), (m1 A) d0, (m2 B) d3 and (m3 B) d2, each rounded once to float. A group whose P is
// zero or NaN, and every pixel after the groups, follows the zero-divisor rule. The three
// quotients share their divisor Ig2, so a group's reciprocal serves all three.
// Pixels per stretch of the groups' factors.
constexpr int32_t kGroupStretch = 256;

// Pixel k of a group gets q = e * (m * w) with w = A for the first two pixels and B for the last
// two, and e the other divisor of its pair (d1, d0, d3, d2): the four products of the method, a
// product of two doubles taken in either order being the same double. The factors of a stretch
// are worked out once for the three dividends (a loop over groups, whatever their divisors: a
// zero or NaN product only makes factors whose quotients are replaced), then each dividend is one
// plain loop. Returns whether some group needs the zero-divisor rule instead.
bool group_factors(const float* __restrict d, int32_t count, double* __restrict w,
                   double* __restrict e) {
    uint32_t special = 0;
    for (int32_t g = 0; g < count / 4; ++g) {
        const float* dg = d + 4 * g;
        const double d01 = static_cast<double>(dg[0]) * dg[1];
        const double d23 = static_cast<double>(dg[2]) * dg[3];
        const double p = d01 * d23;
        special |= static_cast<uint32_t>(p == 0.0) | static_cast<uint32_t>(p != p);
        const double r = 1.0 / p;
        const double a = d23 * r;
        const double b = d01 * r;
        w[4 * g] = a;
        w[4 * g + 1] = a;
        w[4 * g + 2] = b;
        w[4 * g + 3] = b;
        e[4 * g] = dg[1];
        e[4 * g + 1] = dg[0];
        e[4 * g + 2] = dg[3];
        e[4 * g + 3] = dg[2];
    }
    return special != 0;
}

void group_quotients(const float* __restrict m, const double* __restrict w,
                     const double* __restrict e, float* __restrict q, int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        q[k] = static_cast<float>(e[k] * (static_cast<double>(m[k]) * w[k]));
    }
}

void quotients_mmx(const float* __restrict ig2, const float* __restrict it2,
                   const float* __restrict ixt, const float* __restrict iyt, float* __restrict fn2,
                   float* __restrict un, float* __restrict vn, int32_t n, bool blocks) {
    int32_t x = 0;
    if (blocks) {
        alignas(64) double w[kGroupStretch];
        alignas(64) double e[kGroupStretch];
        for (const int32_t end = n & ~7; x < end; x += kGroupStretch) {
            const int32_t count = end - x < kGroupStretch ? end - x : kGroupStretch;
            const bool special = group_factors(ig2 + x, count, w, e);
            group_quotients(it2 + x, w, e, fn2 + x, count);
            group_quotients(ixt + x, w, e, un + x, count);
            group_quotients(iyt + x, w, e, vn + x, count);
            if (!special) continue;
            for (int32_t g = x; g < x + count; g += 4) {
                const float* d = ig2 + g;
                const double p =
                    (static_cast<double>(d[0]) * d[1]) * (static_cast<double>(d[2]) * d[3]);
                if (p == 0.0 || p != p) {
                    for (int32_t k = g; k < g + 4; ++k) {
                        fn2[k] = divide(ig2[k], it2[k]);
                        un[k] = divide(ig2[k], ixt[k]);
                        vn[k] = divide(ig2[k], iyt[k]);
                    }
                }
            }
        }
        x = n & ~7;
    }
    for (; x < n; ++x) {
        fn2[x] = divide(ig2[x], it2[x]);
        un[x] = divide(ig2[x], ixt[x]);
        vn[x] = divide(ig2[x], iyt[x]);
    }
}

void products_row_mmx(ProductSet set, const double* const d[5], const double* c, bool exact,
                      const float* it, float reg, bool add_regularizer, const ProductRows& o,
                      int32_t n, bool blocks) {
    with_product_flags(set, add_regularizer, [&]<bool kFlow, bool kMoments, bool kReg>() {
        auto run = [&]<bool kExact>() {
            products<kExact, kFlow, kMoments, kReg, true, false, false>(
                d[0], d[1], d[2], d[3], d[4], c, it, reg, o.It2, o.Ix, o.Iy, o.Ix2, o.Iy2, o.Ig2,
                o.Ixy, o.Ixt, o.Iyt, o.Fn2, o.Un, o.Vn, n);
        };
        if (exact) {
            run.template operator()<true>();
        } else {
            run.template operator()<false>();
        }
    });
    if (set != ProductSet::affine) {
        quotients_mmx(o.Ig2, o.It2, o.Ixt, o.Iyt, o.Fn2, o.Un, o.Vn, n, blocks);
    }
}

#if defined(__AVX512F__)
ENGINE_FUSED_QUIET_BEGIN
// A cached row of the mode stage: the pixels below `done` (a multiple of 16) sixteen at a time in
// registers by `sixteen` (called as sixteen.template operator()<kFlow, kMoments, kReg>(x, d, o)
// with copies of d and o), the
// rest by the row routine `rest` (x = done is a multiple of 8, where the division's blocks start),
// whose rolling rows take `pixel_bytes` per pixel.
template <class Sixteen>
void products_row_by16(ProductSet set, const double* const d[5], const double* c, bool exact,
                       const float* it, float reg, bool add_regularizer, const ProductRows& o,
                       int32_t n, bool blocks, int32_t done, const Sixteen& sixteen,
                       decltype(&products_row_mmx) rest, int32_t pixel_bytes) {
    if (done > 0) {
        // Local copies of the row pointers, which stay in registers: the intrinsics' stores may
        // alias anything, so pointers read through `o` and `d` would be read again after each.
        const ProductRows rows = o;
        const double* const local[5] = {d[0], d[1], d[2], d[3], d[4]};
        with_product_flags(set, add_regularizer, [&]<bool kFlow, bool kMoments, bool kReg>() {
            for (int32_t x = 0; x < done; x += 16) {
                sixteen.template operator()<kFlow, kMoments, kReg>(x, local, rows);
            }
        });
    }
    if (done == n) return;
    const double* tail[5];
    for (int32_t k = 0; k < 5; ++k) tail[k] = engine_fused::pixel_at(d[k], done, pixel_bytes);
    auto at = [&](float* row) { return row != nullptr ? row + done : nullptr; };
    const ProductRows out{at(o.It2), at(o.Ix),  at(o.Iy),  at(o.Ix2), at(o.Iy2), at(o.Ig2),
                          at(o.Ixy), at(o.Ixt), at(o.Iyt), at(o.Fn2), at(o.Un),  at(o.Vn)};
    rest(set, tail, c, exact, it + done, reg, add_regularizer, out, n - done, blocks);
}

// products_row_mmx with exact sums in rows with the division's groups: sixteen pixels (four
// groups) at a time in registers, as the streamed mode stage makes them, stored into the cache.
void products_row_mmx512(ProductSet set, const double* const d[5], const double* c, bool exact,
                         const float* it, float reg, bool add_regularizer, const ProductRows& o,
                         int32_t n, bool blocks) {
    const __m512d c0 = _mm512_set1_pd(c[0]);
    const __m512d c1 = _mm512_set1_pd(c[1]);
    const int32_t done = blocks && exact ? n & ~15 : 0;
    products_row_by16(set, d, c, exact, it, reg, add_regularizer, o, n, blocks, done,
                      [&]<bool kFlow, bool kMoments, bool kReg>(
                          int32_t x, const double* const* rows, const ProductRows& out) {
                          products16<kFlow, kMoments, kReg, true, false>(rows, c0, c1, it, reg, out,
                                                                         x);
                      },
                      products_row_mmx, 8);
}
ENGINE_FUSED_QUIET_END
#endif

#if defined(__SSE2__)
// ---- columns 2 and 3 --------------------------------------------------------------------------
// Single precision throughout, as the vector kernels compute. The rolling rows hold floats
// (RowOps::pixel_bytes): pixel x of a row named by p is floats(p)[x]. Nothing here has an exact
// form: the summaries say so (kNoExactForms) and `exact` is ignored.

inline float* floats(double* row) {
    return reinterpret_cast<float*>(row);
}
inline const float* floats(const double* row) {
    return reinterpret_cast<const float*>(row);
}

// widen and widen_clamped for rows of floats: the row copied, no summary.
void widen_vec(const float* __restrict src, int32_t n, double* dst, uint32_t* range) {
    float* __restrict out = floats(dst);
    for (int32_t x = 0; x < n; ++x) out[x] = src[x];
    *range = engine_fused::kNoExactForms;
}

void margins_vec(double* row, int32_t n) {
    float* f = floats(row);
    f[-2] = f[-1] = f[0];
    f[n] = f[n + 1] = f[n - 1];
}

void widen_clamped_vec(const float* src, int32_t n, double* dst, uint32_t* range) {
    widen_vec(src, n, dst, range);
    margins_vec(dst, n);
}

// A 5-tap sum as the vector filters form it: from +0.0f, tap k = 4 down to 0, each product and
// each sum rounded to float.
inline float tap_sum(const float c[5], float s0, float s1, float s2, float s3, float s4) {
    float acc = 0.0f;
    acc = acc + c[4] * s0;
    acc = acc + c[3] * s1;
    acc = acc + c[2] * s2;
    acc = acc + c[1] * s3;
    acc = acc + c[0] * s4;
    return acc;
}

inline void float_taps(const double* c, float out[5]) {
    for (int32_t k = 0; k < 5; ++k) out[k] = static_cast<float>(c[k]);
}

void smooth_row_vec(const double* s, int32_t n, const double* c, bool /*exact*/, double* dst,
                    uint32_t* range) {
    float t[5];
    float_taps(c, t);
    const float* __restrict f = floats(s);
    float* __restrict out = floats(dst);
    for (int32_t x = 0; x < n; ++x) out[x] = tap_sum(t, f[x - 2], f[x - 1], f[x], f[x + 1], f[x + 2]);
    *range = engine_fused::kNoExactForms;
}

void smooth_row_widen_vec(const double* s, int32_t n, const double* c, bool exact, double* dst,
                          uint32_t* range, const float* next, double* next_dst,
                          uint32_t* next_range) {
    smooth_row_vec(s, n, c, exact, dst, range);
    widen_clamped_vec(next, n, next_dst, next_range);
}

template <bool kWiden>
void smooth_column_vec_t(const float* __restrict r0, const float* __restrict r1,
                         const float* __restrict r2, const float* __restrict r3,
                         const float* __restrict r4, int32_t n, const float t[5],
                         float* __restrict out, float* __restrict wide) {
    for (int32_t x = 0; x < n; ++x) {
        const float v = tap_sum(t, r0[x], r1[x], r2[x], r3[x], r4[x]);
        out[x] = v;
        if constexpr (kWiden) wide[x] = v;
    }
}

void smooth_column_vec(const double* const rows[5], int32_t n, const double* c, bool /*exact*/,
                       float* out, double* wide, uint32_t* range) {
    float t[5];
    float_taps(c, t);
    const float* r[5];
    for (int32_t k = 0; k < 5; ++k) r[k] = floats(rows[k]);
    if (wide != nullptr) {
        smooth_column_vec_t<true>(r[0], r[1], r[2], r[3], r[4], n, t, out, floats(wide));
        margins_vec(wide, n);
        *range = engine_fused::kNoExactForms;
    } else {
        smooth_column_vec_t<false>(r[0], r[1], r[2], r[3], r[4], n, t, out, nullptr);
    }
    out[-2] = out[-1] = out[0];
    out[n] = out[n + 1] = out[n - 1];
}

// D = cur - prev, then D + alpha * (P - D) in float: the difference kernel, then the running
// average with It_prev as the new image. `it` may be `it_prev` (each pixel is read before it is
// written, and nothing else depends on it), so no pointer is __restrict.
void recursive_row_vec(const float* cur, const float* prev, const float* it_prev, double alpha,
                       float* it, int32_t n) {
    const auto a = static_cast<float>(alpha);
    for (int32_t x = 0; x < n; ++x) {
        const float d = cur[x] - prev[x];
        it[x] = d + (it_prev[x] - d) * a;
    }
}

void batch_row_vec(const float* __restrict f0, const float* __restrict f1,
                   const float* __restrict f3, const float* __restrict f4, double alpha,
                   float* __restrict it, int32_t n) {
    const auto a = static_cast<float>(alpha);
    for (int32_t x = 0; x < n; ++x) {
        const float outer = f0[x] - f4[x];
        const float inner = f3[x] - f1[x];
        it[x] = outer + (inner - outer) * a;
    }
}

// The mode stage's sums and products of a row; hf is the centre row (two of margin each side).
template <bool kFlow, bool kMoments, bool kRegularizer>
void products_vec_t(const float* __restrict r0, const float* __restrict r1,
                    const float* __restrict hf, const float* __restrict r3,
                    const float* __restrict r4, const float t[5], const float* __restrict it,
                    float reg, float* __restrict o_it2, float* __restrict o_ix,
                    float* __restrict o_iy, float* __restrict o_ix2, float* __restrict o_iy2,
                    float* __restrict o_ig2, float* __restrict o_ixy, float* __restrict o_ixt,
                    float* __restrict o_iyt, int32_t n) {
    for (int32_t x = 0; x < n; ++x) {
        // The centre tap is 0 but still taken: 0 * inf is NaN, and 0 * -x is -0.
        const float centre = hf[x];
        const float ix = tap_sum(t, hf[x - 2], hf[x - 1], centre, hf[x + 1], hf[x + 2]);
        const float iy = tap_sum(t, r0[x], r1[x], centre, r3[x], r4[x]);
        const float v = it[x];
        const float ix2 = ix * ix;
        const float iy2 = iy * iy;
        o_ix[x] = ix;
        o_iy[x] = iy;
        o_ix2[x] = ix2;
        o_iy2[x] = iy2;
        o_ixt[x] = ix * v;
        o_iyt[x] = iy * v;
        if constexpr (kMoments) o_ixy[x] = ix * iy;
        if constexpr (kFlow) {
            float ig2 = ix2 + iy2;
            if constexpr (kRegularizer) ig2 = ig2 + reg;
            o_it2[x] = v * v;
            o_ig2[x] = ig2;
        }
    }
}

// The vector division kernel's blocks of eight: a block with a zero divisor (either sign; a NaN
// does not count) follows the zero-divisor rule; the others take ((r + r) - (d r) r) n with r the
// reciprocal estimate (RCPPS, the same instruction and so the same estimate as the kernels'), each
// operation rounded to float in this order. The refined reciprocal is the same for the three
// dividends of one divisor.
void quotients_vec(const float* __restrict ig2, const float* __restrict it2,
                   const float* __restrict ixt, const float* __restrict iyt, float* __restrict fn2,
                   float* __restrict un, float* __restrict vn, int32_t n, bool blocks) {
    int32_t x = 0;
    if (blocks) {
#if defined(__AVX__)
        // One block per 256-bit vector: the same estimate and operations, lane by lane.
        for (const int32_t end = n & ~7; x < end; x += 8) {
            const __m256 dv = _mm256_loadu_ps(ig2 + x);
            if (_mm256_movemask_ps(_mm256_cmp_ps(dv, _mm256_setzero_ps(), _CMP_EQ_OQ)) != 0) {
                for (int32_t k = x; k < x + 8; ++k) {
                    fn2[k] = divide(ig2[k], it2[k]);
                    un[k] = divide(ig2[k], ixt[k]);
                    vn[k] = divide(ig2[k], iyt[k]);
                }
                continue;
            }
            const __m256 r = _mm256_rcp_ps(dv);
            const __m256 inv =
                _mm256_sub_ps(_mm256_add_ps(r, r), _mm256_mul_ps(_mm256_mul_ps(dv, r), r));
            _mm256_storeu_ps(fn2 + x, _mm256_mul_ps(inv, _mm256_loadu_ps(it2 + x)));
            _mm256_storeu_ps(un + x, _mm256_mul_ps(inv, _mm256_loadu_ps(ixt + x)));
            _mm256_storeu_ps(vn + x, _mm256_mul_ps(inv, _mm256_loadu_ps(iyt + x)));
        }
#else
        const __m128 zero = _mm_setzero_ps();
        for (const int32_t end = n & ~7; x < end; x += 8) {
            const __m128 d0 = _mm_loadu_ps(ig2 + x);
            const __m128 d1 = _mm_loadu_ps(ig2 + x + 4);
            if (_mm_movemask_ps(_mm_or_ps(_mm_cmpeq_ps(d0, zero), _mm_cmpeq_ps(d1, zero))) != 0) {
                for (int32_t k = x; k < x + 8; ++k) {
                    fn2[k] = divide(ig2[k], it2[k]);
                    un[k] = divide(ig2[k], ixt[k]);
                    vn[k] = divide(ig2[k], iyt[k]);
                }
                continue;
            }
            auto inverse = [](__m128 d) {
                const __m128 r = _mm_rcp_ps(d);
                return _mm_sub_ps(_mm_add_ps(r, r), _mm_mul_ps(_mm_mul_ps(d, r), r));
            };
            const __m128 i0 = inverse(d0);
            const __m128 i1 = inverse(d1);
            _mm_storeu_ps(fn2 + x, _mm_mul_ps(i0, _mm_loadu_ps(it2 + x)));
            _mm_storeu_ps(fn2 + x + 4, _mm_mul_ps(i1, _mm_loadu_ps(it2 + x + 4)));
            _mm_storeu_ps(un + x, _mm_mul_ps(i0, _mm_loadu_ps(ixt + x)));
            _mm_storeu_ps(un + x + 4, _mm_mul_ps(i1, _mm_loadu_ps(ixt + x + 4)));
            _mm_storeu_ps(vn + x, _mm_mul_ps(i0, _mm_loadu_ps(iyt + x)));
            _mm_storeu_ps(vn + x + 4, _mm_mul_ps(i1, _mm_loadu_ps(iyt + x + 4)));
        }
#endif
    }
    for (; x < n; ++x) {
        fn2[x] = divide(ig2[x], it2[x]);
        un[x] = divide(ig2[x], ixt[x]);
        vn[x] = divide(ig2[x], iyt[x]);
    }
}

void products_row_vec(ProductSet set, const double* const d[5], const double* c, bool /*exact*/,
                      const float* it, float reg, bool add_regularizer, const ProductRows& o,
                      int32_t n, bool blocks) {
    float t[5];
    float_taps(c, t);
    with_product_flags(set, add_regularizer, [&]<bool kFlow, bool kMoments, bool kReg>() {
        products_vec_t<kFlow, kMoments, kReg>(floats(d[0]), floats(d[1]), floats(d[2]),
                                              floats(d[3]), floats(d[4]), t, it, reg, o.It2, o.Ix,
                                              o.Iy, o.Ix2, o.Iy2, o.Ig2, o.Ixy, o.Ixt, o.Iyt, n);
    });
    if (set != ProductSet::affine) {
        quotients_vec(o.Ig2, o.It2, o.Ixt, o.Iyt, o.Fn2, o.Un, o.Vn, n, blocks);
    }
}

#if defined(__AVX512F__)
ENGINE_FUSED_QUIET_BEGIN
// products_row_vec for the sixteen pixels from x, every result written straight from its
// register, past the cache with kStream (x then starts a 64-byte line in every image). x is a
// multiple of 8 in the row either way: the division's two blocks of eight are the two halves. The
// same float operations in the same order as products_vec_t and quotients_vec; the reciprocal
// estimate is taken on 256-bit halves, RCPPS as in the kernels (the 512-bit estimate is another
// instruction with other bits).
template <bool kFlow, bool kMoments, bool kRegularizer, bool kStream = true>
[[gnu::always_inline]] inline void products16_vec(const double* const d[5], const __m512 t[5],
                                                  const float* it, float reg, const ProductRows& o,
                                                  int32_t x) {
    auto f16 = [&](const double* row, int32_t at) { return _mm512_loadu_ps(floats(row) + at); };
    auto sum = [&](__m512 s0, __m512 s1, __m512 s2, __m512 s3, __m512 s4) {
        __m512 acc = _mm512_setzero_ps();
        acc = _mm512_add_ps(acc, _mm512_mul_ps(t[4], s0));
        acc = _mm512_add_ps(acc, _mm512_mul_ps(t[3], s1));
        acc = _mm512_add_ps(acc, _mm512_mul_ps(t[2], s2));
        acc = _mm512_add_ps(acc, _mm512_mul_ps(t[1], s3));
        return _mm512_add_ps(acc, _mm512_mul_ps(t[0], s4));
    };
    // The centre row's shifted pixels (the row has two pixels of margin on each side).
    const __m512 centre = f16(d[2], x);
    const __m512 ix = sum(f16(d[2], x - 2), f16(d[2], x - 1), centre, f16(d[2], x + 1),
                          f16(d[2], x + 2));
    const __m512 iy = sum(f16(d[0], x), f16(d[1], x), centre, f16(d[3], x), f16(d[4], x));
    const Products16 m =
        store_products16<kFlow, kMoments, kRegularizer, kStream>(ix, iy, it + x, reg, o, x);
    const __m512 ig2 = m.ig2, it2 = m.it2, ixt = m.ixt, iyt = m.iyt;
    if constexpr (kFlow) {
        const __m512 zero = _mm512_setzero_ps();
        const __mmask16 zeros = _mm512_cmp_ps_mask(ig2, zero, _CMP_EQ_OQ);
        // A block of eight with a zero divisor takes the zero-divisor rule throughout.
        const __mmask16 rule = static_cast<__mmask16>(((zeros & 0x00FFu) != 0 ? 0x00FFu : 0u) |
                                                      ((zeros & 0xFF00u) != 0 ? 0xFF00u : 0u));
        auto inverse8 = [](__m256 dv) {
            const __m256 r = _mm256_rcp_ps(dv);
            return _mm256_sub_ps(_mm256_add_ps(r, r), _mm256_mul_ps(_mm256_mul_ps(dv, r), r));
        };
        const __m256 lo = _mm512_castps512_ps256(ig2);
        const __m256 hi = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(ig2), 1));
        const __m512 inverse = join16(inverse8(lo), inverse8(hi));
        const __mmask16 bad = rule & (zeros | _mm512_cmp_ps_mask(ig2, ig2, _CMP_UNORD_Q));
        auto quotient = [&](__m512 num) {
            const __m512 refined = _mm512_mul_ps(inverse, num);
            if (rule == 0) return refined;
            return _mm512_mask_blend_ps(rule, refined, divide16(num, ig2, bad));
        };
        put16<kStream>(o.Fn2 + x, quotient(it2));
        put16<kStream>(o.Un + x, quotient(ixt));
        put16<kStream>(o.Vn + x, quotient(iyt));
    }
}

bool products_stream_vec(ProductSet set, const double* const d[5], const double* c, const float* it,
                         float reg, bool add_regularizer, const ProductRows& out, int32_t n) {
    __m512 t[5];
    for (int32_t k = 0; k < 5; ++k) t[k] = _mm512_set1_ps(static_cast<float>(c[k]));
    with_product_flags(set, add_regularizer, [&]<bool kFlow, bool kMoments, bool kReg>() {
        for (int32_t x = 0; x < n; x += 16)
            products16_vec<kFlow, kMoments, kReg>(d, t, it, reg, out, x);
    });
    return true;
}
// One loop over a line as sweep_t makes it, in the single precision of columns 2 and 3: the
// column pass of input row r for the sixteen pixels from x (lanes outside [0, n) masked off), It
// by the difference and the running average of weight 1/2 (the only weight the driver sweeps
// with), the whole lines of the input row and of It past the cache, the next input row widened,
// and the mode stage of row y by products16_vec.
template <bool kFlow, bool kMoments, bool kRegularizer>
void sweep_vec_t(const SweepRows& r, const double* smooth, const double* deriv, float reg,
                 int32_t head, int32_t n) {
    __m512 ts[5], td[5];
    for (int32_t k = 0; k < 5; ++k) {
        ts[k] = _mm512_set1_ps(static_cast<float>(smooth[k]));
        td[k] = _mm512_set1_ps(static_cast<float>(deriv[k]));
    }
    const __m512 half = _mm512_set1_ps(0.5f);
    const auto is_offset = static_cast<int32_t>((reinterpret_cast<uintptr_t>(r.is_image) & 63) / 4);
    const int32_t is_first = (16 - is_offset) % 16;
    int32_t is_next = is_first;
    for (int32_t x = head > 0 ? head - 16 : 0; x < n; x += 16) {
        const __mmask16 in = static_cast<__mmask16>((x < 0 ? 0xFFFFu << -x : 0xFFFFu) &
                                                    (n - x >= 16 ? 0xFFFFu : (1u << (n - x)) - 1u));
        auto row = [&](int32_t k) { return _mm512_maskz_loadu_ps(in, floats(r.s[k]) + x); };
        __m512 v = _mm512_setzero_ps();
        for (int32_t k = 0; k < 5; ++k) v = _mm512_add_ps(v, _mm512_mul_ps(ts[4 - k], row(k)));
        _mm512_mask_storeu_ps(r.is_row + x, in, v);
        _mm512_mask_storeu_ps(floats(r.wide) + x, in, v);
        const __m512 dif = _mm512_sub_ps(v, _mm512_maskz_loadu_ps(in, r.prev + x));
        const __m512 p = _mm512_maskz_loadu_ps(in, r.it_prev + x);
        const __m512 it = _mm512_add_ps(dif, _mm512_mul_ps(_mm512_sub_ps(p, dif), half));
        _mm512_mask_storeu_ps(r.it_keep + x, in, it);
        if (in == 0xFFFF) {
            if (r.it_prev == r.it_image) {
                _mm512_store_ps(r.it_image + x, it);
            } else {
                _mm512_stream_ps(r.it_image + x, it);
            }
        }
        for (const int32_t made = x + 16 < n ? x + 16 : n; is_next + 16 <= made; is_next += 16) {
            _mm512_stream_ps(r.is_image + is_next, _mm512_loadu_ps(r.is_row + is_next));
        }
        if (r.next_src != nullptr) {
            _mm512_mask_storeu_ps(floats(r.next_wide) + x, in,
                                  _mm512_maskz_loadu_ps(in, r.next_src + x));
        }
        if (x >= 0 && x + 16 <= n) {
            products16_vec<kFlow, kMoments, kRegularizer>(r.d, td, r.it, reg, r.out, x);
        }
    }
    r.is_lines[0] = is_first < n ? is_first : n;
    r.is_lines[1] = is_next > is_first ? is_next : r.is_lines[0];  // no line: an empty range
    if (r.next_src != nullptr) *r.next_range = engine_fused::kNoExactForms;
}

bool sweep_stream_vec(ProductSet set, const SweepRows& r, const double* smooth, const double* deriv,
                      float reg, bool add_regularizer, int32_t head, int32_t n, uint32_t* range) {
    with_product_flags(set, add_regularizer, [&]<bool kFlow, bool kMoments, bool kReg>() {
        sweep_vec_t<kFlow, kMoments, kReg>(r, smooth, deriv, reg, head, n);
    });
    *range = engine_fused::kNoExactForms;
    return true;
}
// products_row_vec sixteen pixels at a time in registers (cached rows), where the row has the
// division's blocks; the pixels after the last sixteen, and rows without blocks, as
// products_row_vec makes them.
void products_row_vec512(ProductSet set, const double* const d[5], const double* c, bool exact,
                         const float* it, float reg, bool add_regularizer, const ProductRows& o,
                         int32_t n, bool blocks) {
    __m512 t[5];
    for (int32_t k = 0; k < 5; ++k) t[k] = _mm512_set1_ps(static_cast<float>(c[k]));
    products_row_by16(set, d, c, exact, it, reg, add_regularizer, o, n, blocks,
                      blocks ? n & ~15 : 0,
                      [&]<bool kFlow, bool kMoments, bool kReg>(
                          int32_t x, const double* const* rows, const ProductRows& out) {
                          products16_vec<kFlow, kMoments, kReg, false>(rows, t, it, reg, out, x);
                      },
                      products_row_vec, 4);
}
ENGINE_FUSED_QUIET_END
#else
constexpr auto products_stream_vec = no_products_stream;
constexpr auto sweep_stream_vec = no_sweep_stream;
#endif
#endif

// Copies a row with stores that bypass the cache (for result rows that the frame does not read
// again). Every store bypasses it, the single floats before and after the whole vectors included:
// an ordinary store into a line that is also written past the cache would fetch the line first.
void stream_row(const float* __restrict src, float* __restrict dst, int32_t n) {
    int32_t x = 0;
#if defined(__SSE2__)
    auto one = [&](int32_t i) {
        _mm_stream_si32(reinterpret_cast<int*>(dst + i), __builtin_bit_cast(int, src[i]));
    };
#if defined(__AVX512F__)
    // Whole cache lines: a line is never left half-written in a write-combining buffer.
    for (; x < n && (reinterpret_cast<uintptr_t>(dst + x) & 63) != 0; ++x) one(x);
    for (; x + 16 <= n; x += 16) _mm512_stream_ps(dst + x, _mm512_loadu_ps(src + x));
#elif defined(__AVX__)
    for (; x < n && (reinterpret_cast<uintptr_t>(dst + x) & 31) != 0; ++x) one(x);
    for (; x + 8 <= n; x += 8) _mm256_stream_ps(dst + x, _mm256_loadu_ps(src + x));
#else
    for (; x < n && (reinterpret_cast<uintptr_t>(dst + x) & 15) != 0; ++x) one(x);
    for (; x + 4 <= n; x += 4) _mm_stream_ps(dst + x, _mm_loadu_ps(src + x));
#endif
    for (; x < n; ++x) one(x);
#else
    for (; x < n; ++x) dst[x] = src[x];
#endif
}

const RowOps* column_ops(int32_t column);

constexpr RowOps ops = {.name = ENGINE_FUSED_NAME,
                        .column_ops = column_ops,
                        .pixel_bytes = 8,
                        .margins = margins,
                        .widen_clamped = widen_clamped,
                        .widen = widen,
                        .smooth_row = smooth_row,
                        .smooth_row_widen = smooth_row_widen,
                        .smooth_column = smooth_column,
                        .recursive_row = recursive_row,
                        .batch_row = batch_row,
                        .square_row = square_row,
                        .products_row = products_row,
                        .products_stream = products_stream,
                        .sweep_stream = sweep_stream,
                        .stream_row = stream_row};

// A table with another mode stage.
constexpr RowOps with_mode_stage(RowOps o, decltype(RowOps::products_row) row,
                                 decltype(RowOps::products_stream) stream,
                                 decltype(RowOps::sweep_stream) sweep) {
    o.products_row = row;
    o.products_stream = stream;
    o.sweep_stream = sweep;
    return o;
}

// Column 1: column 0's routines but the mode stage, which divides as the MMX column does.
#if defined(__AVX512F__)
constexpr auto products_row_of_mmx = products_row_mmx512;
#else
constexpr auto products_row_of_mmx = products_row_mmx;
#endif
constexpr RowOps ops_mmx =
    with_mode_stage(ops, products_row_of_mmx, products_stream_mmx, sweep_stream_mmx);

#if defined(__SSE2__)
// Columns 2 and 3: single precision throughout, rolling rows of floats.
#if defined(__AVX512F__)
constexpr auto products_row_of_vec = products_row_vec512;
#else
constexpr auto products_row_of_vec = products_row_vec;
#endif
constexpr RowOps ops_vec = [] {
    RowOps o = with_mode_stage(ops, products_row_of_vec, products_stream_vec, sweep_stream_vec);
    o.pixel_bytes = 4;
    o.margins = margins_vec;
    o.widen_clamped = widen_clamped_vec;
    o.widen = widen_vec;
    o.smooth_row = smooth_row_vec;
    o.smooth_row_widen = smooth_row_widen_vec;
    o.smooth_column = smooth_column_vec;
    o.recursive_row = recursive_row_vec;
    o.batch_row = batch_row_vec;
    return o;
}();
#endif

const RowOps* column_ops(int32_t column) {
    switch (engine_fused::column_kind(column)) {
        case 0:
            return &ops;
        case 1:
            return &ops_mmx;
#if defined(__SSE2__)
        case 2:
            return &ops_vec;
#endif
        default:
            return nullptr;
    }
}

}  // namespace ENGINE_FUSED_NS
}  // namespace
