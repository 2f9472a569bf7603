#include "module/orvane_object.hpp"

#include <new>

#include "module/module_state.hpp"
#include "module/type_info_cache.hpp"

namespace orvane_module {

namespace {

// IEnumConnectionPoints over no connection points: nothing can subscribe to the events.
// Each enumerator holds a module lock, since its code lives in the module.
class EmptyConnectionPointEnum final : public IEnumConnectionPoints {
  public:
    static HRESULT create(IEnumConnectionPoints** out) {
        *out = new (std::nothrow) EmptyConnectionPointEnum;
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumConnectionPoints)) {
            *ppv = static_cast<IEnumConnectionPoints*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&references);
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** points,
                                   ULONG* fetched) override {
        if (!points || (count != 1 && !fetched)) return E_POINTER;
        if (fetched) *fetched = 0;
        return count == 0 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override { return count == 0 ? S_OK : S_FALSE; }
    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** out) override {
        if (!out) return E_POINTER;
        return create(out);
    }

  private:
    EmptyConnectionPointEnum() { lock_module(); }
    ~EmptyConnectionPointEnum() { unlock_module(); }
    LONG volatile references = 1;
};

}  // namespace

OrvaneObject::OrvaneObject(IUnknown* outer_unknown) : outer(outer_unknown) {
    lock_module();
}

OrvaneObject::~OrvaneObject() {
    if (marshaler) marshaler->Release();
    unlock_module();
}

HRESULT OrvaneObject::create(IUnknown* outer, REFIID riid, void** ppv) {
    *ppv = nullptr;
    // First phase: the constructor (component fields empty, module lock taken).
    OrvaneObject* object = new (std::nothrow) OrvaneObject(outer);
    if (!object) return E_OUTOFMEMORY;

    // Second phase, under a temporary reference so that nothing called during it can destroy
    // the object: the defaults and the kernel variant selection, then the free-threaded
    // marshaler aggregated with the controlling unknown.
    InterlockedIncrement(&object->references);
    HRESULT hr = object->core.final_construct();
    if (SUCCEEDED(hr))
        hr = CoCreateFreeThreadedMarshaler(object->controlling(), &object->marshaler);
    InterlockedDecrement(&object->references);
    if (FAILED(hr)) {
        delete object;
        return hr;
    }
    // In an aggregate the caller asked for IUnknown (the factory checked): hand out the inner
    // unknown itself.
    hr = object->inner_query(riid, ppv);
    if (FAILED(hr)) delete object;
    return hr;
}

// ---- identity ----

HRESULT OrvaneObject::inner_query(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        *ppv = static_cast<IUnknown*>(&inner);
    } else if (IsEqualIID(riid, IID_IOrvane) || IsEqualIID(riid, IID_IDispatch)) {
        *ppv = static_cast<IOrvane*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
        *ppv = static_cast<ISupportErrorInfo*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
        *ppv = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(riid, IID_IMarshal) && marshaler) {
        return marshaler->QueryInterface(riid, ppv);
    } else {
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
}

HRESULT OrvaneObject::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
    return owner->inner_query(riid, ppv);
}

ULONG OrvaneObject::InnerUnknown::AddRef() {
    return InterlockedIncrement(&owner->references);
}

ULONG OrvaneObject::InnerUnknown::Release() {
    LONG left = InterlockedDecrement(&owner->references);
    if (left == 0) delete owner;
    return left;
}

HRESULT OrvaneObject::QueryInterface(REFIID riid, void** ppv) {
    return controlling()->QueryInterface(riid, ppv);
}
ULONG OrvaneObject::AddRef() {
    return controlling()->AddRef();
}
ULONG OrvaneObject::Release() {
    return controlling()->Release();
}

// ---- IDispatch ----

HRESULT OrvaneObject::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT OrvaneObject::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* cached = nullptr;
    HRESULT hr = type_info_cache().get(lcid, &cached);
    if (FAILED(hr)) return hr;
    cached->AddRef();
    *info = cached;
    return S_OK;
}

HRESULT OrvaneObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                    DISPID* dispids) {
    // A caller's null array is its mistake to hear about, not a fault inside the module.
    if (!names || !dispids) return E_POINTER;
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* cached = nullptr;
    HRESULT hr = type_info_cache().get(lcid, &cached);
    if (FAILED(hr)) return hr;
    if (type_info_cache().lookup(names, count, dispids)) return S_OK;
    return cached->GetIDsOfNames(names, count, dispids);
}

HRESULT OrvaneObject::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
    // The arguments are required (an empty DISPPARAMS for none); the result, the exception
    // and the argument index are optional. E_INVALIDARG as the platform's dispatch answers.
    if (!params) return E_INVALIDARG;
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* cached = nullptr;
    HRESULT hr = type_info_cache().get(lcid, &cached);
    if (FAILED(hr)) return hr;
    return cached->Invoke(static_cast<IOrvane*>(this), dispid, flags, params, result, exception,
                          arg_error);
}

// ---- ISupportErrorInfo ----

HRESULT OrvaneObject::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IOrvane) ? S_OK : S_FALSE;
}

// ---- IConnectionPointContainer ----

HRESULT OrvaneObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (!ppEnum) return E_POINTER;
    return EmptyConnectionPointEnum::create(ppEnum);
}

HRESULT OrvaneObject::FindConnectionPoint(REFIID, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    return CONNECT_E_NOCONNECTION;
}

}  // namespace orvane_module
