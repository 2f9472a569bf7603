// The camera path of a video and its stabilisation: the frame-to-frame motions (FrameAligner)
// accumulated into a path, the path smoothed, the warp that moves each frame onto the smoothed
// path, the one zoom that hides the borders those warps open, and how much shake a path holds.
//
// A path holds one map per frame, C_f, from the positions of the content in frame 0 to its
// positions in frame f: C_0 is the identity and C_f = S_f after C_(f-1), with S_f the motion
// from frame f - 1 to frame f. The smoothed path C'_f is where the content should be; the
// stabilised frame f shows at p what frame f shows at W_f(p), W_f = C_f after the inverse of C'_f.
//
// Smoothing works on six readable numbers per frame: the displacement of the image centre, the
// rotation angle (unwrapped, so a camera turning round and round is smoothed as it turns), the
// logarithm of the scale, and the two parts of the linear map that are no rotation or zoom
// (shear and stretch, relative to the scale). Each is smoothed alone: by a Gaussian-weighted
// straight line or cubic fitted around each frame (the line is inside the clip exactly the
// Gaussian average, and at its ends a steady pan stays steady where a plain average would bend
// it; the cubic keeps a bending path without the Gaussian's cut into its curves, and being of
// odd degree as the line is, it holds at the clip's ends as well as inside, where a parabola
// bends away; by default cross-validation picks one of them), or for a tripod by one straight
// line over the whole clip (a path of constant velocity). Times are the frames' own [s], so a
// variable frame rate is smoothed in time, not in frames.
//
// Pure functions on small vectors; no I/O. The tool's stabiliser and its tests call them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "analysis/affine.hpp"

// p -> M p + t on the image plane [pixels], x right and y down from the top-left pixel.
struct Affine2D {
    double m[2][2] = {{1, 0}, {0, 1}};
    double t[2] = {0, 0};

    // The motion as a map: p -> p + (u(p), v(p)).
    static Affine2D from_motion(const AffineMotion& motion);
    // The motion this map describes: u(p) = x'(p) - x.
    AffineMotion motion() const;
    // This map after `first`: p -> this(first(p)).
    Affine2D after(const Affine2D& first) const;
    Affine2D inverse() const;
    double x(double px, double py) const { return m[0][0] * px + m[0][1] * py + t[0]; }
    double y(double px, double py) const { return m[1][0] * px + m[1][1] * py + t[1]; }
};

struct PathSmoothing {
    double sigma_s = 1.0;  // the Gaussian's standard deviation [s]
    bool tripod = false;   // one path of constant velocity instead
    // The Gaussian-weighted fit around each frame: 1 a straight line (a steady pan stays
    // steady), 3 a cubic (a path that bends, as a walk, a zoom or a turn makes it, stays too,
    // but more of the shake passes), 2 a parabola (as the cubic inside the clip, but it bends
    // at the ends), 0 whichever of the line and the cubic predicts the path better, each of the
    // six numbers on its own: by leave-one-out cross-validation (the residual at each frame of
    // the fit without that frame), the cubic where it lowers the score by more than a tenth.
    int degree = 0;
};

// The path from the frame-to-frame motions: steps[f] is the motion from frame f - 1 to f
// (steps[0] is not read). A missing step (too little texture) repeats the step before, which
// keeps a pan going; `missing`, when given, counts them.
std::vector<Affine2D> camera_path(const std::vector<std::optional<AffineMotion>>& steps,
                                  int64_t* missing = nullptr);

// The smoothed path, one map per frame of `path`; times_s[f] is frame f's time [s] (strictly
// increasing), (cx, cy) the image centre.
std::vector<Affine2D> smooth_path(const std::vector<Affine2D>& path,
                                  const std::vector<double>& times_s, double cx, double cy,
                                  const PathSmoothing& smoothing);

// W_f = path_f after the inverse of smoothed_f: output pixel -> input pixel.
std::vector<Affine2D> stabilizing_warps(const std::vector<Affine2D>& path,
                                        const std::vector<Affine2D>& smoothed);

// The zoom about the image centre, as an output-to-input map: p -> c + (p - c) / zoom.
Affine2D centre_zoom(double zoom, int32_t columns, int32_t lines);

// The least zoom (at least 1) about the centre after which every warp reads only pixels inside
// the frame: the four corner pixels of the output, zoomed and warped, land within the input's
// pixel centres. At most `max_zoom`; `enough`, when given, says whether that was enough.
double crop_zoom(const std::vector<Affine2D>& warps, int32_t columns, int32_t lines,
                 double max_zoom, bool* enough = nullptr);

// How far the warps move the content, as the RMS over the frames of |W_f(p) - p| [pixels] at
// the image centre and over the four corner pixels: the shake that the difference between a
// path and its smoothed self holds.
struct ShakeRms {
    double centre = 0, corners = 0;
};
ShakeRms shake_rms(const std::vector<Affine2D>& warps, int32_t columns, int32_t lines);

// The shake of a path: shake_rms of the warps to its smoothed self (smoothed as asked, but with
// a parabola around each frame, so that a path bent by a walk, a zoom or a turn has no shake).
ShakeRms path_shake(const std::vector<Affine2D>& path, const std::vector<double>& times_s,
                    int32_t columns, int32_t lines, const PathSmoothing& smoothing);
