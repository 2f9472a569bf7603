// Early binding through the IOrvane vtable and the object's other interfaces: identity and
// QueryInterface, error information, connection points, every setting with its validation
// message, the list methods, the state errors, process_data's argument checks, and the same
// object used from a multithreaded and a single-threaded apartment.
#include <cmath>
#include <cstring>
#include <functional>

#include "com_helpers.hpp"
#include "harness.hpp"

namespace {

Ptr<IOrvane> create_object() {
    Ptr<IOrvane> object;
    HRESULT hr = CoCreateInstance(CLSID_CoOrvane, nullptr, CLSCTX_INPROC_SERVER, IID_IOrvane,
                                  object.put_void());
    if (FAILED(hr)) harness::fail(__FILE__, __LINE__, "CoCreateInstance: " + harness::hr_text(hr));
    return object;
}

const char* const msg_not_allocated = "Object not allocated. Please invoke 'create_orvane()'.";

// Calls `call`, then checks its HRESULT and the error description it left on the thread.
void expect_error(const char* what, const std::function<HRESULT()>& call, HRESULT want_hr,
                  const char* want_message) {
    SetErrorInfo(0, nullptr);
    HRESULT hr = call();
    std::string message = take_error_description();
    if (hr != want_hr)
        harness::fail(__FILE__, __LINE__,
                      std::string(what) + " returned " + harness::hr_text(hr) + ", expected " +
                          harness::hr_text(want_hr));
    if (message != want_message)
        harness::fail(__FILE__, __LINE__,
                      std::string(what) + " left the message \"" + message + "\", expected \"" +
                          want_message + "\"");
}

HRESULT process(IOrvane* o, VARTYPE vt, SAFEARRAY* array) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.parray = array;
    HRESULT hr = o->process_data(v);
    if (array) SafeArrayDestroy(array);
    return hr;
}

SAFEARRAY* typed_array(VARTYPE vt, std::initializer_list<ULONG> extents) {
    SAFEARRAYBOUND bounds[3] = {};
    UINT dims = 0;
    for (ULONG n : extents) bounds[dims++] = {n, 0};
    return SafeArrayCreate(vt, dims, bounds);
}

}  // namespace

TEST(interface_query_interface) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    Ptr<IUnknown> identity;
    CHECK_HR(o->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);

    const struct {
        const char* name;
        const IID* iid;
    } supported[] = {
        {"IUnknown", &IID_IUnknown},
        {"IOrvane", &IID_IOrvane},
        {"IDispatch", &IID_IDispatch},
        {"ISupportErrorInfo", &IID_ISupportErrorInfo},
        {"IConnectionPointContainer", &IID_IConnectionPointContainer},
        {"IMarshal", &IID_IMarshal},
    };
    for (const auto& row : supported) {
        Ptr<IUnknown> p;
        HRESULT hr = o->QueryInterface(*row.iid, p.put_void());
        CHECK(hr == S_OK && p,
              std::string("QueryInterface(") + row.name + ") gave " + harness::hr_text(hr));
        if (!p) continue;
        // Every interface leads back to the same identity.
        Ptr<IUnknown> back;
        p->QueryInterface(IID_IUnknown, back.put_void());
        CHECK(back.get() == identity.get(), std::string(row.name) + " has another identity");
    }
    Ptr<IDispatch> dispatch;
    o->QueryInterface(IID_IDispatch, dispatch.put_void());
    CHECK(dispatch.get() == static_cast<IDispatch*>(o.get()),
          "IDispatch is not the IOrvane pointer");

    const struct {
        const char* name;
        const IID* iid;
    } unsupported[] = {
        {"IPersist", &IID_IPersist},
        {"IProvideClassInfo", &IID_IProvideClassInfo},
        {"IConnectionPoint", &IID_IConnectionPoint},
        {"IClassFactory", &IID_IClassFactory},
        {"_IOrvaneEvents", &DIID__IOrvaneEvents},
        {"IEnumConnectionPoints", &IID_IEnumConnectionPoints},
    };
    for (const auto& row : unsupported) {
        void* p = reinterpret_cast<void*>(1);
        HRESULT hr = o->QueryInterface(*row.iid, &p);
        CHECK(hr == E_NOINTERFACE && p == nullptr,
              std::string("QueryInterface(") + row.name + ") gave " + harness::hr_text(hr));
    }

    // The free-threaded marshaler answers IMarshal: in-process, the pointer itself travels.
    Ptr<IMarshal> marshal;
    o->QueryInterface(IID_IMarshal, marshal.put_void());
    REQUIRE(marshal, "no IMarshal");
    CLSID unmarshaler = {};
    CHECK_HR(marshal->GetUnmarshalClass(IID_IOrvane, o.get(), MSHCTX_INPROC, nullptr,
                                        MSHLFLAGS_NORMAL, &unmarshaler),
             S_OK);
    wchar_t text[40] = {};
    StringFromGUID2(unmarshaler, text, 40);
    // The free-threaded marshaler's class, written out: mingw-w64's uuid library holds
    // another value under the name CLSID_InProcFreeMarshaler.
    const CLSID free_threaded = {0x0000033A, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    CHECK(IsEqualCLSID(unmarshaler, free_threaded),
          "IMarshal is not the free-threaded marshaler: unmarshal class " + narrow(text));
}

