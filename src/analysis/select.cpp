#include "analysis/select.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Blocks few enough to sort out directly.
constexpr size_t kSortBelow = 2048;

uint32_t bits_of(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b & 0x7fffffffu;  // -0 as +0
}

}  // namespace

float kth_nonnegative(float* values, size_t n, size_t k) {
    if (n <= kSortBelow) {
        std::nth_element(values, values + k, values + n);
        return values[k];
    }
    // Three levels: bits 31..21, 20..10 and 9..0 of the pattern. A level's counts show which
    // of its blocks holds the k-th value; the values of that block move to the front while
    // the next level's counts are taken, so each level reads what is left once.
    constexpr int kShift[3] = {21, 10, 0};
    constexpr uint32_t kMask[3] = {0x7ffu, 0x7ffu, 0x3ffu};
    // Four counts side by side: values that fall into the same block (a steady motion makes
    // most of them do so) would otherwise wait on each other's increments.
    static thread_local uint32_t counts[4][2048];
    std::memset(counts, 0, sizeof counts);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++counts[0][bits_of(values[i]) >> 21];
        ++counts[1][bits_of(values[i + 1]) >> 21];
        ++counts[2][bits_of(values[i + 2]) >> 21];
        ++counts[3][bits_of(values[i + 3]) >> 21];
    }
    for (; i < n; ++i) ++counts[0][bits_of(values[i]) >> 21];
    uint32_t prefix = 0;  // the chosen blocks' bits so far
    for (int level = 0;; ++level) {
        uint32_t block = 0;
        for (;; ++block) {
            const size_t c = static_cast<size_t>(counts[0][block]) + counts[1][block] +
                             counts[2][block] + counts[3][block];
            if (k < c) break;
            k -= c;
        }
        prefix |= block << kShift[level];
        // Every value of the last level's block has the same bits: the answer.
        if (level == 2) break;
        std::memset(counts, 0, sizeof counts);
        const int shift = kShift[level], next = kShift[level + 1];
        const uint32_t mask = kMask[level], next_mask = kMask[level + 1];
        size_t m = 0;
        for (i = 0; i < n; ++i) {
            const uint32_t b = bits_of(values[i]);
            if (((b >> shift) & mask) != block) continue;
            values[m++] = values[i];
            ++counts[m & 3][(b >> next) & next_mask];
        }
        n = m;
        if (n <= kSortBelow) {
            std::nth_element(values, values + k, values + n);
            return values[k];
        }
    }
    float answer;
    std::memcpy(&answer, &prefix, sizeof answer);
    return answer;
}
