// The module's entry points, called directly from the loaded DLL: the class object, the unload
// query with objects, factory references and server locks, CreateInstance's aggregation rule
// and a working aggregate.
#include "com_helpers.hpp"
#include "harness.hpp"

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(WINAPI*)();

struct Entry {
    GetClassObjectFn get_class_object = nullptr;
    CanUnloadNowFn can_unload_now = nullptr;
};

Entry entry_points() {
    static HMODULE module = LoadLibraryW(module_path().c_str());
    Entry e;
    if (module) {
        // Through void*: FARPROC has no parameters, and the cast between function types warns.
        e.get_class_object = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        e.can_unload_now = reinterpret_cast<CanUnloadNowFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    }
    return e;
}

// An outer object for aggregation: counts its own references and hands IOrvane out from the
// inner object it holds.
class Outer final : public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (inner) return inner->QueryInterface(riid, ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&references); }
    LONG volatile references = 1;
    IUnknown* inner = nullptr;
};

}  // namespace

TEST(module_exports_resolve) {
    Entry e = entry_points();
    CHECK(e.get_class_object && e.can_unload_now,
          "Orvane.dll does not load or lacks DllGetClassObject/DllCanUnloadNow");
}

TEST(module_class_object) {
    Entry e = entry_points();
    REQUIRE(e.get_class_object, "no DllGetClassObject");
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, nullptr), E_POINTER);

    Ptr<IClassFactory> first, second;
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, first.put_void()), S_OK);
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, second.put_void()), S_OK);
    CHECK(first.get() && first.get() == second.get(), "two requests gave different factories");

    Ptr<IUnknown> as_unknown;
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IUnknown, as_unknown.put_void()), S_OK);

    void* other = reinterpret_cast<void*>(1);
    CHECK_HR(e.get_class_object(IID_IOrvane, IID_IClassFactory, &other), CLASS_E_CLASSNOTAVAILABLE);
    CHECK(other == nullptr, "CLASS_E_CLASSNOTAVAILABLE left the out-pointer set");

    void* wrong = reinterpret_cast<void*>(1);
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IOrvane, &wrong), E_NOINTERFACE);
    CHECK(wrong == nullptr, "E_NOINTERFACE left the out-pointer set");
}

TEST(module_can_unload_now) {
    Entry e = entry_points();
    REQUIRE(e.get_class_object, "no DllGetClassObject");
    CHECK_HR(e.can_unload_now(), S_OK);  // freshly loaded: nothing alive

    Ptr<IClassFactory> factory;
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, factory.put_void()), S_OK);
    REQUIRE(factory, "no class factory");
    // A client holding the factory keeps the module.
    CHECK_HR(e.can_unload_now(), S_FALSE);
    {
        Ptr<IClassFactory> again;
        e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, again.put_void());
        CHECK_HR(e.can_unload_now(), S_FALSE);
    }
    Ptr<IOrvane> object;
    CHECK_HR(factory->CreateInstance(nullptr, IID_IOrvane, object.put_void()), S_OK);
    factory.reset();
    CHECK_HR(e.can_unload_now(), S_FALSE);  // the object alone keeps the module

    Ptr<IConnectionPointContainer> container;
    Ptr<IEnumConnectionPoints> enumerator;
    CHECK_HR(object->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
    REQUIRE(container, "no IConnectionPointContainer");
    CHECK_HR(container->EnumConnectionPoints(enumerator.put()), S_OK);
    REQUIRE(enumerator, "no connection-point enumerator");
    container.reset();
    object.reset();
    // The enumerator's code lives in the module too.
    CHECK_HR(e.can_unload_now(), S_FALSE);
    enumerator.reset();
    CHECK_HR(e.can_unload_now(), S_OK);

    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, factory.put_void()), S_OK);
    CHECK_HR(factory->LockServer(TRUE), S_OK);
    factory.reset();
    CHECK_HR(e.can_unload_now(), S_FALSE);
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, factory.put_void()), S_OK);
    CHECK_HR(factory->LockServer(FALSE), S_OK);
    factory.reset();
    CHECK_HR(e.can_unload_now(), S_OK);
}

TEST(module_create_instance_rules) {
    Entry e = entry_points();
    REQUIRE(e.get_class_object, "no DllGetClassObject");
    Ptr<IClassFactory> factory;
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, factory.put_void()), S_OK);
    REQUIRE(factory, "no class factory");
    Outer outer;
    CHECK_HR(factory->CreateInstance(nullptr, IID_IOrvane, nullptr), E_POINTER);

    void* out = reinterpret_cast<void*>(1);
    CHECK_HR(factory->CreateInstance(&outer, IID_IOrvane, &out), CLASS_E_NOAGGREGATION);
    CHECK(out == nullptr, "CLASS_E_NOAGGREGATION left the out-pointer set");
    out = reinterpret_cast<void*>(1);
    CHECK_HR(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    CHECK(out == nullptr, "E_NOINTERFACE left the out-pointer set");
    CHECK_EQ(outer.references, 1, "outer references after refused creations");
    factory.reset();
    CHECK_HR(e.can_unload_now(), S_OK);  // the refused objects were destroyed
}

