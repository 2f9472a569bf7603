// Row loops of the vector kernel variants, written once for any lane count.
//
// Each vector column's file (column2_sse.cpp, column3_sse2.cpp, column3_avx2.cpp) includes this
// header under its own instruction-set flags and builds its column with vector_column (at the
// end) from its lane type (`Lanes4` here, an eight-lane type in the AVX2 file). Everything below
// lives in an anonymous namespace, so every including file gets its own copy compiled for its own
// instruction set and the linker can never substitute one file's copy for another's.
//
// The vector loops handle whole vectors and the shared scalar loop finishes the row; the scalar
// steps use single-lane vector instructions (`_mm_add_ss`, ...) rather than C arithmetic, so
// that they round exactly like one lane of the vector loop whatever the compiler picks for
// scalar floats (x87 on 32-bit builds). Because every pixel is computed by the same operations
// in the same order whichever loop takes it, the four-lane and the eight-lane routines store the
// same bits, and a pixel does not depend on its position in the row.
//
// Argument checks are repeated here in the order of the plain kernels, so that every variant
// returns the same status for the same arguments and touches nothing when a check fails.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "primitives/checks.hpp"
#include "primitives/columns.hpp"

namespace {
namespace simd {

using std::ptrdiff_t;
using std::uintptr_t;

// ---- four lanes ---------------------------------------------------------------------------------
struct Lanes4 {
    using vec = __m128;
    struct Exit {};  // nothing to do on leaving four-lane code
    static constexpr int lanes = 4;
    static constexpr uintptr_t align = 16;  // alignment of an aligned load or store [bytes]

