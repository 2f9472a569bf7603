// The k-th smallest of many floats, for the medians and percentiles that the tracker and the
// affine fit take of every frame (hundreds of thousands of values).
//
// A sorted sample of the values brackets the k-th one between two of its own values; one pass
// counts the values below the bracket and gathers those inside it, a small share, and only those
// are searched further. A partial sort of all the values moves them about many times instead.
// The answer is the value std::nth_element would give.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

// The k-th smallest (counted from 0) of values[0 .. n-1], none of them NaN; k < n. The values
// may be reordered.
float kth_smallest(float* values, size_t n, size_t k);

// The same for values that are never negative (nor NaN), without a copy of them: each call of
// `for_each(sink)` hands every value to `sink(float)`, in any order. Such floats are ordered as
// their bit patterns are as unsigned integers, so three counting passes find the k-th pattern
// 11, 11 and 10 bits at a time. For values made on the fly from images (a median of a frame) it
// saves a frame-sized copy; k is below the number of values.
template <class ForEach>
float kth_smallest_nonnegative(size_t k, ForEach&& for_each) {
    constexpr int kPasses = 3;
    constexpr int kShift[kPasses] = {21, 10, 0};
    constexpr uint32_t kBins[kPasses] = {2048, 2048, 1024};
    uint32_t prefix = 0;  // the bits of the answer found so far, in place
    uint32_t known = 0;   // which bits those are
    for (int pass = 0; pass < kPasses; ++pass) {
        std::array<size_t, 2048> count{};
        const int shift = kShift[pass];
        const uint32_t mask = kBins[pass] - 1;
        for_each([&](float v) {
            const uint32_t bits = std::bit_cast<uint32_t>(v + 0.0f);  // -0 counts as +0
            if ((bits & known) == prefix) ++count[(bits >> shift) & mask];
        });
        uint32_t bin = 0;
        while (k >= count[bin]) k -= count[bin++];
        prefix |= bin << shift;
        known |= mask << shift;
    }
    return std::bit_cast<float>(prefix);
}