TEST(interface_supports_error_info) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    Ptr<ISupportErrorInfo> support;
    CHECK_HR(o->QueryInterface(IID_ISupportErrorInfo, support.put_void()), S_OK);
    REQUIRE(support, "no ISupportErrorInfo");
    CHECK_HR(support->InterfaceSupportsErrorInfo(IID_IOrvane), S_OK);
    CHECK_HR(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    CHECK_HR(support->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
    CHECK_HR(support->InterfaceSupportsErrorInfo(DIID__IOrvaneEvents), S_FALSE);
}

TEST(interface_connection_points) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    Ptr<IConnectionPointContainer> container;
    CHECK_HR(o->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
    REQUIRE(container, "no IConnectionPointContainer");

    for (const IID* iid : {&DIID__IOrvaneEvents, &IID_IOrvane, &IID_IPropertyNotifySink}) {
        IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(1);
        CHECK_HR(container->FindConnectionPoint(*iid, &point), CONNECT_E_NOCONNECTION);
        CHECK(point == nullptr, "FindConnectionPoint left the out-pointer set");
    }
    CHECK_HR(container->FindConnectionPoint(DIID__IOrvaneEvents, nullptr), E_POINTER);
    CHECK_HR(container->EnumConnectionPoints(nullptr), E_POINTER);

    Ptr<IEnumConnectionPoints> points;
    CHECK_HR(container->EnumConnectionPoints(points.put()), S_OK);
    REQUIRE(points, "no enumerator");
    IConnectionPoint* got[2] = {};
    ULONG fetched = 99;
    CHECK_HR(points->Next(1, got, &fetched), S_FALSE);
    CHECK_EQ(fetched, 0ul, "connection points fetched");
    CHECK(got[0] == nullptr, "Next wrote a connection point");
    CHECK_HR(points->Next(1, got, nullptr), S_FALSE);
    CHECK_HR(points->Skip(1), S_FALSE);
    CHECK_HR(points->Reset(), S_OK);
    Ptr<IEnumConnectionPoints> clone;
    CHECK_HR(points->Clone(clone.put()), S_OK);
    if (clone) CHECK_HR(clone->Next(1, got, &fetched), S_FALSE);
}

TEST(early_defaults) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    LONG lines = 0, columns = 0, input_filter = -1;
    double regularizer = 0;
    Bstr td, mode;
    CHECK_HR(o->get_lines(&lines), S_OK);
    CHECK_HR(o->get_columns(&columns), S_OK);
    CHECK_HR(o->get_input_filter(&input_filter), S_OK);
    CHECK_HR(o->get_regularizer(&regularizer), S_OK);
    CHECK_HR(o->get_timederivative_mode(td.put()), S_OK);
    CHECK_HR(o->get_computation_mode(mode.put()), S_OK);
    CHECK_EQ(lines, 128, "default lines");
    CHECK_EQ(columns, 128, "default columns");
    CHECK_EQ(input_filter, 0, "default input_filter");
    CHECK(regularizer == 0.01, "default regularizer is not the double nearest to 0.01");
    CHECK_EQ(td.utf8(), std::string("recursive"), "default timederivative_mode");
    CHECK_EQ(mode.utf8(), std::string("all"), "default computation_mode");
}

