// The engine's fixed rules, shared by the kernel sequence (motion_engine.cpp) and the fused
// pipeline (motion_engine_fused.cpp): border, taps, time weights and the mode of the flags.
#pragma once

#include <bit>
#include <cstdint>

#include "engine/motion_engine.hpp"

namespace engine_rules {

// Both 5-tap kernels reach two pixels to each side of the output pixel, so a two-pixel border
// lets every filter run without a single edge test.
inline constexpr int32_t kBorder = 2;
inline constexpr int32_t kTaps = 5;
inline constexpr int32_t kAnchor = 2;

// Binomial-like smoothing (31, 60, 74, 60, 31)/256: exact in single precision, sums to 1.
inline constexpr float kSmoothTaps[kTaps] = {31.0f / 256, 60.0f / 256, 74.0f / 256, 60.0f / 256,
                                             31.0f / 256};
// Derivative kernel; the filters convolve (taps applied reversed), so tap 0 weighs the pixel
// two to the right and the result is positive where brightness grows to the right or down.
inline constexpr float kDerivTaps[kTaps] = {-29.0f / 256, 227.0f / 256, 0.0f, -227.0f / 256,
                                            29.0f / 256};

// Weight of the inner frame difference in the five-frame time derivative. It is 0.8867 rounded
// to single precision, deliberately not the spatial tap 227/256.
inline constexpr float kBatchWeight = std::bit_cast<float>(uint32_t{0x3F62FEC5});
// Weight of the newest difference in the recursive time derivative.
inline constexpr float kRecursiveWeight = 0.5f;

inline constexpr int32_t kRingSize = 5;

enum class Mode { none, change_detection, affine_params, orvane, all };

// The component sets exactly one mode bit; should several be set, the bits are tested in this
// fixed order and the first one wins, so create, process and destroy always agree.
inline Mode mode_of(int32_t flags) {
    if (flags & FLAG_CHANGE_DETECTION) return Mode::change_detection;
    if (flags & FLAG_AFFINE_PARAMS) return Mode::affine_params;
    if (flags & FLAG_ORVANE) return Mode::orvane;
    if (flags & FLAG_ALL) return Mode::all;
    return Mode::none;
}

}  // namespace engine_rules
