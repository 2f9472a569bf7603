// The direct method (--method direct): the dense flow and the affine fit from the moment images
// of the component that runs on the raw stream, accurate below about one pixel per frame. The
// job's component stage owns one and calls measure() after every frame the component took.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "analysis/affine.hpp"
#include "analysis/component_session.hpp"
#include "analysis/dense_flow.hpp"
#include "analysis/units.hpp"
#include "flow/frame_in_work.hpp"

class DirectMethod {
  public:
    // margin [pixels]: the border the derivatives leave undefined; mode: the component's
    // computation mode; robust: the affine fit weighs pixels that move otherwise down.
    DirectMethod(int32_t columns, int32_t lines, int32_t margin, const DenseFlowSettings& dense,
                 const std::string& mode, bool robust);

    // What one frame measured: the flow (valid until the next call) of frame `frame`, whose
    // smoothed input is `input`, and the global motion where the mode gives it.
    struct Step {
        const DenseFlow* flow = nullptr;
        std::optional<AffineMotion> affine;
        int64_t frame = -1;
        const GreyImage* input = nullptr;
    };
    // After the component's `count`-th frame, which is input frame `newest`; `img` holds its
    // It, Un and Vn. Nothing while the derivatives are not yet defined.
    std::optional<Step> measure(ComponentSession& session, const FrameImages& img, int64_t newest,
                                TimeRule rule, int64_t count);

  private:
    int32_t columns_, lines_, margin_;
    std::string mode_;
    bool robust_;
    DenseFlowSolver solver_;
    std::vector<float> edge_mask_;
    DenseFlow flow_;
    std::deque<GreyImage> recent_inputs_;  // the frames the derivatives may describe
};
