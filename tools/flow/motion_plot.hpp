// motion.png: the global motion of a run over time, as a person would plot it by hand.
//
// Three panels share the frame axis: pan x and y at the image centre [px/frame], rotation
// [mrad/frame, clockwise] and zoom [1/1000 per frame]. Each point is plotted at the frame its
// estimate refers to; frames without an estimate leave a gap. A known motion (the built-in
// sequence) is drawn as a dashed line. The run calls it once, at the end.
#pragma once

#include <optional>
#include <vector>

#include "analysis/affine.hpp"
#include "flow/grey_image.hpp"
#include "flow/reports.hpp"

// (cx, cy): the image centre the pan is taken at [pixels].
RgbPicture motion_plot(const std::vector<FrameRecord>& records, double cx, double cy,
                       const std::optional<AffineMotion>& known);
