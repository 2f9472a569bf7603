// PairFlowEstimator: the dense 2-D flow from one image to the next, for any pair of frames,
// with a value at every pixel and a confidence beside it.
//
// The derivative methods of the tracker need five frames and motions the prediction already
// knows; a pair of photographs, a four-frame clip or a scene where parts move 30 pixels and
// uncover what was behind them need a method of their own. This one works coarse to fine on
// a pyramid of halved frames:
// A change of exposure between the frames (a gain and an offset) is taken out of the second
// first. Then, from the coarsest level down:
//   1. At each level the flow of the coarser one, enlarged, is the starting point. Patches of
//      the first image on a grid look for their best match in the second from there (an
//      inverse-compositional Lucas-Kanade search on mean-free patches, so a change of
//      brightness does not move them; each also tries its left and upper neighbours' answers,
//      so a motion found anywhere spreads). A patch keeps its answer only where it matches
//      better than its start. The patches' answers are blended per pixel, each weighted by how
//      well it explains that pixel.
//   2. The blend is then refined by minimising an energy over the whole level: a robust
//      (Charbonnier) data term on the brightness gradient (which a change of lighting leaves
//      alone; a brightness term can be weighed in), normalised by the local gradient so that
//      strong edges do not outvote the rest, plus a robust smoothness term whose weight falls
//      across edges of the first image, where motion boundaries lie. It is linearised around
//      the current flow and solved by red-black successive over-relaxation, warping again
//      after each round, with a median filter of the flow between rounds (it removes the
//      isolated outliers that occlusions leave).
//   3. At the full frame, pixels near a jump of the flow try the flows found a few pixels away
//      on either side of it, judged on the neighbours of their own surface: the smoothness
//      term and the coarse levels smear each motion across its boundary, and this undoes it.
// Pixels whose match leaves the second image get no data term: the smoothness term fills
// them from their neighbours, as it fills places without texture.
//
// The confidence of a pixel (0 to 1) says how well the flow explains it: the brightness error
// left between the first image and the second warped back (less its local mean), the texture
// that fixes the motion there, whether the match lies inside the second image, and whether
// other pixels land on the same place (then all but one are hidden in the second image).
//
// The estimator keeps its pyramid and work images between calls of one frame size.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "analysis/affine.hpp"
#include "analysis/grey_image.hpp"

struct PairFlowSettings {
    // The pyramid halves the frame until the patch search at its coarsest level reaches
    // `reach` [pixels per frame] at the full frame, or until the next level's shorter side
    // would fall below `coarsest` [pixels]. The levels beyond what a scene needs cost little
    // (each has a quarter of the pixels of the one below) and change nothing measurable on
    // slow scenes; a 640 x 480 frame gets six, which follow a motion of 80 px/frame.
    double reach = 96.0;
    int32_t coarsest = 8;
    // Patch search: side and grid step [pixels at each level], Lucas-Kanade steps per patch,
    // and the finest level that runs it (0: the full frame; 1 leaves the finest level to the
    // refinement, which is where most of the time would go).
    int32_t patch_size = 8;
    int32_t patch_stride = 4;
    int32_t patch_iterations = 8;
    int32_t patch_finest_level = 1;
    // Refinement: warps per level, fixed-point rounds per warp (each re-weighs the robust
    // terms), over-relaxation sweeps per round.
    int32_t warps = 2;
    int32_t fixed_point = 3;
    int32_t sweeps = 5;
    // The same at the full frame, which holds three quarters of the pixels: its flow starts
    // close, so one round finishes it (0 warps leave it to the flow of the level above,
    // enlarged: faster, a few hundredths of a pixel less accurate).
    int32_t finest_warps = 1;
    int32_t finest_fixed_point = 2;
    // The energy's weights: smoothness, brightness and gradient terms. The brightness term is
    // off by default: cameras change their exposure from frame to frame, which moves every
    // brightness but no gradient's direction, and the gradient term alone fixes the motion
    // wherever there is texture.
    float smoothness = 1.0f;
    float brightness = 0.0f;
    float gradient = 1.0f;
    // How fast the smoothness weight falls with the first image's gradient [per grey level
    // per pixel]; 0 keeps it the same everywhere.
    float edge_falloff = 0.05f;
    // Rounds in which pixels near a jump of the flow try their neighbours' flows from either
    // side of it (see reselect_boundaries()), at the full frame and at the levels above it up
    // to `boundary_levels`: a motion of 30 pixels smears across its boundary at the coarse
    // levels further than the full frame's candidates reach.
    int32_t boundary_rounds = 1;
    int32_t boundary_levels = 2;
    // A 5 x 5 median filter of the flow after each warp.
    bool median = true;
    // Threads for the refinement's sweeps and the per-pixel work (1: the calling thread).
    int threads = 1;
};

struct PairFlow {
    GreyImage u, v;        // [pixels], from a pixel of the first image to its match in the second
    GreyImage confidence;  // 0 to 1
};

class PairFlowEstimator {
  public:
    explicit PairFlowEstimator(const PairFlowSettings& settings = {});
    const PairFlowSettings& settings() const { return settings_; }

    // The flow from `first` to `second` (grey levels 0 to 255, the same size, at least 2 x 2).
    // `start`, when given and of the same size, is the flow of the pair before: carried along
    // its own motion, it is where the coarsest level's search begins. Returns
    // false, leaving `out` empty, when the images disagree in size or are too small.
    bool estimate(const GreyImage& first, const GreyImage& second, PairFlow* out,
                  const PairFlow* start = nullptr);

    class Level;

    ~PairFlowEstimator();
    PairFlowEstimator(const PairFlowEstimator&) = delete;
    PairFlowEstimator& operator=(const PairFlowEstimator&) = delete;

  private:
    void build_levels(int32_t columns, int32_t lines);
    void search_patches(Level& level) const;
    void refine(Level& level) const;
    static void linearise_lines(Level& level, int32_t y0, int32_t y1, bool brightness);
    void reselect_boundaries(Level& level) const;
    void confidence(Level& level, GreyImage* out) const;

    PairFlowSettings settings_;
    std::vector<std::unique_ptr<Level>> levels_;  // index 0 is the full frame
};

// The global affine motion of a pair's flow: a least-squares fit weighted by the confidence,
// refitted three times with the pixels that move on their own weighed down. Empty when too
// few pixels are confident.
std::optional<AffineMotion> affine_of_flow(const PairFlow& flow);

// How far the estimator's pyramid reaches for a frame of this size [pixels per frame]: the
// patch search's reach at its coarsest level, enlarged back to the full frame.
double pair_flow_reach(int32_t columns, int32_t lines, const PairFlowSettings& settings);
