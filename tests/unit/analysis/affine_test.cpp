// The affine fit on moment images made from a known motion, and the combinations of several
// estimates into one.
#include "analysis/affine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/units.hpp"

namespace {

// Moment images of a scene whose every pixel moves by `truth`, with gradients that vary from
// pixel to pixel as texture does, and It as the filters would measure it with the given gain.
struct Scene {
    GreyImage Ix2, Iy2, Ixy, Ixt, Iyt, It;
    MomentImages moments() const { return {&Ix2, &Iy2, &Ixy, &Ixt, &Iyt}; }
};

Scene make_scene(const AffineMotion& truth, double gain_t, int32_t columns = 96, int32_t lines = 64,
                 const AffineMotion* outlier = nullptr) {
    Scene s;
    for (GreyImage* img : {&s.Ix2, &s.Iy2, &s.Ixy, &s.Ixt, &s.Iyt, &s.It}) {
        *img = GreyImage(columns, lines);
    }
    for (int32_t y = 0; y < lines; ++y) {
        for (int32_t x = 0; x < columns; ++x) {
            const double ix = 20.0 * std::sin(0.37 * x + 0.11 * y) + 5.0 * std::cos(0.05 * x * y);
            const double iy = 20.0 * std::cos(0.29 * y - 0.17 * x) + 4.0 * std::sin(0.7 * x);
            // A square in the upper left corner moves on its own when an outlier is given.
            const bool own = outlier && x < columns / 4 && y < lines / 4;
            const AffineMotion& m = own ? *outlier : truth;
            // Ix u + Iy v = -(gs / gt) It  for the measured derivatives.
            const double it = -(gain_t / kSpatialGain) * (ix * m.u(x, y) + iy * m.v(x, y));
            s.Ix2.at(x, y) = static_cast<float>(ix * ix);
            s.Iy2.at(x, y) = static_cast<float>(iy * iy);
            s.Ixy.at(x, y) = static_cast<float>(ix * iy);
            s.Ixt.at(x, y) = static_cast<float>(ix * it);
            s.Iyt.at(x, y) = static_cast<float>(iy * it);
            s.It.at(x, y) = static_cast<float>(it);
        }
    }
    return s;
}

AffineMotion motion(double a1, double a2, double a3, double a4, double a5, double a6) {
    AffineMotion m;
    m.a = {a1, a2, a3, a4, a5, a6};
    return m;
}

}  // namespace

TEST(AffineEstimator, RecoversTheMotionThatMadeTheMoments) {
    struct Case {
        const char* name;
        AffineMotion truth;
        double gain_t;
    };
    const Case cases[] = {
        {"pan, batch gain", motion(0.4, 0, 0, -0.25, 0, 0), batch_temporal_gain()},
        {"pan, recursive gain", motion(0.4, 0, 0, -0.25, 0, 0), 1.0},
        {"zoom about the centre", motion(-0.095, 0.002, 0, -0.063, 0, 0.002), 1.0},
        {"rotation", motion(0.05, 0, -0.0015, -0.07, 0.0015, 0), batch_temporal_gain()},
        {"everything, start-up gain", motion(0.3, 0.001, -0.002, 0.1, 0.0015, -0.001), 0.75},
    };
    const AffineEstimator estimator(2);
    for (const Case& c : cases) {
        const Scene s = make_scene(c.truth, c.gain_t);
        for (bool robust : {false, true}) {
            const auto got = robust ? estimator.estimate_robust(s.moments(), s.It, c.gain_t)
                                    : estimator.estimate(s.moments(), c.gain_t);
            ASSERT_TRUE(got.has_value()) << c.name;
            for (int i = 0; i < 6; ++i) {
                EXPECT_NEAR(got->a[i], c.truth.a[i], 2e-6)
                    << c.name << (robust ? " (robust)" : " (plain)") << ": a" << i + 1;
            }
        }
    }
}

