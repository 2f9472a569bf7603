// FrameAligner: the global affine motion from one frame to the next, by direct image alignment.
//
// The tracker's global motion (tracker.hpp) is a velocity: its temporal derivative spans five
// frames and its compensation assumes the motion steady across them, so a camera that jumps
// back and forth from frame to frame reads as the average of its jumps. Stabilising a video
// needs each jump itself. FrameAligner measures it by registering the second frame onto the
// first: coarse to fine on a pyramid of halved frames (as many levels as keep the coarsest
// side at least `coarsest_side` pixels), an exhaustive search for the whole-pixel translation
// on the coarsest level, then Gauss-Newton steps of the inverse-compositional affine fit on each
// level (Baker and Matthews, 2004), with a brightness offset and each pixel's weight lowered
// by how far its residual lies beyond the typical one (a Cauchy weight), so that objects
// moving on their own (a tenth of the picture) barely pull the camera's motion.
//
// The fit reads only the strongest-gradient pixel of each small block (about `samples` pixels
// on the finest level, half as many on the others, spread over the whole frame), so its cost
// is nearly independent of the frame size beyond building the pyramid; the finest level reads
// the second frame with the Catmull-Rom cubic, the others bilinearly. Motions reach about
// `search` pixels at the coarsest level (16 px/frame on a 320 x 240 frame, 32 on 640 x 480),
// beyond that with a `guess` near them. On textured frames the motion comes out within about
// a hundredth of a pixel at the corners (tests/unit/analysis/frame_align_test.cpp).
//
// The aligner owns the pyramid of the previous frame it was given (push) and work buffers; one
// aligner serves one stream on one thread at a time. It does no I/O and never throws on bad
// content: a frame without texture gives no motion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "analysis/affine.hpp"
#include "analysis/grey_image.hpp"

struct AlignSettings {
    int32_t coarsest_side = 40;  // shorter side of the coarsest level, at least [pixels]
    int32_t search = 4;          // translation searched on the coarsest level, +- [its pixels]
    int32_t iterations = 12;     // Gauss-Newton steps per level, at most
    double converged = 0.005;    // largest corner update that ends the finest level [px]
    int32_t samples = 5000;      // pixels that enter the finest level's fit, at most about
    // 2 or 4: the frames are reduced by that first (a quarter or a sixteenth of the work; the
    // motion is about as precise in pixels of the reduced frame, so that much coarser in the
    // frame's own); any other value is 1.
    int32_t reduction = 1;
};

class FrameAligner {
  public:
    explicit FrameAligner(const AlignSettings& settings = {});
    ~FrameAligner();
    FrameAligner(const FrameAligner&) = delete;
    FrameAligner& operator=(const FrameAligner&) = delete;

    // The motion from `first` to `second` (the same size, grey levels): the pixel (x, y) of
    // `first` shows at (x + u, y + v) in `second`, with u, v the affine model of AffineMotion.
    // `guess`, when given, is searched beside no motion (the step before, say). Empty when the
    // frames hold too little texture to fix the six parameters or do not match.
    std::optional<AffineMotion> align(const GreyImage& first, const GreyImage& second,
                                      const AffineMotion* guess = nullptr);

    // A stream: the motion from the frame pushed before to this one (empty for the first push,
    // or as align()), with the step before as the guess. Each frame's pyramid is built once.
    std::optional<AffineMotion> push(const GreyImage& frame);
    // Forgets the frame before (a cut in the stream).
    void reset();

    struct Pyramid;

  private:
    std::optional<AffineMotion> register_pair(const Pyramid& first, const Pyramid& second,
                                              const AffineMotion* guess);

    AlignSettings settings_;
    std::unique_ptr<Pyramid> previous_, current_;
    std::optional<AffineMotion> last_step_;
};
