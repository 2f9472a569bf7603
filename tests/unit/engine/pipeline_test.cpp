// What the per-frame pipeline writes: the input stage with its border, the history ring and the
// time window, both temporal rules, the spatial derivatives and the products of every mode.
// Frames go in and buffers come out through the engine's public interface, as a host drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/motion_engine.hpp"
#include "engine_test_support.hpp"
#include "primitives/primitives.hpp"

namespace {

using namespace engine_test;

constexpr int32_t kModes[] = {FLAG_CHANGE_DETECTION, FLAG_AFFINE_PARAMS, FLAG_ORVANE, FLAG_ALL};
const char* td_name(int32_t td) {
    return td == TD_BATCH ? "batch" : "recursive";
}

// Every stated value below holds for the plain kernel variants; the fixture pins them.
class Pipeline : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(prim_fill_slots(0), 1); }
    SlotSnapshot restore_;
};

Image ramp(int32_t columns, int32_t lines, float gx, float gy, float offset = 0.0f) {
    Image f(columns, lines);
    for (int32_t y = 0; y < lines; ++y)
        for (int32_t x = 0; x < columns; ++x) f.at(x, y) = offset + gx * float(x) + gy * float(y);
    return f;
}

TEST_F(Pipeline, ConstantFrameStaysConstantWithZeroDerivatives) {
    struct Case {
        int32_t columns, lines, td, filter;
    };
    const Case cases[] = {{4, 1, TD_RECURSIVE, 0},
                          {4, 1, TD_RECURSIVE, FLAG_INPUT_FILTER},
                          {12, 7, TD_RECURSIVE, FLAG_INPUT_FILTER},
                          {12, 7, TD_BATCH, 0},
                          {12, 7, TD_BATCH, FLAG_INPUT_FILTER}};
    const float c = 37.625f;
    for (const Case& k : cases) {
        const std::string context = std::to_string(k.columns) + "x" + std::to_string(k.lines) +
                                    " " + td_name(k.td) + (k.filter ? " filtered" : "");
        MotionEngine e;
        ASSERT_TRUE(e.create(k.columns, k.lines, 0.01f, k.td, FLAG_ALL | k.filter));
        const Image frame(k.columns, k.lines, c);
        for (int m = 1; m <= 5; ++m) e.process(frame.px.data());
        for (float v : read_bordered(e, e.get_image(EngineImage::Is)).px)
            ASSERT_EQ(v, c) << context << ": Is, border included";
        for (EngineImage which : {EngineImage::Ix, EngineImage::Iy, EngineImage::It}) {
            for (float v : read_plain(e, which).px) ASSERT_EQ(v, 0.0f) << context;
        }
    }
}

// F(x, y) = x with the filter off: 338/256 inside, 169/256 and 367/256 at the edges, Iy = 0.
// In batch mode the derivatives are those of frame n - 2, so they appear from frame 3 on.
TEST_F(Pipeline, RampGivesTheStatedDerivativesAtEveryColumn) {
    struct Case {
        int32_t columns, lines, td, frames;
    };
    const Case cases[] = {{12, 7, TD_RECURSIVE, 1},
                          {4, 1, TD_RECURSIVE, 1},
                          {12, 7, TD_BATCH, 3},
                          {4, 1, TD_BATCH, 6},
                          {128, 128, TD_RECURSIVE, 2}};
    for (const Case& k : cases) {
        const std::string context =
            std::to_string(k.columns) + "x" + std::to_string(k.lines) + " " + td_name(k.td);
        MotionEngine e;
        ASSERT_TRUE(e.create(k.columns, k.lines, 0.01f, k.td, FLAG_AFFINE_PARAMS));
        const Image frame = ramp(k.columns, k.lines, 1.0f, 0.0f);
        for (int32_t m = 1; m <= k.frames; ++m) e.process(frame.px.data());
        const Image ix = read_plain(e, EngineImage::Ix);
        const Image iy = read_plain(e, EngineImage::Iy);
        for (int32_t y = 0; y < k.lines; ++y) {
            for (int32_t x = 0; x < k.columns; ++x) {
                const int32_t edge = std::min(x, k.columns - 1 - x);
                const float expected = edge == 0   ? 0.66015625f
                                       : edge == 1 ? 1.43359375f
                                                   : 1.3203125f;
                ASSERT_EQ(ix.at(x, y), expected) << context << " Ix at x=" << x << " y=" << y;
                ASSERT_EQ(iy.at(x, y), 0.0f) << context << " Iy at x=" << x << " y=" << y;
            }
        }
    }
}

