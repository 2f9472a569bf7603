// The camera path: accumulation of the steps, smoothing, the stabilising warps, the crop zoom
// and the shake measure, on paths whose answer is known.
#include "analysis/camera_path.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "analysis/motion_test_support.hpp"

namespace {

constexpr int32_t kColumns = 320, kLines = 240;
constexpr double kCx = 0.5 * (kColumns - 1), kCy = 0.5 * (kLines - 1);

// The step p -> p + d + B (p - c) about the centre.
AffineMotion step_about_centre(double dx, double dy, double rotation = 0, double zoom = 0) {
    return motion_test::about_centre(kColumns, kLines, dx, dy, rotation, zoom);
}

std::vector<double> times(size_t n, double fps = 25) {
    std::vector<double> t(n);
    for (size_t i = 0; i < n; ++i) t[i] = static_cast<double>(i) / fps;
    return t;
}

// The largest distance between two maps over the centre and corners [px].
double map_distance(const Affine2D& a, const Affine2D& b) {
    double worst = 0;
    for (const auto& [x, y] : {std::pair{kCx, kCy}, {0.0, 0.0}, {2 * kCx, 0.0}, {0.0, 2 * kCy},
                               {2 * kCx, 2 * kCy}}) {
        worst = std::max(worst, std::hypot(a.x(x, y) - b.x(x, y), a.y(x, y) - b.y(x, y)));
    }
    return worst;
}

// steps[f] for f >= 1 from a function of f; steps[0] empty.
template <class F>
std::vector<std::optional<AffineMotion>> steps_of(size_t n, F step) {
    std::vector<std::optional<AffineMotion>> s(n);
    for (size_t f = 1; f < n; ++f) s[f] = step(f);
    return s;
}

TEST(CameraPath, AccumulatesTheSteps) {
    const auto path = camera_path(steps_of(4, [](size_t) { return step_about_centre(1.5, -2); }));
    ASSERT_EQ(path.size(), 4u);
    EXPECT_LT(map_distance(path[0], Affine2D{}), 1e-12) << "frame 0 is the reference";
    EXPECT_NEAR(path[3].x(kCx, kCy) - kCx, 4.5, 1e-12);
    EXPECT_NEAR(path[3].y(kCx, kCy) - kCy, -6.0, 1e-12);
}

TEST(CameraPath, AMissingStepRepeatsTheOneBefore) {
    auto steps = steps_of(5, [](size_t) { return step_about_centre(2, 0); });
    steps[3].reset();
    int64_t missing = 0;
    const auto path = camera_path(steps, &missing);
    EXPECT_EQ(missing, 1);
    EXPECT_NEAR(path[4].x(kCx, kCy) - kCx, 8.0, 1e-12);
}

// Paths that smoothing must leave as they are: steady motions of every kind.
struct SteadyCase {
    const char* name;
    AffineMotion step;
    bool tripod;
};

class SteadyPath : public ::testing::TestWithParam<SteadyCase> {};

TEST_P(SteadyPath, StaysAsItIs) {
    const SteadyCase& c = GetParam();
    const size_t n = 90;
    const auto path = camera_path(steps_of(n, [&](size_t) { return c.step; }));
    const auto smooth = smooth_path(path, times(n), kCx, kCy, {1.0, c.tripod});
    double worst = 0;
    for (size_t f = 0; f < n; ++f) worst = std::max(worst, map_distance(path[f], smooth[f]));
    EXPECT_LT(worst, 1e-6) << c.name << ": smoothing moved the path by " << worst << " px";
    const auto warps = stabilizing_warps(path, smooth);
    EXPECT_NEAR(crop_zoom(warps, kColumns, kLines, 2.0), 1.0, 1e-6) << c.name;
    EXPECT_LT(shake_rms(warps, kColumns, kLines).corners, 1e-6) << c.name;
}

const SteadyCase kSteady[] = {
    {"pan (Gaussian)", step_about_centre(1.3, -0.4), false},
    {"pan (tripod)", step_about_centre(1.3, -0.4), true},
    {"no motion", step_about_centre(0, 0), false},
    // A steady turn is a straight line of the angle: 0.2 rad/frame turns round more than twice.
    {"turning round and round", step_about_centre(0, 0, 0.2, 0), false},
    {"steady zoom", step_about_centre(0, 0, 0, 0.004), true},
};

INSTANTIATE_TEST_SUITE_P(Paths, SteadyPath, ::testing::ValuesIn(kSteady),
                         motion_test::CaseName());

TEST(CameraPath, SmoothingTakesOutTheShake) {
    // A pan of 1 px/frame with the camera jumping 2 px back and forth on every frame: the
    // smoothed path is the pan, and the shake measured is the jump.
    const size_t n = 200;
    std::vector<Affine2D> path(n);
    for (size_t f = 0; f < n; ++f) {
        const double jitter = (f % 2 ? 1.0 : -1.0);
        path[f].t[0] = static_cast<double>(f) + jitter;
    }
    for (const bool tripod : {false, true}) {
        const auto smooth = smooth_path(path, times(n), kCx, kCy, {1.0, tripod});
        for (size_t f = 20; f + 20 < n; ++f) {
            ASSERT_NEAR(smooth[f].t[0], static_cast<double>(f), 0.02)
                << (tripod ? "tripod" : "Gaussian") << ", frame " << f;
        }
        const ShakeRms shake = path_shake(path, times(n), kColumns, kLines, {1.0, tripod});
        EXPECT_NEAR(shake.centre, 1.0, 0.02) << (tripod ? "tripod" : "Gaussian");
        EXPECT_NEAR(shake.corners, 1.0, 0.02) << (tripod ? "tripod" : "Gaussian");
    }
}

TEST(CameraPath, ABendingPathKeepsItsCurveToTheEnds) {
    // A walk that curves (25 px over a period of 10 s) while panning, with a jump of 1 px back
    // and forth on every frame: the smoothed path follows the curve at every frame, the first
    // and last included (a Gaussian average cuts 4 px into it, a parabola 0.7 px at the ends).
    const size_t n = 150;
    const auto t = times(n);
    std::vector<Affine2D> path(n);
    std::vector<double> intended(n);
    for (size_t f = 0; f < n; ++f) {
        intended[f] = 25 * std::sin(2 * M_PI * t[f] / 10) + 30 * t[f];
        path[f].t[0] = intended[f] + (f % 2 ? 1.0 : -1.0);
    }
    const auto smooth = smooth_path(path, t, kCx, kCy, {1.0, false});
    for (size_t f = 0; f < n; ++f) {
        ASSERT_NEAR(smooth[f].t[0], intended[f], 0.35) << "frame " << f;
    }
}

TEST(CameraPath, TimesAreTheFramesOwn) {
    // A variable frame rate: a pan steady in time (not in frames) stays as it is.
    const size_t n = 60;
    std::vector<double> t(n);
    std::vector<Affine2D> path(n);
    for (size_t f = 0; f < n; ++f) {
        t[f] = 0.04 * static_cast<double>(f) + (f % 3 == 0 ? 0.013 : 0.0);
        path[f].t[1] = 30.0 * t[f];
    }
    const auto smooth = smooth_path(path, t, kCx, kCy, {0.5, false});
    for (size_t f = 0; f < n; ++f) EXPECT_NEAR(smooth[f].t[1], 30.0 * t[f], 1e-9) << f;
}

TEST(CameraPath, CropZoomIsTheLeastThatHidesTheBorders) {
    // A warp that reads 12 px to the right: the zoomed half-width must fit in the half-width
    // less 12 px.
    Affine2D w;
    w.t[0] = 12.0;
    const std::vector<Affine2D> warps{Affine2D{}, w};
    const double expected = kCx / (kCx - 12.0);
    EXPECT_NEAR(crop_zoom(warps, kColumns, kLines, 2.0), expected, 1e-4);
    bool enough = true;
    EXPECT_DOUBLE_EQ(crop_zoom(warps, kColumns, kLines, 1.01, &enough), 1.01);
    EXPECT_FALSE(enough) << "a zoom of 1.01 cannot hide 12 px";
}

}  // namespace
