// CCoOrvane through its interface members: settings and their validation, the create /
// destroy / process checks with every message, the Idle/Running/Stale states, the result
// images, and the out-of-memory paths.
#include "component/co_orvane.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "component/component_test_util.hpp"
#include "engine/engine_test_access.hpp"
#include "primitives/primitives.hpp"

using namespace orvane_test;

namespace {

constexpr const char* kNotAllocated = "Object not allocated. Please invoke 'create_orvane()'.";
constexpr const char* kStale = "Critical properties have changed. Object must be re-created.";
constexpr const char* kModeLocked =
    "Object is already initialized. To use a different mode you must create a new one.";

// Sets both modes and the geometry on a new object; returns it created.
Object running_object(std::u16string_view td, std::u16string_view mode, LONG columns = 16,
                      LONG lines = 8, LONG filter = 0) {
    Object obj = make_object();
    Bstr t(td), m(mode);
    EXPECT_EQ(obj->put_timederivative_mode(t.get()), S_OK);
    EXPECT_EQ(obj->put_computation_mode(m.get()), S_OK);
    EXPECT_EQ(obj->put_columns(columns), S_OK);
    EXPECT_EQ(obj->put_lines(lines), S_OK);
    EXPECT_EQ(obj->put_input_filter(filter), S_OK);
    EXPECT_EQ(obj->create_orvane(), S_OK);
    return obj;
}

HRESULT feed(CCoOrvane& obj, LONG columns, LONG lines, int32_t frame) {
    Variant img;
    make_float_array(&img.v, ULONG(columns), ULONG(lines), 0, test_frame(columns, lines, frame));
    return obj.process_data(img.v);
}

// ---- settings ----

// Constructing an object runs the variant selection: slots put on another column by hand are
// back on this processor's column afterwards.
TEST(CoOrvaneSettings, ConstructionSelectsTheProcessorVariants) {
    const int32_t column = prim_cpu_class();
    ASSERT_EQ(prim_fill_slots(column == 3 ? 0 : 3), 1);
    Object obj = make_object();
    for (int32_t i = 0; i < prim_dispatch_count; ++i)
        EXPECT_EQ(prim_dispatch_table[i].slot->load(), prim_dispatch_table[i].variant[column])
            << "entry " << i;
}

TEST(CoOrvaneSettings, NewObjectHasTheDefaults) {
    Object obj = make_object();
    LONG lines = 0, columns = 0, filter = -1;
    double regularizer = 0;
    Bstr td, mode;
    EXPECT_EQ(obj->get_lines(&lines), S_OK);
    EXPECT_EQ(obj->get_columns(&columns), S_OK);
    EXPECT_EQ(obj->get_input_filter(&filter), S_OK);
    EXPECT_EQ(obj->get_regularizer(&regularizer), S_OK);
    EXPECT_EQ(obj->get_timederivative_mode(td.out()), S_OK);
    EXPECT_EQ(obj->get_computation_mode(mode.out()), S_OK);
    EXPECT_EQ(lines, 128);
    EXPECT_EQ(columns, 128);
    EXPECT_EQ(filter, 0);
    EXPECT_EQ(std::bit_cast<uint64_t>(regularizer), 0x3F847AE147AE147Bull);
    EXPECT_EQ(td.text(), u"recursive");
    EXPECT_EQ(mode.text(), u"all");
    EXPECT_FALSE(obj->is_created());
}

TEST(CoOrvaneSettings, PuttersValidateAndReportExactly) {
    struct Case {
        const char* what;
        std::function<HRESULT(CCoOrvane&)> put;
        HRESULT hr;
        std::string message;  // "<none>" when nothing may be recorded
        std::function<void(CCoOrvane&)> check;
    };
    const std::string kColumns =
        "Number of image columns must be a positive integer multiple of 4.";
    const std::string kLines = "Number of lines must be a positive integer";
    auto columns_are = [](LONG want) {
        return [want](CCoOrvane& o) {
            LONG v = 0;
            o.get_columns(&v);
            EXPECT_EQ(v, want);
        };
    };
    auto lines_are = [](LONG want) {
        return [want](CCoOrvane& o) {
            LONG v = 0;
            o.get_lines(&v);
            EXPECT_EQ(v, want);
        };
    };
    auto mode_is = [](std::u16string want) {
        return [want](CCoOrvane& o) {
            Bstr m;
            o.get_computation_mode(m.out());
            EXPECT_EQ(m.text(), want);
        };
    };
    auto td_is = [](std::u16string want) {
        return [want](CCoOrvane& o) {
            Bstr m;
            o.get_timederivative_mode(m.out());
            EXPECT_EQ(m.text(), want);
        };
    };
    auto put_mode = [](std::u16string_view s) {
        return [s](CCoOrvane& o) {
            Bstr b(s);
            return o.put_computation_mode(b.get());
        };
    };
    auto put_td = [](std::u16string_view s) {
        return [s](CCoOrvane& o) {
            Bstr b(s);
            return o.put_timederivative_mode(b.get());
        };
    };
    const Case cases[] = {
        {"columns 6", [](CCoOrvane& o) { return o.put_columns(6); }, E_INVALIDARG, kColumns,
         columns_are(128)},
        {"columns -4", [](CCoOrvane& o) { return o.put_columns(-4); }, E_INVALIDARG, kColumns,
         columns_are(128)},
        {"columns 0", [](CCoOrvane& o) { return o.put_columns(0); }, E_INVALIDARG, kColumns,
         columns_are(128)},
        {"columns 4", [](CCoOrvane& o) { return o.put_columns(4); }, S_OK, "<none>",
         columns_are(4)},
        {"lines 0", [](CCoOrvane& o) { return o.put_lines(0); }, E_INVALIDARG, kLines,
         lines_are(128)},
        {"lines INT_MIN", [](CCoOrvane& o) { return o.put_lines(INT32_MIN); }, E_INVALIDARG, kLines,
         lines_are(128)},
        {"lines 1", [](CCoOrvane& o) { return o.put_lines(1); }, S_OK, "<none>", lines_are(1)},
        {"mode orvane", put_mode(u"orvane"), S_OK, "<none>", mode_is(u"orvane")},
        {"mode Orvane", put_mode(u"Orvane"), E_FAIL, "Invalid Mode", mode_is(u"all")},
        {"mode empty", put_mode(u""), E_FAIL, "Invalid Mode", mode_is(u"all")},
        {"mode null", [](CCoOrvane& o) { return o.put_computation_mode(nullptr); }, E_FAIL,
         "Invalid Mode", mode_is(u"all")},
        {"mode with trailing space", put_mode(u"all "), E_FAIL, "Invalid Mode", mode_is(u"all")},
        {"mode batch is not a computation mode", put_mode(u"batch"), E_FAIL, "Invalid Mode",
         mode_is(u"all")},
        {"mode cut at its first NUL", put_mode(std::u16string_view(u"affineparams\0junk", 17)),
         S_OK, "<none>", mode_is(u"affineparams")},
        {"mode starting with NUL", put_mode(std::u16string_view(u"\0all", 4)), E_FAIL,
         "Invalid Mode", mode_is(u"all")},
        {"td batch", put_td(u"batch"), S_OK, "<none>", td_is(u"batch")},
        {"td Batch", put_td(u"Batch"), E_FAIL, "Invalid Mode", td_is(u"recursive")},
        {"td all is not a time mode", put_td(u"all"), E_FAIL, "Invalid Mode", td_is(u"recursive")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Object obj = make_object();
        take_error();
        EXPECT_EQ(c.put(*obj), c.hr);
        EXPECT_EQ(take_error(), c.message);
        c.check(*obj);
    }
}

TEST(CoOrvaneSettings, NumbersReadBackBitForBit) {
    const double values[] = {-1.0,
                             std::numeric_limits<double>::quiet_NaN(),
                             -std::numeric_limits<double>::quiet_NaN(),
                             std::bit_cast<double>(0x7FF4000000000123ull),  // signalling payload
                             std::numeric_limits<double>::infinity(),
                             -0.0,
                             1e300,
                             std::numeric_limits<double>::denorm_min()};
    Object obj = make_object();
    for (double x : values) {
        EXPECT_EQ(obj->put_regularizer(x), S_OK);
        double back = 0;
        EXPECT_EQ(obj->get_regularizer(&back), S_OK);
        EXPECT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(x));
    }
    for (LONG v : {INT32_MIN, -1, 0, 7, INT32_MAX}) {
        EXPECT_EQ(obj->put_input_filter(v), S_OK);
        LONG back = 0;
        EXPECT_EQ(obj->get_input_filter(&back), S_OK);
        EXPECT_EQ(back, v);
    }
    EXPECT_EQ(obj->get_lines(nullptr), E_POINTER);
    EXPECT_EQ(obj->get_regularizer(nullptr), E_POINTER);
    EXPECT_EQ(obj->get_computation_mode(nullptr), S_OK) << "nothing written, no failure";
}

TEST(CoOrvaneSettings, ModesAreLockedWhileAnEngineExists) {
    Object obj = running_object(u"recursive", u"all");
    for (std::u16string_view s : {u"batch", u"recursive", u"nonsense"}) {
        Bstr b(s);
        EXPECT_EQ(obj->put_timederivative_mode(b.get()), E_FAIL);
        EXPECT_EQ(take_error(), kModeLocked);
        EXPECT_EQ(obj->put_computation_mode(b.get()), E_FAIL);
        EXPECT_EQ(take_error(), kModeLocked);
    }
    // Numbers are still stored and the engine keeps what it was built with.
    EXPECT_EQ(obj->put_regularizer(5.0), S_OK);
    EXPECT_EQ(obj->put_input_filter(1), S_OK);
    EXPECT_EQ(MotionEngineTestAccess::flags(obj->engine_view()), FLAG_ALL);
    EXPECT_FLOAT_EQ(MotionEngineTestAccess::regularizer(obj->engine_view()), 0.01f);
    EXPECT_EQ(feed(*obj, 16, 8, 0), S_OK);
}

TEST(CoOrvaneSettings, KeywordLists) {
    Object obj = make_object();
    Bstr td, comp;
    EXPECT_EQ(obj->list_timederivative_modes(td.out()), S_OK);
    EXPECT_EQ(obj->list_computation_modes(comp.out()), S_OK);
    EXPECT_EQ(td.text(), u"recursive\nbatch\n");
    EXPECT_EQ(SysStringLen(td.get()), 16u);
    EXPECT_EQ(comp.text(), u"changedetection\norvane\naffineparams\nall\n");
    EXPECT_EQ(obj->list_computation_modes(nullptr), S_OK);
}

// ---- create, destroy, process ----

TEST(CoOrvaneLifecycle, CreateHandsTheEngineTheSettings) {
    struct Case {
        std::u16string_view td, mode;
        LONG filter;
        int32_t time_derivative, flags;
    } cases[] = {
        {u"batch", u"affineparams", 1, TD_BATCH, 0x09},
        {u"recursive", u"all", 0, TD_RECURSIVE, 0x10},
        {u"recursive", u"changedetection", -5, TD_RECURSIVE, 0x03},
        {u"batch", u"orvane", 0, TD_BATCH, 0x04},
    };
    for (const Case& c : cases) {
        Object obj = running_object(c.td, c.mode, 160, 120, c.filter);
        const MotionEngine& e = obj->engine_view();
        EXPECT_EQ(MotionEngineTestAccess::time_derivative(e), c.time_derivative);
        EXPECT_EQ(MotionEngineTestAccess::flags(e), c.flags);
        EXPECT_EQ(e.get_columns(), 160);
        EXPECT_EQ(e.get_lines(), 120);
        EXPECT_EQ(e.get_frames_processed(), 0);
    }
}

TEST(CoOrvaneLifecycle, RegularizerIsNarrowedToTheNearestFloat) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr double flt_max = std::numeric_limits<float>::max();
    struct Case {
        double in;
        float out;
    } cases[] = {
        {0.01, 0.01f},
        {-1.0, -1.0f},
        {1e300, inf},
        {-1e300, -inf},
        {std::numeric_limits<double>::infinity(), inf},
        {flt_max, float(flt_max)},
        {flt_max + 0x1p102, float(flt_max)},  // below half a place above FLT_MAX
        {0x1p128 - 0x1p103, inf},             // exactly half a place: ties go to infinity
        {-(0x1p128 - 0x1p103), -inf},
        {1e-50, 0.0f},
    };
    Object obj = make_object();
    for (const Case& c : cases) {
        obj->put_regularizer(c.in);
        ASSERT_EQ(obj->create_orvane(), S_OK);
        EXPECT_EQ(std::bit_cast<uint32_t>(MotionEngineTestAccess::regularizer(obj->engine_view())),
                  std::bit_cast<uint32_t>(c.out))
            << c.in;
        obj->destroy_orvane();
    }
    obj->put_regularizer(std::numeric_limits<double>::quiet_NaN());
    ASSERT_EQ(obj->create_orvane(), S_OK);
    EXPECT_TRUE(std::isnan(MotionEngineTestAccess::regularizer(obj->engine_view())));
}

