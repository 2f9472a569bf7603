// Units: how the component's derivative images turn into pixels per frame.
//
// The component's derivatives carry the gains of their filters: the 5-tap spatial derivative
// reads 338/256 on a unit ramp, the batch temporal derivative 6a - 4 (a = 0.8867 as a float),
// the recursive one 1 in the steady state but 1 - 2^-(n-1) on frame n while its exponential
// average is still filling. Brightness constancy, Ix u + Iy v + It = 0, holds for the true
// derivatives; with the measured ones it reads Ix u + Iy v = -(gs / gt) It. Every estimate of
// motion in pixels per frame (the affine fit, the dense flow, the flow along the gradient) goes
// through flow_scale() below, so they agree by construction.
#pragma once

#include <cstdint>
#include <string>

#include "engine/motion_engine.hpp"

// The component's two rules for the temporal derivative.
enum class TimeRule { recursive, batch };
// "recursive" or "batch" as the component spells them; false for anything else.
bool parse_time_rule(const std::string& keyword, TimeRule* rule);

// The gain that the 5-tap spatial derivative puts on a unit ramp (338/256), from the engine's taps.
inline constexpr double kSpatialGain = engine_filters::spatial_gain();
double batch_temporal_gain();  // 6a - 4 with a the engine's batch weight
// Gain of the recursive derivative on frame n (1-based count since create): the weights of
// its exponential average sum to 1 - 2^-(n-1) until the average has filled.
double recursive_temporal_gain(int64_t frame_count);
// Gain of `It` after `frame_count` frames; 0 while the rule still hands out zeros (the first
// frame, or the first four in batch mode).
double temporal_gain(TimeRule rule, int64_t frame_count);
// gs / gt: Ix u + Iy v = -flow_scale * It with u, v in pixels per frame; 0 while It is not
// defined yet.
double flow_scale(TimeRule rule, int64_t frame_count);
// How many frames the derivatives lag behind the newest input: the batch rule is centred two
// frames back and takes its spatial derivatives there; the recursive one refers to the newest.
int32_t frame_delay(TimeRule rule);