// F = x + 2y away from the edges: the derivatives and their moments.
TEST_F(Pipeline, PlaneGivesTheStatedMoments) {
    MotionEngine e;
    ASSERT_TRUE(e.create(16, 12, 0.01f, TD_RECURSIVE, FLAG_AFFINE_PARAMS));
    const Image frame = ramp(16, 12, 1.0f, 2.0f);
    e.process(frame.px.data());
    const struct {
        EngineImage which;
        float value;
    } expected[] = {{EngineImage::Ix, 1.3203125f},
                    {EngineImage::Iy, 2.640625f},
                    {EngineImage::Ix2, 1.74322509765625f},
                    {EngineImage::Iy2, 6.972900390625f},
                    {EngineImage::Ixy, 3.4864501953125f},
                    {EngineImage::Ixt, 0.0f},
                    {EngineImage::Iyt, 0.0f}};
    for (const auto& [which, value] : expected) {
        const Image image = read_plain(e, which);
        for (int32_t y = 2; y < 10; ++y)
            for (int32_t x = 2; x < 14; ++x)
                ASSERT_EQ(image.at(x, y), value) << int(which) << " at " << x << "," << y;
    }
}

// A single pixel of 256 is spread into the outer product of (31, 60, 74, 60, 31) / 256; at the
// corner the replicated edge folds 31 + 60 + 74 = 165 onto the pixel in both directions.
TEST_F(Pipeline, SmoothingImpulseFarFromTheEdgesAndAtTheCorner) {
    const double w[5] = {31, 60, 74, 60, 31};
    for (int32_t td : {TD_RECURSIVE, TD_BATCH}) {
        MotionEngine e;
        ASSERT_TRUE(e.create(16, 13, 0.01f, td, FLAG_CHANGE_DETECTION | FLAG_INPUT_FILTER));
        Image frame(16, 13);
        frame.at(7, 6) = 256.0f;
        e.process(frame.px.data());
        const Image is = read_interior(e, e.get_image(EngineImage::Is));
        EXPECT_EQ(is.at(7, 6), 21.390625f) << td_name(td);
        for (int32_t y = 0; y < 13; ++y) {
            for (int32_t x = 0; x < 16; ++x) {
                const int dx = x - 7, dy = y - 6;
                const bool near = std::abs(dx) <= 2 && std::abs(dy) <= 2;
                const float expected = near ? float(w[dx + 2] * w[dy + 2] / 256.0) : 0.0f;
                ASSERT_EQ(is.at(x, y), expected) << td_name(td) << " Is at " << x << "," << y;
            }
        }

        Image corner(16, 13);
        corner.at(0, 0) = 256.0f;
        e.process(corner.px.data());
        const Image bordered = read_bordered(e, e.get_image(EngineImage::Is));
        // The corner pixel and the 2x2 border block beyond it all hold the folded value.
        for (int32_t y = 0; y <= 2; ++y)
            for (int32_t x = 0; x <= 2; ++x)
                EXPECT_EQ(bordered.at(x, y), 106.34765625f) << "bordered " << x << "," << y;
    }
}

