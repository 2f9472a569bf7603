#include "analysis/component_session.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// What the component's host reads for a refusal without a message of its own.
std::string status_text(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    return std::string("failed with HRESULT ") + code;
}

}  // namespace

const char* result_image_name(ResultImage which) {
    const auto index = static_cast<int32_t>(which);
    return index >= 0 && index < kResultImageCount ? kResultImages[index].name : "?";
}

bool parse_result_image(const std::string& name, ResultImage* which) {
    for (const ResultImageInfo& r : kResultImages) {
        if (name == r.name) {
            *which = r.image;
            return true;
        }
    }
    return false;
}

std::string result_image_names() {
    std::string names;
    for (const ResultImageInfo& r : kResultImages) {
        if (!names.empty()) names.push_back(' ');
        names.append(r.name);
    }
    return names;
}

bool mode_computes(const std::string& mode, ResultImage which) {
    ComputationMode m;
    return parse_computation_mode(mode, &m) && engine_computes(which, mode_flag(m));
}

ComponentSession::ComponentSession() = default;
ComponentSession::~ComponentSession() = default;

void ComponentSession::refused(const MotionError& e, const std::string& what) const {
    switch (e.fault()) {
        case MotionFault::not_created:
            throw ComponentError(what + ": " + e.what(), E_FAIL);
        case MotionFault::out_of_memory:
            throw ComponentError(what + ": " + status_text(E_OUTOFMEMORY), E_OUTOFMEMORY);
        case MotionFault::columns:
        case MotionFault::lines:
        case MotionFault::frame_size:
        case MotionFault::frame_missing:
            break;
    }
    throw ComponentError(what + ": " + e.what(), E_INVALIDARG);
}

void ComponentSession::apply(const ComponentSettings& s, const SettingNames& names) {
    // A keyword is read up to its first NUL, as the component stores it; a refusal lists the
    // keywords the component knows. The modes are fixed once the images exist.
    auto keyword = [&](const std::string& text, const char* name, auto parse, auto* value,
                       const std::string& allowed) {
        const char* reason = nullptr;
        if (motion_.created()) {
            reason = motion_messages::mode_locked;
        } else if (!parse(std::string_view(text.c_str()), value)) {
            reason = motion_messages::invalid_mode;
        }
        if (reason) {
            throw ComponentError(std::string(name) + " '" + text + "': " + reason +
                                     " (choose from " + allowed + ")",
                                 E_FAIL);
        }
    };
    MotionSettings next = settings_;
    keyword(s.computation_mode, names.computation_mode, parse_computation_mode, &next.mode,
            computation_mode_keywords());
    keyword(s.timederivative_mode, names.timederivative_mode, parse_time_derivative,
            &next.time_derivative, time_derivative_keywords());
    next.input_filter = s.input_filter != 0;
    next.regularizer = s.regularizer;
    settings_ = next;
}

void ComponentSession::create(int32_t columns, int32_t lines) {
    if (motion_.created()) {
        throw ComponentError(std::string("create_orvane: ") + motion_messages::already_initialized,
                             E_FAIL);
    }
    try {
        motion_.create(columns, lines, settings_);
    } catch (const MotionError& e) {
        if (e.fault() == MotionFault::columns) refused(e, "image width " + std::to_string(columns));
        if (e.fault() == MotionFault::lines) refused(e, "image height " + std::to_string(lines));
        refused(e, "create_orvane");
    }
    columns_ = columns;
    lines_ = lines;
}

void ComponentSession::process(const GreyImage& frame) {
    // The frame is read in place; one of another size is refused, never read past its end.
    try {
        motion_.process(frame.data.data(), frame.columns, frame.lines);
    } catch (const MotionError& e) {
        refused(e, "process_data");
    }
}

ImageView ComponentSession::view(ResultImage which) {
    const std::string what = std::string("reading ") + result_image_name(which);
    const auto index = static_cast<int32_t>(which);
    if (index < 0 || index >= kResultImageCount) {
        throw ComponentError(what + ": " + status_text(E_INVALIDARG), E_INVALIDARG);
    }
    ImageView v;
    try {
        v = motion_.view(which);
    } catch (const MotionError& e) {
        refused(e, what);
    }
    if (!v.empty()) return v;
    // An image the mode does not compute reads as zeros.
    if (zeros_.columns != columns_ || zeros_.lines != lines_) zeros_ = GreyImage(columns_, lines_);
    return {zeros_.data.data(), zeros_.columns, zeros_.lines, zeros_.columns};
}

GreyImage ComponentSession::read(ResultImage which) {
    GreyImage image;
    read_into(which, &image);
    return image;
}

void ComponentSession::read_into(ResultImage which, GreyImage* out) {
    const ImageView v = view(which);
    if (out->columns != v.columns || out->lines != v.lines) *out = GreyImage(v.columns, v.lines);
    for (int32_t y = 0; y < v.lines; ++y) {
        std::memcpy(out->line(y), v.line(y), static_cast<size_t>(v.columns) * sizeof(float));
    }
}
