// The dense-flow solver and the window parser on hand-made moment images.
#include "analysis/dense_flow.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

TEST(DenseFlow, SolvesTheWindowedSystemAndJudgesTheTexture) {
    struct Case {
        const char* what;
        float xx, yy, xy;  // per-pixel tensor (uniform image)
        bool valid;
    };
    // Ix u + Iy v = -k It with (u, v) = (0.8, -0.3) and k = 1.5: Ixt = -(xx u + xy v) / k.
    const Case cases[] = {
        {"texture in both directions", 9, 4, 1, true},
        {"one edge direction only", 9, 0, 0, false},
        {"too little texture", 0.2f, 0.2f, 0, false},
        {"no texture", 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        const int32_t w = 24, h = 16;
        const double u = 0.8, v = -0.3, k = 1.5;
        GreyImage xx(w, h, c.xx), yy(w, h, c.yy), xy(w, h, c.xy);
        GreyImage xt(w, h, static_cast<float>(-(c.xx * u + c.xy * v) / k));
        GreyImage yt(w, h, static_cast<float>(-(c.xy * u + c.yy * v) / k));
        DenseFlowSolver solver;
        DenseFlow f;
        ASSERT_TRUE(solver.solve({&xx, &yy, &xy, &xt, &yt}, k, nullptr, nullptr, &f)) << c.what;
        const size_t centre = static_cast<size_t>(h / 2) * w + w / 2;
        EXPECT_EQ(f.valid[centre] != 0, c.valid) << c.what;
        EXPECT_NEAR(f.u.data[centre], c.valid ? u : 0.0, 1e-4) << c.what;
        EXPECT_NEAR(f.v.data[centre], c.valid ? v : 0.0, 1e-4) << c.what;
    }
}

TEST(DenseFlow, APredictionIsAddedBackAndBadInputIsRefused) {
    const int32_t w = 16, h = 16;
    GreyImage xx(w, h, 4), yy(w, h, 4), xy(w, h, 0), zero(w, h, 0);
    GreyImage pu(w, h, 2.5f), pv(w, h, -1.0f);
    DenseFlowSolver solver;
    DenseFlow f;
    const FlowPrediction p{&pu, &pv};
    // Nothing left over: the flow is the prediction.
    ASSERT_TRUE(solver.solve({&xx, &yy, &xy, &zero, &zero}, 1.0, &p, nullptr, &f));
    EXPECT_NEAR(f.median_speed(), std::hypot(2.5, 1.0), 1e-4);
    // A NaN or infinite moment leaves its pixel without data, and its neighbours' windows
    // keep theirs; a wrong size or scale fails whole.
    GreyImage nan_xt(w, h, 0), inf_xx = xx;
    nan_xt.at(8, 8) = NAN;
    inf_xx.at(3, 12) = INFINITY;
    ASSERT_TRUE(solver.solve({&inf_xx, &yy, &xy, &nan_xt, &zero}, 1.0, nullptr, nullptr, &f));
    EXPECT_EQ(f.valid_share(), 1.0);
    for (float x : f.u.data) ASSERT_EQ(x, 0.0f);
    GreyImage small(w - 1, h, 0);
    EXPECT_FALSE(solver.solve({&xx, &yy, &xy, &small, &zero}, 1.0, nullptr, nullptr, &f));
    EXPECT_FALSE(solver.solve({&xx, &yy, &xy, &zero, &zero}, 0.0, nullptr, nullptr, &f));
    EXPECT_EQ(f.valid_share(), 0.0);
}

TEST(Window, ParsesWhatUsersWrite) {
    struct Case {
        const char* text;
        bool ok;
        WindowSpec::Kind kind;
        double size;
    };
    const Case cases[] = {
        {"3", true, WindowSpec::Kind::gaussian, 3},
        {"gaussian:2.5", true, WindowSpec::Kind::gaussian, 2.5},
        {"box:9", true, WindowSpec::Kind::box, 9},
        {"box:8", false, {}, 0},
        {"box:1", false, {}, 0},
        {"gaussian:0.1", false, {}, 0},
        {"disc:3", false, {}, 0},
        {"", false, {}, 0},
        {"3px", false, {}, 0},
        {"gaussian:nan", false, {}, 0},
    };
    for (const Case& c : cases) {
        WindowSpec w;
        std::string error;
        EXPECT_EQ(parse_window(c.text, &w, &error), c.ok) << c.text;
        EXPECT_EQ(error.empty(), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(w.kind, c.kind) << c.text;
        EXPECT_EQ(w.size, c.size) << c.text;
        double sum = 0;
        for (float t : window_taps(w)) sum += t;
        EXPECT_NEAR(sum, 1.0, 1e-5) << c.text;
    }
}

}  // namespace

TEST(DenseFlow, MedianSpeedIsTheMiddleOfTheSortedValidSpeeds) {
    struct Case {
        const char* what;
        float lo, hi;  // speeds drawn from this range
        int distinct;  // 0: continuous, else this many values
    };
    const Case cases[] = {
        {"slow and fast mixed", 1e-4f, 20.0f, 0},
        {"many equal speeds", 0.5f, 3.0f, 3},
        {"all one speed", 1.25f, 1.25f, 1},
        {"tiny speeds", 1e-20f, 1e-18f, 0},
    };
    std::mt19937 rng(3);
    for (const Case& c : cases) {
        // Above a few thousand values the median is found by counting, below by sorting.
        for (const int32_t n : {1, 2, 7, 1000, 20000}) {
            DenseFlow f;
            f.u = GreyImage(n, 1), f.v = GreyImage(n, 1);
            f.valid.assign(static_cast<size_t>(n), 1);
            std::vector<float> speeds;
            std::uniform_real_distribution<float> speed(c.lo, c.hi), angle(0, 6.283f);
            for (int32_t i = 0; i < n; ++i) {
                float s = speed(rng);
                if (c.distinct > 0) s = c.lo + (c.hi - c.lo) * float(i % c.distinct) / c.distinct;
                const float a = angle(rng);
                f.u.data[i] = s * std::cos(a), f.v.data[i] = s * std::sin(a);
                // Every third pixel is invalid and its (large) motion must not count.
                if (i % 3 == 2 && n > 2) {
                    f.valid[i] = 0, f.u.data[i] = 1e6f;
                } else {
                    speeds.push_back(
                        std::sqrt(f.u.data[i] * f.u.data[i] + f.v.data[i] * f.v.data[i]));
                }
            }
            std::sort(speeds.begin(), speeds.end());
            EXPECT_EQ(f.median_speed(), speeds[speeds.size() / 2]) << c.what << ", " << n;
        }
    }
    EXPECT_TRUE(std::isnan(DenseFlow().median_speed()));
}