// Frames whose every pixel equals the frame number, and a pixel that jumps from 0 to 10.
TEST_F(Pipeline, TemporalDerivativeSequencesOfBothRules) {
    const float a = std::bit_cast<float>(uint32_t{0x3F62FEC5});
    const float batch_ramp = float(-4.0 + 6.0 * double(a));
    const float batch_step = float(-10.0 + 10.0 * double(a));
    struct Case {
        const char* name;
        int32_t td;
        std::vector<float> frames;
        std::vector<float> it;
    };
    const std::vector<Case> cases = {
        {"recursive, value = frame number",
         TD_RECURSIVE,
         {1, 2, 3, 4, 5, 6},
         {0, 0.5f, 0.75f, 0.875f, 0.9375f, 0.96875f}},
        {"batch, value = frame number",
         TD_BATCH,
         {1, 2, 3, 4, 5, 6, 7},
         {0, 0, 0, 0, batch_ramp, batch_ramp, batch_ramp}},
        {"recursive, jump 0 -> 10", TD_RECURSIVE, {0, 10, 10, 10, 10}, {0, 5, 2.5f, 1.25f, 0.625f}},
        {"recursive, identical frames", TD_RECURSIVE, {7, 7}, {0, 0}},
        {"batch, jump 0 -> 10",
         TD_BATCH,
         {0, 10, 10, 10, 10, 10, 10},
         {0, 0, 0, 0, batch_step, 0, 0}},
    };
    EXPECT_NEAR(batch_ramp, 1.3202f, 1e-4f);
    EXPECT_NEAR(batch_step, -1.1330f, 1e-4f);
    // Flags without a mode make It alone, with no product image to work in.
    for (const Case& c : cases) {
        for (int32_t mode : {FLAG_CHANGE_DETECTION, 0}) {
            for (int32_t filter : {0, FLAG_INPUT_FILTER}) {
                MotionEngine e;
                ASSERT_TRUE(e.create(8, 3, 0.01f, c.td, mode | filter));
                for (size_t i = 0; i < c.frames.size(); ++i) {
                    const Image frame(8, 3, c.frames[i]);
                    e.process(frame.px.data());
                    const std::string context = std::string(c.name) + (mode ? "" : ", no mode") +
                                                ", frame " + std::to_string(i + 1);
                    const Image it = read_plain(e, EngineImage::It);
                    for (size_t p = 0; p < it.px.size(); ++p)
                        ASSERT_EQ(it.px[p], c.it[i]) << context;
                    if (mode == 0) continue;
                    const Image it2 = read_plain(e, EngineImage::It2);
                    for (size_t p = 0; p < it2.px.size(); ++p)
                        ASSERT_EQ(it2.px[p], c.it[i] * c.it[i]) << context;
                }
            }
        }
    }
}

// Frame m has pixel values 100 m + x + 10 y, so every stored frame is recognisable, and its
// border shows whether it was replicated.
Image numbered_frame(int32_t m, int32_t columns, int32_t lines) {
    Image f(columns, lines);
    for (int32_t y = 0; y < lines; ++y)
        for (int32_t x = 0; x < columns; ++x) f.at(x, y) = float(100 * m + x + 10 * y);
    return f;
}
// The bordered image of frame m: every border pixel repeats the nearest interior pixel.
void expect_bordered_frame(const Image& bordered, int32_t m, int32_t columns, int32_t lines,
                           const std::string& context) {
    const Image f = m >= 1 ? numbered_frame(m, columns, lines) : Image(columns, lines);
    for (int32_t y = -2; y < lines + 2; ++y)
        for (int32_t x = -2; x < columns + 2; ++x)
            ASSERT_EQ(bordered.at(x + 2, y + 2), f.clamped(x, y))
                << context << " (frame " << m << ") at " << x << "," << y;
}

// After frame 7, for instance, the window holds frames 3 to 7 and the ring 6, 7, 3, 4, 5.
TEST_F(Pipeline, HistoryRingAndTimeWindowAfterEachFrame) {
    for (int32_t td : {TD_RECURSIVE, TD_BATCH}) {
        MotionEngine e;
        ASSERT_TRUE(e.create(8, 5, 0.01f, td, FLAG_CHANGE_DETECTION));
        for (int32_t n = 1; n <= 12; ++n) {
            e.process(numbered_frame(n, 8, 5).px.data());
            for (int32_t k = 0; k < 5; ++k) {
                const std::string context = std::string(td_name(td)) + " after frame " +
                                            std::to_string(n) + ", window " + std::to_string(k);
                // Slot k holds frame n - 4 + k, or zeros while that frame does not exist.
                expect_bordered_frame(read_bordered(e, e.get_time_window(k)), n - 4 + k, 8, 5,
                                      context);
            }
            for (int32_t i = 0; i < 5; ++i) {
                // Ring slot i holds the latest frame m with (m - 1) mod 5 = i.
                int32_t latest = 0;
                for (int32_t m = 1; m <= n; ++m)
                    if ((m - 1) % 5 == i) latest = m;
                expect_bordered_frame(read_bordered(e, e.get_history_ring(i)), latest, 8, 5,
                                      std::string(td_name(td)) + " ring slot " + std::to_string(i));
            }
            for (int32_t outside : {-1, 5}) {
                EXPECT_EQ(e.get_history_ring(outside), nullptr) << "ring slot " << outside;
                EXPECT_EQ(e.get_time_window(outside), nullptr) << "window slot " << outside;
            }
        }
    }
}

