// Row routines of the engine's fused pipeline, and the instruction-set flavour that runs them.
//
// The fused pipeline (motion_engine_fused.cpp) walks the frame one row at a time and keeps the
// rows that the 5-tap filters need in small rolling buffers, so every image is written once and
// every intermediate stays in cache. It is exact to the bit against the whole-image kernel
// sequence of the variant column that the slots hold: each flavour has one set of routines per
// kind of arithmetic that the columns use (RowOps::column_ops), and each routine does, for every
// pixel, the same IEEE operations in the same order as the kernel of that column that computes
// that value there. The plain kernels (column 0):
//  - filter sums in double, started at +0.0, taking the terms in order of increasing source
//    coordinate, each product of two floats exact in double, rounded to float once;
//  - the running average old + alpha * (new - old) in double, rounded once;
//  - differences, squares, sums and products as single float operations;
//  - the division in single precision with the zero-divisor rule (0 or NaN divisor: +inf, -inf or
//    the NaN 0xFFC00000 by the dividend's sign).
// Column 1 (MMX) keeps every plain routine but the division: in rows of at least 32 pixels, the
// pixels up to the last multiple of 8 take one reciprocal in double per group of four
// (quotients_mmx in fused_rows_impl.hpp). Where a group's divisors are finite nonzero numbers and
// the float quotient is a normal number or zero, that quotient is the group's to the bit
// (group_quotients16 says why), and the 512-bit routines take it. Columns 2 and 3 (four-lane vectors, and their eight-lane
// flavour, which stores the same bits) compute everything in single precision:
//  - filter sums started at +0.0f, one float rounding per product and per addition, terms in order
//    of increasing source coordinate; the running average old + alpha * (new - old) likewise;
//  - the division in blocks of eight (rows of at least 32 pixels, up to the last multiple of 8):
//    ((r + r) - (d * r) * r) * n with r the processor's reciprocal estimate, the zero-divisor rule
//    for a block with a zero divisor and for the pixels after the blocks.
// No multiplication and addition are fused into one operation where either could round (all files
// are built with -ffp-contract=off and without -mfma; the 512-bit flavour's exact smoothing passes
// fuse them explicitly, where nothing rounds), so every flavour stores the same bits.
//
// The routines are written once (fused_rows_impl.hpp) and compiled per instruction set, each in
// its own file with its own flags and its own namespace: fused_rows_base.cpp (no flags),
// fused_rows_avx2.cpp and fused_rows_avx512.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace engine_fused {

// The rows of one image line that the mode stage writes; null where the mode has no such image.
struct ProductRows {
    float* It2;
    float* Ix;
    float* Iy;
    float* Ix2;
    float* Iy2;
    float* Ig2;
    float* Ixy;
    float* Ixt;
    float* Iyt;
    float* Fn2;
    float* Un;
    float* Vn;
};

// What the mode stage computes (the modes with spatial derivatives).
enum class ProductSet : int32_t { affine = 0, orvane = 1, all = 2 };

// Exponent summaries. Several routines also report, for the floats they read or make, the largest
// biased exponent and the smallest biased exponent of the nonzero ones, packed as lo | hi << 8
// (lo 255 when all are zero). Where the values that enter a 5-tap sum are finite and their
// exponents span at most kExactSpan, every partial sum of the kernels' double evaluation is exact
// (a product of a float and a tap n/256 with |n| < 256 has at most 32 significant bits; the terms
// are multiples of the smallest value's unit / 256 and below 2 * 2^(hi - 126), which leaves the
// sum at most span + 33 <= 53 bits), so the rounded result is the same in any order of addition:
// the routines then use a cheaper form (the taps' symmetry) and make a zero sum +0, as the kernels'
// sum, which starts at +0.0, always is.
inline constexpr uint32_t kExactSpan = 18;
inline bool exact_sums(uint32_t packed) {
    const uint32_t lo = packed & 0xFFu;
    const uint32_t hi = packed >> 8;
    return hi < 255 && (lo == 255 || hi <= lo + kExactSpan);
}

