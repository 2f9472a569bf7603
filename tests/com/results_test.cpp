// Every result image, read through early and late binding, against the results of the native
// build on the same frames (written by orvane_com_reference). Both builds select the kernel
// variants of this processor, so the images must agree bit for bit.
#include "com_helpers.hpp"
#include "harness.hpp"

namespace {

using Getter = HRESULT (STDMETHODCALLTYPE IOrvane::*)(VARIANT*);
using IndexedGetter = HRESULT (STDMETHODCALLTYPE IOrvane::*)(LONG, VARIANT*);

struct NamedGetter {
    const char* name;
    Getter getter;
};
const NamedGetter getters[] = {
    {"Is", &IOrvane::get_Is},   {"It", &IOrvane::get_It},   {"It2", &IOrvane::get_It2},
    {"Ix", &IOrvane::get_Ix},   {"Iy", &IOrvane::get_Iy},   {"Fn2", &IOrvane::get_Fn2},
    {"Un", &IOrvane::get_Un},   {"Vn", &IOrvane::get_Vn},   {"Ix2", &IOrvane::get_Ix2},
    {"Iy2", &IOrvane::get_Iy2}, {"Ig2", &IOrvane::get_Ig2}, {"Ixy", &IOrvane::get_Ixy},
    {"Ixt", &IOrvane::get_Ixt}, {"Iyt", &IOrvane::get_Iyt},
};

const std::vector<ReferenceCase>* reference() {
    static std::vector<ReferenceCase> cases;
    static std::string error;
    static bool loaded = load_reference(reference_path(), cases, error);
    if (!loaded) harness::fail(__FILE__, __LINE__, error);
    return loaded ? &cases : nullptr;
}

std::string case_label(const ReferenceCase& c) {
    return c.timederivative_mode + "/" + c.computation_mode + " " + std::to_string(c.columns) +
           "x" + std::to_string(c.lines) + " filter " + std::to_string(c.input_filter);
}

// Compares one returned image with the reference image of the same name.
void compare(const ReferenceCase& c, const std::string& name, HRESULT hr, const VARIANT& v,
             const char* binding) {
    std::string where = case_label(c) + ", " + binding + " " + name;
    if (FAILED(hr)) return harness::fail(__FILE__, __LINE__, where + ": " + harness::hr_text(hr));
    const ReferenceCase::Image* want = nullptr;
    for (const auto& image : c.images)
        if (image.name == name) want = &image;
    if (!want) return harness::fail(__FILE__, __LINE__, where + ": not in the reference file");
    ImageResult got = read_image(v);
    if (!got.ok) return harness::fail(__FILE__, __LINE__, where + ": " + got.problem);
    if (got.width != want->width || got.height != want->height || got.lbound1 != 1 ||
        got.lbound2 != 1)
        return harness::fail(
            __FILE__, __LINE__,
            where + ": " + std::to_string(got.width) + "x" + std::to_string(got.height) + " from " +
                std::to_string(got.lbound1) + "," + std::to_string(got.lbound2) + ", expected " +
                std::to_string(want->width) + "x" + std::to_string(want->height) + " from 1,1");
    std::string difference = compare_images(got.data, want->data, got.width);
    if (!difference.empty()) harness::fail(__FILE__, __LINE__, where + ": " + difference);
}

}  // namespace