TEST(AffineEstimator, RobustFitIgnoresAnObjectMovingOnItsOwn) {
    const AffineMotion background = motion(0.45, 0.002, -0.0015, 0.2, 0.0015, 0.002);
    const AffineMotion object = motion(-1.5, 0, 0, 1.2, 0, 0);
    const double gain = batch_temporal_gain();
    const Scene s = make_scene(background, gain, 96, 64, &object);
    const AffineEstimator estimator(2);
    const auto plain = estimator.estimate(s.moments(), gain);
    const auto robust = estimator.estimate_robust(s.moments(), s.It, gain);
    ASSERT_TRUE(plain && robust);
    // The object covers 1/16 of the image: enough to pull the plain fit well off the pan.
    EXPECT_GT(std::fabs(plain->a[0] - background.a[0]), 0.05);
    EXPECT_NEAR(robust->pan_x(47.5, 31.5), background.pan_x(47.5, 31.5), 0.01);
    EXPECT_NEAR(robust->pan_y(47.5, 31.5), background.pan_y(47.5, 31.5), 0.01);
}

TEST(AffineEstimator, RefusesImagesThatCannotFixTheMotion) {
    const AffineEstimator estimator(2);
    GreyImage zero(32, 32, 0.0f);
    EXPECT_FALSE(estimator.estimate({&zero, &zero, &zero, &zero, &zero}, 1.0).has_value())
        << "a flat image";
    // Gradients only along x: v is not determined.
    GreyImage ix2(32, 32, 4.0f), ixt(32, 32, 1.0f);
    EXPECT_FALSE(estimator.estimate({&ix2, &zero, &zero, &ixt, &zero}, 1.0).has_value())
        << "a one-dimensional texture";
    const Scene s = make_scene(motion(0.1, 0, 0, 0.1, 0, 0), 1.0);
    EXPECT_FALSE(estimator.estimate(s.moments(), 0.0).has_value()) << "no valid time derivative";
    GreyImage nan(96, 64, NAN);
    EXPECT_FALSE(estimator.estimate({&nan, &s.Iy2, &s.Ixy, &s.Ixt, &s.Iyt}, 1.0).has_value())
        << "non-finite moments";
}

TEST(AffineEstimator, TemporalGainsOfTheTwoRules) {
    // The batch weight is the float nearest 0.8867, not the spatial tap 227/256.
    EXPECT_NEAR(batch_temporal_gain(), 6.0 * 0.8866999745368958 - 4.0, 1e-12);
    const double recursive[][2] = {{1, 0.0}, {2, 0.5}, {3, 0.75}, {5, 0.9375}, {200, 1.0}};
    for (const auto& r : recursive) {
        EXPECT_DOUBLE_EQ(recursive_temporal_gain(static_cast<int64_t>(r[0])), r[1])
            << "frame " << r[0];
    }
}

TEST(AffineMotion, MedianTakesEachParameterOnItsOwn) {
    const std::vector<AffineMotion> list = {motion(1, 0, 0, 5, 0, 0), motion(3, 0, 0, -1, 0, 0),
                                            motion(2, 9, 0, 0, 0, 0)};
    const auto med = median_motion(list);
    ASSERT_TRUE(med);
    EXPECT_EQ(med->a[0], 2);
    EXPECT_EQ(med->a[3], 0);
    EXPECT_EQ(med->a[1], 0);
    EXPECT_FALSE(median_motion({}).has_value());
    // The trimmed mean: ten estimates lose the lowest and the highest of each parameter.
    std::vector<AffineMotion> ten;
    for (int i = 0; i < 10; ++i) ten.push_back(motion(i == 9 ? 100 : i, 0, 0, 1, 0, 0));
    const auto mean = trimmed_mean_motion(ten);
    ASSERT_TRUE(mean);
    EXPECT_DOUBLE_EQ(mean->a[0], 4.5);  // (1 + ... + 8) / 8: the wild 100 does not count
    EXPECT_DOUBLE_EQ(mean->a[3], 1.0);
    EXPECT_DOUBLE_EQ(trimmed_mean_motion(list)->a[0], 2.0);  // too few to trim: the mean
    EXPECT_FALSE(trimmed_mean_motion({}).has_value());
}

