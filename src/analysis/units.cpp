#include "analysis/units.hpp"

#include <cmath>

bool parse_time_rule(const std::string& keyword, TimeRule* rule) {
    if (keyword == "recursive") return *rule = TimeRule::recursive, true;
    if (keyword == "batch") return *rule = TimeRule::batch, true;
    return false;
}

double batch_temporal_gain() {
    return engine_filters::batch_temporal_gain();
}

double recursive_temporal_gain(int64_t frame_count) {
    return engine_filters::recursive_temporal_gain(frame_count);
}

double temporal_gain(TimeRule rule, int64_t frame_count) {
    if (rule == TimeRule::batch) return frame_count >= 5 ? batch_temporal_gain() : 0.0;
    return recursive_temporal_gain(frame_count);
}

double flow_scale(TimeRule rule, int64_t frame_count) {
    const double g = temporal_gain(rule, frame_count);
    return g > 0 ? kSpatialGain / g : 0.0;
}

int32_t frame_delay(TimeRule rule) {
    return rule == TimeRule::batch ? 2 : 0;
}