// In batch mode Ix and Iy belong to frame n - 2: zero on frames 1 and 2 whatever comes in, then
// the derivatives a recursive engine computed two frames earlier.
TEST_F(Pipeline, BatchSpatialDerivativesLagTwoFrames) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(0.0f, 255.0f);
    for (int32_t filter : {0, FLAG_INPUT_FILTER}) {
        MotionEngine batch, recursive;
        ASSERT_TRUE(batch.create(12, 7, 0.01f, TD_BATCH, FLAG_AFFINE_PARAMS | filter));
        ASSERT_TRUE(recursive.create(12, 7, 0.01f, TD_RECURSIVE, FLAG_AFFINE_PARAMS | filter));
        std::vector<Image> ix_history, iy_history;
        for (int32_t n = 1; n <= 6; ++n) {
            Image frame(12, 7);
            for (float& v : frame.px) v = value(rng);
            batch.process(frame.px.data());
            recursive.process(frame.px.data());
            ix_history.push_back(read_plain(recursive, EngineImage::Ix));
            iy_history.push_back(read_plain(recursive, EngineImage::Iy));
            const Image ix = read_plain(batch, EngineImage::Ix);
            const Image iy = read_plain(batch, EngineImage::Iy);
            for (size_t p = 0; p < ix.px.size(); ++p) {
                const float want_x = n <= 2 ? 0.0f : ix_history[n - 3].px[p];
                const float want_y = n <= 2 ? 0.0f : iy_history[n - 3].px[p];
                ASSERT_EQ(ix.px[p], want_x) << "frame " << n << " pixel " << p;
                ASSERT_EQ(iy.px[p], want_y) << "frame " << n << " pixel " << p;
            }
        }
    }
}

// Ix = 3, Iy = 4 and It = 2 at pixel (6, 6) of frame 2 (recursive): along row 6 the frame holds
// 3 and -3 at x = 7, 8, down column 6 it holds 4 and -4 at y = 7, 8 (227 p - 29 q = 768, 1024),
// and the pixel itself jumps by 4 between the frames (It = 4 / 2).
struct GradientCase {
    const char* name;
    int32_t flags;
    float regularizer;
    float jump;  // change of the pixel itself from frame 1 to frame 2
    std::vector<std::pair<EngineImage, float>> expected;
};

void run_gradient_case(const GradientCase& c) {
    Image frame(16, 16);
    frame.at(7, 6) = 3;
    frame.at(8, 6) = -3;
    frame.at(6, 7) = 4;
    frame.at(6, 8) = -4;
    MotionEngine e;
    ASSERT_TRUE(e.create(16, 16, c.regularizer, TD_RECURSIVE, c.flags));
    e.process(frame.px.data());
    frame.at(6, 6) += c.jump;
    e.process(frame.px.data());
    for (const auto& [which, value] : c.expected) {
        const float got = read_plain(e, which).at(6, 6);
        EXPECT_TRUE(same_float(got, value))
            << c.name << ": image " << int(which) << " is " << got << ", expected " << value;
    }
}

