// ComponentSession: the host side of one CCoOrvane object, for the tool and the analysis.
//
// It owns the object and drives the component exactly as any host does: the settings through
// their putters, create_orvane, process_data per frame (the frame's own memory, described by a
// safe-array view), the image getters to read results. A refused call becomes a ComponentError
// carrying the component's own message, read from the calling thread's error record. The tool's run
// loop and the flow tracker are its callers.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include "analysis/grey_image.hpp"
#include "component/co_orvane.hpp"

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

// A result image where it lies: `columns` floats per line, lines `step` floats apart.
struct ImageView {
    const float* base = nullptr;
    int32_t columns = 0, lines = 0;
    std::ptrdiff_t step = 0;
    const float* line(int32_t y) const { return base + y * step; }
};

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
    // Geometry, then create_orvane.
    void create(int32_t columns, int32_t lines);
    void process(const GreyImage& frame);
    GreyImage read(ResultImage which);
    // The same into an image the caller keeps, so that a stream allocates once. After a
    // processed frame the image is copied once, straight from the object's buffers (the
    // getters' own copy, without their array); otherwise it goes through the getter.
    void read_into(ResultImage which, GreyImage* image);

    // The image without a copy where the object's buffers can be reached (after a processed
    // frame), else read through the getter into the session's own copy. Valid until the next
    // call that changes the object, or the next view of the same image.
    ImageView view(ResultImage which);

  private:
    void check(HRESULT hr, const std::string& what);
    bool buffer_of(ResultImage which, ImageView* out) const;
    // A keyword list of the component ("a, b, c"); empty when it cannot be read.
    std::string keywords(HRESULT (CCoOrvane::*list)(BSTR*));

    std::unique_ptr<CCoOrvane> object_;
    int32_t columns_ = 0;
    int32_t lines_ = 0;
    // A frame was processed since the last setting or creation: the results can be copied
    // straight from the object's buffers, as the getters would copy them.
    bool current_ = false;
    GreyImage copies_[kResultImageCount];  // what view() read through the getters, by image
};
