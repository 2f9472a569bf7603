// The tracker and the dense flow on frames whose motion is known exactly: a band-limited
// texture (a sum of plane waves, so any sub-pixel shift is exact) under a pure translation.
#include "analysis/tracker.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "analysis/component_session.hpp"

namespace {

constexpr int32_t kColumns = 128, kLines = 96;

// Plane waves of periods 6 to 40 pixels in several directions: texture in every direction.
double texture(double x, double y) {
    static const double waves[][4] = {{0.31, 0.07, 0.0, 30},  {-0.11, 0.42, 1.0, 24},
                                      {0.19, -0.23, 2.0, 20}, {0.67, 0.35, 0.5, 10},
                                      {-0.45, 0.81, 2.5, 8},  {0.05, 0.16, 1.7, 26}};
    double v = 128;
    for (const auto& w : waves) v += w[3] * std::sin(w[0] * x + w[1] * y + w[2]);
    return v;
}

GreyImage frame_at(double dx, double dy, double t, bool flat = false) {
    GreyImage g(kColumns, kLines);
    for (int32_t y = 0; y < kLines; ++y) {
        for (int32_t x = 0; x < kColumns; ++x) {
            g.at(x, y) = flat ? 100.0f : static_cast<float>(texture(x - dx * t, y - dy * t));
        }
    }
    return g;
}

struct Measured {
    double epe = 0, valid = 0, pan_x = NAN, pan_y = NAN;
    bool finite = true, beyond = false;
};

// The mean over the results of the last frames, away from the edges where content enters.
Measured track(double dx, double dy, bool flat = false, int frames = 10) {
    FlowTracker tracker(kColumns, kLines);
    Measured m;
    int results = 0;
    for (int t = 0; t < frames; ++t) {
        if (!tracker.push(frame_at(dx, dy, t, flat)) || t < frames - 3) continue;
        const FlowResult& r = tracker.result();
        const DenseFlow& f = r.flow;
        double sum = 0;
        size_t n = 0, inner = 0;
        const int32_t margin = 8 + static_cast<int32_t>(2 * std::ceil(std::hypot(dx, dy)));
        for (int32_t y = 0; y < kLines; ++y) {
            for (int32_t x = 0; x < kColumns; ++x) {
                const size_t i = static_cast<size_t>(y) * kColumns + x;
                m.finite = m.finite && std::isfinite(f.u.data[i]) && std::isfinite(f.v.data[i]) &&
                           std::isfinite(f.confidence.data[i]);
                if (x < margin || y < margin || x >= kColumns - margin || y >= kLines - margin) {
                    continue;
                }
                ++inner;
                if (!f.valid[i]) continue;
                sum += std::hypot(f.u.data[i] - dx, f.v.data[i] - dy);
                ++n;
            }
        }
        m.epe += n ? sum / static_cast<double>(n) : 0;
        m.valid += static_cast<double>(n) / static_cast<double>(inner);
        if (r.affine) {
            m.pan_x = r.affine->pan_x(0.5 * (kColumns - 1), 0.5 * (kLines - 1));
            m.pan_y = r.affine->pan_y(0.5 * (kColumns - 1), 0.5 * (kLines - 1));
        }
        m.beyond = m.beyond || r.beyond_range;
        ++results;
    }
    m.epe /= results;
    m.valid /= results;
    return m;
}

TEST(FlowTracker, TranslationsFromAQuarterToSixPixelsPerFrame) {
    struct Case {
        double dx, dy, epe;
    };
    const Case cases[] = {{0.0, 0.0, 0.01},
                          {0.25, -0.1, 0.02},
                          {1.0, 0.45, 0.03},
                          {-3.0, 1.2, 0.05},
                          {4.2, -4.2, 0.08}};
    for (const Case& c : cases) {
        const Measured m = track(c.dx, c.dy);
        const double speed = std::hypot(c.dx, c.dy);
        SCOPED_TRACE(testing::Message() << "motion (" << c.dx << ", " << c.dy << ")");
        EXPECT_LT(m.epe, c.epe);
        EXPECT_GT(m.valid, 0.8);
        EXPECT_FALSE(m.beyond);
        EXPECT_NEAR(m.pan_x, c.dx, 0.02 * speed + 0.003);
        EXPECT_NEAR(m.pan_y, c.dy, 0.02 * speed + 0.003);
    }
}

TEST(FlowTracker, MotionBeyondRangeIsFlaggedNeverSilentlyShort) {
    for (const double speed : {20.0, 30.0}) {
        FlowTracker tracker(kColumns, kLines);
        int flagged = 0;
        for (int t = 0; t < 9; ++t) {
            if (!tracker.push(frame_at(speed, 0, t))) continue;
            const FlowResult& r = tracker.result();
            flagged += r.beyond_range;
            // Either the motion is measured or the frame says it could not be.
            if (!r.beyond_range) {
                EXPECT_NEAR(r.flow.median_speed(), speed, 0.05 * speed) << speed;
            }
        }
        EXPECT_GT(flagged, 0) << speed;
    }
}

TEST(FlowTracker, AFlatImageIsAllInvalidAndFinite) {
    FlowTracker tracker(kColumns, kLines);
    for (int t = 0; t < 6; ++t) tracker.push(frame_at(0, 0, t, true));
    const FlowResult& r = tracker.result();
    EXPECT_EQ(r.flow.valid_share(), 0.0);
    EXPECT_FALSE(r.affine.has_value());
    for (const GreyImage* g : {&r.flow.u, &r.flow.v, &r.flow.confidence}) {
        for (float v : g->data) ASSERT_EQ(v, 0.0f);
    }
}

TEST(FlowTracker, ResultsDescribeTheFrameTwoBeforeTheNewest) {
    FlowTracker tracker(kColumns, kLines);
    std::vector<GreyImage> frames;
    for (int t = 0; t < 7; ++t) {
        frames.push_back(frame_at(0.5, 0.5, t));
        EXPECT_EQ(tracker.push(frames.back()), t >= 4) << t;
    }
    EXPECT_EQ(tracker.result().frame, 4);
    EXPECT_EQ(tracker.result_frame().data, frames[4].data);
    EXPECT_THROW(tracker.push(GreyImage(kColumns + 4, kLines)), ComponentError);
}

TEST(FlowTracker, AWidthThatIsNoMultipleOfFourIsMeasuredWhole) {
    FlowTracker tracker(kColumns - 3, kLines);
    for (int t = 0; t < 6; ++t) {
        const GreyImage full = frame_at(0.7, 0.2, t);
        GreyImage cut(kColumns - 3, kLines);
        for (int32_t y = 0; y < kLines; ++y) {
            std::copy(full.line(y), full.line(y) + kColumns - 3, cut.line(y));
        }
        tracker.push(cut);
    }
    const DenseFlow& f = tracker.result().flow;
    ASSERT_EQ(f.columns(), kColumns - 3);
    EXPECT_GT(f.valid_share(), 0.7);
    EXPECT_NEAR(f.median_speed(), std::hypot(0.7, 0.2), 0.02);
}

}  // namespace

