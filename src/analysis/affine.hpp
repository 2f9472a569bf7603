// Global affine motion from the component's moment images.
//
// The motion model is u = a1 + a2 x + a3 y, v = a4 + a5 x + a6 y [pixels per frame], with x
// counting columns from the left and y lines from the top of the image, pixel (0, 0) at the
// origin. AffineEstimator holds its settings and the robust fit's work buffers; its callers (the
// tool's direct method, the flow tracker at each level, the Python module) call it once per
// frame with five moment images: the component's, or those the tracker formed itself.
//
// The component's derivatives carry the gains of their filters: the 5-tap spatial derivative
// reads 338/256 on a unit ramp, the batch temporal derivative 6a - 4 (a = 0.8867 as a float),
// the recursive one 1 in the steady state but 1 - 2^-(n-1) on frame n while its exponential
// average is still filling. The brightness-constancy equation Ix u + Iy v + It = 0 holds for
// the true derivatives, so with the measured ones it reads Ix u + Iy v = -(gs / gt) It, and
// the least-squares solution over all pixels comes from the normal equations built from the
// sums of Ix2, Ixy, Iy2, Ixt, Iyt weighted by 1, x, y, x^2, xy, y^2.
//
// A plain least-squares fit follows every moving object in the picture a little: an object
// covering a few per cent of the image with strong texture pulls the pan by tens of per cent.
// estimate_robust() therefore refits a few times with each pixel weighted down by how far its
// normal-flow residual lies beyond the typical one (a Cauchy weight); its residual needs It,
// which every computation mode provides. Pixels that follow the global motion keep weight 1,
// so on a scene without independent motion both fits agree.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "analysis/grey_image.hpp"
#include "analysis/units.hpp"

struct AffineMotion {
    std::array<double, 6> a{};  // a1..a6 as above

    // The displacement of pixel (x, y) [pixels per frame].
    double u(double x, double y) const { return a[0] + a[1] * x + a[2] * y; }
    double v(double x, double y) const { return a[3] + a[4] * x + a[5] * y; }
    // Readable summary at a centre (cx, cy): the pan is the motion of the centre; zoom is the
    // relative growth per frame; rotation [rad per frame] is positive clockwise as the image
    // is shown (y grows downwards).
    double pan_x(double cx, double cy) const { return u(cx, cy); }
    double pan_y(double cx, double cy) const { return v(cx, cy); }
    double zoom() const { return 0.5 * (a[1] + a[5]); }
    double rotation() const { return 0.5 * (a[4] - a[2]); }
};

struct MomentImages {
    ImageRef Ix2, Iy2, Ixy, Ixt, Iyt;
};

// A motion taken out of the frames before they were measured (motion-compensated feeding):
// the moments then describe the motion left over, and the estimates add this one back.
// Both images in pixels per frame, the size of the moment images; both null for none.
struct FlowPrediction {
    const GreyImage* u = nullptr;
    const GreyImage* v = nullptr;
    bool empty() const { return !u || !v; }
};

class AffineEstimator {
  public:
    // margin [pixels]: lines and columns next to each edge that are left out of the sums,
    // because there the derivative kernels read replicated border pixels.
    // stride: every stride-th line and column enters the sums (1: all); on large frames 2
    // gives the same motion to well within its noise at a quarter of the cost.
    explicit AffineEstimator(int32_t margin, int32_t stride = 1)
        : margin_(margin), stride_(stride < 1 ? 1 : stride) {}

    // Least-squares affine motion for one frame; empty when the images hold too little
    // texture to fix all six parameters (a flat or one-dimensional image) or are not finite.
    // temporal_gain: the gain of the time derivative that produced Ixt and Iyt.
    // prediction: see FlowPrediction; mask: one weight per pixel (0 leaves a pixel out, for
    // example where a compensated frame had no data), or null.
    std::optional<AffineMotion> estimate(const MomentImages& m, double temporal_gain,
                                         const FlowPrediction* prediction = nullptr,
                                         const std::vector<float>* mask = nullptr) const;
    // The same fit, reweighted `passes` times against pixels that move otherwise; `It` is the
    // temporal derivative that Ixt and Iyt were formed with.
    std::optional<AffineMotion> estimate_robust(const MomentImages& m, ImageRef It,
                                                double temporal_gain, int passes = 3,
                                                const FlowPrediction* prediction = nullptr,
                                                const std::vector<float>* mask = nullptr) const;

  private:
    // weights: per pixel, or null; with `residual`, each weight is divided by
    // 1 + residual inv_c2 (the robust fit's Cauchy weight).
    std::optional<AffineMotion> fit(const MomentImages& m, double temporal_gain,
                                    const FlowPrediction* prediction,
                                    const std::vector<float>* weights,
                                    const std::vector<float>* residual = nullptr,
                                    float inv_c2 = 0.0f) const;

    int32_t margin_;
    int32_t stride_;
    // Work buffers of the robust fit, kept between frames (so one estimator serves one thread
    // at a time).
    mutable std::vector<float> residual_, typical_;
};

// Median of each parameter over the given estimates (empty when there are none).
std::optional<AffineMotion> median_motion(const std::vector<AffineMotion>& estimates);
// Mean of each parameter over the estimates without the lowest and highest `trim` share
// (empty when there are none). Per-frame estimates of a slow motion swing with the content's
// sub-pixel phase, unevenly, so the median leans to one side where the mean does not; the
// trim keeps a few wild frames from counting.
std::optional<AffineMotion> trimmed_mean_motion(const std::vector<AffineMotion>& estimates,
                                                double trim = 0.1);
