// ComponentSession: the component's settings and images for the tool, through the engine's typed
// door.
//
// It owns one MotionSession and keeps the component's contract as the tool's users know it: the
// four settings as the component's keywords and values, refused with the component's own
// messages, named as the caller spells each setting; frames of the created geometry only; result
// images read where they lie, or copied. A refusal becomes a ComponentError with the status the
// component would have returned. The frame goes straight to the engine, never through an
// automation array. The tool's measuring job is its caller.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "analysis/grey_image.hpp"
#include "component/automation.hpp"
#include "engine/motion_session.hpp"

// A failure the component reported: `what()` is its own message.
class ComponentError : public std::runtime_error {
  public:
    ComponentError(const std::string& message, HRESULT hr) : std::runtime_error(message), hr_(hr) {}
    HRESULT hresult() const { return hr_; }

  private:
    HRESULT hr_;
};

// The four settings that a user may choose; the defaults are the component's own.
struct ComponentSettings {
    std::string computation_mode = "all";
    std::string timederivative_mode = "recursive";
    int32_t input_filter = 0;  // the component's LONG: a wider value cannot reach it unchanged
    double regularizer = 0.01;
};

// The images the getters hand back, as the component describes them (kResultImages).
using ResultImage = EngineImage;
const char* result_image_name(ResultImage which);  // its property name
bool parse_result_image(const std::string& name, ResultImage* which);
std::string result_image_names();  // every property name, in order, separated by blanks
// Whether the computation mode computes an image (Is and It exist in every mode).
bool mode_computes(const std::string& computation_mode, ResultImage which);

class ComponentSession {
  public:
    ComponentSession();
    ~ComponentSession();
    ComponentSession(const ComponentSession&) = delete;
    ComponentSession& operator=(const ComponentSession&) = delete;

    // What a refusal calls each setting: the command line's options by default; a host names
    // them as its callers spell them.
    struct SettingNames {
        const char* computation_mode = "--computation-mode";
        const char* timederivative_mode = "--timederivative-mode";
        const char* input_filter = "--input-filter";
        const char* regularizer = "--regularizer";
    };
    // Each putter in turn; throws ComponentError naming the setting on the first refusal.
    void apply(const ComponentSettings& settings, const SettingNames& names);
    void apply(const ComponentSettings& settings) { apply(settings, SettingNames{}); }
    // Geometry, then the engine's images; once per session.
    void create(int32_t columns, int32_t lines);
    void process(const GreyImage& frame);
    GreyImage read(ResultImage which);
    // The same into an image the caller keeps, so that a stream allocates once. An image that
    // the computation mode does not compute reads as zeros, as the component hands it out.
    void read_into(ResultImage which, GreyImage* image);

    // The image without a copy, where the engine keeps it (zeros, in the session's own copy,
    // for an image the mode does not compute). Valid until the next frame or creation.
    ImageView view(ResultImage which);

    // The door itself, for callers that want its typed views.
    const MotionSession& motion() const { return motion_; }

  private:
    // Throws what the component would have reported for a refusal of the door's.
    [[noreturn]] void refused(const MotionError& e, const std::string& what) const;

    MotionSession motion_;
    MotionSettings settings_;
    int32_t columns_ = 0;
    int32_t lines_ = 0;
    GreyImage zeros_;  // what view() hands out for an image the mode does not compute
};