TEST(FlowTracker, WithoutDenseFlowTheGlobalMotionAloneIsMeasured) {
    struct Case {
        double dx, dy;
        int32_t cut, reduction;  // columns left off the frame; frames reduced by this
    };
    const Case cases[] = {
        {0.25, -0.1, 0, 1}, {-3.0, 1.2, 3, 1}, {4.2, -4.2, 0, 2}, {1.5, 0.5, 1, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "motion (" << c.dx << ", " << c.dy << "), " << c.cut
                                        << " columns cut, reduced by " << c.reduction);
        TrackerSettings s;
        s.dense_flow = false;
        s.reduction = c.reduction;
        const int32_t columns = kColumns - c.cut;
        FlowTracker tracker(columns, kLines, s);
        for (int t = 0; t < 10; ++t) {
            const GreyImage full = frame_at(c.dx, c.dy, t);
            GreyImage g(columns, kLines);
            for (int32_t y = 0; y < kLines; ++y) {
                std::copy(full.line(y), full.line(y) + columns, g.line(y));
            }
            tracker.push(g);
        }
        const FlowResult& r = tracker.result();
        EXPECT_TRUE(r.flow.u.empty());
        EXPECT_FALSE(r.beyond_range);
        ASSERT_TRUE(r.affine.has_value());
        const double speed = std::hypot(c.dx, c.dy);
        EXPECT_NEAR(r.affine->pan_x(0.5 * (columns - 1), 0.5 * (kLines - 1)), c.dx, 0.02 * speed);
        EXPECT_NEAR(r.affine->pan_y(0.5 * (columns - 1), 0.5 * (kLines - 1)), c.dy, 0.02 * speed);
    }
}