TEST(early_settings_validation) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    IOrvane* p = o.get();
    const char* lines_msg = "Number of lines must be a positive integer";
    const char* columns_msg = "Number of image columns must be a positive integer multiple of 4.";
    const struct {
        const char* what;
        std::function<HRESULT()> call;
        HRESULT hr;
        const char* message;  // "" when none is recorded
    } rows[] = {
        {"put lines 0", [&] { return p->put_lines(0); }, E_INVALIDARG, lines_msg},
        {"put lines -1", [&] { return p->put_lines(-1); }, E_INVALIDARG, lines_msg},
        {"put columns 6", [&] { return p->put_columns(6); }, E_INVALIDARG, columns_msg},
        {"put columns -4", [&] { return p->put_columns(-4); }, E_INVALIDARG, columns_msg},
        {"put columns 0", [&] { return p->put_columns(0); }, E_INVALIDARG, columns_msg},
        {"put lines 1", [&] { return p->put_lines(1); }, S_OK, ""},
        {"put columns 4", [&] { return p->put_columns(4); }, S_OK, ""},
        {"put input_filter 7", [&] { return p->put_input_filter(7); }, S_OK, ""},
        {"put regularizer -1", [&] { return p->put_regularizer(-1.0); }, S_OK, ""},
    };
    for (const auto& row : rows) expect_error(row.what, row.call, row.hr, row.message);

    LONG lines = 0, columns = 0, input_filter = 0;
    double regularizer = 0;
    p->get_lines(&lines);
    p->get_columns(&columns);
    p->get_input_filter(&input_filter);
    p->get_regularizer(&regularizer);
    CHECK_EQ(lines, 1, "lines after the refused and accepted writes");
    CHECK_EQ(columns, 4, "columns after the refused and accepted writes");
    CHECK_EQ(input_filter, 7, "input_filter is stored unchanged");
    CHECK(regularizer == -1.0, "regularizer -1 is stored unchanged");
    CHECK_HR(p->put_regularizer(std::nan("")), S_OK);
    p->get_regularizer(&regularizer);
    CHECK(std::isnan(regularizer), "regularizer NaN is stored unchanged");
}

TEST(early_modes) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    const char* locked =
        "Object is already initialized. To use a different mode you must "
        "create a new one.";
    const struct {
        bool computation;
        const wchar_t* value;
        HRESULT hr;
        const char* message;
    } rows[] = {
        {true, L"orvane", S_OK, ""},
        {true, L"Orvane", E_FAIL, "Invalid Mode"},
        {true, L"", E_FAIL, "Invalid Mode"},
        {true, L"all ", E_FAIL, "Invalid Mode"},
        {true, L"affineparams", S_OK, ""},
        {false, L"batch", S_OK, ""},
        {false, L"BATCH", E_FAIL, "Invalid Mode"},
        {false, L"changedetection", E_FAIL, "Invalid Mode"},
    };
    for (const auto& row : rows) {
        Bstr value(row.value);
        std::string what = std::string(row.computation ? "put computation_mode \""
                                                       : "put timederivative_mode \"") +
                           narrow(row.value) + "\"";
        expect_error(
            what.c_str(),
            [&] {
                return row.computation ? o->put_computation_mode(value.get())
                                       : o->put_timederivative_mode(value.get());
            },
            row.hr, row.message);
    }
    Bstr mode, td;
    o->get_computation_mode(mode.put());
    o->get_timederivative_mode(td.put());
    CHECK_EQ(mode.utf8(), std::string("affineparams"), "computation_mode after the writes");
    CHECK_EQ(td.utf8(), std::string("batch"), "timederivative_mode after the writes");
    CHECK_HR(o->put_computation_mode(nullptr), E_FAIL);  // a null string is the empty one

    // Once the engine exists the modes are locked, even to their current value.
    CHECK_HR(o->create_orvane(), S_OK);
    Bstr batch(L"batch"), all(L"all");
    expect_error(
        "put timederivative_mode batch while created",
        [&] { return o->put_timederivative_mode(batch.get()); }, E_FAIL, locked);
    expect_error(
        "put computation_mode all while created",
        [&] { return o->put_computation_mode(all.get()); }, E_FAIL, locked);
    CHECK_HR(o->destroy_orvane(), S_OK);
    CHECK_HR(o->put_computation_mode(all.get()), S_OK);
}

TEST(early_list_methods) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    Bstr td, modes;
    CHECK_HR(o->list_timederivative_modes(td.put()), S_OK);
    CHECK_HR(o->list_computation_modes(modes.put()), S_OK);
    CHECK_EQ(td.utf8(), std::string("recursive\nbatch\n"), "list_timederivative_modes");
    CHECK_EQ(modes.utf8(), std::string("changedetection\norvane\naffineparams\nall\n"),
             "list_computation_modes");
    CHECK_HR(o->list_computation_modes(nullptr), S_OK);
}

