#include "analysis/component_session.hpp"

#include <cstring>

#include "component/host_support.hpp"

namespace {

using orvane_host::OwnedBstr;

// The message the component recorded for this thread; empty when there is none.
std::string take_error_message() {
    return orvane_host::take_error_text().value_or("");
}

// Clears a stale record so that the message read after a failure is the one it left.
void clear_error_message() {
    (void)take_error_message();
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
    return orvane_mode_computes(mode, which);
}

ComponentSession::ComponentSession() : object_(CCoOrvane::create_instance()) {
    if (!object_) throw ComponentError("cannot create the component: out of memory", E_OUTOFMEMORY);
}

ComponentSession::~ComponentSession() {
    if (object_ && object_->is_created()) object_->destroy_orvane();
}

void ComponentSession::check(HRESULT hr, const std::string& what) {
    if (SUCCEEDED(hr)) return;
    std::string message = take_error_message();
    if (message.empty()) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        message = std::string("failed with HRESULT ") + code;
    }
    throw ComponentError(what + ": " + message, hr);
}

std::string ComponentSession::keywords(HRESULT (CCoOrvane::*list)(BSTR*)) {
    BSTR text = nullptr;
    if (FAILED(((*object_).*list)(&text)) || !text) return {};
    // One keyword per line, each ended by a line feed.
    std::string out;
    const UINT n = SysStringLen(text);
    for (UINT i = 0; i < n; ++i) {
        const char16_t c = text[i];
        if (c == u'\n') {
            if (i + 1 < n) out += ", ";
        } else {
            out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
    }
    SysFreeString(text);
    return out;
}

void ComponentSession::apply(const ComponentSettings& s, const SettingNames& names) {
    current_ = false;
    clear_error_message();
    // A refused keyword is reported with the keywords the component knows.
    auto check_keyword = [&](HRESULT hr, const std::string& what,
                             HRESULT (CCoOrvane::*list)(BSTR*)) {
        try {
            check(hr, what);
        } catch (const ComponentError& e) {
            const std::string allowed = keywords(list);
            if (allowed.empty()) throw;
            throw ComponentError(std::string(e.what()) + " (choose from " + allowed + ")",
                                 e.hresult());
        }
    };
    {
        const OwnedBstr mode = OwnedBstr::from_ascii(s.computation_mode);
        check_keyword(object_->put_computation_mode(mode.get()),
                      std::string(names.computation_mode) + " '" + s.computation_mode + "'",
                      &CCoOrvane::list_computation_modes);
    }
    {
        const OwnedBstr mode = OwnedBstr::from_ascii(s.timederivative_mode);
        check_keyword(object_->put_timederivative_mode(mode.get()),
                      std::string(names.timederivative_mode) + " '" + s.timederivative_mode + "'",
                      &CCoOrvane::list_timederivative_modes);
    }
    check(object_->put_input_filter(s.input_filter), names.input_filter);
    check(object_->put_regularizer(s.regularizer), names.regularizer);
}

void ComponentSession::create(int32_t columns, int32_t lines) {
    current_ = false;
    clear_error_message();
    check(object_->put_columns(columns), "image width " + std::to_string(columns));
    check(object_->put_lines(lines), "image height " + std::to_string(lines));
    check(object_->create_orvane(), "create_orvane");
    columns_ = columns;
    lines_ = lines;
}

void ComponentSession::process(const GreyImage& frame) {
    // The array describes the frame's own memory, so the component reads it in place, and its
    // counts are the frame's: a frame of another size is refused by the component's size
    // check, never read past its end.
    SafeArrayView2D view;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_R4;
    v.parray =
        safe_array_view_2d(&view, const_cast<float*>(frame.data.data()), sizeof(float),
                           static_cast<ULONG>(frame.columns), static_cast<ULONG>(frame.lines));
    current_ = false;
    check(object_->process_data(v), "process_data");
    current_ = true;
}

// The object's own buffer of a result image, when a frame was processed since the last
// setting, read from the region the description gives.
bool ComponentSession::buffer_of(ResultImage which, ImageView* out) const {
    if (!current_) return false;
    const MotionEngine& e = object_->engine_view();
    const float* src = e.get_image(which);
    if (!src || e.get_columns() != columns_ || e.get_lines() != lines_) return false;
    int32_t step = e.get_plain_step();  // [bytes]
    if (kResultImages[static_cast<int32_t>(which)].region == ImageRegion::interior) {
        src += e.get_interior_offset();
        step = e.get_padded_step();
    }
    *out = {src, columns_, lines_, static_cast<std::ptrdiff_t>(step / sizeof(float))};
    return true;
}

ImageView ComponentSession::view(ResultImage which) {
    ImageView v;
    if (buffer_of(which, &v)) return v;
    GreyImage& copy = copies_[static_cast<int>(which)];
    read_into(which, &copy);
    return {copy.data.data(), copy.columns, copy.lines, copy.columns};
}

GreyImage ComponentSession::read(ResultImage which) {
    GreyImage image;
    read_into(which, &image);
    return image;
}

void ComponentSession::read_into(ResultImage which, GreyImage* out) {
    // After a processed frame the getters' copy is made straight from the object's buffer.
    ImageView buffer;
    if (buffer_of(which, &buffer)) {
        if (out->columns != columns_ || out->lines != lines_) *out = GreyImage(columns_, lines_);
        for (int32_t y = 0; y < lines_; ++y) {
            std::memcpy(out->line(y), buffer.line(y),
                        static_cast<size_t>(columns_) * sizeof(float));
        }
        return;
    }
    VARIANT v;
    VariantInit(&v);
    const auto index = static_cast<int32_t>(which);
    const HRESULT hr = index >= 0 && index < kResultImageCount
                           ? ((*object_).*orvane_image_getters[index])(&v)
                           : E_INVALIDARG;
    check(hr, std::string("reading ") + result_image_name(which));
    if (out->columns != columns_ || out->lines != lines_) *out = GreyImage(columns_, lines_);
    GreyImage& image = *out;
    void* data = nullptr;
    SAFEARRAY* array = (v.vt == (VT_ARRAY | VT_R4)) ? v.parray : nullptr;
    if (!array || SafeArrayGetDim(array) != 2 || FAILED(SafeArrayAccessData(array, &data))) {
        VariantClear(&v);
        throw ComponentError(
            std::string("the component returned no image for ") + result_image_name(which), E_FAIL);
    }
    // Element counts are checked so that a size mismatch can never read past the array.
    const size_t count =
        static_cast<size_t>(array->rgsabound[0].cElements) * array->rgsabound[1].cElements;
    if (count == image.data.size()) {
        std::memcpy(image.data.data(), data, count * sizeof(float));
    }
    SafeArrayUnaccessData(array);
    VariantClear(&v);
    if (count != image.data.size()) {
        throw ComponentError(std::string("the component returned an image of the wrong size for ") +
                                 result_image_name(which),
                             E_FAIL);
    }
}