TEST(CoOrvaneLifecycle, StateMachineAndItsMessages) {
    Object obj = make_object();
    take_error();
    // Idle
    EXPECT_EQ(feed(*obj, 128, 128, 0), E_FAIL);
    EXPECT_EQ(take_error(), kNotAllocated);
    EXPECT_EQ(obj->destroy_orvane(), S_OK);
    EXPECT_EQ(take_error(), "Object is not created");

    // Idle -> Running
    EXPECT_EQ(obj->create_orvane(), S_OK);
    EXPECT_EQ(take_error(), "<none>");
    EXPECT_TRUE(obj->is_created());
    EXPECT_EQ(obj->create_orvane(), E_FAIL);
    EXPECT_EQ(take_error(), "Object already initialized");
    EXPECT_EQ(feed(*obj, 128, 128, 0), S_OK) << "the first engine still works";
    EXPECT_EQ(obj->engine_view().get_frames_processed(), 1);

    // Running -> Stale by writing lines with its current value
    EXPECT_EQ(obj->put_lines(128), S_OK);
    EXPECT_TRUE(obj->is_stale());
    EXPECT_EQ(feed(*obj, 128, 128, 1), E_FAIL);
    EXPECT_EQ(take_error(), kStale);
    EXPECT_EQ(obj->create_orvane(), E_FAIL);
    EXPECT_EQ(take_error(), "Object already initialized");
    EXPECT_EQ(obj->engine_view().get_frames_processed(), 1) << "refused frames do not count";

    // Stale -> Idle -> Running with a fresh history
    EXPECT_EQ(obj->destroy_orvane(), S_OK);
    EXPECT_EQ(take_error(), "<none>");
    EXPECT_FALSE(obj->is_created());
    EXPECT_FALSE(obj->engine_view().is_created());
    EXPECT_EQ(obj->destroy_orvane(), S_OK);
    EXPECT_EQ(take_error(), "Object is not created");
    EXPECT_EQ(obj->create_orvane(), S_OK);
    EXPECT_FALSE(obj->is_stale());
    EXPECT_EQ(feed(*obj, 128, 128, 2), S_OK);
    EXPECT_EQ(obj->engine_view().get_frames_processed(), 1);

    // A success does not clear an error recorded earlier on the thread.
    obj->put_columns(3);
    EXPECT_EQ(obj->put_columns(8), S_OK);
    EXPECT_EQ(take_error(), "Number of image columns must be a positive integer multiple of 4.");
}

