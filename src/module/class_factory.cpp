#include "module/class_factory.hpp"

#include <new>

#include "module/module_state.hpp"
#include "module/orvane_object.hpp"

namespace orvane_module {

ClassFactory* ClassFactory::create() {
    return new (std::nothrow) ClassFactory;
}

ClassFactory::ClassFactory() {
    InitializeCriticalSection(&count_lock);
}

ClassFactory::~ClassFactory() {
    DeleteCriticalSection(&count_lock);
}

HRESULT ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG ClassFactory::AddRef() {
    EnterCriticalSection(&count_lock);
    LONG count = InterlockedIncrement(&references);
    if (count == 2) lock_module();
    LeaveCriticalSection(&count_lock);
    return static_cast<ULONG>(count);
}

ULONG ClassFactory::Release() {
    EnterCriticalSection(&count_lock);
    LONG count = InterlockedDecrement(&references);
    if (count == 1) unlock_module();
    LeaveCriticalSection(&count_lock);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregate may only ask for the inner unknown.
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return OrvaneObject::create(outer, riid, ppv);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
    if (lock)
        lock_module();
    else
        unlock_module();
    return S_OK;
}

}  // namespace orvane_module