TEST(early_state_errors) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    o->put_lines(8);
    o->put_columns(8);
    std::vector<float> frame(64, 1.0f);
    auto frame_call = [&] {
        return process(o.get(), VT_ARRAY | VT_R4, make_image_array(frame.data(), 8, 8));
    };
    expect_error("process_data before create_orvane", frame_call, E_FAIL, msg_not_allocated);
    Variant image;
    expect_error(
        "get Un before create_orvane", [&] { return o->get_Un(&image); }, E_FAIL,
        msg_not_allocated);
    CHECK_EQ(image.v.vt, static_cast<VARTYPE>(VT_EMPTY), "refused getter touched the variant");
    expect_error(
        "destroy_orvane without an engine", [&] { return o->destroy_orvane(); }, S_OK,
        "Object is not created");

    CHECK_HR(o->create_orvane(), S_OK);
    expect_error(
        "second create_orvane", [&] { return o->create_orvane(); }, E_FAIL,
        "Object already initialized");
    CHECK_HR(frame_call(), S_OK);  // the first engine still works

    // Writing lines, even with its current value, makes the engine stale.
    CHECK_HR(o->put_lines(8), S_OK);
    expect_error("process_data after put lines", frame_call, E_FAIL,
                 "Critical properties have changed. Object must be re-created.");
    CHECK_HR(o->destroy_orvane(), S_OK);
    CHECK_HR(o->create_orvane(), S_OK);
    CHECK_HR(frame_call(), S_OK);

    CHECK_HR(o->destroy_orvane(), S_OK);
    expect_error(
        "get It after destroy_orvane", [&] { return o->get_It(&image); }, E_FAIL,
        msg_not_allocated);
    expect_error(
        "get imgbuffer(0) after destroy_orvane", [&] { return o->get_imgbuffer(0, &image); },
        E_FAIL, msg_not_allocated);

    Bstr bad(L"none");
    o->put_computation_mode(bad.get());  // refused: the stored mode stays valid
    CHECK_HR(o->create_orvane(), S_OK);
}

TEST(early_process_data_arguments) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    o->put_lines(12);
    o->put_columns(16);
    CHECK_HR(o->create_orvane(), S_OK);
    std::vector<float> frame(12 * 16, 2.0f);
    const struct {
        const char* what;
        VARTYPE vt;
        std::function<SAFEARRAY*()> make;
        HRESULT hr;
        const char* message;
    } rows[] = {
        {"16 x 12 floats", VT_ARRAY | VT_R4, [&] { return make_image_array(frame.data(), 16, 12); },
         S_OK, ""},
        {"lower bounds 1", VT_ARRAY | VT_R4,
         [&] { return make_image_array(frame.data(), 16, 12, 1); }, S_OK, ""},
        {"transposed 12 x 16", VT_ARRAY | VT_R4,
         [&] { return make_image_array(frame.data(), 12, 16); }, E_INVALIDARG,
         "Incompatible Image Size"},
        {"doubles", VT_ARRAY | VT_R8,
         [] {
             return typed_array(VT_R8, {16, 12});
         },
         E_INVALIDARG, "Invalid Data Type"},
        {"32-bit integers", VT_ARRAY | VT_I4,
         [] {
             return typed_array(VT_I4, {16, 12});
         },
         E_INVALIDARG, "Invalid Data Type"},
        {"three dimensions", VT_ARRAY | VT_R4,
         [] {
             return typed_array(VT_R4, {16, 12, 2});
         },
         E_INVALIDARG, "Invalid Matrix Dimension"},
        {"one dimension", VT_ARRAY | VT_R4, [] { return typed_array(VT_R4, {192}); }, E_INVALIDARG,
         "Invalid Matrix Dimension"},
        {"empty variant", VT_EMPTY, [] { return nullptr; }, E_INVALIDARG, "Invalid Input Argument"},
    };
    for (const auto& row : rows) {
        std::string what = std::string("process_data with ") + row.what;
        expect_error(
            what.c_str(), [&] { return process(o.get(), row.vt, row.make()); }, row.hr,
            row.message);
    }
    VARIANT scalar;
    VariantInit(&scalar);
    scalar.vt = VT_R4;
    scalar.fltVal = 1.0f;
    expect_error(
        "process_data with a single float", [&] { return o->process_data(scalar); }, E_INVALIDARG,
        "Invalid Input Argument");

    // An array passed by reference is followed.
    SAFEARRAY* array = make_image_array(frame.data(), 16, 12);
    VARIANT by_ref;
    VariantInit(&by_ref);
    by_ref.vt = VT_BYREF | VT_ARRAY | VT_R4;
    by_ref.pparray = &array;
    CHECK_HR(o->process_data(by_ref), S_OK);
    SafeArrayDestroy(array);
}

