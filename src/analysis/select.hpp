// The k-th smallest of many floats, for the medians and percentiles that the tracker and the
// affine fit take of every frame (hundreds of thousands of values).
//
// A sorted sample of the values brackets the k-th one between two of its own values; one pass
// counts the values below the bracket and gathers those inside it, a small share, and only those
// are searched further. A partial sort of all the values moves them about many times instead.
// The answer is the value std::nth_element would give.
#pragma once

#include <cstddef>

// The k-th smallest (counted from 0) of values[0 .. n-1], none of them NaN; k < n. The values
// may be reordered.
float kth_smallest(float* values, size_t n, size_t k);
