// Helpers shared by the component tests: owned strings and arrays, reading the thread's error
// record, and building frames.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/automation.hpp"
#include "component/co_orvane.hpp"

namespace orvane_test {

// An owned BSTR; the text may contain NULs.
class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(std::u16string_view text)
        : p_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(p_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return p_; }
    BSTR* out() {
        SysFreeString(p_);
        p_ = nullptr;
        return &p_;
    }
    std::u16string text() const { return p_ ? std::u16string(p_, SysStringLen(p_)) : u""; }

  private:
    BSTR p_ = nullptr;
};

inline std::u16string text_of(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : u"";
}

// The calling thread's last error message (cleared by reading), or "<none>".
inline std::string take_error() {
    OrvaneErrorInfo info{};
    if (orvane_get_error_info(&info) != S_OK) return "<none>";
    std::string message;
    for (UINT k = 0; k < SysStringLen(info.description); ++k)
        message += static_cast<char>(info.description[k]);
    SysFreeString(info.description);
    return message;
}

struct ObjectDeleter {
    void operator()(CCoOrvane* p) const { delete p; }
};
using Object = std::unique_ptr<CCoOrvane, ObjectDeleter>;

inline Object make_object() {
    Object obj(CCoOrvane::create_instance());
    EXPECT_NE(obj, nullptr);
    return obj;
}

// A VARIANT that is cleared when it goes out of scope.
struct Variant {
    VARIANT v;
    Variant() { VariantInit(&v); }
    ~Variant() { VariantClear(&v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

// A new VT_ARRAY | VT_R4 variant of (first x second) floats with the given lower bound,
// filled from `values` (first index fastest) when given.
inline void make_float_array(VARIANT* v, ULONG first, ULONG second, LONG lower_bound = 0,
                             const std::vector<float>& values = {}) {
    SAFEARRAYBOUND bounds[2] = {{first, lower_bound}, {second, lower_bound}};
    SAFEARRAY* array = SafeArrayCreate(VT_R4, 2, bounds);
    ASSERT_NE(array, nullptr);
    if (!values.empty()) {
        ASSERT_EQ(values.size(), size_t{first} * second);
        void* data = nullptr;
        ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
        std::memcpy(data, values.data(), values.size() * sizeof(float));
        SafeArrayUnaccessData(array);
    }
    VariantClear(v);
    v->vt = VT_ARRAY | VT_R4;
    v->parray = array;
}

// The floats of an array variant, first index fastest.
inline std::vector<float> floats_of(const VARIANT& v) {
    std::vector<float> out;
    if (v.vt != (VT_ARRAY | VT_R4) || !v.parray) return out;
    size_t count = 1;
    for (USHORT d = 0; d < v.parray->cDims; ++d) count *= v.parray->rgsabound[d].cElements;
    out.resize(count);
    std::memcpy(out.data(), v.parray->pvData, count * sizeof(float));
    return out;
}

// A frame with structure in both directions that changes from frame to frame.
inline std::vector<float> test_frame(int32_t columns, int32_t lines, int32_t frame) {
    std::vector<float> f(size_t(columns) * lines);
    for (int32_t y = 0; y < lines; ++y)
        for (int32_t x = 0; x < columns; ++x)
            f[size_t(y) * columns + x] =
                float((x * 7 + y * 13 + frame * 5) % 31) + 0.25f * float(x % 3) + float(y * y % 5);
    return f;
}

}  // namespace orvane_test
