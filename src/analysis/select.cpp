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
    // Three levels: bits 31..21, 20..10 and 9..0 of the pattern. Each level counts the values
    // whose higher bits match the chosen block, finds the block of this level that holds the
    // k-th, and moves its values to the front.
    struct Level {
        int shift;
        uint32_t mask;
    };
    constexpr Level kLevels[3] = {{21, 0x7ffu}, {10, 0x7ffu}, {0, 0x3ffu}};
    uint32_t prefix = 0;  // the chosen blocks' bits so far
    for (int level = 0; level < 3 && n > kSortBelow; ++level) {
        const int shift = kLevels[level].shift;
        const uint32_t mask = kLevels[level].mask;
        // Four counts side by side: values that fall into the same block (a steady motion
        // makes most of them do so) would otherwise wait on each other's increments.
        static thread_local uint32_t counts[4][2048];
        std::memset(counts, 0, sizeof counts);
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            ++counts[0][(bits_of(values[i]) >> shift) & mask];
            ++counts[1][(bits_of(values[i + 1]) >> shift) & mask];
            ++counts[2][(bits_of(values[i + 2]) >> shift) & mask];
            ++counts[3][(bits_of(values[i + 3]) >> shift) & mask];
        }
        for (; i < n; ++i) ++counts[0][(bits_of(values[i]) >> shift) & mask];
        uint32_t block = 0;
        for (;; ++block) {
            const size_t c = static_cast<size_t>(counts[0][block]) + counts[1][block] +
                             counts[2][block] + counts[3][block];
            if (k < c) break;
            k -= c;
        }
        prefix |= block << shift;
        size_t m = 0;
        for (i = 0; i < n; ++i) {
            const float v = values[i];
            values[m] = v;
            m += ((bits_of(v) >> shift) & mask) == block;
        }
        n = m;
        if (level == 2) {
            // Every value left has the same bits: the answer.
            float answer;
            std::memcpy(&answer, &prefix, sizeof answer);
            return answer;
        }
    }
    std::nth_element(values, values + k, values + n);
    return values[k];
}
