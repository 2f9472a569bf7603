// motion.png: the global motion of a run over time, as a person would plot it by hand.
//
// Three panels share the frame axis: pan x and y at the image centre [px/frame], rotation
// [mrad/frame, clockwise] and zoom [1/1000 per frame]. Each point is plotted at the frame its
// estimate refers to; frames without an estimate leave a gap. A known motion (the built-in
// sequence) is drawn as a dashed line. With --stabilize a fourth panel shows the camera path
// (the displacement of the image centre since the first frame, x and y) before and after
// smoothing. The run calls it once, at the end.
#pragma once

#include <optional>
#include <vector>

#include "analysis/affine.hpp"
#include "flow/grey_image.hpp"
#include "flow/reports.hpp"

// The camera path of a stabilised video: per frame, its number and the displacement of the
// image centre [px], measured and smoothed.
struct PathSeries {
    std::vector<double> frame, x, y, smooth_x, smooth_y;
};

// (cx, cy): the image centre the pan is taken at [pixels]; `path`: null without --stabilize.
RgbPicture motion_plot(const std::vector<FrameRecord>& records, double cx, double cy,
                       const std::optional<AffineMotion>& known,
                       const PathSeries* path = nullptr);
