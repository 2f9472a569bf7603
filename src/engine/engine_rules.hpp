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

// Frames whose result images together exceed this many bytes [bytes] are written past the cache:
// they would not survive in it until the next frame anyway, and the cached write would first read
// every line it writes.
inline constexpr int64_t kStreamAbove = int64_t{8} << 20;

// Whether the results of a frame leave the cache: `plain_bytes` per image, `images` of them (the
// mode's products, It and Is).
inline bool results_leave_cache(int64_t plain_bytes, int64_t images) {
    return plain_bytes * images > kStreamAbove;
}

// Whether the recursive rule updates It in place, without an image for the previous It (a row's
// It is made from the same row of the previous one, which nothing reads again): where a frame's
// results leave the cache anyway (`results_leave`), and It (`plain_bytes`) together with the two
// images that a frame reads through the cache (the input and the previous bordered frame) fits in
// the largest cache, `cache_bytes`. It then goes through the cache and is still there when the
// next frame reads it; larger frames keep two images that take turns, both written past the
// cache.
inline bool updates_it_in_place(bool results_leave, int64_t plain_bytes, int64_t cache_bytes) {
    return results_leave && 3 * plain_bytes <= cache_bytes;
}

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