TEST_F(Pipeline, FlowAlongTheGradientAtOnePixel) {
    using E = EngineImage;
    const float reg = 0.01f;
    const float ig2_reg = 25.0f + reg;  // float sum, the second operation after Ix2 + Iy2
    const float nan = std::nanf("");
    const std::vector<GradientCase> cases = {
        {"orvane, regularizer 0",
         FLAG_ORVANE,
         0.0f,
         4.0f,
         {{E::Ix, 3},
          {E::Iy, 4},
          {E::It, 2},
          {E::It2, 4},
          {E::Ix2, 9},
          {E::Iy2, 16},
          {E::Ig2, 25},
          {E::Ixt, 6},
          {E::Iyt, 8},
          {E::Fn2, 4.0f / 25.0f},
          {E::Un, 6.0f / 25.0f},
          {E::Vn, 8.0f / 25.0f}}},
        {"all, default regularizer",
         FLAG_ALL,
         reg,
         4.0f,
         {{E::Ig2, ig2_reg},
          {E::Ixy, 12},
          {E::Fn2, 4.0f / ig2_reg},
          {E::Un, 6.0f / ig2_reg},
          {E::Vn, 8.0f / ig2_reg}}},
        {"orvane, negative It flips Un and Vn only",
         FLAG_ORVANE,
         0.0f,
         -4.0f,
         {{E::It, -2},
          {E::Ixt, -6},
          {E::Iyt, -8},
          {E::Fn2, 0.16f},
          {E::Un, -0.24f},
          {E::Vn, -0.32f}}},
        {"affineparams",
         FLAG_AFFINE_PARAMS,
         reg,
         4.0f,
         {{E::Ix2, 9}, {E::Iy2, 16}, {E::Ixy, 12}, {E::Ixt, 6}, {E::Iyt, 8}}},
        // A NaN divisor counts as zero in the division: the positive dividends give +inf.
        {"all, NaN regularizer is added",
         FLAG_ALL,
         nan,
         4.0f,
         {{E::Ig2, nan}, {E::Un, INFINITY}, {E::Fn2, INFINITY}, {E::Ixy, 12}}},
    };
    for (const GradientCase& c : cases) run_gradient_case(c);
    EXPECT_NEAR(6.0f / ig2_reg, 0.23990f, 1e-5f);
    EXPECT_NEAR(8.0f / ig2_reg, 0.31987f, 1e-5f);
    EXPECT_NEAR(4.0f / ig2_reg, 0.15994f, 1e-5f);
}

