#include "engine/motion_session.hpp"

#include <cstring>

#include "primitives/primitives.hpp"

namespace {

// A keyword and the value it names.
template <class Value>
struct Word {
    Value value;
    const char* word;
};
constexpr Word<ComputationMode> kModes[] = {
    {ComputationMode::changedetection, motion_keywords::changedetection},
    {ComputationMode::orvane, motion_keywords::orvane},
    {ComputationMode::affineparams, motion_keywords::affineparams},
    {ComputationMode::all, motion_keywords::all},
};
constexpr Word<TimeDerivative> kRules[] = {
    {TimeDerivative::recursive, motion_keywords::recursive},
    {TimeDerivative::batch, motion_keywords::batch},
};

template <class Value, size_t N>
const char* word_of(const Word<Value> (&table)[N], Value value) {
    for (const Word<Value>& w : table)
        if (w.value == value) return w.word;
    return "";
}

template <class Value, size_t N>
bool value_of(const Word<Value> (&table)[N], std::string_view keyword, Value* value) {
    for (const Word<Value>& w : table) {
        if (keyword == w.word) {
            *value = w.value;
            return true;
        }
    }
    return false;
}

template <class Table>
std::string joined_words(const Table& table) {
    std::string out;
    for (const auto& entry : table) {
        if (!out.empty()) out += ", ";
        out += entry.word;
    }
    return out;
}

}  // namespace

const char* keyword_of(ComputationMode mode) {
    return word_of(kModes, mode);
}

const char* keyword_of(TimeDerivative rule) {
    return word_of(kRules, rule);
}

bool parse_computation_mode(std::string_view keyword, ComputationMode* mode) {
    return value_of(kModes, keyword, mode);
}

bool parse_time_derivative(std::string_view keyword, TimeDerivative* rule) {
    return value_of(kRules, keyword, rule);
}

std::string computation_mode_keywords() {
    return joined_words(kModes);
}

std::string time_derivative_keywords() {
    return joined_words(kRules);
}

int32_t mode_flag(ComputationMode mode) {
    switch (mode) {
        case ComputationMode::changedetection:
            return FLAG_CHANGE_DETECTION;
        case ComputationMode::orvane:
            return FLAG_ORVANE;
        case ComputationMode::affineparams:
            return FLAG_AFFINE_PARAMS;
        case ComputationMode::all:
            return FLAG_ALL;
    }
    return 0;
}

MotionSession::MotionSession() {
    // The result is not examined, as in the component: on failure the slots keep working
    // variants.
    prim_select_variants();
}

void MotionSession::create(int32_t columns, int32_t lines, const MotionSettings& settings) {
    if (columns <= 0 || columns % kColumnMultiple != 0) {
        throw MotionError(MotionFault::columns, motion_messages::columns);
    }
    if (lines <= 0) throw MotionError(MotionFault::lines, motion_messages::lines);
    const int32_t time_rule =
        settings.time_derivative == TimeDerivative::batch ? TD_BATCH : TD_RECURSIVE;
    const int32_t flags = (settings.input_filter ? FLAG_INPUT_FILTER : 0) | mode_flag(settings.mode);
    if (!engine_.create(columns, lines, engine_regularizer(settings.regularizer), time_rule,
                        flags)) {
        throw MotionError(MotionFault::out_of_memory,
                          "not enough memory for the engine's images of this size");
    }
    settings_ = settings;
}

void MotionSession::destroy() {
    engine_.destroy();
    staging_ = {};
}

void MotionSession::process(const float* data, int32_t columns, int32_t lines,
                            std::ptrdiff_t stride) {
    if (!created()) throw MotionError(MotionFault::not_created, motion_messages::not_allocated);
    if (columns != engine_.get_columns() || lines != engine_.get_lines()) {
        throw MotionError(MotionFault::frame_size, motion_messages::incompatible_size);
    }
    if (data == nullptr || stride < columns) {
        throw MotionError(MotionFault::frame_missing, motion_messages::invalid_argument);
    }
    if (stride == columns) {
        engine_.process(data);
        return;
    }
    const size_t width = static_cast<size_t>(columns);
    staging_.resize(width * static_cast<size_t>(lines));
    for (int32_t y = 0; y < lines; ++y) {
        std::memcpy(staging_.data() + y * width, data + y * stride, width * sizeof(float));
    }
    engine_.process(staging_.data());
}

ImageView MotionSession::view(EngineImage which) const {
    if (!created()) throw MotionError(MotionFault::not_created, motion_messages::not_allocated);
    const auto index = static_cast<int32_t>(which);
    const float* base = index >= 0 && index < kResultImageCount ? engine_.get_image(which) : nullptr;
    if (base == nullptr) return {};
    int32_t step = engine_.get_plain_step();  // [bytes]
    if (kResultImages[index].region == ImageRegion::interior) {
        base += engine_.get_interior_offset();
        step = engine_.get_padded_step();
    }
    return {base, engine_.get_columns(), engine_.get_lines(),
            static_cast<std::ptrdiff_t>(step / sizeof(float))};
}
