// Late binding through IDispatch, served from the type library: the type description, name
// lookup (exact table first, then the case-insensitive rule and parameter names), property
// access and methods by name, argument coercion, and errors through EXCEPINFO.
#include <cstring>

#include "com_helpers.hpp"
#include "harness.hpp"

namespace {

Ptr<IDispatch> create_dispatch() {
    Ptr<IDispatch> object;
    HRESULT hr = CoCreateInstance(CLSID_CoOrvane, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                  object.put_void());
    if (FAILED(hr)) harness::fail(__FILE__, __LINE__, "CoCreateInstance: " + harness::hr_text(hr));
    return object;
}

// Checks a late-bound failure: DISP_E_EXCEPTION with the member's HRESULT and exact message.
void expect_exception(const char* what, HRESULT hr, EXCEPINFO& e, HRESULT want_scode,
                      const char* want_message) {
    ExceptionText t = take_exception(e);
    if (hr != DISP_E_EXCEPTION)
        harness::fail(__FILE__, __LINE__,
                      std::string(what) + " returned " + harness::hr_text(hr) +
                          ", expected DISP_E_EXCEPTION");
    if (t.scode != want_scode)
        harness::fail(__FILE__, __LINE__,
                      std::string(what) + ": scode " + harness::hr_text(t.scode) + ", expected " +
                          harness::hr_text(want_scode));
    if (t.description != want_message)
        harness::fail(__FILE__, __LINE__,
                      std::string(what) + ": description \"" + t.description + "\", expected \"" +
                          want_message + "\"");
}

}  // namespace

TEST(dispatch_type_info) {
    Ptr<IDispatch> d = create_dispatch();
    REQUIRE(d, "no object");
    UINT count = 0;
    CHECK_HR(d->GetTypeInfoCount(&count), S_OK);
    CHECK_EQ(count, 1u, "GetTypeInfoCount");
    CHECK_HR(d->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr), E_POINTER);
    Ptr<ITypeInfo> info;
    CHECK_HR(d->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
    REQUIRE(info, "no type information");
    TYPEATTR* attr = nullptr;
    CHECK_HR(info->GetTypeAttr(&attr), S_OK);
    REQUIRE(attr, "no type attributes");
    CHECK(IsEqualGUID(attr->guid, IID_IOrvane), "the type information is not IOrvane's");
    CHECK(attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL) &&
              (attr->wTypeFlags & TYPEFLAG_FDISPATCHABLE) &&
              !(attr->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE),
          "IOrvane's dispatch description is not dual, dispatchable, extensible: flags " +
              std::to_string(attr->wTypeFlags));
    info->ReleaseTypeAttr(attr);
    // The automation-compatible flag sits on the vtable half of the dual interface.
    HREFTYPE ref = 0;
    Ptr<ITypeInfo> vtable;
    CHECK_HR(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    CHECK_HR(info->GetRefTypeInfo(ref, vtable.put()), S_OK);
    REQUIRE(vtable, "no vtable description");
    CHECK_HR(vtable->GetTypeAttr(&attr), S_OK);
    REQUIRE(attr, "no vtable attributes");
    CHECK(attr->typekind == TKIND_INTERFACE && attr->cFuncs == 33 &&
              (attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) && (attr->wTypeFlags & TYPEFLAG_FDUAL),
          "IOrvane's vtable description is not a dual automation interface of 33 members");
    vtable->ReleaseTypeAttr(attr);

    // Each request hands out a new reference to the one cached description.
    Ptr<ITypeInfo> again;
    CHECK_HR(d->GetTypeInfo(0, 0x0407, again.put()), S_OK);
    CHECK(again.get() == info.get(), "the type description is not cached");
}

