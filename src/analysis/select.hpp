// The k-th smallest of many non-negative floats, for the medians and percentiles that the
// tracker and the affine fit take of every frame (hundreds of thousands of values).
//
// The bit patterns of floats that are not negative sort as the values do, so the k-th value
// is found by counting: the upper bits first, then only the values in the block that holds the
// k-th one. A few passes that each read the values once take the place of a partial sort,
// which moves them about many times. The answer is the value std::nth_element would give.
#pragma once

#include <cstddef>

// The k-th smallest (counted from 0) of values[0 .. n-1], all of them non-negative (+0 to
// +inf; -0 counts as 0); k < n. The values are reordered.
float kth_nonnegative(float* values, size_t n, size_t k);