// One step of the streamed sweep (RowOps::sweep_stream): input row r and the mode stage's row y,
// every pointer at x = 0.
struct SweepRows {
    const double* s[5];  // the row pass, rows r - 2 to r + 2
    float* is_row;       // the bordered input row r (two floats of margin on each side)
    // Row r in its image (x = 0): the whole 64-byte lines of it within [0, n) go there past the
    // cache as they are made, the pixels of [is_lines[0], is_lines[1]); the rest is the caller's.
    float* is_image;
    int32_t* is_lines;
    double* wide;       // the same widened to double (two of margin on each side)
    const float* prev;  // the previous frame's input row r
    // The previous It, row r. Where it is it_image's row (It updated in place), It's whole lines
    // go through the cache instead: the line was just read, and the next frame reads it again.
    const float* it_prev;
    float* it_keep;      // It, row r, where the mode stage reads it back
    float* it_image;     // It, row r, in its image
    const double* d[5];  // the derivative rows y - 2 to y + 2 (two of margin on each side)
    const float* it;     // It, row y
    ProductRows out;     // row y of the mode stage's images
    // The next input row to widen in the same loop (null: none) and where it goes (x = 0; its
    // margins are left to the caller), with the summary of its floats.
    const float* next_src;
    double* next_wide;
    uint32_t* next_range;
};

// The kinds of arithmetic of the variant columns (see above); columns 2 and 3 share one.
inline constexpr int32_t kColumnKinds = 3;
inline constexpr int32_t column_kind(int32_t column) {
    return column < 0 || column > 3 ? -1 : (column < 2 ? column : 2);
}
// A range summary that never allows the exact forms (routines of columns 2 and 3, which have none).
inline constexpr uint32_t kNoExactForms = 0xFFFFu;

