// The k-th smallest value against a partial sort, over contents that make a sample-based
// bracket work, fail or gain nothing.
#include "analysis/select.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

TEST(KthSmallest, IsWhatAPartialSortGives) {
    struct Case {
        const char* what;
        float (*value)(std::mt19937&, size_t i, size_t n);
    };
    const Case cases[] = {
        {"spread", [](std::mt19937& r, size_t, size_t) {
             return std::exponential_distribution<float>(1.0f)(r);
         }},
        {"narrow", [](std::mt19937& r, size_t, size_t) {
             return std::normal_distribution<float>(10.0f, 1e-3f)(r);
         }},
        {"signed", [](std::mt19937& r, size_t, size_t) {
             return std::uniform_real_distribution<float>(-5.0f, 5.0f)(r);
         }},
        {"all equal", [](std::mt19937&, size_t, size_t) { return 2.5f; }},
        {"two values", [](std::mt19937&, size_t i, size_t) { return i % 3 ? 1.0f : 0.0f; }},
        // The places a sample reads hold the largest values: its bracket misses.
        {"sample misled", [](std::mt19937& r, size_t i, size_t n) {
             const size_t at = (i * 1024) % n;  // sample places are odd multiples of n/1024
             const bool sampled = at < 1024 || at + 1024 >= n;
             return sampled ? 1e6f : std::uniform_real_distribution<float>(0.0f, 1.0f)(r);
         }},
    };
    std::mt19937 rng(9);
    for (const Case& c : cases) {
        for (const size_t n : {size_t{1}, size_t{5000}, size_t{100003}}) {
            std::vector<float> values(n);
            for (size_t i = 0; i < n; ++i) values[i] = c.value(rng, i, n);
            for (const size_t k : {size_t{0}, n / 2, n * 9 / 10, n - 1}) {
                std::vector<float> sorted = values, work = values;
                std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k),
                                 sorted.end());
                EXPECT_EQ(kth_smallest(work.data(), n, k), sorted[k])
                    << c.what << ", n " << n << ", k " << k;
                if (*std::min_element(values.begin(), values.end()) < 0) continue;
                const float counted = kth_smallest_nonnegative(k, [&](auto&& sink) {
                    for (float v : values) sink(v);
                });
                EXPECT_EQ(counted, sorted[k]) << c.what << ", n " << n << ", k " << k;
            }
        }
    }
}

}  // namespace
