// FlowTracker: dense 2-D flow and the global affine motion of a frame stream, for motions from
// a tenth of a pixel to several pixels per frame.
//
// A derivative method sees only motions below about one pixel per frame: beyond that the
// temporal derivative no longer follows the spatial ones. The tracker therefore measures on
// motion-compensated frames: for each new frame it warps the frames before and after the centre
// one of the last five onto it by a predicted motion (the previous result, its gaps filled by
// its affine fit, smoothed so that errors cannot build up) and adds the prediction back to what
// it measures. The moments are the engine's own (its stages, engine/engine_stages.hpp, with
// the batch time rule centred on the middle frame): the spatial derivatives and their products
// come from the centre frame, which no warp touches, once per frame; only the temporal
// derivative reads the neighbours, and it is formed from the warped ones line by line, where
// running the whole engine on five warped frames would compute four frames' products that nobody
// reads. When the motion left over is still large, it warps again with the better estimate
// (at most `max_iterations` passes). The first prediction, and the answer to a sudden change,
// comes from a second tracker level on frames reduced by 4, whose own range therefore reaches
// four times as far. Predicted speeds below half a pixel per frame are not warped at all:
// there the derivatives are accurate on their own and a warp would only add its interpolation error.
// From there on the whole prediction is warped, never a part of it: the solver reads the motion
// left over a little short (noise in the centre frame's gradients weighs in its sums), and a
// warp that grows faster than the prediction (a fade from none at half a pixel to all at one)
// would turn that shortfall into a drift: on a long pan near 1 px/frame each frame's prediction
// would come out shorter than the last one's.
//
// The tracker owns its levels' frame histories and work images (no component object); the tool
// and the Python module create one per stream and push every frame (as the component's input
// stage left it, so grey levels of the smoothed input). Results describe the frame two before
// the newest.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "analysis/affine.hpp"
#include "analysis/dense_flow.hpp"
#include "analysis/grey_image.hpp"

struct TrackerSettings {
    DenseFlowSettings dense;
    double prediction_sigma = 2.0;  // smoothing of the prediction [pixels]
    int max_iterations = 3;         // warp-and-measure passes per frame and level
    double converged = 0.5;         // median motion left over [pixels/frame] that ends the passes
    // Predicted speeds below this are not warped; from it on the whole prediction is
    // [pixels/frame].
    double warp_from = 0.5;
    bool reduced_level = true;  // use the level on frames reduced by 4
    // Measure on frames reduced by this factor (1 or 2) and enlarge the flow: a quarter of the
    // work for 2, at a window of the same size in the picture.
    int32_t reduction = 1;
    // false: the global affine motion only. The frames are compensated by the affine motion
    // alone and no dense flow is solved (the result's flow is empty): several times faster.
    bool dense_flow = true;
};

struct FlowResult {
    int64_t frame = -1;  // the frame the flow describes, counted from 0 at the first push
    DenseFlow flow;      // [pixels per frame]; empty without dense flow
    std::optional<AffineMotion> affine;  // robust fit; empty with too little texture
    int iterations = 0;                  // passes of the full-size level
    double residual = 0;   // median speed the last pass measured on top of its prediction
    double fit_error = 0;  // gradient-weighted RMS normal-flow error left [pixels/frame]
    // The motion is beyond what can be measured: the passes did not converge, or the flow
    // does not explain the change between the frames.
    bool beyond_range = false;
};

class FlowTracker {
  public:
    // The frame size; columns need not be a multiple of 4 (the engine's rule is met inside, by
    // padding: analysis/width.hpp).
    FlowTracker(int32_t columns, int32_t lines, const TrackerSettings& settings = {});
    ~FlowTracker();
    FlowTracker(const FlowTracker&) = delete;
    FlowTracker& operator=(const FlowTracker&) = delete;

    int32_t columns() const;
    int32_t lines() const;
    const TrackerSettings& settings() const { return settings_; }

    // Takes the next frame (its size must be the tracker's); true when result() describes
    // a new frame, from the fifth push on.
    bool push(const GreyImage& frame);
    const FlowResult& result() const { return settings_.reduction == 1 ? measured_ : result_; }
    // The frame that result() describes, as it was pushed (with dense flow only; else empty).
    const GreyImage& result_frame() const;
    // Forgets the history (a cut in the stream): the next result comes five pushes later.
    void reset();

    class Level;

  private:
    void enlarge_result(const FlowResult& measured, int32_t r);
    std::optional<AffineMotion> reduced_affine() const;
    bool apart(const AffineMotion& a, const std::optional<AffineMotion>& b) const;
    bool full_holds_frames() const;

    TrackerSettings settings_;
    std::unique_ptr<Level> full_, reduced_;
    int32_t columns_, lines_;
    // The pushed frames, for result_frame(), where the full level's ring does not hold them.
    std::array<GreyImage, 5> frames_;
    // What the full-size level measured (the result itself when frames are not reduced), the
    // result enlarged from reduced frames, and the reduced level's own.
    FlowResult measured_, result_, reduced_result_;
    int64_t pushed_ = 0;
    bool has_result_ = false;
};