TEST(early_result_arrays) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    CHECK_HR(o->create_orvane(), S_OK);
    // Default geometry: 128 x 128 images, 132 x 132 bordered frames, lower bounds 1.
    Variant un, buffer;
    CHECK_HR(o->get_Un(&un), S_OK);
    CHECK_HR(o->get_imgbuffer(0, &buffer), S_OK);
    ImageResult u = read_image(un.v), b = read_image(buffer.v);
    CHECK(u.ok && u.width == 128 && u.height == 128 && u.lbound1 == 1 && u.lbound2 == 1,
          "Un is not a 128 x 128 array with lower bounds 1: " + u.problem);
    CHECK(b.ok && b.width == 132 && b.height == 132 && b.lbound1 == 1 && b.lbound2 == 1,
          "imgbuffer(0) is not a 132 x 132 array with lower bounds 1: " + b.problem);
    // A variant that holds an array gets a new one (the old one is released by the call).
    CHECK_HR(o->get_Un(&un), S_OK);
    CHECK(read_image(un.v).ok, "reading Un into a used variant");
    // Indices outside the five slots are refused or give zeros, never other memory.
    for (LONG i : {-1, 5, 1000000}) {
        Variant out;
        HRESULT hr = o->get_imgdebug(i, &out);
        if (SUCCEEDED(hr)) {
            ImageResult r = read_image(out.v);
            bool zero = r.ok;
            for (float f : r.data) zero = zero && f == 0.0f;
            CHECK(zero, "imgdebug(" + std::to_string(i) + ") returned data");
        }
    }
}

// The same object used from the multithreaded apartment (this thread) and a single-threaded
// one: the free-threaded marshaler hands the very pointer across, with no proxy.
namespace {
struct ApartmentCall {
    IStream* stream = nullptr;
    IOrvane* received = nullptr;    // as unmarshaled in the STA (address only)
    IOrvane* sta_object = nullptr;  // made in the STA (address only)
    LONG lines = 0;
    HRESULT unmarshal = E_FAIL, put = E_FAIL, get = E_FAIL, create = E_FAIL;
    HRESULT created_elsewhere = E_FAIL;
    IStream* back = nullptr;
};

DWORD WINAPI sta_thread(void* param) {
    auto* call = static_cast<ApartmentCall*>(param);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    call->unmarshal = CoGetInterfaceAndReleaseStream(call->stream, IID_IOrvane,
                                                     reinterpret_cast<void**>(&call->received));
    call->stream = nullptr;
    if (SUCCEEDED(call->unmarshal)) {
        call->put = call->received->put_lines(40);
        call->get = call->received->get_lines(&call->lines);
        call->received->Release();
    }
    // An object made in this apartment goes the other way.
    IOrvane* local = nullptr;
    call->create = CoCreateInstance(CLSID_CoOrvane, nullptr, CLSCTX_INPROC_SERVER, IID_IOrvane,
                                    reinterpret_cast<void**>(&local));
    if (SUCCEEDED(call->create)) {
        call->created_elsewhere =
            CoMarshalInterThreadInterfaceInStream(IID_IOrvane, local, &call->back);
        call->sta_object = local;
        local->Release();  // the stream keeps it alive
    }
    CoUninitialize();
    return 0;
}
}  // namespace

TEST(apartment_mta_and_sta) {
    Ptr<IOrvane> o = create_object();
    REQUIRE(o, "no object");
    ApartmentCall call;
    CHECK_HR(CoMarshalInterThreadInterfaceInStream(IID_IOrvane, o.get(), &call.stream), S_OK);
    HANDLE thread = CreateThread(nullptr, 0, sta_thread, &call, 0, nullptr);
    REQUIRE(thread, "CreateThread failed");
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CHECK_HR(call.unmarshal, S_OK);
    CHECK(call.received == o.get(), "the STA received a proxy instead of the object itself");
    CHECK_HR(call.put, S_OK);
    CHECK_HR(call.get, S_OK);
    CHECK_EQ(call.lines, 40, "lines read back in the STA");
    LONG lines = 0;
    o->get_lines(&lines);
    CHECK_EQ(lines, 40, "lines written in the STA, read in the MTA");
    CHECK_HR(call.create, S_OK);
    CHECK_HR(call.created_elsewhere, S_OK);
    if (call.back) {
        Ptr<IOrvane> from_sta;
        CHECK_HR(CoGetInterfaceAndReleaseStream(call.back, IID_IOrvane, from_sta.put_void()), S_OK);
        CHECK(from_sta.get() == call.sta_object,
              "the MTA received a proxy instead of the STA's object");
        if (from_sta) CHECK_HR(from_sta->get_lines(&lines), S_OK);
    }
}