TEST(module_aggregation) {
    Entry e = entry_points();
    REQUIRE(e.get_class_object, "no DllGetClassObject");
    Ptr<IClassFactory> factory;
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, factory.put_void()), S_OK);
    REQUIRE(factory, "no class factory");
    Outer outer;
    CHECK_HR(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
             S_OK);
    factory.reset();
    REQUIRE(outer.inner, "no inner unknown");

    // Interfaces of the inner object count on the outer unknown.
    IOrvane* orvane = nullptr;
    CHECK_HR(outer.QueryInterface(IID_IOrvane, reinterpret_cast<void**>(&orvane)), S_OK);
    CHECK_EQ(outer.references, 2, "outer references while IOrvane is held");
    if (orvane) {
        LONG lines = 0;
        CHECK_HR(orvane->get_lines(&lines), S_OK);
        CHECK_EQ(lines, 128, "lines of the aggregated object");
        IUnknown* identity = nullptr;
        CHECK_HR(orvane->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
        CHECK(identity == static_cast<IUnknown*>(&outer),
              "IOrvane::QueryInterface(IUnknown) does not reach the outer unknown");
        if (identity) identity->Release();
        Ptr<IMarshal> marshal;
        CHECK_HR(orvane->QueryInterface(IID_IMarshal, marshal.put_void()), S_OK);
        marshal.reset();
        orvane->Release();
    }
    CHECK_EQ(outer.references, 1, "outer references after releasing IOrvane");

    // The inner unknown answers IUnknown with itself.
    IUnknown* inner_again = nullptr;
    CHECK_HR(outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&inner_again)),
             S_OK);
    CHECK(inner_again == outer.inner, "the inner unknown is not its own IUnknown");
    if (inner_again) inner_again->Release();
    CHECK_EQ(static_cast<LONG>(outer.inner->Release()), 0, "inner references at the end");
    outer.inner = nullptr;
    CHECK_HR(e.can_unload_now(), S_OK);
}

// Run by test-windows.sh after unregistration: the type library is not registered, so the
// dispatch members fail with the loading failure, and succeed once it is registered, since a
// failed load is tried again on the next call. Early binding needs no type library.
TEST(unregistered_type_library_is_loaded_again) {
    Entry e = entry_points();
    REQUIRE(e.get_class_object, "no DllGetClassObject");
    Ptr<IClassFactory> factory;
    CHECK_HR(e.get_class_object(CLSID_CoOrvane, IID_IClassFactory, factory.put_void()), S_OK);
    REQUIRE(factory, "no class factory");
    Ptr<IOrvane> o;
    CHECK_HR(factory->CreateInstance(nullptr, IID_IOrvane, o.put_void()), S_OK);
    REQUIRE(o, "no object");
    LONG lines = 0;
    CHECK_HR(o->get_lines(&lines), S_OK);
    CHECK_EQ(lines, 128, "lines through the vtable without a type library");

    Ptr<ITypeInfo> info;
    HRESULT load_failure = o->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put());
    CHECK(FAILED(load_failure), "GetTypeInfo succeeded without a registered type library");
    LPOLESTR names[1] = {const_cast<LPOLESTR>(L"lines")};
    DISPID id = 0;
    CHECK_HR(o->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), load_failure);
    LateBound late{o.get()};
    Variant v;
    UINT arg_error = 0;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    CHECK_HR(o->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &v.v, nullptr,
                       &arg_error),
             load_failure);

    Ptr<ITypeLib> library;
    CHECK_HR(LoadTypeLibEx(module_path().c_str(), REGKIND_NONE, library.put()), S_OK);
    REQUIRE(library, "no type library in the module");
    std::wstring path = module_path();
    CHECK_HR(RegisterTypeLib(library.get(), path.data(), nullptr), S_OK);
    CHECK_HR(o->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
    CHECK_HR(late.get(L"lines", &v.v), S_OK);
    CHECK(v.v.vt == VT_I4 && v.v.lVal == 128, "late-bound lines once the library is registered");
    CHECK_HR(UnRegisterTypeLib(LIBID_ORVANELib, 1, 0, 0x0409,
                               sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32),
             S_OK);
}

// Run by test-windows.sh in a process of its own: the module is unloaded once nothing holds it
// (which releases its cached factory and type information) and works again when reloaded.
TEST(alone_unload_and_reload) {
    for (int round = 0; round < 2; ++round) {
        HMODULE module = LoadLibraryW(module_path().c_str());
        REQUIRE(module, "the module does not load");
        auto get_class_object = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        auto can_unload_now = reinterpret_cast<CanUnloadNowFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
        REQUIRE(get_class_object && can_unload_now, "entry points missing");
        {
            Ptr<IClassFactory> factory;
            CHECK_HR(get_class_object(CLSID_CoOrvane, IID_IClassFactory, factory.put_void()), S_OK);
            REQUIRE(factory, "no class factory");
            Ptr<IDispatch> object;
            CHECK_HR(factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);
            REQUIRE(object, "no object");
            Variant lines;
            CHECK_HR(LateBound{object.get()}.get(L"lines", &lines.v), S_OK);
            CHECK(lines.v.vt == VT_I4 && lines.v.lVal == 128,
                  "late-bound lines in round " + std::to_string(round));
        }
        CHECK_HR(can_unload_now(), S_OK);
        CHECK(FreeLibrary(module), "FreeLibrary failed");
        CHECK(GetModuleHandleW(module_path().c_str()) == nullptr, "the module stayed loaded");
    }
}