TEST(dispatch_names) {
    Ptr<IDispatch> d = create_dispatch();
    REQUIRE(d, "no object");
    const struct {
        const wchar_t* name;
        DISPID id;
    } rows[] = {
        {L"lines", 1},
        {L"columns", 2},
        {L"timederivative_mode", 3},
        {L"computation_mode", 4},
        {L"input_filter", 5},
        {L"regularizer", 6},
        {L"create_orvane", 7},
        {L"destroy_orvane", 8},
        {L"process_data", 9},
        {L"imgbuffer", 10},
        {L"imgdebug", 11},
        {L"Is", 12},
        {L"It", 13},
        {L"It2", 14},
        {L"Ix", 15},
        {L"Iy", 16},
        {L"Fn2", 17},
        {L"Un", 18},
        {L"Vn", 19},
        {L"Ix2", 20},
        {L"Iy2", 21},
        {L"Ig2", 22},
        {L"Ixy", 23},
        {L"Ixt", 24},
        {L"Iyt", 25},
        {L"list_timederivative_modes", 26},
        {L"list_computation_modes", 27},
        // Not in the exact table: the type description's case-insensitive rule.
        {L"LINES", 1},
        {L"Lines", 1},
        {L"IMGBUFFER", 10},
        {L"un", 18},
        {L"CREATE_ORVANE", 7},
    };
    for (const auto& row : rows) {
        DISPID id = -99;
        LPOLESTR names[1] = {const_cast<LPOLESTR>(row.name)};
        CHECK_HR(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        CHECK_EQ(id, row.id, "DISPID of " + narrow(row.name));
    }

    // A member with its parameter name: resolved by the type description.
    LPOLESTR with_param[2] = {const_cast<LPOLESTR>(L"imgbuffer"), const_cast<LPOLESTR>(L"i")};
    DISPID ids[2] = {-99, -99};
    CHECK_HR(d->GetIDsOfNames(IID_NULL, with_param, 2, LOCALE_USER_DEFAULT, ids), S_OK);
    CHECK_EQ(ids[0], 10, "DISPID of imgbuffer");
    CHECK_EQ(ids[1], 0, "position of the parameter i");

    LPOLESTR unknown[1] = {const_cast<LPOLESTR>(L"velocity")};
    DISPID unknown_id = 0;
    CHECK_HR(d->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &unknown_id),
             DISP_E_UNKNOWNNAME);
    CHECK_EQ(unknown_id, DISPID_UNKNOWN, "DISPID of an unknown name");
    CHECK_HR(d->GetIDsOfNames(IID_IOrvane, unknown, 1, LOCALE_USER_DEFAULT, &unknown_id),
             DISP_E_UNKNOWNINTERFACE);
}

