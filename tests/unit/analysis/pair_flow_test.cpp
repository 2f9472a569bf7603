// The pairwise flow on image pairs whose motion is known at every pixel: band-limited
// textures (sums of plane waves, so any sub-pixel motion is exact) under translations small
// and large, a rotation with zoom, a change of exposure, and an object that covers part of
// the background.
#include "analysis/pair_flow.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int32_t kColumns = 128, kLines = 96;

// Forty plane waves of random directions and periods 5 to 60 pixels: texture in every
// direction and at every scale, with no period that a large motion could alias to.
double waves(double x, double y, double phase) {
    struct Wave {
        double kx, ky, phase, amplitude;
    };
    static const std::vector<Wave> all = [] {
        std::vector<Wave> w;
        uint32_t state = 12345;
        auto next = [&state] {  // a fixed sequence in [0, 1), the same on every platform
            state = state * 1664525u + 1013904223u;
            return (state >> 8) / 16777216.0;
        };
        for (int i = 0; i < 40; ++i) {
            const double angle = 2 * M_PI * next(), period = 5 + 55 * next();
            const double k = 2 * M_PI / period;
            w.push_back({k * std::cos(angle), k * std::sin(angle), 2 * M_PI * next(),
                         2 + 0.4 * period * next()});
        }
        return w;
    }();
    double v = 128;
    for (const Wave& k : all) v += k.amplitude * std::sin(k.kx * x + k.ky * y + k.phase + phase);
    return v;
}

// A frame from its brightness at each position.
GreyImage render(const std::function<double(double, double)>& at) {
    GreyImage g(kColumns, kLines);
    for (int32_t y = 0; y < kLines; ++y) {
        for (int32_t x = 0; x < kColumns; ++x) g.at(x, y) = static_cast<float>(at(x, y));
    }
    return g;
}

struct Scene {
    const char* name;
    GreyImage first, second;
    // The true motion of each pixel of the first image, and whether it is still seen in the
    // second (false: covered, or out of the frame).
    std::function<void(double x, double y, double* u, double* v, bool* seen)> truth;
    double max_error;  // the mean endpoint error allowed over the pixels still seen [pixels]
};

// The content moves by (a, b) + B (x - c), c the centre: x1 = x0 + a + B (x0 - c).
Scene affine_scene(const char* name, double a, double b, double b11, double b12, double b21,
                   double b22, double gain, double offset, double max_error) {
    const double cx = 0.5 * (kColumns - 1), cy = 0.5 * (kLines - 1);
    // Inverse of x1 = c + (a, b) + (I + B)(x0 - c).
    const double m11 = 1 + b11, m12 = b12, m21 = b21, m22 = 1 + b22;
    const double det = m11 * m22 - m12 * m21;
    Scene s{name, render([](double x, double y) { return waves(x, y, 0); }), {}, {}, max_error};
    s.second = render([=](double x, double y) {
        const double dx = x - cx - a, dy = y - cy - b;
        const double x0 = cx + (m22 * dx - m12 * dy) / det;
        const double y0 = cy + (-m21 * dx + m11 * dy) / det;
        return gain * waves(x0, y0, 0) + offset;
    });
    s.truth = [=](double x, double y, double* u, double* v, bool* seen) {
        *u = a + b11 * (x - cx) + b12 * (y - cy);
        *v = b + b21 * (x - cx) + b22 * (y - cy);
        const double x1 = x + *u, y1 = y + *v;
        *seen = x1 >= 0 && y1 >= 0 && x1 <= kColumns - 1 && y1 <= kLines - 1;
    };
    return s;
}

// The background moves by (1, 0.5); a square of another texture moves by (mx, my) over it,
// covering a band of background on its leading side.
Scene occlusion_scene(const char* name, double px, double py, double mx, double my, double max_error) {
    const double side = 40, bx = 1, by = 0.5;
    auto frame = [=](double t) {
        return render([=](double x, double y) {
            const double sx = x - px - mx * t, sy = y - py - my * t;
            if (sx >= 0 && sy >= 0 && sx < side && sy < side) return waves(1.3 * sx, 1.1 * sy, 2.0);
            return waves(x - bx * t, y - by * t, 0);
        });
    };
    Scene s{name, frame(0), frame(1), {}, max_error};
    s.truth = [=](double x, double y, double* u, double* v, bool* seen) {
        const bool inside = x - px >= 0 && y - py >= 0 && x - px < side && y - py < side;
        *u = inside ? mx : bx;
        *v = inside ? my : by;
        const double x1 = x + *u, y1 = y + *v;
        const double sx = x1 - px - mx, sy = y1 - py - my;
        const bool covered = !inside && sx >= 0 && sy >= 0 && sx < side && sy < side;
        *seen = !covered && x1 >= 0 && y1 >= 0 && x1 <= kColumns - 1 && y1 <= kLines - 1;
    };
    return s;
}

struct Score {
    double seen_error = 0;  // mean endpoint error over the pixels still seen
    double seen_confidence = 0, hidden_confidence = 0;
    bool finite = true;
};

Score score(const Scene& s, const PairFlow& f) {
    Score r;
    double n_seen = 0, n_hidden = 0;
    for (int32_t y = 0; y < kLines; ++y) {
        for (int32_t x = 0; x < kColumns; ++x) {
            double u, v;
            bool seen;
            s.truth(x, y, &u, &v, &seen);
            const float fu = f.u.at(x, y), fv = f.v.at(x, y), c = f.confidence.at(x, y);
            r.finite &= std::isfinite(fu) && std::isfinite(fv) && c >= 0 && c <= 1;
            if (seen) {
                r.seen_error += std::hypot(fu - u, fv - v);
                r.seen_confidence += c;
                ++n_seen;
            } else {
                r.hidden_confidence += c;
                ++n_hidden;
            }
        }
    }
    r.seen_error /= n_seen;
    r.seen_confidence /= n_seen;
    r.hidden_confidence = n_hidden > 0 ? r.hidden_confidence / n_hidden : 0;
    return r;
}

