// The warp and the separable window filter against their definitions, evaluated directly in
// double precision, over widths on both sides of the eight-lane bodies and their tails.
#include "analysis/resample.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "analysis/window.hpp"

namespace {

GreyImage random_image(int32_t w, int32_t h, std::mt19937& rng, float lo, float hi) {
    std::uniform_real_distribution<float> d(lo, hi);
    GreyImage g(w, h);
    for (float& x : g.data) x = d(rng);
    return g;
}

const int32_t kHeights[] = {1, 2, 5};

TEST(Resample, WarpReadsTheBilinearValueAndMarksPositionsOutside) {
    std::mt19937 rng(7);
    // Scattered motions, and a smooth one (what the tracker warps by) that moves whole runs of
    // pixels by nearly the same amount.
    for (const bool smooth : {false, true}) {
        for (int32_t h : kHeights) {
            for (int32_t w = 1; w <= 40; ++w) {
                const GreyImage in = random_image(w, h, rng, 0, 255);
                GreyImage pu = random_image(w, h, rng, -3, 3), pv = random_image(w, h, rng, -2, 2);
                if (smooth) {
                    for (int32_t y = 0; y < h; ++y) {
                        for (int32_t x = 0; x < w; ++x) {
                            pu.at(x, y) = 2.3f - 0.07f * x + 0.1f * y;
                            pv.at(x, y) = -0.4f + 0.02f * x;
                        }
                    }
                }
                // Positions that are not numbers count as outside and read the first pixel.
                pu.data[0] = NAN;
                if (w * h > 3) pv.data[3] = INFINITY;
                const float s = -1.5f;
                GreyImage out(w, h);
                std::vector<uint8_t> outside(in.data.size(), 0);
                warp_bilinear(in, pu, pv, s, &out, &outside);
                for (int32_t y = 0; y < h; ++y) {
                    for (int32_t x = 0; x < w; ++x) {
                        const size_t i = static_cast<size_t>(y) * w + x;
                        // Positions are single precision, as the frames are.
                        double fx = static_cast<float>(x) + s * pu.data[i];
                        double fy = static_cast<float>(y) + s * pv.data[i];
                        const bool out_of = !(fx >= 0 && fx <= w - 1 && fy >= 0 && fy <= h - 1);
                        ASSERT_EQ(outside[i] != 0, out_of)
                            << w << "x" << h << " at " << x << "," << y;
                        fx = std::isfinite(fx) ? std::clamp(fx, 0.0, w - 1.0) : 0.0;
                        fy = std::isfinite(fy) ? std::clamp(fy, 0.0, h - 1.0) : 0.0;
                        const int32_t x0 = static_cast<int32_t>(fx), y0 = static_cast<int32_t>(fy);
                        const int32_t x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
                        const double ax = fx - x0, ay = fy - y0;
                        const double want =
                            (1 - ay) * ((1 - ax) * in.at(x0, y0) + ax * in.at(x1, y0)) +
                            ay * ((1 - ax) * in.at(x0, y1) + ax * in.at(x1, y1));
                        ASSERT_NEAR(out.data[i], want, 2e-3)
                            << w << "x" << h << " at " << x << "," << y;
                    }
                }
            }
        }
    }
}

TEST(Resample, SeparableFilterIsTheClampedConvolution) {
    std::mt19937 rng(11);
    for (const double sigma : {1.0, 4.0}) {
        const std::vector<float> taps = gaussian_taps(sigma);
        const int32_t r = static_cast<int32_t>(taps.size() / 2);
        // Random lines, and (taller) lines in runs of equal ones, which the filter reuses.
        for (const int32_t h : {1, 2, 5, 40, -40}) {
            for (int32_t w : {1, 7, 8, 9, 24, 31, 32, 33, 40, 57, 70}) {
                GreyImage in = random_image(w, std::abs(h), rng, -50, 50);
                for (int32_t y = 1; h < 0 && y < -h; ++y) {
                    if (y % 17 != 0 && y != 30) std::copy_n(in.line(y - 1), w, in.line(y));
                }
                GreyImage out, scratch;
                filter_separable(in, taps, &out, &scratch);
                for (int32_t y = 0; y < in.lines; ++y) {
                    for (int32_t x = 0; x < w; ++x) {
                        double want = 0;
                        for (int32_t j = -r; j <= r; ++j) {
                            for (int32_t i = -r; i <= r; ++i) {
                                want +=
                                    double(taps[j + r]) * taps[i + r] *
                                    in.at(std::clamp(x + i, 0, w - 1),
                                          std::clamp(y + j, 0, in.lines - 1));
                            }
                        }
                        ASSERT_NEAR(out.at(x, y), want, 1e-3)
                            << "sigma " << sigma << ", " << w << "x" << in.lines << " at " << x << ","
                            << y;
                    }
                }
            }
        }
    }
}

}  // namespace
