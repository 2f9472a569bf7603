#include "com_helpers.hpp"

#include <cstdio>
#include <cstring>

std::string narrow(const wchar_t* text) {
    if (!text) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring widen(const std::string& text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), size);
    return out;
}

std::string Bstr::utf8() const {
    // Keeps embedded characters: the length prefix decides, not the first NUL.
    std::wstring text(s_ ? s_ : L"", s_ ? SysStringLen(s_) : 0);
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

std::string take_error_description() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return std::string();
    BSTR description = nullptr;
    info->GetDescription(&description);
    std::string text = narrow(description);
    SysFreeString(description);
    info->Release();
    return text;
}

SAFEARRAY* make_image_array(const float* data, LONG columns, LONG lines, LONG lbound) {
    // Bounds are given in index order: first index (columns) first.
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(columns), lbound},
                                {static_cast<ULONG>(lines), lbound}};
    SAFEARRAY* array = SafeArrayCreate(VT_R4, 2, bounds);
    if (!array) return nullptr;
    void* block = nullptr;
    if (FAILED(SafeArrayAccessData(array, &block))) {
        SafeArrayDestroy(array);
        return nullptr;
    }
    if (data) std::memcpy(block, data, sizeof(float) * columns * lines);
    SafeArrayUnaccessData(array);
    return array;
}

ImageResult read_image(const VARIANT& v) {
    ImageResult r;
    if (v.vt != (VT_ARRAY | VT_R4)) {
        r.problem = "variant type " + std::to_string(v.vt) + " instead of VT_ARRAY|VT_R4";
        return r;
    }
    SAFEARRAY* array = v.parray;
    if (!array || SafeArrayGetDim(array) != 2 || SafeArrayGetElemsize(array) != 4) {
        r.problem = "not a two-dimensional array of 4-byte elements";
        return r;
    }
    LONG lo1 = 0, hi1 = 0, lo2 = 0, hi2 = 0;
    SafeArrayGetLBound(array, 1, &lo1);
    SafeArrayGetUBound(array, 1, &hi1);
    SafeArrayGetLBound(array, 2, &lo2);
    SafeArrayGetUBound(array, 2, &hi2);
    r.width = hi1 - lo1 + 1;
    r.height = hi2 - lo2 + 1;
    r.lbound1 = lo1;
    r.lbound2 = lo2;
    void* block = nullptr;
    if (FAILED(SafeArrayAccessData(array, &block))) {
        r.problem = "SafeArrayAccessData failed";
        return r;
    }
    const float* f = static_cast<const float*>(block);
    r.data.assign(f, f + static_cast<size_t>(r.width) * r.height);
    SafeArrayUnaccessData(array);
    r.ok = true;
    return r;
}

std::string compare_images(const std::vector<float>& got, const std::vector<float>& want,
                           LONG width) {
    if (got.size() != want.size())
        return "size " + std::to_string(got.size()) + " instead of " + std::to_string(want.size());
    size_t differing = 0, first = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        if (std::memcmp(&got[k], &want[k], sizeof(float)) != 0) {
            if (differing++ == 0) first = k;
        }
    }
    if (differing == 0) return std::string();
    char text[160];
    std::snprintf(text, sizeof text, "%zu elements differ; first at x=%ld y=%ld: %.9g vs %.9g",
                  differing, static_cast<long>(first % width), static_cast<long>(first / width),
                  got[first], want[first]);
    return text;
}

// The reference file, all values little-endian:
//   "ORVREF01", int32 case count, then per case:
//   int32 lines, columns, input_filter; float64 regularizer;
//   string time mode; string computation mode (string = int32 length + bytes);
//   int32 frame count, frames (lines x columns float32 each);
//   int32 image count, per image: string name, int32 width, height, width x height float32.
namespace {
struct Reader {
    FILE* f;
    bool good = true;
    template <class T>
    T get() {
        T value{};
        if (good && std::fread(&value, sizeof value, 1, f) != 1) good = false;
        return value;
    }
    std::string get_string() {
        int32_t n = get<int32_t>();
        if (!good || n < 0 || n > 4096) {
            good = false;
            return std::string();
        }
        std::string s(n, '\0');
        if (n && std::fread(s.data(), 1, n, f) != static_cast<size_t>(n)) good = false;
        return s;
    }
    std::vector<float> get_floats(int64_t n) {
        if (!good || n < 0 || n > (int64_t{1} << 26)) {
            good = false;
            return {};
        }
        std::vector<float> v(static_cast<size_t>(n));
        if (n && std::fread(v.data(), sizeof(float), v.size(), f) != v.size()) good = false;
        return v;
    }
};
}  // namespace

bool load_reference(const std::wstring& path, std::vector<ReferenceCase>& cases,
                    std::string& error) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) {
        error = "cannot open the reference file " + narrow(path.c_str());
        return false;
    }
    Reader in{f};
    char magic[8] = {};
    if (std::fread(magic, 1, 8, f) != 8 || std::memcmp(magic, "ORVREF01", 8) != 0) {
        std::fclose(f);
        error = "not a reference file: " + narrow(path.c_str());
        return false;
    }
    int32_t count = in.get<int32_t>();
    for (int32_t c = 0; in.good && c < count; ++c) {
        ReferenceCase rc;
        rc.lines = in.get<int32_t>();
        rc.columns = in.get<int32_t>();
        rc.input_filter = in.get<int32_t>();
        rc.regularizer = in.get<double>();
        rc.timederivative_mode = in.get_string();
        rc.computation_mode = in.get_string();
        int32_t frames = in.get<int32_t>();
        for (int32_t k = 0; in.good && k < frames; ++k)
            rc.frames.push_back(in.get_floats(int64_t{rc.lines} * rc.columns));
        int32_t images = in.get<int32_t>();
        for (int32_t k = 0; in.good && k < images; ++k) {
            ReferenceCase::Image image;
            image.name = in.get_string();
            image.width = in.get<int32_t>();
            image.height = in.get<int32_t>();
            image.data = in.get_floats(int64_t{image.width} * image.height);
            rc.images.push_back(std::move(image));
        }
        cases.push_back(std::move(rc));
    }
    std::fclose(f);
    if (!in.good) error = "truncated or malformed reference file";
    return in.good;
}

DISPID LateBound::id(const wchar_t* name) const {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    if (FAILED(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
        return DISPID_UNKNOWN;
    return id;
}

HRESULT LateBound::invoke(const wchar_t* name, WORD flags, std::vector<VARIANT> args,
                          VARIANT* result, EXCEPINFO* exception) const {
    DISPID member = id(name);
    if (member == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());  // dispatch order: last first
    DISPID named_put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &named_put;
        params.cNamedArgs = 1;
    }
    UINT arg_error = 0;
    return dispatch->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                            exception, &arg_error);
}

VARIANT long_arg(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT double_arg(double value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = value;
    return v;
}

VARIANT string_arg(BSTR value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = value;
    return v;
}

ExceptionText take_exception(EXCEPINFO& e) {
    ExceptionText t{narrow(e.bstrDescription), narrow(e.bstrSource), e.scode};
    SysFreeString(e.bstrDescription);
    SysFreeString(e.bstrSource);
    SysFreeString(e.bstrHelpFile);
    e = EXCEPINFO{};
    return t;
}
