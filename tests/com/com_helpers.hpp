// Helpers of the Windows clients: an owning interface pointer, owned strings and variants,
// float arrays in and out of SAFEARRAYs, the thread's error information, and the frames and
// results written by the native reference program.
#pragma once

#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "orvane_h.h"

// An interface pointer that releases what it holds.
template <class T>
class Ptr {
  public:
    Ptr() = default;
    explicit Ptr(T* p) : p_(p) {}
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    Ptr(Ptr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ptr() { reset(); }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

// An owned BSTR.
class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(s_); }
    BSTR get() const { return s_; }
    BSTR* put() {
        SysFreeString(s_);
        s_ = nullptr;
        return &s_;
    }
    std::string utf8() const;

  private:
    BSTR s_ = nullptr;
};

// An owned VARIANT.
struct Variant {
    VARIANT v;
    Variant() { VariantInit(&v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&v); }
    VARIANT* operator&() { return &v; }
};

std::string narrow(const wchar_t* text);
std::wstring widen(const std::string& text);

// The calling thread's error description (taken with GetErrorInfo), "" when there is none.
std::string take_error_description();

// A new two-dimensional float array with `columns` elements in the first index and `lines`
// in the second (lower bounds `lbound`), filled from `data` (lines x columns, line after line).
SAFEARRAY* make_image_array(const float* data, LONG columns, LONG lines, LONG lbound = 0);

// An image read back from a result array: its extents, lower bounds and data.
struct ImageResult {
    bool ok = false;      // VT_ARRAY | VT_R4 with two dimensions
    std::string problem;  // why not, when !ok
    LONG width = 0, height = 0;
    LONG lbound1 = 0, lbound2 = 0;
    std::vector<float> data;
};
ImageResult read_image(const VARIANT& v);

// Compares two images element by element; "" when equal bit for bit, else a description of
// the first difference and the count of differing elements.
std::string compare_images(const std::vector<float>& got, const std::vector<float>& want,
                           LONG width);

// One configuration of the native reference run: settings, frames and every image after the
// last frame.
struct ReferenceCase {
    LONG lines = 0, columns = 0, input_filter = 0;
    double regularizer = 0;
    std::string timederivative_mode, computation_mode;
    std::vector<std::vector<float>> frames;
    struct Image {
        std::string name;  // "Un", "imgbuffer(3)", ...
        LONG width = 0, height = 0;
        std::vector<float> data;
    };
    std::vector<Image> images;
};
bool load_reference(const std::wstring& path, std::vector<ReferenceCase>& cases,
                    std::string& error);

// Paths given on the command line.
const std::wstring& module_path();     // Orvane.dll
const std::wstring& reference_path();  // the native reference file

// Late binding by name through IDispatch, as scripts and numerical environments call.
struct LateBound {
    IDispatch* dispatch;
    // The DISPID of `name` (DISPID_UNKNOWN when GetIDsOfNames fails).
    DISPID id(const wchar_t* name) const;
    // Invoke with `flags`; `args` in natural order (the first argument first).
    HRESULT invoke(const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result,
                   EXCEPINFO* exception) const;
    HRESULT get(const wchar_t* name, VARIANT* result, EXCEPINFO* exception = nullptr) const {
        return invoke(name, DISPATCH_PROPERTYGET, {}, result, exception);
    }
    HRESULT put(const wchar_t* name, VARIANT value, EXCEPINFO* exception = nullptr) const {
        return invoke(name, DISPATCH_PROPERTYPUT, {value}, nullptr, exception);
    }
    HRESULT call(const wchar_t* name, std::vector<VARIANT> args = {}, VARIANT* result = nullptr,
                 EXCEPINFO* exception = nullptr) const {
        return invoke(name, DISPATCH_METHOD, std::move(args), result, exception);
    }
};
VARIANT long_arg(LONG value);
VARIANT double_arg(double value);
VARIANT string_arg(BSTR value);  // borrowed: the caller keeps the string
// The texts of an EXCEPINFO, freed.
struct ExceptionText {
    std::string description, source;
    HRESULT scode;
};
ExceptionText take_exception(EXCEPINFO& e);
