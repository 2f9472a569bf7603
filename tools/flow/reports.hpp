// The numbers of a run: one row per frame in frames.csv, and the JSON text helpers that
// summary.json is written with.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/affine.hpp"

// What the tool measured on one frame. NaN marks a value the mode does not compute.
struct FrameRecord {
    int64_t frame = 0;        // index in the input, counted from 0
    double time_ms = 0;       // process_data [ms]
    double mean_abs_it = 0;   // mean |It| [grey levels per frame]
    double change_share = 0;  // share of pixels whose It2 exceeds the threshold
    double mean_flow = 0;     // mean length of the flow along the gradient [pixels/frame]
    std::optional<AffineMotion> affine;
    int64_t affine_frame = -1;  // the frame the affine estimate refers to
    double time_s = NAN;        // where the frame lies in the video [s] (NaN: no timestamp)
    // The dense flow measured at this step (it describes flow_frame; -1: none yet).
    int64_t flow_frame = -1;
    double valid_share = NAN;   // share of pixels with a valid dense flow
    double median_speed = NAN;  // median speed over the valid pixels [pixels/frame]
    bool beyond_range = false;  // the motion exceeds what can be measured
};

// The header of frames.csv; a1..a6 cells stay empty where no estimate was made, mean_flow
// where the mode computes no flow.
inline constexpr const char* kFramesCsvHeader =
    "frame,time_ms,mean_abs_It,change_share,mean_flow,affine_frame,a1,a2,a3,a4,a5,a6,time_s,"
    "flow_frame,valid_share,median_speed,beyond_range";
std::string frames_csv(const std::vector<FrameRecord>& records);
// One row of frames.csv as its cells, in the header's order: whole numbers as digits, the
// others with 9 significant digits, empty where there is no value.
std::vector<std::string> frame_cells(const FrameRecord& record);

// JSON pieces: a quoted, escaped string (bytes that are not valid UTF-8 become U+FFFD), and a
// number with round-trip precision (null for NaN and the infinities, which JSON lacks).
std::string json_string(const std::string& text);
std::string json_number(double value);