    static vec loadu(const float* p) { return _mm_loadu_ps(p); }
    static vec loada(const float* p) { return _mm_load_ps(p); }
    static void storeu(float* p, vec v) { _mm_storeu_ps(p, v); }
    static void storea(float* p, vec v) { _mm_store_ps(p, v); }
    static void stream(float* p, vec v) { _mm_stream_ps(p, v); }
    static vec splat(float x) { return _mm_set1_ps(x); }
    // A vector of one bit pattern, built in memory so that no float conversion can touch it.
    static vec splat_bits(uint32_t bits) {
        alignas(16) uint32_t w[4] = {bits, bits, bits, bits};
        return _mm_load_ps(reinterpret_cast<const float*>(w));
    }
    // One coefficient of the filters' scratch block: four copies, 16-byte aligned.
    static vec coef(const float* four) { return _mm_load_ps(four); }
    static vec zero() { return _mm_setzero_ps(); }
    static vec add(vec a, vec b) { return _mm_add_ps(a, b); }
    static vec sub(vec a, vec b) { return _mm_sub_ps(a, b); }
    static vec mul(vec a, vec b) { return _mm_mul_ps(a, b); }
    static vec rcp(vec a) { return _mm_rcp_ps(a); }
    static bool any_zero(vec a) { return _mm_movemask_ps(_mm_cmpeq_ps(a, _mm_setzero_ps())) != 0; }
};

// ---- scalar access ------------------------------------------------------------------------------
// Rows may start anywhere (most kernels take byte steps as given), so single elements are moved
// with memcpy and never through a float lvalue of possibly wrong alignment.
inline const float* at_bytes(const float* p, ptrdiff_t bytes) {
    return reinterpret_cast<const float*>(reinterpret_cast<const unsigned char*>(p) + bytes);
}
inline float* at_bytes(float* p, ptrdiff_t bytes) {
    return reinterpret_cast<float*>(reinterpret_cast<unsigned char*>(p) + bytes);
}
inline __m128 load1(const float* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return _mm_set_ss(v);
}
inline void store1(float* p, __m128 v) {
    const float f = _mm_cvtss_f32(v);
    std::memcpy(p, &f, sizeof f);
}
inline void move_bits(float* dst, const float* src) {
    std::memcpy(dst, src, 4);
}
inline uintptr_t addr(const void* p) {
    return reinterpret_cast<uintptr_t>(p);
}

// ---- element-wise operations --------------------------------------------------------------------
// Each operation gives the vector form and the one-lane form of the same instruction.
struct OpAdd {  // dst = src1 + src2
    template <class V>
    static typename V::vec vec(typename V::vec a, typename V::vec b) {
        return V::add(a, b);
    }
    static __m128 one(__m128 a, __m128 b) { return _mm_add_ss(a, b); }
};
struct OpSub {  // dst = src2 - src1: the first source is the subtrahend
    template <class V>
    static typename V::vec vec(typename V::vec a, typename V::vec b) {
        return V::sub(b, a);
    }
    static __m128 one(__m128 a, __m128 b) { return _mm_sub_ss(b, a); }
};
struct OpMul {  // dst = src1 * src2
    template <class V>
    static typename V::vec vec(typename V::vec a, typename V::vec b) {
        return V::mul(a, b);
    }
    static __m128 one(__m128 a, __m128 b) { return _mm_mul_ss(a, b); }
};

// Results larger than this [bytes] are stored past the cache when the destination is a separate
// image: such a result outgrows the caches before it is read again, and streaming it saves the
// read of every destination line that an ordinary store costs. Smaller results stay in the cache
// for the next kernel. The values stored are the same either way.
constexpr int64_t kStreamResultsAbove = int64_t{4} << 20;

inline bool stream_result(const void* dst, const void* src1, const void* src2, int64_t bytes) {
    return bytes > kStreamResultsAbove && dst != src1 && dst != src2;
}

// Store of a result vector at an address aligned to the vector size.
template <class V, bool kStream>
inline void store_result(float* p, typename V::vec v) {
    if constexpr (kStream) {
        V::stream(p, v);
    } else {
        V::storea(p, v);
    }
}

// One run of n elements of dst = op(a, b). Reads each vector before it stores it, so dst may be
// either source (same address and step).
template <class V, class Op, bool kStream = false>
void binary_run(const float* a, const float* b, float* d, ptrdiff_t n) {
    constexpr int L = V::lanes;
    ptrdiff_t x = 0;
    if (((addr(a) | addr(b) | addr(d)) & (V::align - 1)) == 0) {
        for (; x + 2 * L <= n; x += 2 * L) {
            const auto r0 = Op::template vec<V>(V::loada(a + x), V::loada(b + x));
            const auto r1 = Op::template vec<V>(V::loada(a + x + L), V::loada(b + x + L));
            store_result<V, kStream>(d + x, r0);
            store_result<V, kStream>(d + x + L, r1);
        }
        for (; x + L <= n; x += L) {
            store_result<V, kStream>(d + x, Op::template vec<V>(V::loada(a + x), V::loada(b + x)));
        }
    } else {
        for (; x + 2 * L <= n; x += 2 * L) {
            const auto r0 = Op::template vec<V>(V::loadu(a + x), V::loadu(b + x));
            const auto r1 = Op::template vec<V>(V::loadu(a + x + L), V::loadu(b + x + L));
            V::storeu(d + x, r0);
            V::storeu(d + x + L, r1);
        }
        for (; x + L <= n; x += L)
            V::storeu(d + x, Op::template vec<V>(V::loadu(a + x), V::loadu(b + x)));
    }
    for (; x < n; ++x) store1(d + x, Op::one(load1(a + x), load1(b + x)));
}

// Sum, difference and product: the three pointers advance by their own steps; when all three
// images are contiguous the region is one run, which changes no value.
template <class V, class Op>
PrimStatus binary_kernel(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                         float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status =
        prim_check::three(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    const ptrdiff_t row = ptrdiff_t{4} * roi.width;
    if (src1_step == row && src2_step == row && dst_step == row) {
        const ptrdiff_t n = ptrdiff_t{roi.width} * roi.height;
        if (stream_result(dst, src1, src2, int64_t{row} * roi.height)) {
            binary_run<V, Op, true>(src1, src2, dst, n);
            _mm_sfence();
        } else {
            binary_run<V, Op>(src1, src2, dst, n);
        }
        return prim_ok;
    }
    for (ptrdiff_t y = 0; y < roi.height; ++y) {
        binary_run<V, Op>(at_bytes(src1, y * src1_step), at_bytes(src2, y * src2_step),
                          at_bytes(dst, y * dst_step), roi.width);
    }
    return prim_ok;
}

template <class V, bool kStream = false>
void square_run(const float* s, float* d, ptrdiff_t n) {
    constexpr int L = V::lanes;
    ptrdiff_t x = 0;
    if (((addr(s) | addr(d)) & (V::align - 1)) == 0) {
        for (; x + 2 * L <= n; x += 2 * L) {
            const auto v0 = V::loada(s + x), v1 = V::loada(s + x + L);
            store_result<V, kStream>(d + x, V::mul(v0, v0));
            store_result<V, kStream>(d + x + L, V::mul(v1, v1));
        }
        for (; x + L <= n; x += L) {
            const auto v = V::loada(s + x);
            store_result<V, kStream>(d + x, V::mul(v, v));
        }
    } else {
        for (; x + 2 * L <= n; x += 2 * L) {
            const auto v0 = V::loadu(s + x), v1 = V::loadu(s + x + L);
            V::storeu(d + x, V::mul(v0, v0));
            V::storeu(d + x + L, V::mul(v1, v1));
        }
        for (; x + L <= n; x += L) {
            const auto v = V::loadu(s + x);
            V::storeu(d + x, V::mul(v, v));
        }
    }
    for (; x < n; ++x) {
        const __m128 v = load1(s + x);
        store1(d + x, _mm_mul_ss(v, v));
    }
}

template <class V>
PrimStatus square_kernel(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                         Size roi) {
    const PrimStatus status = prim_check::two(src, src_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    // The square kernel works on whole floats: both steps are cut down to a multiple of 4 bytes.
    const ptrdiff_t s_step = src_step & ~3, d_step = dst_step & ~3;
    const ptrdiff_t row = ptrdiff_t{4} * roi.width;
    if (s_step == row && d_step == row) {
        const ptrdiff_t n = ptrdiff_t{roi.width} * roi.height;
        if (stream_result(dst, src, src, int64_t{row} * roi.height)) {
            square_run<V, true>(src, dst, n);
            _mm_sfence();
        } else {
            square_run<V>(src, dst, n);
        }
        return prim_ok;
    }
    for (ptrdiff_t y = 0; y < roi.height; ++y) {
        square_run<V>(at_bytes(src, y * s_step), at_bytes(dst, y * d_step), roi.width);
    }
    return prim_ok;
}

template <class V>
void add_const_run(float value, float* d, ptrdiff_t n) {
    constexpr int L = V::lanes;
    const auto c = V::splat(value);
    const __m128 c1 = _mm_set_ss(value);
    ptrdiff_t x = 0;
    if ((addr(d) & (V::align - 1)) == 0) {
        for (; x + 2 * L <= n; x += 2 * L) {
            const auto r0 = V::add(V::loada(d + x), c), r1 = V::add(V::loada(d + x + L), c);
            V::storea(d + x, r0);
            V::storea(d + x + L, r1);
        }
        for (; x + L <= n; x += L) V::storea(d + x, V::add(V::loada(d + x), c));
    } else {
        for (; x + 2 * L <= n; x += 2 * L) {
            const auto r0 = V::add(V::loadu(d + x), c), r1 = V::add(V::loadu(d + x + L), c);
            V::storeu(d + x, r0);
            V::storeu(d + x + L, r1);
        }
        for (; x + L <= n; x += L) V::storeu(d + x, V::add(V::loadu(d + x), c));
    }
    for (; x < n; ++x) store1(d + x, _mm_add_ss(load1(d + x), c1));
}

template <class V>
PrimStatus add_const_kernel(float value, float* src_dst, int32_t src_dst_step, Size roi) {
    const PrimStatus status = prim_check::one(src_dst, src_dst_step, roi);
    if (status != prim_ok) return status;
    if (src_dst_step == ptrdiff_t{4} * roi.width) {
        add_const_run<V>(value, src_dst, ptrdiff_t{roi.width} * roi.height);
        return prim_ok;
    }
    for (ptrdiff_t y = 0; y < roi.height; ++y) {
        add_const_run<V>(value, at_bytes(src_dst, y * src_dst_step), roi.width);
    }
    return prim_ok;
}

// ---- division -----------------------------------------------------------------------------------
// Rows shorter than this are divided by the reference rule throughout.
constexpr ptrdiff_t kDivMinBlockRow = 32;

// ((r + r) - (d * r) * r) * n with r the processor's reciprocal estimate of d: one Newton step
// on the estimate, then the dividend, each operation rounded to single precision in this order.
template <class V>
typename V::vec refined_quotient(typename V::vec d, typename V::vec n) {
    const auto r = V::rcp(d);
    return V::mul(V::sub(V::add(r, r), V::mul(V::mul(d, r), r)), n);
}

// One row of the quotient. In rows of at least 32 elements the elements up to the last multiple
// of 8 go in blocks of 8: a block with a zero divisor (either sign) falls back to the reference
// rule, any other block takes the refined estimate. Returns whether a zero divisor was met. With
// kStream the blocks' results bypass the cache; q must then be vector-aligned.
template <class V, bool kStream = false>
bool div_row(const float* d, const float* m, float* q, ptrdiff_t n) {
    auto put = [](float* p, typename V::vec v) {
        if constexpr (kStream) {
            V::stream(p, v);
        } else {
            V::storeu(p, v);
        }
    };
    bool zero = false;
    ptrdiff_t x = 0;
    if (n >= kDivMinBlockRow) {
        const ptrdiff_t blocks_end = n & ~ptrdiff_t{7};
        for (; x < blocks_end; x += 8) {
            if constexpr (V::lanes == 8) {
                const auto dv = V::loadu(d + x);
                if (V::any_zero(dv)) {
                    zero |= prim_div_reference_run(d + x, m + x, q + x, 8);
                    continue;
                }
                put(q + x, refined_quotient<V>(dv, V::loadu(m + x)));
            } else {
                const auto d0 = V::loadu(d + x), d1 = V::loadu(d + x + 4);
                if (V::any_zero(d0) || V::any_zero(d1)) {
                    zero |= prim_div_reference_run(d + x, m + x, q + x, 8);
                    continue;
                }
                const auto q0 = refined_quotient<V>(d0, V::loadu(m + x));
                const auto q1 = refined_quotient<V>(d1, V::loadu(m + x + 4));
                put(q + x, q0);
                put(q + x + 4, q1);
            }
        }
    }
    zero |= prim_div_reference_run(d + x, m + x, q + x, n - x);
    return zero;
}

template <class V>
PrimStatus div_kernel(const float* src1, int32_t src1_step, const float* src2, int32_t src2_step,
                      float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status =
        prim_check::three(src1, src1_step, src2, src2_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    bool zero = false;
    const ptrdiff_t row = ptrdiff_t{4} * roi.width;
    // Contiguous rows form one run only when that leaves every block where the rows put it:
    // rows long enough for blocks and a whole number of blocks long.
    if (src1_step == row && src2_step == row && dst_step == row && roi.width >= kDivMinBlockRow &&
        roi.width % 8 == 0) {
        const ptrdiff_t n = ptrdiff_t{roi.width} * roi.height;
        if (stream_result(dst, src1, src2, int64_t{row} * roi.height) &&
            (addr(dst) & (V::align - 1)) == 0) {
            zero = div_row<V, true>(src1, src2, dst, n);
            _mm_sfence();
        } else {
            zero = div_row<V>(src1, src2, dst, n);
        }
    } else {
        for (ptrdiff_t y = 0; y < roi.height; ++y) {
            zero |= div_row<V>(at_bytes(src1, y * src1_step), at_bytes(src2, y * src2_step),
                               at_bytes(dst, y * dst_step), roi.width);
        }
    }
    return zero ? prim_warn_div_by_zero : prim_ok;
}

// ---- copy and fill ------------------------------------------------------------------------------
// Both move bit patterns only (vector moves and 32-bit memcpy), so NaN payloads, signed zeros
// and subnormals arrive unchanged. The destination is brought to vector alignment first, so the
// stores are aligned; streaming stores (kStream: they bypass the cache and need that alignment)
// are used only when the caller asks for them, and the caller fences after the last one.
template <class V, bool kStream>
void copy_run(const float* s, float* d, ptrdiff_t n) {
    constexpr int L = V::lanes;
    ptrdiff_t x = 0;
    if ((addr(d) & 3) == 0) {
        for (; x < n && ((addr(d + x) & (V::align - 1)) != 0); ++x) move_bits(d + x, s + x);
        for (; x + 4 * L <= n; x += 4 * L) {
            const auto v0 = V::loadu(s + x), v1 = V::loadu(s + x + L);
            const auto v2 = V::loadu(s + x + 2 * L), v3 = V::loadu(s + x + 3 * L);
            store_result<V, kStream>(d + x, v0);
            store_result<V, kStream>(d + x + L, v1);
            store_result<V, kStream>(d + x + 2 * L, v2);
            store_result<V, kStream>(d + x + 3 * L, v3);
        }
        for (; x + L <= n; x += L) store_result<V, kStream>(d + x, V::loadu(s + x));
    } else {
        for (; x + L <= n; x += L) V::storeu(d + x, V::loadu(s + x));
    }
    for (; x < n; ++x) move_bits(d + x, s + x);
}

template <class V, bool kStream>
void set_run(uint32_t bits, float* d, ptrdiff_t n) {
    constexpr int L = V::lanes;
    const auto v = V::splat_bits(bits);
    ptrdiff_t x = 0;
    if ((addr(d) & 3) == 0) {
        for (; x < n && ((addr(d + x) & (V::align - 1)) != 0); ++x) std::memcpy(d + x, &bits, 4);
        for (; x + 4 * L <= n; x += 4 * L) {
            store_result<V, kStream>(d + x, v);
            store_result<V, kStream>(d + x + L, v);
            store_result<V, kStream>(d + x + 2 * L, v);
            store_result<V, kStream>(d + x + 3 * L, v);
        }
        for (; x + L <= n; x += L) store_result<V, kStream>(d + x, v);
    } else {
        for (; x + L <= n; x += L) V::storeu(d + x, v);
    }
    for (; x < n; ++x) std::memcpy(d + x, &bits, 4);
}

// `kStreamAbove` is the region size [bytes] above which the stores bypass the cache (a region
// that large would only evict the data that the next kernels read); negative: never.
template <class V, int64_t kStreamAbove>
PrimStatus copy_kernel(const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = prim_check::two(src, src_step, dst, dst_step, roi);
    if (status != prim_ok) return status;
    const ptrdiff_t row = ptrdiff_t{4} * roi.width;
    const bool stream = kStreamAbove >= 0 && int64_t{row} * roi.height > kStreamAbove;
    const auto run = stream ? &copy_run<V, true> : &copy_run<V, false>;
    if (src_step == row && dst_step == row) {
        run(src, dst, ptrdiff_t{roi.width} * roi.height);
    } else if (roi.width < V::lanes) {
        // Narrow columns (the border columns of a frame): no vector fits a row.
        for (ptrdiff_t y = 0; y < roi.height; ++y) {
            const float* s = at_bytes(src, y * src_step);
            float* d = at_bytes(dst, y * dst_step);
            for (ptrdiff_t x = 0; x < roi.width; ++x) move_bits(d + x, s + x);
        }
    } else {
        for (ptrdiff_t y = 0; y < roi.height; ++y) {
            run(at_bytes(src, y * src_step), at_bytes(dst, y * dst_step), roi.width);
        }
    }
    if (stream) _mm_sfence();
    return prim_ok;
}

template <class V, int64_t kStreamAbove>
PrimStatus set_kernel(float value, float* dst, int32_t dst_step, Size roi) {
    const PrimStatus status = prim_check::one(dst, dst_step, roi);
    if (status != prim_ok) return status;
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const ptrdiff_t row = ptrdiff_t{4} * roi.width;
    const bool stream = kStreamAbove >= 0 && int64_t{row} * roi.height > kStreamAbove;
    const auto run = stream ? &set_run<V, true> : &set_run<V, false>;
    if (dst_step == row) {
        run(bits, dst, ptrdiff_t{roi.width} * roi.height);
    } else {
        for (ptrdiff_t y = 0; y < roi.height; ++y) {
            run(bits, at_bytes(dst, y * dst_step), roi.width);
        }
    }
    if (stream) _mm_sfence();
    return prim_ok;
}

// ---- separable filters --------------------------------------------------------------------------
// Every output pixel is the sum, in single precision, of its products in order of increasing
// source coordinate, starting from +0: acc = 0; acc = acc + kernel[k] * src(...) for
// k = kernel_size - 1 down to 0, one rounding per multiplication and per addition. The vector
// loops evaluate exactly this sum in every lane, so a pixel does not depend on which loop (or
// how many lanes) took it.
//
// The coefficients go into a scratch block, reversed (kernel[kernel_size - 1] first) and each
// repeated in four lanes, so that tap j of every group is one aligned load. Blocks for kernels
// up to kFilterStackTaps long live on the stack, so that a frame's filter calls allocate
// nothing; longer kernels take the block from the image heap (prim_malloc_32f, through
// prim_scratch_block) and free it before returning.
constexpr int32_t kFilterStackTaps = 32;

class FilterTaps {
  public:
    FilterTaps(const float* kernel, int32_t size) {
        if (size <= kFilterStackTaps) {
            block_ = align32(local_);
        } else if (size <= std::numeric_limits<int32_t>::max() / 4) {
            heap_ = prim_scratch_block(size * 4);
            block_ = heap_;
        }
        if (block_ == nullptr) return;
        for (int32_t j = 0; j < size; ++j) {
            const float c = kernel[size - 1 - j];
            for (int l = 0; l < 4; ++l) block_[4 * j + l] = c;
        }
    }
    ~FilterTaps() {
        if (heap_ != nullptr) prim_release_scratch_block(heap_);
    }
    FilterTaps(const FilterTaps&) = delete;
    FilterTaps& operator=(const FilterTaps&) = delete;

    // Null when a long kernel's block could not be allocated.
    const float* block() const { return block_; }

  private:
    static float* align32(float* p) {
        return reinterpret_cast<float*>((addr(p) + 31) & ~uintptr_t{31});
    }
    float local_[kFilterStackTaps * 4 + 8];
    float* heap_ = nullptr;
    float* block_ = nullptr;
};

// Pixel by pixel, in single precision, reference order: kernels of 1 or 2 taps, and any kernel
// whose scratch block could not be allocated. `s` is the source pixel under kernel[size - 1] for
// output 0; consecutive taps lie `tap_stride` floats apart.
inline void filter_pixels(const float* s, ptrdiff_t tap_stride, float* d, ptrdiff_t n,
                          const float* kernel, int32_t size) {
    for (ptrdiff_t x = 0; x < n; ++x) {
        __m128 acc = _mm_setzero_ps();
        for (int32_t j = 0; j < size; ++j) {
            acc = _mm_add_ss(
                acc, _mm_mul_ss(_mm_set_ss(kernel[size - 1 - j]), load1(s + x + j * tap_stride)));
        }
        store1(d + x, acc);
    }
}

// One output row from the scratch block. Source tap j of output x is s[x + j * tap_stride]: 1
// for the row filter, the source row step in floats for the column filter. K is the kernel
// length when it is known when compiling (the 3- and 5-tap kernels of the engine: the
// coefficients then stay in registers and the tap loop unrolls), or 0 to take `size`; the
// operations and their order, and so the bits, are the same either way.
template <class V, int32_t K = 0>
void filter_row_out(const float* s, ptrdiff_t tap_stride, float* d, ptrdiff_t n, const float* taps,
                    int32_t size) {
    constexpr int L = V::lanes;
    const int32_t count = K > 0 ? K : size;
    typename V::vec held[K > 0 ? K : 1];
    if constexpr (K > 0) {
        for (int32_t j = 0; j < K; ++j) held[j] = V::coef(taps + 4 * j);
    }
    auto coef = [&](int32_t j) {
        if constexpr (K > 0) {
            return held[j];
        } else {
            return V::coef(taps + 4 * j);
        }
    };
    ptrdiff_t x = 0;
    // Four groups per step keep four independent chains of additions in flight.
    for (; x + 4 * L <= n; x += 4 * L) {
        auto a0 = V::zero(), a1 = V::zero(), a2 = V::zero(), a3 = V::zero();
        const float* p = s + x;
        for (int32_t j = 0; j < count; ++j, p += tap_stride) {
            const auto c = coef(j);
            a0 = V::add(a0, V::mul(c, V::loadu(p)));
            a1 = V::add(a1, V::mul(c, V::loadu(p + L)));
            a2 = V::add(a2, V::mul(c, V::loadu(p + 2 * L)));
            a3 = V::add(a3, V::mul(c, V::loadu(p + 3 * L)));
        }
        V::storeu(d + x, a0);
        V::storeu(d + x + L, a1);
        V::storeu(d + x + 2 * L, a2);
        V::storeu(d + x + 3 * L, a3);
    }
    for (; x + L <= n; x += L) {
        auto a = V::zero();
        const float* p = s + x;
        for (int32_t j = 0; j < count; ++j, p += tap_stride) {
            a = V::add(a, V::mul(coef(j), V::loadu(p)));
        }
        V::storeu(d + x, a);
    }
    for (; x < n; ++x) {
        __m128 acc = _mm_setzero_ps();
        const float* p = s + x;
        for (int32_t j = 0; j < count; ++j, p += tap_stride) {
            acc = _mm_add_ss(acc, _mm_mul_ss(_mm_load_ss(taps + 4 * j), load1(p)));
        }
        store1(d + x, acc);
    }
}

// `kVertical` selects the column filter. Steps are used as whole floats (step / 4), like the
// plain filters.
template <class V, bool kVertical>
PrimStatus filter_kernel(const float* src, int32_t src_step, float* dst, int32_t dst_step, Size roi,
                         const float* kernel, int32_t kernel_size, int32_t anchor) {
    const PrimStatus status =
        prim_check::filter(src, src_step, dst, dst_step, roi, kernel, kernel_size);
    if (status != prim_ok) return status;
    const ptrdiff_t s_stride = src_step / 4, d_stride = dst_step / 4;
    const ptrdiff_t tap_stride = kVertical ? s_stride : 1;
    // Offset of the source pixel under kernel[kernel_size - 1] from the output pixel, in taps.
    const ptrdiff_t first_tap = ptrdiff_t{anchor} - (kernel_size - 1);

    FilterTaps taps(kernel, kernel_size >= 3 ? kernel_size : 0);
    const bool vector_path = kernel_size >= 3 && taps.block() != nullptr;
    for (ptrdiff_t y = 0; y < roi.height; ++y) {
        const float* s = src + y * s_stride + first_tap * tap_stride;
        float* d = dst + y * d_stride;
        if (vector_path && kernel_size == 5) {
            filter_row_out<V, 5>(s, tap_stride, d, roi.width, taps.block(), kernel_size);
        } else if (vector_path && kernel_size == 3) {
            filter_row_out<V, 3>(s, tap_stride, d, roi.width, taps.block(), kernel_size);
        } else if (vector_path) {
            filter_row_out<V>(s, tap_stride, d, roi.width, taps.block(), kernel_size);
        } else {
            filter_pixels(s, tap_stride, d, roi.width, kernel, kernel_size);
        }
    }
    return prim_ok;
}

// ---- running average ----------------------------------------------------------------------------
// src_dst = src_dst + alpha * (src - src_dst), each of the three operations in single precision
// in this order, eight pixels per step.
template <class V>
void add_weighted_run(const float* s, float* d, ptrdiff_t n, float alpha) {
    const auto a = V::splat(alpha);
    const __m128 a1 = _mm_set_ss(alpha);
    ptrdiff_t x = 0;
    for (; x + 8 <= n; x += 8) {
        if constexpr (V::lanes == 8) {
            const auto old = V::loadu(d + x);
            V::storeu(d + x, V::add(old, V::mul(V::sub(V::loadu(s + x), old), a)));
        } else {
            const auto old0 = V::loadu(d + x), old1 = V::loadu(d + x + 4);
            const auto r0 = V::add(old0, V::mul(V::sub(V::loadu(s + x), old0), a));
            const auto r1 = V::add(old1, V::mul(V::sub(V::loadu(s + x + 4), old1), a));
            V::storeu(d + x, r0);
            V::storeu(d + x + 4, r1);
        }
    }
    for (; x < n; ++x) {
        const __m128 old = load1(d + x);
        store1(d + x, _mm_add_ss(old, _mm_mul_ss(_mm_sub_ss(load1(s + x), old), a1)));
    }
}

// Its own checks: empty regions are accepted, and a step that is not a whole number of floats
// or is shorter than the row is a size fault.
template <class V>
PrimStatus add_weighted_kernel(const float* src, int32_t src_step, float* src_dst,
                               int32_t src_dst_step, Size roi, float alpha) {
    const PrimStatus status =
        prim_check::running_average(src, src_step, src_dst, src_dst_step, roi);
    if (status != prim_ok) return status;
    const int64_t row = int64_t{4} * roi.width;
    if (roi.width == 0 || roi.height == 0) return prim_ok;
    if (roi.height == 1 || (src_step == row && src_dst_step == row)) {
        add_weighted_run<V>(src, src_dst, ptrdiff_t{roi.width} * roi.height, alpha);
        return prim_ok;
    }
    for (ptrdiff_t y = 0; y < roi.height; ++y) {
        add_weighted_run<V>(at_bytes(src, y * src_step), at_bytes(src_dst, y * src_dst_step),
                            roi.width, alpha);
    }
    return prim_ok;
}

// ---- the column ---------------------------------------------------------------------------------
// Every kernel of a lane type runs inside `V::Exit`, whose destructor does what leaving that
// lane width needs (clearing the upper halves of the 256-bit registers; nothing for four lanes).
template <class V, auto Kernel>
struct Leaving;
template <class V, class... Args, PrimStatus (*Kernel)(Args...)>
struct Leaving<V, Kernel> {
    static PrimStatus call(Args... args) {
        [[maybe_unused]] typename V::Exit exit;
        return Kernel(args...);
    }
};
template <class V, auto Kernel>
constexpr auto entry() {
    if constexpr (std::is_empty_v<typename V::Exit> &&
                  std::is_trivially_destructible_v<typename V::Exit>) {
        return Kernel;
    } else {
        return &Leaving<V, Kernel>::call;
    }
}

// The column of lane type V: every kernel that computes or moves data runs the row loops above;
// allocation and release stay the plain routines. Copy and fill stream past the cache above the
// given region sizes [bytes] (negative: never).
template <class V, int64_t kStreamCopyAbove, int64_t kStreamSetAbove>
PrimColumn vector_column() {
    PrimColumn column = prim_column0_plain();
    column.copy_32f = entry<V, &copy_kernel<V, kStreamCopyAbove>>();
    column.add_32f = entry<V, &binary_kernel<V, OpAdd>>();
    column.add_const_inplace_32f = entry<V, &add_const_kernel<V>>();
    column.subtract_32f = entry<V, &binary_kernel<V, OpSub>>();
    column.set_32f = entry<V, &set_kernel<V, kStreamSetAbove>>();
    column.mul_32f = entry<V, &binary_kernel<V, OpMul>>();
    column.div_32f = entry<V, &div_kernel<V>>();
    column.sqr_32f = entry<V, &square_kernel<V>>();
    column.filter_row_32f = entry<V, &filter_kernel<V, false>>();
    column.filter_column_32f = entry<V, &filter_kernel<V, true>>();
    column.add_weighted_inplace_32f = entry<V, &add_weighted_kernel<V>>();
    return column;
}

}  // namespace simd
}  // namespace