TEST(results_early_binding_match_native) {
    const std::vector<ReferenceCase>* cases = reference();
    REQUIRE(cases && !cases->empty(), "no reference cases");
    for (const ReferenceCase& c : *cases) {
        Ptr<IOrvane> o;
        CHECK_HR(CoCreateInstance(CLSID_CoOrvane, nullptr, CLSCTX_INPROC_SERVER, IID_IOrvane,
                                  o.put_void()),
                 S_OK);
        REQUIRE(o, "no object");
        Bstr td(widen(c.timederivative_mode).c_str()), mode(widen(c.computation_mode).c_str());
        CHECK_HR(o->put_lines(c.lines), S_OK);
        CHECK_HR(o->put_columns(c.columns), S_OK);
        CHECK_HR(o->put_input_filter(c.input_filter), S_OK);
        CHECK_HR(o->put_regularizer(c.regularizer), S_OK);
        CHECK_HR(o->put_timederivative_mode(td.get()), S_OK);
        CHECK_HR(o->put_computation_mode(mode.get()), S_OK);
        CHECK_HR(o->create_orvane(), S_OK);
        for (const auto& frame : c.frames) {
            VARIANT img;
            VariantInit(&img);
            img.vt = VT_ARRAY | VT_R4;
            img.parray = make_image_array(frame.data(), c.columns, c.lines);
            CHECK_HR(o->process_data(img), S_OK);
            VariantClear(&img);
        }
        for (const NamedGetter& g : getters) {
            Variant v;
            HRESULT hr = (o.get()->*g.getter)(&v);
            compare(c, g.name, hr, v.v, "early");
        }
        const struct {
            const char* name;
            IndexedGetter getter;
        } indexed[] = {{"imgbuffer", &IOrvane::get_imgbuffer},
                       {"imgdebug", &IOrvane::get_imgdebug}};
        for (const auto& g : indexed)
            for (LONG i = 0; i < 5; ++i) {
                Variant v;
                HRESULT hr = (o.get()->*g.getter)(i, &v);
                compare(c, std::string(g.name) + "(" + std::to_string(i) + ")", hr, v.v, "early");
            }
    }
}

TEST(results_late_binding_match_native) {
    const std::vector<ReferenceCase>* cases = reference();
    REQUIRE(cases && !cases->empty(), "no reference cases");
    for (const ReferenceCase& c : *cases) {
        Ptr<IDispatch> d;
        CHECK_HR(CoCreateInstance(CLSID_CoOrvane, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                  d.put_void()),
                 S_OK);
        REQUIRE(d, "no object");
        LateBound o{d.get()};
        Bstr td(widen(c.timederivative_mode).c_str()), mode(widen(c.computation_mode).c_str());
        CHECK_HR(o.put(L"lines", long_arg(c.lines)), S_OK);
        CHECK_HR(o.put(L"columns", long_arg(c.columns)), S_OK);
        CHECK_HR(o.put(L"input_filter", long_arg(c.input_filter)), S_OK);
        CHECK_HR(o.put(L"regularizer", double_arg(c.regularizer)), S_OK);
        CHECK_HR(o.put(L"timederivative_mode", string_arg(td.get())), S_OK);
        CHECK_HR(o.put(L"computation_mode", string_arg(mode.get())), S_OK);
        CHECK_HR(o.call(L"create_orvane"), S_OK);
        // Frames alternate between an array by value and one by reference, as numerical
        // environments pass them.
        bool by_reference = false;
        for (const auto& frame : c.frames) {
            SAFEARRAY* array = make_image_array(frame.data(), c.columns, c.lines);
            VARIANT img;
            VariantInit(&img);
            if (by_reference) {
                img.vt = VT_BYREF | VT_ARRAY | VT_R4;
                img.pparray = &array;
            } else {
                img.vt = VT_ARRAY | VT_R4;
                img.parray = array;
            }
            EXCEPINFO e = {};
            HRESULT hr = o.call(L"process_data", {img}, nullptr, &e);
            ExceptionText t = take_exception(e);
            CHECK(hr == S_OK, case_label(c) + ": late-bound process_data (" +
                                  (by_reference ? "by reference" : "by value") + ") gave " +
                                  harness::hr_text(hr) + " " + t.description);
            SafeArrayDestroy(array);
            by_reference = !by_reference;
        }
        for (const NamedGetter& g : getters) {
            Variant v;
            HRESULT hr = o.get(widen(g.name).c_str(), &v.v);
            compare(c, g.name, hr, v.v, "late");
        }
        for (const wchar_t* name : {L"imgbuffer", L"imgdebug"})
            for (LONG i = 0; i < 5; ++i) {
                Variant v;
                HRESULT hr = o.invoke(name, DISPATCH_PROPERTYGET, {long_arg(i)}, &v.v, nullptr);
                compare(c, narrow(name) + "(" + std::to_string(i) + ")", hr, v.v, "late");
            }
    }
}