TEST(PairFlow, RecoversKnownMotionAtEveryPixel) {
    const Scene scenes[] = {
        affine_scene("still", 0, 0, 0, 0, 0, 0, 1, 0, 0.01),
        affine_scene("subpixel translation", 0.35, -0.6, 0, 0, 0, 0, 1, 0, 0.04),
        affine_scene("translation", 2.3, -1.4, 0, 0, 0, 0, 1, 0, 0.05),
        affine_scene("large translation", 17.5, 9.25, 0, 0, 0, 0, 1, 0, 0.1),
        // 2 degrees clockwise and 3 % larger: up to 3.3 px at the corners.
        affine_scene("rotation and zoom", 0.5, 0.2, 0.03, -0.0349, 0.0349, 0.03, 1, 0,
                     0.1),
        affine_scene("exposure change", 1.5, 0.5, 0, 0, 0, 0, 1.15, -12, 0.08),
        occlusion_scene("occlusion", 40, 24, -5, 3, 0.08),
        // A fast object: the coarse levels smear its motion far across its edge, and the
        // motion-boundary step has to take it back.
        occlusion_scene("fast occlusion", 60, 16, -12, 7, 0.2),
    };
    PairFlowEstimator estimator;
    for (const Scene& s : scenes) {
        PairFlow f;
        ASSERT_TRUE(estimator.estimate(s.first, s.second, &f)) << s.name;
        ASSERT_EQ(f.u.columns, kColumns) << s.name;
        ASSERT_EQ(f.confidence.lines, kLines) << s.name;
        const Score r = score(s, f);
        EXPECT_TRUE(r.finite) << s.name << ": a value or confidence out of range";
        EXPECT_LT(r.seen_error, s.max_error) << s.name;
        if (r.hidden_confidence > 0 || std::string(s.name).find("occlusion") != std::string::npos) {
            // Where the first image's content is gone, nothing matches: less confident.
            EXPECT_LT(r.hidden_confidence, 0.5 * r.seen_confidence) << s.name;
        }
    }
}

TEST(PairFlow, StartFlowAndThreadsLeaveTheResultAlone) {
    const Scene s = affine_scene("translation", 3.2, -2.1, 0, 0, 0, 0, 1, 0, 0.05);
    PairFlowEstimator one;
    PairFlow a, b, c;
    ASSERT_TRUE(one.estimate(s.first, s.second, &a));
    PairFlowSettings two_threads;
    two_threads.threads = 2;
    PairFlowEstimator two(two_threads);
    ASSERT_TRUE(two.estimate(s.first, s.second, &b));
    EXPECT_EQ(a.u.data, b.u.data);
    EXPECT_EQ(a.v.data, b.v.data);
    EXPECT_EQ(a.confidence.data, b.confidence.data);
    // Started from the answer, the estimate stays on it.
    ASSERT_TRUE(one.estimate(s.first, s.second, &c, &a));
    EXPECT_LT(score(s, c).seen_error, s.max_error);
}

TEST(PairFlow, RefusesImagesThatCannotBePaired) {
    PairFlowEstimator estimator;
    PairFlow f;
    const struct {
        const char* name;
        GreyImage first, second;
    } cases[] = {{"different sizes", GreyImage(16, 16, 1), GreyImage(16, 12, 1)},
                 {"one pixel", GreyImage(1, 1, 1), GreyImage(1, 1, 1)},
                 {"empty", GreyImage(), GreyImage()}};
    for (const auto& c : cases) {
        EXPECT_FALSE(estimator.estimate(c.first, c.second, &f)) << c.name;
        EXPECT_TRUE(f.u.empty()) << c.name;
    }
    // Pixels that are not numbers do not spread through the flow.
    GreyImage first = render([](double x, double y) { return waves(x, y, 0); });
    GreyImage second = render([](double x, double y) { return waves(x - 1, y, 0); });
    first.at(60, 40) = NAN;
    second.at(10, 10) = INFINITY;
    ASSERT_TRUE(estimator.estimate(first, second, &f));
    for (size_t i = 0; i < f.u.data.size(); ++i) {
        ASSERT_TRUE(std::isfinite(f.u.data[i]) && std::isfinite(f.v.data[i])) << i;
    }
    EXPECT_NEAR(f.u.at(100, 70), 1.0, 0.05);
}

TEST(PairFlow, AffineOfTheFlowIsTheGlobalMotion) {
    // 1 degree clockwise and a pan.
    const Scene s = affine_scene("rotation", 1.2, -0.7, 0, -0.01745, 0.01745, 0, 1, 0, 0.08);
    PairFlowEstimator estimator;
    PairFlow f;
    ASSERT_TRUE(estimator.estimate(s.first, s.second, &f));
    const auto a = affine_of_flow(f);
    ASSERT_TRUE(a.has_value());
    const double cx = 0.5 * (kColumns - 1), cy = 0.5 * (kLines - 1);
    EXPECT_NEAR(a->pan_x(cx, cy), 1.2, 0.02);
    EXPECT_NEAR(a->pan_y(cx, cy), -0.7, 0.02);
    EXPECT_NEAR(a->rotation(), 0.01745, 0.01745 * 0.02);
    EXPECT_NEAR(a->zoom(), 0.0, 3e-4);
}

}  // namespace
