// One frame on its way through the job's pipeline (flow_job.cpp): decoded, measured, written.
// What the writing stage needs is owned here, copied out of the measuring state, which the
// next frame changes.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "analysis/component_session.hpp"
#include "analysis/dense_flow.hpp"
#include "flow/reports.hpp"

// Everything one frame produces that the run keeps or writes.
struct FrameImages {
    GreyImage It, It2, Un, Vn;
    // The dense flow measured at this step, or null; it describes frame flow_frame, whose
    // input (after the component's smoothing) is flow_input.
    const DenseFlow* flow = nullptr;
    int64_t flow_frame = -1;
    const GreyImage* flow_input = nullptr;
};

struct FrameInWork {
    int64_t count = 0;  // 1-based since the first processed frame
    GreyImage frame;    // the input, until the component has taken it
    GreyImage whole;    // the input at its full width, for the pairwise flow (else empty)
    GreyImage steady;   // the input at its full width, for the stabiliser (else empty)
    FrameRecord rec;
    FrameImages img;
    bool last = false;      // the last frame of the run
    bool pictures = false;  // this frame gets pictures (and --save images)
    GreyImage Is;
    std::vector<std::pair<ResultImage, GreyImage>> saved;
    // The dense flow of this step (flow_frame >= 0) when it is written (flow_due) or goes
    // into the video, and the input it describes.
    DenseFlow flow;
    int64_t flow_frame = -1;
    bool flow_due = false;
    GreyImage flow_input;
    GreyImage confidence;  // the pairwise flow's, beside `flow` (else empty)
};
