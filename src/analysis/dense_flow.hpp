// Dense 2-D flow per pixel from the component's moment images.
//
// At each pixel the five moment images are summed over a local window (window.hpp), which
// gives the 2 x 2 gradient tensor S = [sum Ix2, sum Ixy; sum Ixy, sum Iy2] and the right-hand
// side b = -k [sum Ixt, sum Iyt] (k = flow_scale(), units.hpp); S (u, v) = b is solved per
// pixel. The tensor also says how far to trust the answer: its smaller eigenvalue is the
// texture in the weakest direction. Where it is small (no texture) or small against the larger
// one (a single edge: only the motion across it is known) the pixel is marked invalid and
// gets (0, 0) instead of noise.
//
// With motion-compensated frames a FlowPrediction says what was taken out; the solver then
// returns the prediction plus what it measures (the right-hand side gains S p, formed per
// pixel before the window sums).
//
// DenseFlowSolver keeps its work images between calls, so a caller that keeps one solver per
// stream allocates nothing after the first frame.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "analysis/affine.hpp"
#include "analysis/grey_image.hpp"
#include "analysis/window.hpp"

struct DenseFlowSettings {
    WindowSpec window;
    // A pixel is valid when the smaller eigenvalue of its window's gradient tensor is at least
    // min_eigenvalue [(grey levels per pixel)^2 as the component's derivatives measure them]
    // and at least min_ratio times the larger eigenvalue.
    float min_eigenvalue = 1.0f;
    float min_ratio = 0.01f;
    // Shiftable windows: each pixel also tries the solutions of the windows centred a little
    // to its left, right, top and bottom, and keeps the one that best explains its own close
    // neighbourhood. Near the edge of a moving object that is a window lying on the object's
    // side, not one straddling both motions.
    bool shiftable = true;
    // Threads for the window sums and the per-pixel work (1: the calling thread only).
    int threads = 1;
};

struct DenseFlow {
    GreyImage u, v;              // [pixels per frame], +x right, +y down; 0 where invalid
    GreyImage confidence;        // the smaller eigenvalue of the window's tensor; 0 where invalid
    std::vector<uint8_t> valid;  // 1 valid, 0 invalid

    int32_t columns() const { return u.columns; }
    int32_t lines() const { return u.lines; }
    // The share of valid pixels (0 for an empty flow).
    double valid_share() const;
    // The median speed over the valid pixels [pixels per frame]; NaN when none is valid.
    double median_speed() const;
};

// Weights that leave out `margin` pixels along each edge (0 there, 1 elsewhere): where the
// derivative kernels read the replicated border.
std::vector<float> edge_mask(int32_t columns, int32_t lines, int32_t margin);

class DenseFlowSolver {
  public:
    explicit DenseFlowSolver(const DenseFlowSettings& settings = {});
    const DenseFlowSettings& settings() const { return settings_; }

    // scale: flow_scale() of the time rule that made Ixt and Iyt; prediction: what was taken
    // out of the frames, or null; mask: per-pixel weights (0: no data), or null. Pixels with
    // a non-finite moment count as having no data. Returns false, with every pixel invalid,
    // when the images disagree in size or the scale is not positive.
    // alongside: the caller's own work on the same frame (the affine fit, say), run as one
    // more job beside the window sums so that the threads share it; or null.
    bool solve(const MomentImages& m, double scale, const FlowPrediction* prediction,
               const std::vector<float>* mask, DenseFlow* out,
               const std::function<void()>* alongside = nullptr);

  private:
    DenseFlowSettings settings_;
    std::vector<float> taps_;
    void solve_rows(int32_t y0, int32_t y1, DenseFlow* out) const;
    void choose_shifted(int32_t y0, int32_t y1, DenseFlow* out) const;

    std::vector<float> close_taps_;  // the close neighbourhood that judges the candidates
    int32_t shift_ = 0;              // how far the candidate windows lie [pixels]
    GreyImage terms_[6];             // Ix2, Ixy, Iy2, bx, by and the mask, per pixel
    GreyImage sums_[6];              // the same summed over the window
    GreyImage close_[5];             // the first five summed over the close neighbourhood
    GreyImage scratch_[11];          // one per window sum, so that they can run side by side
    DenseFlow centred_;
};