// Where the gradient vanishes the regularizer alone keeps the quotients finite; without it
// the division's zero-divisor rule shows: NaN for 0 / 0, +inf for a positive dividend.
TEST_F(Pipeline, ZeroGradientQuotients) {
    const float inf = INFINITY;
    const float nan = std::nanf("");
    struct Case {
        const char* name;
        float regularizer;
        float second_frame;  // first frame is 1 everywhere; It = (second - 1) / 2
        float ig2, fn2, un, vn;
    };
    const Case cases[] = {
        {"It = 0, regularizer 0", 0.0f, 1.0f, 0.0f, nan, nan, nan},
        {"It = 1, regularizer 0", 0.0f, 3.0f, 0.0f, inf, nan, nan},
        {"It = 0, default regularizer", 0.01f, 1.0f, 0.01f, 0.0f, 0.0f, 0.0f},
        {"It = 1, default regularizer", 0.01f, 3.0f, 0.01f, 1.0f / 0.01f, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        for (int32_t mode : {FLAG_ORVANE, FLAG_ALL}) {
            MotionEngine e;
            ASSERT_TRUE(e.create(8, 4, c.regularizer, TD_RECURSIVE, mode));
            e.process(Image(8, 4, 1.0f).px.data());
            e.process(Image(8, 4, c.second_frame).px.data());
            const std::pair<EngineImage, float> expected[] = {{EngineImage::Ig2, c.ig2},
                                                              {EngineImage::Fn2, c.fn2},
                                                              {EngineImage::Un, c.un},
                                                              {EngineImage::Vn, c.vn}};
            for (const auto& [which, value] : expected) {
                for (float got : read_plain(e, which).px)
                    ASSERT_TRUE(same_float(got, value))
                        << c.name << " " << mode_name(mode) << ": image " << int(which) << " is "
                        << got << ", expected " << value;
            }
        }
    }
}

// Random frames through every mode, time rule and filter setting, compared with the model
// pixel by pixel and bit for bit (the plain variants round exactly as the model does).
TEST_F(Pipeline, MatchesTheReferenceModelBitForBit) {
    struct Geometry {
        int32_t columns, lines;
    };
    const Geometry sizes[] = {{4, 1}, {12, 7}, {20, 13}, {128, 128}};
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> value(0.0f, 255.0f);
    for (const Geometry& g : sizes) {
        for (int32_t mode : kModes) {
            if (g.columns == 128 && mode != FLAG_ALL) continue;  // the big size once per rule
            for (int32_t td : {TD_RECURSIVE, TD_BATCH}) {
                for (int32_t filter : {0, FLAG_INPUT_FILTER}) {
                    const float reg = mode == FLAG_ORVANE ? 0.0f : 0.01f;
                    const ModelSettings s{g.columns, g.lines, reg, td, mode | filter};
                    ReferenceModel model(s);
                    MotionEngine e;
                    ASSERT_TRUE(e.create(s.columns, s.lines, s.regularizer, td, s.flags));
                    for (int32_t n = 1; n <= 7; ++n) {
                        Image frame(g.columns, g.lines);
                        for (float& v : frame.px) v = value(rng);
                        model.process(frame);
                        e.process(frame.px.data());
                        const std::string context =
                            std::to_string(g.columns) + "x" + std::to_string(g.lines) + " " +
                            mode_name(mode) + " " + td_name(td) + (filter ? " filtered" : "") +
                            ", frame " + std::to_string(n) + ", image ";
                        for (const auto& [which, want] : model.outputs()) {
                            const Image got = which == EngineImage::Is
                                                  ? read_interior(e, e.get_image(which))
                                                  : read_plain(e, which);
                            for (size_t p = 0; p < want.px.size(); ++p)
                                ASSERT_TRUE(same_float(got.px[p], want.px[p]))
                                    << context << int(which) << " pixel " << p << ": " << got.px[p]
                                    << " vs " << want.px[p];
                        }
                    }
                }
            }
        }
    }
}

// A smooth texture moving by (u, v) pixels per frame obeys It = -(u Ix + v Iy) once each
// derivative is divided by its filter's gain: 338/256 for the spatial kernel, 1 for the
// recursive rule in steady state, 6a - 4 for the batch rule. Checked with every variant column.
TEST(PipelinePhysics, TranslatedTextureObeysTheBrightnessConstancy) {
    const double a = double(std::bit_cast<float>(uint32_t{0x3F62FEC5}));
    const double spatial_gain = 338.0 / 256.0;
    const double u = 0.25, v = -0.15;
    const double two_pi = 6.283185307179586;
    auto texture = [&](double x, double y) {
        return 200.0 + 80.0 * std::sin(two_pi * x / 71.0 + 0.3) +
               60.0 * std::cos(two_pi * y / 59.0 + 1.1) + 40.0 * std::sin(two_pi * (x + y) / 83.0);
    };
    const int32_t columns = 96, lines = 64, frames = 24, margin = 6;
    struct Case {
        int32_t td;
        double temporal_gain;
        // Of the largest predicted |It|. The recursive rule averages differences centred about
        // 1.5 frames back while Ix, Iy are the current frame's: that lag alone costs 3 % here.
        // The batch rule and its spatial derivatives share frame n - 2 and agree to 4e-5.
        double tolerance;
    };
    const Case cases[] = {{TD_RECURSIVE, 1.0, 0.04}, {TD_BATCH, 6.0 * a - 4.0, 0.001}};
    for (int32_t column = 0; column < 4; ++column) {
        SlotSnapshot restore;
        if (prim_fill_slots(column) != 1) continue;  // no complete variant set in this column
        for (const Case& c : cases) {
            for (int32_t filter : {0, FLAG_INPUT_FILTER}) {
                const std::string context = "column " + std::to_string(column) + " " +
                                            td_name(c.td) + (filter ? " filtered" : "");
                MotionEngine e;
                ASSERT_TRUE(e.create(columns, lines, 0.01f, c.td, FLAG_ALL | filter));
                Image frame(columns, lines);
                for (int32_t m = 1; m <= frames; ++m) {
                    for (int32_t y = 0; y < lines; ++y)
                        for (int32_t x = 0; x < columns; ++x)
                            frame.at(x, y) = float(texture(x - u * m, y - v * m));
                    e.process(frame.px.data());
                }
                const Image it = read_plain(e, EngineImage::It);
                const Image ix = read_plain(e, EngineImage::Ix);
                const Image iy = read_plain(e, EngineImage::Iy);
                double worst = 0.0, largest = 0.0;
                for (int32_t y = margin; y < lines - margin; ++y) {
                    for (int32_t x = margin; x < columns - margin; ++x) {
                        const double predicted =
                            -(u * ix.at(x, y) + v * iy.at(x, y)) / spatial_gain * c.temporal_gain;
                        largest = std::max(largest, std::abs(predicted));
                        worst = std::max(worst, std::abs(it.at(x, y) - predicted));
                    }
                }
                ASSERT_GT(largest, 1.0) << context << ": the texture must move visibly";
                EXPECT_LT(worst, c.tolerance * largest) << context;
            }
        }
    }
}

}  // namespace