TEST(CoOrvaneLifecycle, InvalidStoredModesAreRefusedByCreate) {
    // Only the first construction phase: both strings null, which no putter can produce.
    CCoOrvane bare;
    bare.put_columns(4);
    bare.put_lines(4);
    EXPECT_EQ(bare.create_orvane(), E_FAIL);
    EXPECT_EQ(take_error(), "Invalid time derivative mode");
    Bstr batch(u"batch");
    ASSERT_EQ(bare.put_timederivative_mode(batch.get()), S_OK);
    EXPECT_EQ(bare.create_orvane(), E_FAIL);
    EXPECT_EQ(take_error(), "Invalid computation mode");
    EXPECT_FALSE(bare.is_created());
    Bstr mode;
    EXPECT_EQ(bare.get_computation_mode(mode.out()), S_OK);
    EXPECT_EQ(mode.get(), nullptr) << "a null stored mode reads as null";
}

TEST(CoOrvaneLifecycle, ErrorRecordNamesTheClass) {
    Object obj = make_object();
    obj->put_lines(-3);
    OrvaneErrorInfo info{};
    ASSERT_EQ(orvane_get_error_info(&info), S_OK);
    EXPECT_TRUE(info.source == CLSID_CoOrvane);
    EXPECT_TRUE(info.interface_id == GUID_NULL);
    EXPECT_EQ(info.help_context, 0u);
    SysFreeString(info.description);
}

