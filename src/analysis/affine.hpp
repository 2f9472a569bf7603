// Global affine motion from the component's moment images.
//
// The motion model is u = a1 + a2 x + a3 y, v = a4 + a5 x + a6 y [pixels per frame], with x
// counting columns from the left and y lines from the top of the image, pixel (0, 0) at the
// origin. AffineEstimator owns only its settings; the tool calls estimate() once per frame with
// the five moment images it read back from the component.
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

// The gains that the derivative filters put on a unit ramp.
inline constexpr double kSpatialGain = 338.0 / 256.0;
double batch_temporal_gain();  // 6a - 4 with a the float nearest 0.8867
// Gain of the recursive derivative on frame n (1-based count since create): the weights of
// its exponential average sum to 1 - 2^-(n-1) until the average has filled.
double recursive_temporal_gain(int64_t frame_count);

struct MomentImages {
    const GreyImage* Ix2 = nullptr;
    const GreyImage* Iy2 = nullptr;
    const GreyImage* Ixy = nullptr;
    const GreyImage* Ixt = nullptr;
    const GreyImage* Iyt = nullptr;
};

class AffineEstimator {
  public:
    // margin [pixels]: lines and columns next to each edge that are left out of the sums,
    // because there the derivative kernels read replicated border pixels.
    explicit AffineEstimator(int32_t margin) : margin_(margin) {}

    // Least-squares affine motion for one frame; empty when the images hold too little
    // texture to fix all six parameters (a flat or one-dimensional image) or are not finite.
    // temporal_gain: the gain of the time derivative that produced Ixt and Iyt.
    std::optional<AffineMotion> estimate(const MomentImages& m, double temporal_gain) const;
    // The same fit, reweighted `passes` times against pixels that move otherwise; `It` is the
    // temporal derivative that Ixt and Iyt were formed with.
    std::optional<AffineMotion> estimate_robust(const MomentImages& m, const GreyImage& It,
                                                double temporal_gain, int passes = 3) const;

  private:
    std::optional<AffineMotion> fit(const MomentImages& m, double temporal_gain,
                                    const std::vector<float>* weights) const;

    int32_t margin_;
};

// Median of each parameter over the given estimates (empty when there are none).
std::optional<AffineMotion> median_motion(const std::vector<AffineMotion>& estimates);
