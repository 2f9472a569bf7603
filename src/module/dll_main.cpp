// Entry points of Orvane.DLL: the process-attach and detach handling, the class object, the
// unload query and self-registration.
//
// The module serves one class through a one-entry object map; DllGetClassObject creates the
// cached class factory on first request (tested before and after the class-object lock is
// taken) and ends in CLASS_E_CLASSNOTAVAILABLE for any other class. Registration runs the
// script of resource REGISTRY 101 with the module's own path, then registers the type library
// embedded as TYPELIB 1 from the same file.
#include <ole2.h>
#include <windows.h>

#include <string>

#include "module/class_factory.hpp"
#include "module/module_state.hpp"
#include "module/orvane_idl.hpp"
#include "module/registry_script.hpp"
#include "module/resource.h"
#include "module/type_info_cache.hpp"
#include "primitives/primitives.hpp"

namespace orvane_module {

namespace {

// The kernel selection's failure report in the module: the error beep and a modal message box
// without owner window, shown on the thread that constructed the object.
void message_box_report(const char* text, const char* title) {
    MessageBeep(MB_ICONHAND);
    MessageBoxA(nullptr, text, title, MB_OK | MB_ICONERROR);
}

LONG volatile module_locks = 0;
HINSTANCE module_instance = nullptr;
CRITICAL_SECTION class_object_lock;
const GUID* module_library = &LIBID_ORVANELib;

// The object map: the classes the module serves, ended by an empty entry.
struct ObjectMapEntry {
    const CLSID* clsid;
    ClassFactory* volatile factory;  // cached, null until first requested
};
ObjectMapEntry object_map[] = {
    {&CLSID_CoOrvane, nullptr},
    {nullptr, nullptr},
};

// The module's full path, however long.
std::wstring module_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetModuleFileNameW(module_instance, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HRESULT run_registry_script(bool do_register) {
    HRSRC found =
        FindResourceW(module_instance, MAKEINTRESOURCEW(IDR_ORVANE_REGISTRY), L"REGISTRY");
    if (!found) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(module_instance, found);
    const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!text) return HRESULT_FROM_WIN32(GetLastError());
    std::wstring path = module_path();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());

    RegistryScript script;
    if (!script.parse(std::string(text, SizeofResource(module_instance, found)),
                      {{L"MODULE", path}})) {
        OutputDebugStringA(("Orvane: registration script: " + script.error() + "\n").c_str());
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
    return script.run(do_register);
}

// Loads the type library embedded in the module, without registering it as a side effect.
HRESULT load_own_type_library(ITypeLib** library, std::wstring& path) {
    path = module_path();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

HRESULT register_type_library() {
    std::wstring path;
    ITypeLib* library = nullptr;
    HRESULT hr = load_own_type_library(&library, path);
    if (FAILED(hr)) return hr;
    // A plain path, so that the registry names the file exactly as the class key does.
    hr = RegisterTypeLib(library, path.data(), nullptr);
    library->Release();
    return hr;
}

HRESULT unregister_type_library() {
    std::wstring path;
    ITypeLib* library = nullptr;
    HRESULT hr = load_own_type_library(&library, path);
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = library->GetLibAttr(&attr);
    if (SUCCEEDED(hr)) {
        // Unregistering what is not registered is no failure (the platform reports one).
        BSTR registered_path = nullptr;
        if (SUCCEEDED(QueryPathOfRegTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum,
                                            attr->lcid, &registered_path))) {
            SysFreeString(registered_path);
            hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                   attr->syskind);
        }
        library->ReleaseTLibAttr(attr);
    }
    library->Release();
    return hr;
}

}  // namespace

void lock_module() {
    InterlockedIncrement(&module_locks);
}
void unlock_module() {
    InterlockedDecrement(&module_locks);
}
LONG lock_count() {
    return module_locks;
}
HINSTANCE instance() {
    return module_instance;
}
const GUID& library_id() {
    return *module_library;
}

}  // namespace orvane_module

using namespace orvane_module;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance_handle, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        module_library = &LIBID_ORVANELib;
        module_instance = instance_handle;
        InitializeCriticalSection(&class_object_lock);
        DisableThreadLibraryCalls(instance_handle);
        prim_set_failure_report(&message_box_report);
    } else if (reason == DLL_PROCESS_DETACH) {
        // When the whole process ends (reserved not null) the runtime's own modules may be gone
        // already: the cached interfaces are then left alone rather than called into.
        if (!reserved) {
            for (ObjectMapEntry* entry = object_map; entry->clsid; ++entry) {
                if (entry->factory) entry->factory->Release();
                entry->factory = nullptr;
            }
            type_info_cache().release();
        }
        DeleteCriticalSection(&class_object_lock);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (ObjectMapEntry* entry = object_map; entry->clsid; ++entry) {
        if (!IsEqualCLSID(rclsid, *entry->clsid)) continue;
        if (!entry->factory) {
            EnterCriticalSection(&class_object_lock);
            if (!entry->factory) {
                ClassFactory* made = ClassFactory::create();
                MemoryBarrier();  // fully built before another thread can see it
                entry->factory = made;
            }
            LeaveCriticalSection(&class_object_lock);
            if (!entry->factory) return E_OUTOFMEMORY;
        }
        return entry->factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return lock_count() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    HRESULT hr = run_registry_script(true);
    if (SUCCEEDED(hr)) hr = register_type_library();
    return hr;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    HRESULT hr = run_registry_script(false);
    if (SUCCEEDED(hr)) hr = unregister_type_library();
    return hr;
}
