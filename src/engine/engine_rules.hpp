// The engine's fixed rules, shared by the kernel sequence (motion_engine.cpp) and the fused
// pipeline (motion_engine_fused.cpp): border, taps, time weights and the mode of the flags.
#pragma once

#include <cstdint>

#include "engine/motion_engine.hpp"

namespace engine_rules {

// Both 5-tap kernels reach two pixels to each side of the output pixel, so a two-pixel border
// lets every filter run without a single edge test.
inline constexpr int32_t kBorder = 2;
using engine_filters::kAnchor;
using engine_filters::kBatchWeight;
using engine_filters::kDerivTaps;
using engine_filters::kRecursiveWeight;
using engine_filters::kSmoothTaps;
using engine_filters::kTaps;

inline constexpr int32_t kRingSize = 5;

enum class Mode { none, change_detection, affine_params, orvane, all };

// The mode of the flags (see engine_mode_bit).
inline Mode mode_of(int32_t flags) {
    switch (engine_mode_bit(flags)) {
        case FLAG_CHANGE_DETECTION:
            return Mode::change_detection;
        case FLAG_AFFINE_PARAMS:
            return Mode::affine_params;
        case FLAG_ORVANE:
            return Mode::orvane;
        case FLAG_ALL:
            return Mode::all;
    }
    return Mode::none;
}

}  // namespace engine_rules