TEST(dispatch_settings_and_methods) {
    Ptr<IDispatch> d = create_dispatch();
    REQUIRE(d, "no object");
    LateBound o{d.get()};
    Variant v;
    CHECK_HR(o.get(L"lines", &v), S_OK);
    CHECK(v.v.vt == VT_I4 && v.v.lVal == 128, "late-bound lines is not the long 128");
    CHECK_HR(o.get(L"regularizer", &v), S_OK);
    CHECK(v.v.vt == VT_R8 && v.v.dblVal == 0.01, "late-bound regularizer is not 0.01");
    CHECK_HR(o.get(L"computation_mode", &v), S_OK);
    CHECK(v.v.vt == VT_BSTR && narrow(v.v.bstrVal) == "all", "late-bound computation_mode");

    CHECK_HR(o.put(L"lines", long_arg(24)), S_OK);
    // Arguments are coerced to the declared type: a double for a long, a string for a long.
    CHECK_HR(o.put(L"columns", double_arg(32.0)), S_OK);
    Bstr sixteen(L"16");
    CHECK_HR(o.put(L"input_filter", string_arg(sixteen.get())), S_OK);
    CHECK_HR(o.put(L"regularizer", double_arg(0.25)), S_OK);
    Bstr batch(L"batch"), orvane(L"orvane");
    CHECK_HR(o.put(L"timederivative_mode", string_arg(batch.get())), S_OK);
    CHECK_HR(o.put(L"computation_mode", string_arg(orvane.get())), S_OK);
    const struct {
        const wchar_t* name;
        VARTYPE vt;
        double number;
        const char* text;
    } rows[] = {
        {L"lines", VT_I4, 24, ""},
        {L"columns", VT_I4, 32, ""},
        {L"input_filter", VT_I4, 16, ""},
        {L"regularizer", VT_R8, 0.25, ""},
        {L"timederivative_mode", VT_BSTR, 0, "batch"},
        {L"computation_mode", VT_BSTR, 0, "orvane"},
    };
    for (const auto& row : rows) {
        Variant got;
        CHECK_HR(o.get(row.name, &got), S_OK);
        bool same =
            got.v.vt == row.vt && (row.vt == VT_I4   ? got.v.lVal == static_cast<LONG>(row.number)
                                   : row.vt == VT_R8 ? got.v.dblVal == row.number
                                                     : narrow(got.v.bstrVal) == row.text);
        CHECK(same, "late-bound read back of " + narrow(row.name));
    }

    Variant list;
    CHECK_HR(o.call(L"list_computation_modes", {}, &list), S_OK);
    CHECK(list.v.vt == VT_BSTR &&
              narrow(list.v.bstrVal) == "changedetection\norvane\naffineparams\nall\n",
          "late-bound list_computation_modes");
    Variant td_list;
    CHECK_HR(o.call(L"list_timederivative_modes", {}, &td_list), S_OK);
    CHECK(td_list.v.vt == VT_BSTR && narrow(td_list.v.bstrVal) == "recursive\nbatch\n",
          "late-bound list_timederivative_modes");
    CHECK_HR(o.call(L"create_orvane"), S_OK);
    CHECK_HR(o.call(L"destroy_orvane"), S_OK);

    // The standard dispatch errors.
    UINT arg_error = 0;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    Variant ignored;
    CHECK_HR(d->Invoke(99, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &ignored, nullptr,
                       &arg_error),
             DISP_E_MEMBERNOTFOUND);
    CHECK_HR(o.call(L"process_data"), DISP_E_BADPARAMCOUNT);
    CHECK_HR(d->Invoke(1, IID_IOrvane, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &ignored,
                       nullptr, &arg_error),
             DISP_E_UNKNOWNINTERFACE);
}

TEST(dispatch_errors_through_excepinfo) {
    Ptr<IDispatch> d = create_dispatch();
    REQUIRE(d, "no object");
    LateBound o{d.get()};
    EXCEPINFO e = {};
    HRESULT hr = o.put(L"columns", long_arg(6), &e);
    expect_exception("put columns 6", hr, e, E_INVALIDARG,
                     "Number of image columns must be a positive integer multiple of 4.");
    hr = o.put(L"lines", long_arg(0), &e);
    expect_exception("put lines 0", hr, e, E_INVALIDARG,
                     "Number of lines must be a positive integer");
    Bstr wrong(L"All");
    hr = o.put(L"computation_mode", string_arg(wrong.get()), &e);
    expect_exception("put computation_mode All", hr, e, E_FAIL, "Invalid Mode");
    Variant image;
    hr = o.get(L"Un", &image, &e);
    expect_exception("get Un before create_orvane", hr, e, E_FAIL,
                     "Object not allocated. Please invoke 'create_orvane()'.");
    hr = o.call(L"process_data", {long_arg(3)}, nullptr, &e);
    expect_exception("process_data(3)", hr, e, E_FAIL,
                     "Object not allocated. Please invoke 'create_orvane()'.");
    CHECK_HR(o.call(L"create_orvane"), S_OK);
    hr = o.call(L"create_orvane", {}, nullptr, &e);
    expect_exception("second create_orvane", hr, e, E_FAIL, "Object already initialized");
    hr = o.call(L"process_data", {long_arg(3)}, nullptr, &e);
    expect_exception("process_data(3) when created", hr, e, E_INVALIDARG, "Invalid Input Argument");
    Bstr batch(L"batch");
    hr = o.put(L"timederivative_mode", string_arg(batch.get()), &e);
    expect_exception("put timederivative_mode while created", hr, e, E_FAIL,
                     "Object is already initialized. To use a different mode you must create "
                     "a new one.");

    // destroy_orvane without an engine succeeds, so no exception reaches the caller.
    CHECK_HR(o.call(L"destroy_orvane"), S_OK);
    CHECK_HR(o.call(L"destroy_orvane", {}, nullptr, &e), S_OK);
    CHECK(e.bstrDescription == nullptr, "a successful call filled EXCEPINFO");
}

