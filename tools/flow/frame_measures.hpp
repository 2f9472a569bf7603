// The numbers of frames.csv that come straight from the component's images, and the small
// rules of the job that several of its parts share.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/component_session.hpp"
#include "flow/reports.hpp"

// mean_abs_it and change_share of `rec` from It, and It2 where the mode computes it (else
// It squared stands in for it).
void change_statistics(const ImageView& it, const ImageView* it2, double threshold,
                       FrameRecord* rec);
// Mean length of the flow vectors (un, vn) over the pixels where it is finite; NaN for none.
double mean_flow_length(const ImageView& un, const ImageView& vn);

// The flow pictures' full-colour speed for a run whose fastest motions (all but the fastest
// hundredth of the pixels) reach `fast` [px/frame]: the next round number above it, so that
// they show in nearly full colour and nothing saturates.
double picture_scale(double fast);

// "flow_000012.png".
std::string frame_name(const char* what, int64_t frame, const char* ext);

// What the damage of an input means for the results of its `count` frames.
std::string damage_consequence(bool ended, size_t count);

inline bool is_affine_mode(const std::string& mode) {
    return mode == "affineparams" || mode == "all";
}
inline bool is_flow_mode(const std::string& mode) {
    return mode == "orvane" || mode == "all";
}
