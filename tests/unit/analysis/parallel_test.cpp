// The job runner of the flow analysis: every job once, whatever the thread count, nesting and
// callers on other threads; and the tracker's results do not depend on its threads.
#include "analysis/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "analysis/tracker.hpp"

namespace {

TEST(ParallelFor, EveryJobRunsOnceWhateverTheThreadsNestingAndCallers) {
    for (const int threads : {1, 2, 3, 8}) {
        for (const int jobs : {0, 1, 5, 64}) {
            // Two callers at once, each with jobs that start jobs of their own.
            std::vector<std::atomic<int>> runs(static_cast<size_t>(2 * jobs * 4));
            auto caller = [&](int c) {
                parallel_for(threads, jobs, [&](int j) {
                    parallel_for(threads, 4, [&](int k) { ++runs[(c * jobs + j) * 4 + k]; });
                });
            };
            std::thread other(caller, 1);
            caller(0);
            other.join();
            for (size_t i = 0; i < runs.size(); ++i) {
                ASSERT_EQ(runs[i].load(), 1) << threads << " threads, " << jobs << " jobs, " << i;
            }
        }
    }
}

TEST(FlowTracker, TwoThreadsGiveTheResultsOfOne) {
    const int32_t columns = 96, lines = 72;
    auto frame = [&](int t) {
        GreyImage g(columns, lines);
        for (int32_t y = 0; y < lines; ++y) {
            for (int32_t x = 0; x < columns; ++x) {
                const double u = x - 1.7 * t, v = y + 0.6 * t;
                g.at(x, y) = static_cast<float>(128 + 50 * std::sin(0.31 * u) * std::cos(0.23 * v) +
                                                20 * std::sin(0.11 * u + 0.17 * v));
            }
        }
        return g;
    };
    std::vector<FlowResult> results[2];
    for (const int threads : {1, 2}) {
        TrackerSettings s;
        s.dense.threads = threads;
        FlowTracker tracker(columns, lines, s);
        for (int t = 0; t < 8; ++t) {
            if (tracker.push(frame(t))) results[threads - 1].push_back(tracker.result());
        }
    }
    ASSERT_EQ(results[0].size(), 4u);
    ASSERT_EQ(results[1].size(), 4u);
    for (size_t i = 0; i < results[0].size(); ++i) {
        const FlowResult &a = results[0][i], &b = results[1][i];
        EXPECT_EQ(a.flow.u.data, b.flow.u.data) << i;
        EXPECT_EQ(a.flow.v.data, b.flow.v.data) << i;
        EXPECT_EQ(a.flow.valid, b.flow.valid) << i;
        ASSERT_TRUE(a.affine && b.affine);
        EXPECT_EQ(a.affine->a, b.affine->a) << i;
    }
}

}  // namespace
