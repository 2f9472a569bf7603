#include "analysis/select.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/simd.hpp"

#if ORVANE_ANALYSIS_AVX2
#include <immintrin.h>
#endif

namespace {

// Fewer values than this are searched directly.
constexpr size_t kSearchBelow = 4096;
// The sample, and how far on either side of the k-th place the bracket reaches in it: the
// k-th value's place in a sample of 512 varies by about 11, so 40 misses it about once in
// three thousand calls (then the whole set is searched directly, with the same answer).
constexpr size_t kSample = 512;
constexpr size_t kReach = 40;

// One pass over values[0 .. n-1]: how many lie below lo, and those in [lo, hi] copied to out in
// their order; returns how many were copied.
size_t bracket_plain(const float* values, size_t n, float lo, float hi, float* out,
                     size_t* below) {
    size_t b = 0, m = 0;
    for (size_t i = 0; i < n; ++i) {
        const float v = values[i];
        b += v < lo;
        out[m] = v;
        m += (v >= lo) & (v <= hi);
    }
    *below += b;
    return m;
}

#if ORVANE_ANALYSIS_AVX2
// The same eight values at a time: a table gives, for each pattern of eight flags, the
// permutation that moves the flagged values to the front.
__attribute__((target("avx2,popcnt"))) size_t bracket_avx2(const float* values, size_t n,
                                                          float lo, float hi, float* out,
                                                          size_t* below) {
    static const auto packs = [] {
        std::vector<int32_t> t(256 * 8);
        for (int bits = 0; bits < 256; ++bits) {
            int j = 0;
            for (int l = 0; l < 8; ++l) {
                if ((bits >> l) & 1) t[static_cast<size_t>(bits * 8 + j++)] = l;
            }
            while (j < 8) t[static_cast<size_t>(bits * 8 + j++)] = 0;
        }
        return t;
    }();
    const __m256 vlo = _mm256_set1_ps(lo), vhi = _mm256_set1_ps(hi);
    size_t b = 0, m = 0, i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(values + i);
        b += static_cast<size_t>(
            _mm_popcnt_u32(static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, vlo, _CMP_LT_OQ)))));
        const __m256 in = _mm256_and_ps(_mm256_cmp_ps(v, vlo, _CMP_GE_OQ),
                                        _mm256_cmp_ps(v, vhi, _CMP_LE_OQ));
        const int bits = _mm256_movemask_ps(in);
        const __m256i perm = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(packs.data() + static_cast<size_t>(bits) * 8));
        _mm256_storeu_ps(out + m, _mm256_permutevar8x32_ps(v, perm));
        m += static_cast<size_t>(_mm_popcnt_u32(static_cast<unsigned>(bits)));
    }
    *below += b;
    return m + bracket_plain(values + i, n - i, lo, hi, out + m, below);
}
#endif

// A buffer of floats that is never cleared: a pass writes only the values inside its bracket, a
// small share, so most of a buffer sized for a whole frame is never touched and the system
// never gives it pages. (A vector would zero all of it: a frame's worth of resident memory on
// every thread that takes a median of a frame.)
class Scratch {
  public:
    float* reserve(size_t n) {
        if (n > size_) {
            data_.reset();  // the old block goes back first, so that the two never coexist
            data_.reset(new float[n]);
            size_ = n;
        }
        return data_.get();
    }

  private:
    std::unique_ptr<float[]> data_;
    size_t size_ = 0;
};

}  // namespace

float kth_smallest(float* values, size_t n, size_t k) {
    // Kept per thread between calls: a stream asks this several times a frame.
    thread_local Scratch inside[2];
    int round = 0;
    while (n > kSearchBelow) {
        float sample[kSample];
        for (size_t i = 0; i < kSample; ++i) {
            sample[i] = values[static_cast<size_t>((2 * uint64_t{i} + 1) * n / (2 * kSample))];
        }
        std::sort(sample, sample + kSample);
        const auto at = static_cast<size_t>(uint64_t{k} * kSample / n);
        const float lo = sample[at > kReach ? at - kReach : 0];
        const float hi = sample[std::min(at + kReach, kSample - 1)];
        float* out = inside[round].reserve(n + 8);  // room for the last vector's whole store
        size_t below = 0;
#if ORVANE_ANALYSIS_AVX2
        const size_t m = have_avx2() ? bracket_avx2(values, n, lo, hi, out, &below)
                                     : bracket_plain(values, n, lo, hi, out, &below);
#else
        const size_t m = bracket_plain(values, n, lo, hi, out, &below);
#endif
        if (k < below || k >= below + m) break;  // the bracket missed: search all
        // Nothing gained (every value inside the bracket, all of them equal to its ends,
        // say): search what is left directly.
        if (m == n) break;
        values = out;
        n = m;
        k -= below;
        round ^= 1;
    }
    std::nth_element(values, values + k, values + n);
    return values[k];
}
