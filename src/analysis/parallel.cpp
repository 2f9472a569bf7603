#include "analysis/parallel.hpp"

#include <algorithm>
#include <thread>
#include <vector>

void parallel_for(int threads, int jobs, const std::function<void(int job)>& run) {
    const int n = std::min(threads, jobs);
    if (n <= 1) {
        for (int j = 0; j < jobs; ++j) run(j);
        return;
    }
    // Thread t takes jobs t, t + n, t + 2n, ...; the calling thread is thread 0.
    auto share = [&](int t) {
        for (int j = t; j < jobs; j += n) run(j);
    };
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<size_t>(n - 1));
    for (int t = 1; t < n; ++t) helpers.emplace_back(share, t);
    share(0);
    for (std::thread& h : helpers) h.join();
}