TEST(CoOrvaneProcess, ArgumentChecksInOrder) {
    constexpr LONG W = 160, H = 120;  // columns, lines
    Object obj = running_object(u"recursive", u"all", W, H);
    const std::vector<float> frame = test_frame(W, H, 0);

    // Storage that outlives the variants of one row.
    struct Row {
        const char* what;
        std::function<void(VARIANT*, std::vector<SAFEARRAY*>&)> build;
        HRESULT hr;
        std::string message;
    };
    auto array_of = [](VARTYPE vt, std::vector<SAFEARRAYBOUND> bounds) {
        return SafeArrayCreate(vt, UINT(bounds.size()), bounds.data());
    };
    auto plain = [&](VARTYPE vt, VARTYPE declared, std::vector<SAFEARRAYBOUND> bounds) {
        return [=](VARIANT* v, std::vector<SAFEARRAY*>& owned) {
            owned.push_back(array_of(vt, bounds));
            v->vt = declared;
            v->parray = owned.back();
        };
    };
    const VARTYPE R4A = VT_ARRAY | VT_R4;
    SAFEARRAY* byref_target = nullptr;
    VARIANT inner;
    VariantInit(&inner);
    const Row rows[] = {
        {"empty variant", [](VARIANT*, auto&) {}, E_INVALIDARG, "Invalid Input Argument"},
        {"single float", [](VARIANT* v, auto&) { v->vt = VT_R4, v->fltVal = 1.0f; }, E_INVALIDARG,
         "Invalid Input Argument"},
        {"doubles", plain(VT_R8, VT_ARRAY | VT_R8, {{W, 0}, {H, 0}}), E_INVALIDARG,
         "Invalid Data Type"},
        {"int32", plain(VT_I4, VT_ARRAY | VT_I4, {{W, 0}, {H, 0}}), E_INVALIDARG,
         "Invalid Data Type"},
        {"doubles labelled as floats", plain(VT_R8, R4A, {{W, 0}, {H, 0}}), E_INVALIDARG,
         "Invalid Data Type"},
        {"null array", [](VARIANT* v, auto&) { v->vt = VT_ARRAY | VT_R4, v->parray = nullptr; },
         E_INVALIDARG, "Invalid Input Argument"},
        {"3-D", plain(VT_R4, R4A, {{W, 0}, {H, 0}, {1, 0}}), E_INVALIDARG,
         "Invalid Matrix Dimension"},
        {"1-D", plain(VT_R4, R4A, {{W * H, 0}}), E_INVALIDARG, "Invalid Matrix Dimension"},
        {"transposed 120 x 160", plain(VT_R4, R4A, {{H, 0}, {W, 0}}), E_INVALIDARG,
         "Incompatible Image Size"},
        {"one line short", plain(VT_R4, R4A, {{W, 0}, {H - 1, 0}}), E_INVALIDARG,
         "Incompatible Image Size"},
        {"160 x 120, lower bounds 0", plain(VT_R4, R4A, {{W, 0}, {H, 0}}), S_OK, "<none>"},
        {"160 x 120, lower bounds 1", plain(VT_R4, R4A, {{W, 1}, {H, 1}}), S_OK, "<none>"},
        {"160 x 120, lower bounds -7 and 3", plain(VT_R4, R4A, {{W, -7}, {H, 3}}), S_OK, "<none>"},
        {"array by reference",
         [&](VARIANT* v, auto& owned) {
             owned.push_back(array_of(VT_R4, {{W, 1}, {H, 1}}));
             byref_target = owned.back();
             v->vt = VT_BYREF | VT_ARRAY | VT_R4;
             v->pparray = &byref_target;
         },
         S_OK, "<none>"},
        {"null array reference",
         [](VARIANT* v, auto&) { v->vt = VT_BYREF | VT_ARRAY | VT_R4, v->pparray = nullptr; },
         E_INVALIDARG, "Invalid Input Argument"},
        {"variant by reference",
         [&](VARIANT* v, auto& owned) {
             owned.push_back(array_of(VT_R4, {{W, 1}, {H, 1}}));
             inner.vt = R4A;
             inner.parray = owned.back();
             v->vt = VT_BYREF | VT_VARIANT;
             v->pvarVal = &inner;
         },
         S_OK, "<none>"},
        {"variant reference holding doubles",
         [&](VARIANT* v, auto& owned) {
             owned.push_back(array_of(VT_R8, {{W, 1}, {H, 1}}));
             inner.vt = VT_ARRAY | VT_R8;
             inner.parray = owned.back();
             v->vt = VT_BYREF | VT_VARIANT;
             v->pvarVal = &inner;
         },
         E_INVALIDARG, "Invalid Data Type"},
        {"null variant reference",
         [](VARIANT* v, auto&) { v->vt = VT_BYREF | VT_VARIANT, v->pvarVal = nullptr; },
         E_INVALIDARG, "Invalid Input Argument"},
        {"array without a data block",
         [&](VARIANT* v, auto&) {
             static SafeArrayView2D empty_view;
             v->vt = R4A;
             v->parray = safe_array_view_2d(&empty_view, nullptr, sizeof(float), W, H);
         },
         E_INVALIDARG, "Invalid Input Argument"},
        {"view over host memory",
         [&](VARIANT* v, auto&) {
             static SafeArrayView2D view;
             v->vt = R4A;
             v->parray =
                 safe_array_view_2d(&view, const_cast<float*>(frame.data()), sizeof(float), W, H);
         },
         S_OK, "<none>"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<SAFEARRAY*> owned;
        VARIANT v;
        VariantInit(&v);
        row.build(&v, owned);
        const VARIANT before = v;
        const int32_t frames = obj->engine_view().get_frames_processed();
        take_error();
        EXPECT_EQ(obj->process_data(v), row.hr);
        EXPECT_EQ(take_error(), row.message);
        EXPECT_EQ(obj->engine_view().get_frames_processed(), frames + (row.hr == S_OK ? 1 : 0));
        EXPECT_EQ(std::memcmp(&v, &before, sizeof v), 0) << "the caller's variant is unchanged";
        for (SAFEARRAY* a : owned) {
            EXPECT_EQ(a->cLocks, 0u) << "the data lock is released";
            SafeArrayDestroy(a);
        }
    }
}

TEST(CoOrvaneProcess, FrameLayoutIsLineAfterLine) {
    // Square both ways and oblong: Is (no input filter) is the frame itself, pixel (x, y) at
    // offset y * columns + x.
    struct Case {
        LONG columns, lines;
    } cases[] = {{8, 8}, {12, 5}, {4, 1}};
    for (const Case& c : cases) {
        Object obj = running_object(u"recursive", u"changedetection", c.columns, c.lines);
        const std::vector<float> frame = test_frame(c.columns, c.lines, 3);
        Variant img, is;
        make_float_array(&img.v, c.columns, c.lines, 1, frame);
        ASSERT_EQ(obj->process_data(img.v), S_OK);
        ASSERT_EQ(obj->get_Is(&is.v), S_OK);
        EXPECT_EQ(floats_of(is.v), frame) << c.columns << " x " << c.lines;
    }
}

// ---- result images ----

using Getter = HRESULT (CCoOrvane::*)(VARIANT*);
struct ImageMember {
    const char* name;
    Getter get;
    EngineImage source;
    const char* modes;  // the modes that compute it, by initial: c(hangedetection), o, a, A(ll)
};
const ImageMember kImages[] = {
    {"Is", &CCoOrvane::get_Is, EngineImage::Is, "coaA"},
    {"It", &CCoOrvane::get_It, EngineImage::It, "coaA"},
    {"It2", &CCoOrvane::get_It2, EngineImage::It2, "coA"},
    {"Ix", &CCoOrvane::get_Ix, EngineImage::Ix, "aoA"},
    {"Iy", &CCoOrvane::get_Iy, EngineImage::Iy, "aoA"},
    {"Fn2", &CCoOrvane::get_Fn2, EngineImage::Fn2, "oA"},
    {"Un", &CCoOrvane::get_Un, EngineImage::Un, "oA"},
    {"Vn", &CCoOrvane::get_Vn, EngineImage::Vn, "oA"},
    {"Ix2", &CCoOrvane::get_Ix2, EngineImage::Ix2, "aoA"},
    {"Iy2", &CCoOrvane::get_Iy2, EngineImage::Iy2, "aoA"},
    {"Ig2", &CCoOrvane::get_Ig2, EngineImage::Ig2, "oA"},
    {"Ixy", &CCoOrvane::get_Ixy, EngineImage::Ixy, "aA"},
    {"Ixt", &CCoOrvane::get_Ixt, EngineImage::Ixt, "aoA"},
    {"Iyt", &CCoOrvane::get_Iyt, EngineImage::Iyt, "aoA"},
};

void expect_shape(const VARIANT& v, LONG width, LONG height) {
    ASSERT_EQ(v.vt, VT_ARRAY | VT_R4);
    ASSERT_NE(v.parray, nullptr);
    EXPECT_EQ(SafeArrayGetDim(v.parray), 2u);
    LONG lower1 = 0, upper1 = 0, lower2 = 0, upper2 = 0;
    SafeArrayGetLBound(v.parray, 1, &lower1);
    SafeArrayGetUBound(v.parray, 1, &upper1);
    SafeArrayGetLBound(v.parray, 2, &lower2);
    SafeArrayGetUBound(v.parray, 2, &upper2);
    EXPECT_EQ(lower1, 1);
    EXPECT_EQ(upper1, width);
    EXPECT_EQ(lower2, 1);
    EXPECT_EQ(upper2, height);
}

bool all_zero(const std::vector<float>& values) {
    for (float f : values)
        if (f != 0.0f) return false;
    return true;
}

TEST(CoOrvaneImages, EachModeHandsOutItsImagesAndZerosForTheRest) {
    constexpr LONG W = 20, H = 12;
    const struct {
        std::u16string_view mode;
        char initial;
    } modes[] = {
        {u"changedetection", 'c'}, {u"orvane", 'o'}, {u"affineparams", 'a'}, {u"all", 'A'}};
    for (const auto& m : modes) {
        Object obj = running_object(u"recursive", m.mode, W, H);
        for (int32_t f = 0; f < 3; ++f) ASSERT_EQ(feed(*obj, W, H, f), S_OK);
        const MotionEngine& e = obj->engine_view();
        for (const ImageMember& image : kImages) {
            SCOPED_TRACE(std::string(image.name) + " in mode " + m.initial);
            Variant out;
            ASSERT_EQ(((*obj).*image.get)(&out.v), S_OK);
            expect_shape(out.v, W, H);
            const std::vector<float> got = floats_of(out.v);
            const bool computed = std::strchr(image.modes, m.initial) != nullptr;
            // The component's description of its images says the same.
            const std::string keyword(m.mode.begin(), m.mode.end());
            EXPECT_EQ(orvane_mode_computes(keyword, image.source), computed);
            EXPECT_STREQ(kResultImages[static_cast<int32_t>(image.source)].name, image.name);
            EXPECT_TRUE(orvane_image_getters[static_cast<int32_t>(image.source)] == image.get);
            if (!computed) {
                EXPECT_TRUE(all_zero(got));
                continue;
            }
            // The engine's buffer, read with its own step (and interior offset for Is).
            const float* base = e.get_image(image.source);
            ASSERT_NE(base, nullptr);
            const bool bordered = image.source == EngineImage::Is;
            const float* src = bordered ? base + e.get_interior_offset() : base;
            const int32_t step = (bordered ? e.get_padded_step() : e.get_plain_step()) / 4;
            std::vector<float> want;
            for (LONG y = 0; y < H; ++y)
                for (LONG x = 0; x < W; ++x) want.push_back(src[y * step + x]);
            EXPECT_EQ(got, want);
            EXPECT_FALSE(all_zero(got)) << "the frames have structure, so the image has some";
        }
    }
}

TEST(CoOrvaneImages, HistoryViews) {
    constexpr LONG W = 8, H = 4;
    Object obj = running_object(u"batch", u"affineparams", W, H);
    // Right after create: all ten views exist and are zero.
    for (LONG i = 0; i < 5; ++i) {
        Variant buffer, debug;
        ASSERT_EQ(obj->get_imgbuffer(i, &buffer.v), S_OK);
        ASSERT_EQ(obj->get_imgdebug(i, &debug.v), S_OK);
        expect_shape(buffer.v, W + 4, H + 4);
        expect_shape(debug.v, W, H);
        EXPECT_TRUE(all_zero(floats_of(buffer.v))) << i;
        EXPECT_TRUE(all_zero(floats_of(debug.v))) << i;
    }
    ASSERT_EQ(feed(*obj, W, H, 0), S_OK);
    ASSERT_EQ(feed(*obj, W, H, 1), S_OK);
    // The newest slot of the time window is the bordered Is: its interior starts at (3, 3).
    Variant newest, is;
    ASSERT_EQ(obj->get_imgbuffer(4, &newest.v), S_OK);
    ASSERT_EQ(obj->get_Is(&is.v), S_OK);
    const std::vector<float> bordered = floats_of(newest.v);
    const std::vector<float> interior = floats_of(is.v);
    for (LONG y = 0; y < H; ++y)
        for (LONG x = 0; x < W; ++x)
            ASSERT_EQ(bordered[(y + 2) * (W + 4) + (x + 2)], interior[y * W + x]) << x << "," << y;
    // The border replicates the edge, so the corner element (1, 1) is the corner pixel.
    EXPECT_EQ(bordered[0], interior[0]);
    // One of the storage-order slots holds the same frame.
    bool found = false;
    for (LONG i = 0; i < 5; ++i) {
        Variant debug;
        ASSERT_EQ(obj->get_imgdebug(i, &debug.v), S_OK);
        found = found || floats_of(debug.v) == interior;
    }
    EXPECT_TRUE(found);
}

TEST(CoOrvaneImages, RefusalsLeaveTheVariantUntouched) {
    struct Case {
        const char* what;
        std::function<void(CCoOrvane&)> setup;
        HRESULT hr;
        std::string message;
    } cases[] = {
        {"idle", [](CCoOrvane&) {}, E_FAIL, kNotAllocated},
        {"after destroy",
         [](CCoOrvane& o) {
             o.create_orvane();
             o.destroy_orvane();
         },
         E_FAIL, kNotAllocated},
        {"stale after a larger geometry",
         [](CCoOrvane& o) {
             o.put_columns(8);
             o.put_lines(8);
             o.create_orvane();
             o.put_columns(256);
         },
         E_FAIL, kStale},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Object obj = make_object();
        c.setup(*obj);
        auto check = [&](auto call) {
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_I4;
            v.lVal = 42;
            take_error();
            EXPECT_EQ(call(&v), c.hr);
            EXPECT_EQ(take_error(), c.message);
            EXPECT_EQ(v.vt, VT_I4);
            EXPECT_EQ(v.lVal, 42);
        };
        for (const ImageMember& image : kImages)
            check([&](VARIANT* v) { return ((*obj).*image.get)(v); });
        check([&](VARIANT* v) { return obj->get_imgbuffer(0, v); });
        check([&](VARIANT* v) { return obj->get_imgdebug(4, v); });
    }
    // A slot outside the five.
    Object obj = running_object(u"recursive", u"all", 8, 4);
    for (LONG i : {-1, 5, INT32_MIN, INT32_MAX}) {
        for (auto get : {&CCoOrvane::get_imgbuffer, &CCoOrvane::get_imgdebug}) {
            Variant v;
            v.v.vt = VT_I4;
            EXPECT_EQ(((*obj).*get)(i, &v.v), E_INVALIDARG) << i;
            EXPECT_EQ(take_error(), "Image index must be between 0 and 4.");
            EXPECT_EQ(v.v.vt, VT_I4);
        }
    }
    EXPECT_EQ(obj->get_Un(nullptr), E_POINTER);
}

TEST(CoOrvaneImages, TheCallersOldValueIsReleased) {
    Object obj = running_object(u"recursive", u"orvane", 8, 4);
    Variant v;
    make_float_array(&v.v, 3, 3);
    // The old 3 x 3 array would leak under ASan if it were not released.
    ASSERT_EQ(obj->get_Un(&v.v), S_OK);
    expect_shape(v.v, 8, 4);

    Variant s;
    s.v.vt = VT_BSTR;
    s.v.bstrVal = SysAllocString(u"old text");
    ASSERT_EQ(obj->get_It(&s.v), S_OK);
    expect_shape(s.v, 8, 4);

    // A caller's array that is locked cannot be released: refused, nothing changed.
    Variant locked;
    make_float_array(&locked.v, 2, 2);
    void* data = nullptr;
    SafeArrayAccessData(locked.v.parray, &data);
    SAFEARRAY* kept = locked.v.parray;
    EXPECT_EQ(obj->get_Ix(&locked.v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(locked.v.parray, kept);
    SafeArrayUnaccessData(kept);
}

// ---- out of memory ----

TEST(CoOrvaneOutOfMemory, NothingIsLostAndNothingHalfDone) {
    Object obj = make_object();
    Bstr batch(u"batch");

    orvane_fail_allocations_after(0);
    EXPECT_EQ(obj->put_timederivative_mode(batch.get()), E_OUTOFMEMORY);
    orvane_fail_allocations_after(-1);
    Bstr td;
    obj->get_timederivative_mode(td.out());
    EXPECT_EQ(td.text(), u"recursive") << "the old mode is kept";

    BSTR out = reinterpret_cast<BSTR>(&out);  // garbage the member must overwrite
    orvane_fail_allocations_after(0);
    EXPECT_EQ(obj->get_timederivative_mode(&out), E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<BSTR>(&out);
    EXPECT_EQ(obj->list_computation_modes(&out), E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
    orvane_fail_allocations_after(-1);

    orvane_fail_allocations_after(0);
    EXPECT_EQ(CCoOrvane::create_instance(), nullptr);
    orvane_fail_allocations_after(1);
    EXPECT_EQ(CCoOrvane::create_instance(), nullptr) << "second default string";
    orvane_fail_allocations_after(-1);

    // Result arrays: descriptor, then data block.
    obj->put_columns(8);
    obj->put_lines(4);
    ASSERT_EQ(obj->create_orvane(), S_OK);
    take_error();
    for (int successes : {0, 1}) {
        Variant v;
        make_float_array(&v.v, 2, 2);
        orvane_fail_allocations_after(successes);
        EXPECT_EQ(obj->get_Is(&v.v), E_OUTOFMEMORY);
        orvane_fail_allocations_after(-1);
        EXPECT_EQ(v.v.vt, VT_EMPTY) << "left empty, the old array released";
    }
    EXPECT_EQ(take_error(), "<none>") << "allocation failures record no message";
}

TEST(CoOrvaneOutOfMemory, ArrayThatCannotBeLockedIsReported) {
    Object obj = running_object(u"recursive", u"all", 16, 8);
    Variant v;
    orvane_fail_array_access(true);
    EXPECT_EQ(obj->get_Is(&v.v), E_UNEXPECTED) << "zeros handed out as the image";
    orvane_fail_array_access(false);
    EXPECT_EQ(v.v.vt, VT_EMPTY);
}

std::atomic<int> g_engine_allocations_left{-1};
prim_malloc_32f_fn g_real_malloc = nullptr;

float* failing_malloc(int32_t width, int32_t height, int32_t* step) {
    if (g_engine_allocations_left.load() == 0) return nullptr;
    if (g_engine_allocations_left.load() > 0) --g_engine_allocations_left;
    return g_real_malloc(width, height, step);
}

TEST(CoOrvaneOutOfMemory, EngineThatCannotAllocateLeavesTheObjectIdle) {
    Object obj = running_object(u"recursive", u"all", 16, 8);
    obj->destroy_orvane();
    g_real_malloc = prim_slot_target<prim_malloc_32f_fn>(prim_slots::malloc_32f);
    const PrimFn saved = prim_slots::malloc_32f.load();
    prim_slots::malloc_32f.store(reinterpret_cast<PrimFn>(&failing_malloc));
    // Fail at every point of the allocation sequence of "all" in recursive mode (one block for
    // every image, or a block per image in builds with the address checker).
    int successes = 0;
    for (;; ++successes) {
        g_engine_allocations_left = successes;
        take_error();
        const HRESULT hr = obj->create_orvane();
        if (hr == S_OK) break;
        EXPECT_EQ(hr, E_OUTOFMEMORY) << successes;
        EXPECT_FALSE(obj->is_created());
        EXPECT_FALSE(obj->engine_view().is_created());
        EXPECT_EQ(take_error(), "<none>");
        ASSERT_LT(successes, 100);
    }
    EXPECT_GE(successes, 1) << "no allocation was made to fail";
    obj->destroy_orvane();
    g_engine_allocations_left = -1;
    prim_slots::malloc_32f.store(saved);
    EXPECT_EQ(obj->create_orvane(), S_OK);
    EXPECT_EQ(feed(*obj, 16, 8, 0), S_OK);

    // A geometry whose byte count cannot be represented is refused the same way.
    Object huge = make_object();
    huge->put_columns(0x7FFFFFFC);
    huge->put_lines(2);
    EXPECT_EQ(huge->create_orvane(), E_OUTOFMEMORY);
    EXPECT_FALSE(huge->is_created());
}

std::atomic<int> g_live_images{0};
prim_free_fn g_real_free = nullptr;

float* counting_malloc(int32_t width, int32_t height, int32_t* step) {
    float* p = g_real_malloc(width, height, step);
    if (p) ++g_live_images;
    return p;
}
void counting_free(void* p) {
    if (p) --g_live_images;
    g_real_free(p);
}

TEST(CoOrvaneLifecycle, FinalReleaseOfARunningObjectReleasesTheEngine) {
    g_real_malloc = prim_slot_target<prim_malloc_32f_fn>(prim_slots::malloc_32f);
    g_real_free = prim_slot_target<prim_free_fn>(prim_slots::free);
    Object obj = running_object(u"batch", u"all", 32, 16);
    // Counted from here on (construction reselects the variants, so hook afterwards).
    const PrimFn saved_malloc = prim_slots::malloc_32f.load();
    const PrimFn saved_free = prim_slots::free.load();
    obj->destroy_orvane();
    prim_slots::malloc_32f.store(reinterpret_cast<PrimFn>(&counting_malloc));
    prim_slots::free.store(reinterpret_cast<PrimFn>(&counting_free));
    g_live_images = 0;
    ASSERT_EQ(obj->create_orvane(), S_OK);
    ASSERT_EQ(feed(*obj, 32, 16, 0), S_OK);
    EXPECT_GT(g_live_images.load(), 0);
    obj.reset();  // no destroy_orvane
    EXPECT_EQ(g_live_images.load(), 0) << "every engine buffer is released";
    prim_slots::malloc_32f.store(saved_malloc);
    prim_slots::free.store(saved_free);
}

}  // namespace
