// ClassFactory: the one class object of CoOrvane, cached by DllGetClassObject.
//
// The module's slot holds one reference for the life of the process. While a client holds the
// factory as well (count 2 and up) the factory keeps one module lock, so DllCanUnloadNow
// answers S_FALSE; the lock is returned when the count falls back to 1. CreateInstance builds
// OrvaneObject instances, plain or as the inner object of an aggregate.
#pragma once

#include <unknwn.h>
#include <windows.h>

namespace orvane_module {

class ClassFactory final : public IClassFactory {
  public:
    // A new factory holding one reference (the module's slot); null when out of memory.
    static ClassFactory* create();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  private:
    ClassFactory();
    ~ClassFactory();
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    // Serialises a count change with the module lock it implies, so that the lock is taken and
    // returned exactly once per crossing of the 1/2 boundary.
    CRITICAL_SECTION count_lock;
    LONG volatile references = 1;
};

}  // namespace orvane_module
