// Column 1: processors with MMX but without SSE (class 1).
//
// Only this file of the column is built with -mmmx. Such processors have no single-precision
// vector unit, so the column keeps the plain floating-point routines for every kernel but three:
// the copy and the fill move their data in 64-bit MMX blocks, and the division computes one
// reciprocal per group of four quotients. Every routine that touches the MMX registers clears
// them (_mm_empty) before it returns, so that the x87 code that follows finds its stack free.
#include <mmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "primitives/checks.hpp"
#include "primitives/columns.hpp"

namespace {

using std::ptrdiff_t;

// A 64-bit block at any address (GCC's own __m64_u is not known to clang).
typedef __m64 m64_unaligned __attribute__((__aligned__(1), __may_alias__));

// Keeps the compiler from turning a block loop back into a library call.
#if defined(__clang__)
#define ORVANE_KEEP_BLOCK_LOOP __attribute__((no_builtin("memcpy", "memset")))
#else
#define ORVANE_KEEP_BLOCK_LOOP __attribute__((optimize("no-tree-loop-distribute-patterns")))
#endif

inline const unsigned char* row_bytes(const float* base, int32_t step, ptrdiff_t y) {
    return reinterpret_cast<const unsigned char*>(base) + y * step;
}
inline unsigned char* row_bytes(float* base, int32_t step, ptrdiff_t y) {
    return reinterpret_cast<unsigned char*>(base) + y * step;
}

// n floats in 64-bit blocks, an odd last float as one 32-bit word. The compiler is kept from
// turning the loop back into a library call: the blocks are the point of this column.
ORVANE_KEEP_BLOCK_LOOP void copy_run_mmx(const unsigned char* s, unsigned char* d, ptrdiff_t n) {
    const ptrdiff_t pairs = n / 2;
    for (ptrdiff_t i = 0; i < pairs; ++i) {
        const __m64 block = *reinterpret_cast<const m64_unaligned*>(s + 8 * i);
        *reinterpret_cast<m64_unaligned*>(d + 8 * i) = block;
    }
    if (n & 1) std::memcpy(d + 8 * pairs, s + 8 * pairs, 4);
}

ORVANE_KEEP_BLOCK_LOOP void set_run_mmx(__m64 block, uint32_t bits, unsigned char* d, ptrdiff_t n) {
    const ptrdiff_t pairs = n / 2;
    for (ptrdiff_t i = 0; i < pairs; ++i) *reinterpret_cast<m64_unaligned*>(d + 8 * i) = block;
    if (n & 1) std::memcpy(d + 8 * pairs, &bits, 4);
}

// One row of the quotient by the class-1 block method: in rows of at least 32 elements, the
// elements up to the last multiple of 8 go in groups of four with one reciprocal per group,
// everything in double precision and each result rounded once when stored. A group whose
// divisor product is zero or NaN (which every zero or NaN divisor makes it) follows the
// reference rule. All eight operands of a group are read before any result is stored.
bool div_row_c1(const unsigned char* dp, const unsigned char* mp, unsigned char* qp, ptrdiff_t n) {
    bool zero = false;
    ptrdiff_t x = 0;
    if (n >= 32) {
        const ptrdiff_t blocks_end = n & ~ptrdiff_t{7};
        for (; x < blocks_end; x += 4) {
            float d[4], m[4], q[4];
            std::memcpy(d, dp + 4 * x, sizeof d);
            std::memcpy(m, mp + 4 * x, sizeof m);
            const double d01 = static_cast<double>(d[0]) * d[1];
            const double d23 = static_cast<double>(d[2]) * d[3];
            const double p = d01 * d23;
            if (p == 0.0 || p != p) {
                zero |= prim_div_reference_run(d, m, q, 4);
            } else {
                const double r = 1.0 / p;
                const double a = d23 * r;  // 1 / (d0 * d1)
                const double b = d01 * r;  // 1 / (d2 * d3)
                q[0] = static_cast<float>(d[1] * (m[0] * a));
                q[1] = static_cast<float>((m[1] * a) * d[0]);
                q[2] = static_cast<float>((m[2] * b) * d[3]);
                q[3] = static_cast<float>((m[3] * b) * d[2]);
            }
            std::memcpy(qp + 4 * x, q, sizeof q);
        }
    }
    zero |= prim_div_reference_run(reinterpret_cast<const float*>(dp + 4 * x),
                                   reinterpret_cast<const float*>(mp + 4 * x),
                                   reinterpret_cast<float*>(qp + 4 * x), n - x);
    return zero;
}

PrimStatus copy_32f(const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = prim_check::two(src, src_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    const ptrdiff_t row = ptrdiff_t{4} * roi.width;
    if (src_step == row && dst_step == row) {
        copy_run_mmx(row_bytes(src, src_step, 0), row_bytes(dst, dst_step, 0),
                     ptrdiff_t{roi.width} * roi.height);
    } else {
        for (ptrdiff_t y = 0; y < roi.height; ++y) {
            copy_run_mmx(row_bytes(src, src_step, y), row_bytes(dst, dst_step, y), roi.width);
        }
    }
    _mm_empty();
    return prim_ok;
}

PrimStatus set_32f(float value, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = prim_check::one(dst, dst_step, roi);
    if (status != prim_ok) return status;
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const __m64 block = _mm_set1_pi32(static_cast<int>(bits));
    if (dst_step == ptrdiff_t{4} * roi.width) {
        set_run_mmx(block, bits, row_bytes(dst, dst_step, 0), ptrdiff_t{roi.width} * roi.height);
    } else {
        for (ptrdiff_t y = 0; y < roi.height; ++y) {
            set_run_mmx(block, bits, row_bytes(dst, dst_step, y), roi.width);
        }
    }
    _mm_empty();
    return prim_ok;
}

PrimStatus div_32f(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                   float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status =
        prim_check::three(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    bool zero = false;
    for (ptrdiff_t y = 0; y < roi.height; ++y) {
        zero |= div_row_c1(row_bytes(src1, src1_step, y), row_bytes(src2, src2_step, y),
                           row_bytes(dst, dst_step, y), roi.width);
    }
    return zero ? prim_warn_div_by_zero : prim_ok;
}

}  // namespace

// The plain column with the three routines of this file.
PrimColumn prim_column1_mmx() {
    PrimColumn column = prim_column0_plain();
    column.copy_32f = &copy_32f;
    column.set_32f = &set_32f;
    column.div_32f = &div_32f;
    return column;
}
