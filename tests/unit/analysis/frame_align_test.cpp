// FrameAligner on frame pairs whose motion is known exactly: a band-limited texture (a sum of
// plane waves, so any sub-pixel position is exact) seen through a known affine map.
#include "analysis/frame_align.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "analysis/camera_path.hpp"
#include "analysis/motion_test_support.hpp"

namespace {

constexpr int32_t kColumns = 192, kLines = 144;

// Plane waves of periods 7 to 60 pixels in several directions: texture in every direction and
// no repeat within the searched range.
double texture(double x, double y) {
    static const double waves[][4] = {{0.105, 0.021, 0.0, 30}, {-0.037, 0.139, 1.0, 24},
                                      {0.21, -0.17, 2.0, 18},  {0.55, 0.31, 0.5, 10},
                                      {-0.41, 0.74, 2.5, 8},   {0.83, -0.12, 1.7, 6}};
    double v = 128;
    for (const auto& w : waves) v += w[3] * std::sin(w[0] * x + w[1] * y + w[2]);
    return v;
}

// The texture seen through `to_texture` (frame pixel -> texture position); a square patch of
// other content at (px, py) when side > 0, and Gaussian noise of `noise` grey levels.
GreyImage render(const Affine2D& to_texture, double noise = 0, double px = 0, double py = 0,
                 int32_t side = 0, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> n01;
    GreyImage g(kColumns, kLines);
    for (int32_t y = 0; y < kLines; ++y) {
        for (int32_t x = 0; x < kColumns; ++x) {
            double v = texture(to_texture.x(x, y), to_texture.y(x, y));
            if (side > 0 && x >= px && x < px + side && y >= py && y < py + side) {
                v = 128 + 60 * std::sin(0.9 * x) * std::cos(0.7 * y);
            }
            if (noise > 0) v += noise * n01(rng);
            g.at(x, y) = static_cast<float>(v);
        }
    }
    return g;
}

// The largest distance between two motions over the four corner pixels [px].
double corner_error(const AffineMotion& a, const AffineMotion& b) {
    double worst = 0;
    for (const double x : {0.0, kColumns - 1.0}) {
        for (const double y : {0.0, kLines - 1.0}) {
            worst = std::max(worst, std::hypot(a.u(x, y) - b.u(x, y), a.v(x, y) - b.v(x, y)));
        }
    }
    return worst;
}

// The motion p -> p + d + B (p - c) about the frame centre.
AffineMotion motion_about_centre(double dx, double dy, double rotation, double zoom,
                                 double shear = 0) {
    return motion_test::about_centre(kColumns, kLines, dx, dy, rotation, zoom, shear);
}

// Tolerances: the cubic reading of the second frame shifts the finest waves (6 px) by its
// sub-pixel position, which leaves a few thousandths of a pixel.
struct Case {
    const char* name;
    AffineMotion motion;  // from the first frame to the second
    double noise;         // [grey levels]
    int32_t patch;        // side of a square of other content in the second frame [px]
    double tolerance;     // [px] at the corners
    int32_t reduction = 1;  // AlignSettings::reduction
};

class FrameAlignCase : public ::testing::TestWithParam<Case> {};

TEST_P(FrameAlignCase, RecoversTheMotion) {
    const Case& c = GetParam();
    // first(x) = texture(x); second shows at p what first showed at motion^-1(p).
    const Affine2D map = Affine2D::from_motion(c.motion);
    const GreyImage first = render(Affine2D{}, c.noise, 0, 0, 0, 1);
    const GreyImage second = render(map.inverse(), c.noise, 60, 40, c.patch, 2);
    AlignSettings settings;
    settings.reduction = c.reduction;
    FrameAligner aligner(settings);
    const auto got = aligner.align(first, second);
    ASSERT_TRUE(got.has_value()) << c.name << ": no motion found";
    const double err = corner_error(*got, c.motion);
    EXPECT_LT(err, c.tolerance) << c.name << ": the corners are " << err << " px off";
}

const Case kCases[] = {
    {"no motion", motion_about_centre(0, 0, 0, 0), 0, 0, 0.01},
    {"sub-pixel pan", motion_about_centre(0.37, -0.21, 0, 0), 0, 0, 0.01},
    {"shake of 6 px", motion_about_centre(-5.6, 3.3, 0, 0), 0, 0, 0.01},
    {"pan 14 px (the coarsest level's search)", motion_about_centre(13.5, -4.2, 0, 0), 0, 0,
     0.01},
    {"rotation 5 mrad and zoom 0.5 %", motion_about_centre(1.2, 0.8, 0.005, 0.005), 0, 0,
     0.01},
    {"rotation 40 mrad", motion_about_centre(-2.0, 1.0, 0.04, -0.01), 0, 0, 0.01},
    {"shear", motion_about_centre(0.5, 0.5, 0, 0, 0.004), 0, 0, 0.01},
    {"noise of 2 grey levels", motion_about_centre(2.5, -1.5, 0.002, 0.001), 2.0, 0, 0.03},
    {"object covering 10 %", motion_about_centre(3.1, 2.2, 0.003, 0), 0, 52, 0.02},
    // Reduced frames: as precise in their own pixels, so coarser in the frame's.
    {"reduced by 2", motion_about_centre(2.5, -1.5, 0.004, 0.003), 0, 0, 0.02, 2},
    {"reduced by 4", motion_about_centre(2.5, -1.5, 0.004, 0.003), 0, 0, 0.04, 4},
};

INSTANTIATE_TEST_SUITE_P(Motions, FrameAlignCase, ::testing::ValuesIn(kCases),
                         motion_test::CaseName());

TEST(FrameAlign, FlatFramesGiveNoMotion) {
    const GreyImage flat(kColumns, kLines, 100.0f);
    FrameAligner aligner;
    EXPECT_FALSE(aligner.align(flat, flat).has_value());
}

TEST(FrameAlign, FramesOfDifferentSizesGiveNoMotion) {
    FrameAligner aligner;
    EXPECT_FALSE(aligner.align(render(Affine2D{}), GreyImage(64, 48, 1.0f)).has_value());
}

TEST(FrameAlign, AStreamGivesEachStep) {
    // A shaky path: each push measures the step from the frame before.
    const double jumps[][2] = {{0, 0}, {3.2, -1.1}, {-4.5, 2.0}, {0.3, 0.4}, {5.1, -3.3}};
    FrameAligner aligner;
    Affine2D path;  // frame 0 content -> frame f
    for (size_t f = 0; f < std::size(jumps); ++f) {
        const AffineMotion step = motion_about_centre(jumps[f][0], jumps[f][1], 0.001 * f, 0);
        if (f > 0) path = Affine2D::from_motion(step).after(path);
        const auto got = aligner.push(render(path.inverse()));
        if (f == 0) {
            EXPECT_FALSE(got.has_value()) << "the first frame has no step";
            continue;
        }
        ASSERT_TRUE(got.has_value()) << "frame " << f;
        EXPECT_LT(corner_error(*got, step), 0.01) << "frame " << f;
    }
    aligner.reset();
    EXPECT_FALSE(aligner.push(render(Affine2D{})).has_value()) << "after a reset";
}

}  // namespace
