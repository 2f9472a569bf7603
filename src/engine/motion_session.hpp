// MotionSession: the typed door into the engine for C++ hosts.
//
// It owns one MotionEngine and drives it as the component does, without the automation types:
// typed settings (or the component's keywords, parsed once), create, process a frame given as
// (address, columns, lines, row stride), and the result images read as views of the engine's
// own buffers, without a copy. A refused request throws MotionError carrying the component's
// own message, so every host reports the same words. The component object (CCoOrvane) stays
// the adapter for the DLL and the automation surface; it reads its keywords, messages and the
// regularizer's rounding from here. Calls on one session must not overlap.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/motion_engine.hpp"

// ---- the component's words ----------------------------------------------------------------
// Its keywords, spelled once (the component's keyword tables are made from them).
namespace motion_keywords {
inline constexpr char recursive[] = "recursive";
inline constexpr char batch[] = "batch";
inline constexpr char changedetection[] = "changedetection";
inline constexpr char orvane[] = "orvane";
inline constexpr char affineparams[] = "affineparams";
inline constexpr char all[] = "all";
}  // namespace motion_keywords

// Its messages, character for character.
namespace motion_messages {
inline constexpr char lines[] = "Number of lines must be a positive integer";
inline constexpr char columns[] = "Number of image columns must be a positive integer multiple of 4.";
inline constexpr char mode_locked[] =
    "Object is already initialized. To use a different mode you must create a new one.";
inline constexpr char invalid_mode[] = "Invalid Mode";
inline constexpr char already_initialized[] = "Object already initialized";
inline constexpr char invalid_td_mode[] = "Invalid time derivative mode";
inline constexpr char invalid_comp_mode[] = "Invalid computation mode";
inline constexpr char not_created[] = "Object is not created";
inline constexpr char not_allocated[] = "Object not allocated. Please invoke 'create_orvane()'.";
inline constexpr char stale[] = "Critical properties have changed. Object must be re-created.";
inline constexpr char invalid_argument[] = "Invalid Input Argument";
inline constexpr char invalid_type[] = "Invalid Data Type";
inline constexpr char invalid_dims[] = "Invalid Matrix Dimension";
inline constexpr char incompatible_size[] = "Incompatible Image Size";
inline constexpr char bad_index[] = "Image index must be between 0 and 4.";
}  // namespace motion_messages

// The engine takes frames whose width is a multiple of this [pixels] (its vector rows); hosts
// with other widths crop or pad them (analysis/width.hpp).
inline constexpr int32_t kColumnMultiple = 4;

// The computation modes and time rules, in the order the component lists their keywords.
enum class ComputationMode : int32_t { changedetection, orvane, affineparams, all };
enum class TimeDerivative : int32_t { recursive, batch };

const char* keyword_of(ComputationMode mode);
const char* keyword_of(TimeDerivative rule);
// The mode or rule a keyword names (case-sensitive, exactly as the component compares);
// false for any other text.
bool parse_computation_mode(std::string_view keyword, ComputationMode* mode);
bool parse_time_derivative(std::string_view keyword, TimeDerivative* rule);
// Every keyword in the component's order, separated by ", ".
std::string computation_mode_keywords();
std::string time_derivative_keywords();
// The engine's FLAG_ bit of a mode.
int32_t mode_flag(ComputationMode mode);

// The nearest float to a regularizer, without undefined behaviour: values beyond the float range
// become infinities of their sign, NaN stays NaN. What the engine is given. The cut-off is
// FLT_MAX plus half its last place (2^128 - 2^103): from there on, rounding to nearest (ties to
// even) gives infinity, and below it FLT_MAX. Clamping before the cast keeps the conversion
// inside the float range. (Inline, so that the component takes it without the door's code.)
inline float engine_regularizer(double x) {
    constexpr double flt_max = std::numeric_limits<float>::max();
    constexpr double overflow_from = 0x1p128 - 0x1p103;
    constexpr float inf = std::numeric_limits<float>::infinity();
    if (std::isnan(x)) return static_cast<float>(x);
    if (x >= overflow_from) return inf;
    if (x <= -overflow_from) return -inf;
    if (x > flt_max) return std::numeric_limits<float>::max();
    if (x < -flt_max) return -std::numeric_limits<float>::max();
    return static_cast<float>(x);
}

struct MotionSettings {
    ComputationMode mode = ComputationMode::all;
    TimeDerivative time_derivative = TimeDerivative::recursive;
    bool input_filter = false;
    double regularizer = 0.01;
};

// What a refusal was about; what() is the component's message for it.
enum class MotionFault : int32_t {
    columns,        // not a positive multiple of 4
    lines,          // not positive
    out_of_memory,  // the engine's images could not be allocated (or their size cannot be)
    not_created,    // a frame or an image before create
    frame_size,     // a frame of another size than the session's
    frame_missing,  // a null frame, or a stride shorter than a line
};
class MotionError : public std::runtime_error {
  public:
    MotionError(MotionFault fault, const char* message)
        : std::runtime_error(message), fault_(fault) {}
    MotionFault fault() const { return fault_; }

  private:
    MotionFault fault_;
};

// A result image where it lies: `columns` floats per line, lines `step` floats apart. Null
// (empty) for an image that the computation mode does not compute.
struct ImageView {
    const float* base = nullptr;
    int32_t columns = 0, lines = 0;
    std::ptrdiff_t step = 0;
    const float* line(int32_t y) const { return base + y * step; }
    bool empty() const { return base == nullptr; }
};

class MotionSession {
  public:
    // Selects the kernel variants for this processor, as the component does when it is made.
    MotionSession();
    MotionSession(const MotionSession&) = delete;
    MotionSession& operator=(const MotionSession&) = delete;

    // Allocates the engine's images for the geometry and settings (releasing any earlier ones
    // first); the columns must be a positive multiple of 4. Throws MotionError (columns, lines,
    // out_of_memory), holding no images then.
    void create(int32_t columns, int32_t lines, const MotionSettings& settings = {});
    void destroy();
    bool created() const { return engine_.is_created(); }

    // One frame: `lines` lines of `columns` floats, line y at data + y * stride [floats]. The
    // size must be the session's. A stride other than the columns costs one copy of the frame.
    // Throws MotionError (not_created, frame_size, frame_missing); a refused frame changes
    // nothing.
    void process(const float* data, int32_t columns, int32_t lines, std::ptrdiff_t stride);
    void process(const float* data, int32_t columns, int32_t lines) {
        process(data, columns, lines, columns);
    }

    // A result image of the last frame (zeros before the first), valid until the next process,
    // create or destroy. Empty where the mode does not compute the image. Throws MotionError
    // (not_created).
    ImageView view(EngineImage which) const;

    int32_t columns() const { return engine_.get_columns(); }
    int32_t lines() const { return engine_.get_lines(); }
    const MotionSettings& settings() const { return settings_; }
    int32_t frames_processed() const { return engine_.get_frames_processed(); }
    const MotionEngine& engine() const { return engine_; }

  private:
    MotionEngine engine_;
    MotionSettings settings_;
    std::vector<float> staging_;  // a frame given with gaps between its lines, made contiguous
};
