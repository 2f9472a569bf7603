// What a host written against the automation subset needs around the component: an owned
// automation string, the reader of the calling thread's error text, and a view of a float array
// that a getter handed out. The Python module, orvane-flow's session and the tests use these
// instead of keeping their own. (Windows hosts of the module use the platform's own.)
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "component/automation.hpp"

namespace orvane_host {

// An owned BSTR (null stands for no string); the text may contain NULs.
class OwnedBstr {
  public:
    OwnedBstr() = default;
    explicit OwnedBstr(std::u16string_view text)
        : p_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    // From ASCII text (the component's keywords and messages are ASCII); bytes above 0x7F are
    // passed through one code unit each.
    static OwnedBstr from_ascii(std::string_view text) {
        return OwnedBstr(std::u16string(text.begin(), text.end()));
    }
    ~OwnedBstr() { SysFreeString(p_); }
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
    OwnedBstr(OwnedBstr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    OwnedBstr& operator=(OwnedBstr&& other) noexcept {
        if (this != &other) {
            SysFreeString(p_);
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }

    BSTR get() const { return p_; }
    // For an [out] BSTR parameter: frees what is held, then takes what the callee returns.
    BSTR* out() {
        SysFreeString(p_);
        p_ = nullptr;
        return &p_;
    }
    std::u16string text() const { return p_ ? std::u16string(p_, SysStringLen(p_)) : u""; }

  private:
    BSTR p_ = nullptr;
};

// UTF-16 code units to UTF-8; a lone surrogate becomes U+FFFD.
inline std::string utf8_of(const OLECHAR* text, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The message the component last recorded on the calling thread, as UTF-8 text; reading clears
// the record, as GetErrorInfo does. None when no error is recorded.
inline std::optional<std::string> take_error_text() {
    OrvaneErrorInfo info{};
    if (orvane_get_error_info(&info) != S_OK) return std::nullopt;
    std::string text;
    if (info.description) {
        text = utf8_of(info.description, SysStringLen(info.description));
        SysFreeString(info.description);
    }
    return text;
}

// The floats of a two-dimensional VT_ARRAY | VT_R4 variant, locked for the life of the view.
// `first` counts the index that runs fastest in memory (an image's columns), `second` the other
// (its lines). A variant of another type or shape, or an array that cannot be locked, gives an
// empty view (data() null).
class FloatArrayView {
  public:
    explicit FloatArrayView(const VARIANT& v) {
        if (v.vt != (VT_ARRAY | VT_R4) || !v.parray || SafeArrayGetDim(v.parray) != 2) return;
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(v.parray, &data))) return;
        array_ = v.parray;
        data_ = static_cast<const float*>(data);
        // Bounds are stored last dimension first.
        first_ = array_->rgsabound[1].cElements;
        second_ = array_->rgsabound[0].cElements;
    }
    ~FloatArrayView() {
        if (array_) SafeArrayUnaccessData(array_);
    }
    FloatArrayView(const FloatArrayView&) = delete;
    FloatArrayView& operator=(const FloatArrayView&) = delete;

    const float* data() const { return data_; }
    ULONG first() const { return first_; }
    ULONG second() const { return second_; }
    std::size_t size() const { return std::size_t{first_} * second_; }

  private:
    SAFEARRAY* array_ = nullptr;
    const float* data_ = nullptr;
    ULONG first_ = 0, second_ = 0;
};

}  // namespace orvane_host