struct RowOps {
    const char* name;
    // The same flavour's routines for the kernels of variant column `column` (0 to 3); null where
    // this build has none for it.
    const RowOps* (*column_ops)(int32_t column);
    // Bytes per pixel of the rolling rows that the routines below exchange (typed double*): 8, a
    // double per pixel, or 4 (columns 2 and 3, whose arithmetic is single precision), a float per
    // pixel, pixel x of a row named by p at reinterpret_cast<float*>(p)[x]. Offsets into a row go
    // through engine_fused::pixel_at.
    int32_t pixel_bytes;
    // row[-2] = row[-1] = row[0] and row[n] = row[n + 1] = row[n - 1] in a rolling row.
    void (*margins)(double* row, int32_t n);
    // dst[-2 .. n + 1] = src[clamp(x)]: a row widened to double with its edge replicated twice;
    // *range = the summary of src.
    void (*widen_clamped)(const float* src, int32_t n, double* dst, uint32_t* range);
    // dst[x] = src[x] for x in [0, n): a row widened to double; *range = the summary of src.
    void (*widen)(const float* src, int32_t n, double* dst, uint32_t* range);
    // Row pass of the smoothing: dst[x] = double(float(sum over k of c[k] * src[x + 2 - k])),
    // k from 4 down to 0; src has two pixels of margin on each side. The double of the rounded
    // sum is what the column pass reads; *range = the summary of the rounded sums. `exact` says
    // that the source is exact-summable (exact_sums) and the taps symmetric.
    void (*smooth_row)(const double* src, int32_t n, const double* c, bool exact, double* dst,
                       uint32_t* range);
    // smooth_row, and in the same loop the next input row widened as widen_clamped makes it:
    // next_dst[-2 .. n + 1] from next[0 .. n - 1], *next_range its summary.
    void (*smooth_row_widen)(const double* src, int32_t n, const double* c, bool exact, double* dst,
                             uint32_t* range, const float* next, double* next_dst,
                             uint32_t* next_range);
    // Column pass: out[x] = float(sum over k of c[k] * rows[4 - k][x]) for x in [0, n), rows[0]
    // the topmost; then out[-2] = out[-1] = out[0] and out[n] = out[n + 1] = out[n - 1]. Where
    // `wide` is not null, it gets the same bordered row widened to double (x from -2 to n + 1) and
    // *range its summary, as widen would make them.
    void (*smooth_column)(const double* const rows[5], int32_t n, const double* c, bool exact,
                          float* out, double* wide, uint32_t* range);
    // It = (cur - prev) moved half-way towards it_prev: D + alpha * (it_prev - D) with D the
    // float difference, in double, rounded once. `it` is either `it_prev` (in place) or apart
    // from it.
    void (*recursive_row)(const float* cur, const float* prev, const float* it_prev, double alpha,
                          float* it, int32_t n);
    // It = outer + alpha * (inner - outer) in double with outer = f0 - f4, inner = f3 - f1.
    void (*batch_row)(const float* f0, const float* f1, const float* f3, const float* f4,
                      double alpha, float* it, int32_t n);
    // it2 = it * it
    void (*square_row)(const float* it, float* it2, int32_t n);
    // The mode stage of one line, for x in [0, n): Ix from the centre row d[2] (two pixels of
    // margin), Iy from the five rows d[0] (two above) to d[4] (two below), both with the taps c
    // (antisymmetric with centre 0 where `exact`); then the products and quotients of the set.
    // add_regularizer says whether Ig2 gets `reg`. `blocks`: the image rows are at least 32
    // pixels long, so the division of columns 1 to 3 takes its blocks, from x = 0 (which must be a
    // multiple of 8 in the image row) up to the last multiple of 8 below n.
    void (*products_row)(ProductSet set, const double* const d[5], const double* c, bool exact,
                         const float* it, float reg, bool add_regularizer, const ProductRows& out,
                         int32_t n, bool blocks);
    // products_row with `exact` sums (any sums for columns 2 and 3), every result stored past the
    // cache as it is made, for x in [0, n) where n is a multiple of 16 and every row of `out`
    // starts on a 64-byte boundary. For columns 1 to 3 the caller asks only where the image rows
    // are at least 32 pixels long and x = 0 is a multiple of 8 in them: every pixel is then in a
    // block of the division.
    // Returns false, having written nothing, where the flavour has no such routine (it needs
    // 16-float vectors: whole cache lines per store).
    bool (*products_stream)(ProductSet set, const double* const d[5], const double* c,
                            const float* it, float reg, bool add_regularizer,
                            const ProductRows& out, int32_t n);
    // One loop over a line for frames written past the cache, with the recursive rule of weight
    // 1/2 and the input filter, where both filters' sums are exact (any sums for columns 2 and 3;
    // for columns 1 to 3, rows of at least 32 pixels, as products_stream): the column pass of
    // input row r (as smooth_column with `wide`, margins not set; *range the summary), It of row r
    // (recursive_row) into it_keep, the mode stage of row y (products_stream), and the next input
    // row widened (widen) where `next_src` is not null. The images'
    // rows take whole 64-byte lines past the cache: It for x in [head + 16 k, head + 16 k + 16)
    // within [0, n), the mode stage likewise; the pixels before `head` and after the last whole
    // line of the mode stage are left to the caller (It is in it_keep). `head` < 16 is the first
    // pixel whose image rows start a line. Returns false, having written nothing, where the
    // flavour has no such routine.
    bool (*sweep_stream)(ProductSet set, const SweepRows& rows, const double* smooth,
                         const double* deriv, float reg, bool add_regularizer, int32_t head,
                         int32_t n, uint32_t* range);
    // dst[x] = src[x] for x in [0, n) with stores that bypass the cache where the flavour has them.
    void (*stream_row)(const float* src, float* dst, int32_t n);
};

// Pixel x of a rolling row named by `row` whose pixels take `bytes` each (RowOps::pixel_bytes).
template <class T>
inline T* pixel_at(T* row, std::ptrdiff_t x, int32_t bytes) {
    using Byte = std::conditional_t<std::is_const_v<T>, const unsigned char, unsigned char>;
    return reinterpret_cast<T*>(reinterpret_cast<Byte*>(row) + x * bytes);
}

// The flavours; each is only valid where the processor has its instruction set.
const RowOps& row_ops_base();
const RowOps& row_ops_avx2();
const RowOps& row_ops_avx512();

// The largest cache that a core's data passes through [bytes], a cache shared by several cores
// counted whole; 0 where the processor does not list its caches (examined once).
int64_t largest_cache_bytes();

// The widest flavour that this processor and build can run (examined once).
const RowOps& row_ops_best();
// Every flavour this processor can run, widest first (for tests that compare them).
int32_t row_ops_available(const RowOps* out[3]);
// The flavour the fused pipeline runs: row_ops_best() unless a test or benchmark has chosen
// another one with row_ops_choose (null returns to the best). Returns the previous choice.
const RowOps& row_ops_in_use();
const RowOps* row_ops_choose(const RowOps* ops);

}  // namespace engine_fused
