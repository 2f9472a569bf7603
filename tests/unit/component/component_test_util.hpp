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
#include "component/host_support.hpp"

// Test hooks (automation_faults_support.cpp): on the calling thread, let the next `successes`
// string and array allocations succeed and make every later one fail, until called again with a
// negative count (the default: never fail); and, while set, make SafeArrayAccessData fail with
// E_UNEXPECTED, as the platform's does for an array it cannot lock.
void orvane_fail_allocations_after(int successes);
void orvane_fail_array_access(bool fail);

namespace orvane_test {

// An owned BSTR; the text may contain NULs.
using Bstr = orvane_host::OwnedBstr;

inline std::u16string text_of(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : u"";
}

// The calling thread's last error message (cleared by reading), or "<none>".
inline std::string take_error() {
    return orvane_host::take_error_text().value_or("<none>");
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
    const orvane_host::FloatArrayView view(v);
    if (!view.data()) return {};
    return std::vector<float>(view.data(), view.data() + view.size());
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