// GetTypeInfo answers for index 0 only; GetIDsOfNames and Invoke refuse null arrays as the
// caller's mistake instead of writing through them.
TEST(dispatch_argument_rules) {
    Ptr<IDispatch> d = create_dispatch();
    REQUIRE(d, "no object");
    for (UINT index : {1u, 2u, 0xFFFFFFFFu}) {
        ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
        CHECK_HR(d->GetTypeInfo(index, LOCALE_USER_DEFAULT, &info), DISP_E_BADINDEX);
        CHECK(info == nullptr, "DISP_E_BADINDEX left the out-pointer set");
    }
    LPOLESTR names[1] = {const_cast<LPOLESTR>(L"lines")};
    DISPID id = 0;
    CHECK_HR(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, nullptr), E_POINTER);
    CHECK_HR(d->GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_USER_DEFAULT, &id), E_POINTER);
    Variant ignored;
    CHECK_HR(d->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, nullptr, &ignored,
                       nullptr, nullptr),
             E_INVALIDARG);
}

// The exact table answers a request of several member names with every DISPID. The type
// description's own rule would read the names after the first as parameter names of the
// first and fail.
TEST(dispatch_exact_table_resolves_every_name) {
    Ptr<IDispatch> d = create_dispatch();
    REQUIRE(d, "no object");
    LPOLESTR names[3] = {const_cast<LPOLESTR>(L"lines"), const_cast<LPOLESTR>(L"Un"),
                         const_cast<LPOLESTR>(L"list_computation_modes")};
    DISPID ids[3] = {-99, -99, -99};
    CHECK_HR(d->GetIDsOfNames(IID_NULL, names, 3, LOCALE_USER_DEFAULT, ids), S_OK);
    CHECK_EQ(ids[0], 1, "DISPID of lines");
    CHECK_EQ(ids[1], 18, "DISPID of Un");
    CHECK_EQ(ids[2], 27, "DISPID of list_computation_modes");
}

// The error record of a failed member: the class's ProgID as its source, no interface
// (GUID_NULL), no help file and help context 0, early-bound and late-bound alike.
TEST(dispatch_error_record) {
    Ptr<IOrvane> o;
    REQUIRE(SUCCEEDED(CoCreateInstance(CLSID_CoOrvane, nullptr, CLSCTX_INPROC_SERVER, IID_IOrvane,
                                       o.put_void())),
            "no object");
    SetErrorInfo(0, nullptr);
    CHECK_HR(o->put_lines(0), E_INVALIDARG);
    Ptr<IErrorInfo> info;
    REQUIRE(GetErrorInfo(0, info.put()) == S_OK && info, "no error record after put lines 0");
    BSTR source = nullptr, help_file = nullptr;
    GUID guid = IID_IOrvane;
    DWORD context = 99;
    CHECK_HR(info->GetSource(&source), S_OK);
    CHECK_EQ(narrow(source), std::string("Orvane.CoOrvane.1"), "error source");
    CHECK_HR(info->GetGUID(&guid), S_OK);
    CHECK(IsEqualGUID(guid, GUID_NULL), "the error names an interface");
    CHECK_HR(info->GetHelpContext(&context), S_OK);
    CHECK_EQ(context, 0ul, "error help context");
    CHECK_HR(info->GetHelpFile(&help_file), S_OK);
    CHECK(help_file == nullptr || SysStringLen(help_file) == 0, "the error names a help file");
    SysFreeString(source);
    SysFreeString(help_file);

    EXCEPINFO e = {};
    e.dwHelpContext = 99;
    HRESULT hr = LateBound{o.get()}.put(L"lines", long_arg(0), &e);
    CHECK_HR(hr, DISP_E_EXCEPTION);
    CHECK_EQ(e.dwHelpContext, 0ul, "EXCEPINFO help context");
    CHECK(e.bstrHelpFile == nullptr || SysStringLen(e.bstrHelpFile) == 0,
          "EXCEPINFO names a help file");
    CHECK_EQ(take_exception(e).source, std::string("Orvane.CoOrvane.1"), "EXCEPINFO source");
}
