#include "module/type_info_cache.hpp"

#include <cwchar>
#include <new>

#include "module/module_state.hpp"
#include "module/orvane_idl.hpp"

namespace orvane_module {

namespace {
// The locale the type library is written in; tried when the caller's locale has no
// registration of its own, so that hosts running under another locale still find it.
constexpr LCID library_lcid = 0x0409;
}  // namespace

TypeInfoCache::TypeInfoCache() {
    InitializeCriticalSection(&lock);
}

TypeInfoCache::~TypeInfoCache() {
    DeleteCriticalSection(&lock);
}

HRESULT TypeInfoCache::get(LCID lcid, ITypeInfo** out) {
    *out = nullptr;
    ITypeInfo* current = info;
    MemoryBarrier();
    if (current) {
        *out = current;
        return S_OK;
    }
    EnterCriticalSection(&lock);
    HRESULT hr = S_OK;
    if (!info) {
        ITypeLib* library = nullptr;
        hr = LoadRegTypeLib(library_id(), 1, 0, lcid, &library);
        if (FAILED(hr) && lcid != library_lcid)
            hr = LoadRegTypeLib(library_id(), 1, 0, library_lcid, &library);
        ITypeInfo* loaded = nullptr;
        if (SUCCEEDED(hr)) {
            hr = library->GetTypeInfoOfGuid(IID_IOrvane, &loaded);
            library->Release();
        }
        if (SUCCEEDED(hr)) {
            build_name_table(loaded);
            MemoryBarrier();
            info = loaded;
        }
    }
    *out = info;
    LeaveCriticalSection(&lock);
    return hr;
}

// The table holds the interface's own 33 members in operation-table order, taken from the
// vtable description behind the dual interface (the dispatch description also lists the
// inherited IUnknown and IDispatch members).
void TypeInfoCache::build_name_table(ITypeInfo* dispatch_info) {
    ITypeInfo* members = dispatch_info;
    members->AddRef();
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(dispatch_info->GetTypeAttr(&attr))) {
        bool dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
        dispatch_info->ReleaseTypeAttr(attr);
        HREFTYPE vtable_ref = 0;
        ITypeInfo* vtable_info = nullptr;
        if (dual &&
            SUCCEEDED(dispatch_info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref)) &&
            SUCCEEDED(dispatch_info->GetRefTypeInfo(vtable_ref, &vtable_info))) {
            members->Release();
            members = vtable_info;
        }
    }
    attr = nullptr;
    if (FAILED(members->GetTypeAttr(&attr))) {
        members->Release();
        return;
    }
    UINT count = attr->cFuncs;
    members->ReleaseTypeAttr(attr);

    Entry* entries = new (std::nothrow) Entry[count];
    bool complete = entries != nullptr;
    UINT filled = 0;
    for (UINT i = 0; complete && i < count; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(members->GetFuncDesc(i, &desc))) {
            complete = false;
            break;
        }
        DISPID id = desc->memid;
        members->ReleaseFuncDesc(desc);
        BSTR name = nullptr;
        UINT got = 0;
        if (FAILED(members->GetNames(id, &name, 1, &got)) || got != 1) {
            complete = false;
            break;
        }
        entries[filled++] = Entry{name, id};
    }
    members->Release();
    if (!complete) {
        // Without a table every name goes through the type description's own lookup.
        for (UINT i = 0; i < filled; ++i) SysFreeString(entries[i].name);
        delete[] entries;
        return;
    }
    table = entries;
    table_size = filled;
}

bool TypeInfoCache::lookup(LPOLESTR* names, UINT count, DISPID* dispids) {
    if (!table || !names) return false;
    for (UINT k = 0; k < count; ++k) {
        if (!names[k]) return false;
        size_t length = wcslen(names[k]);
        bool found = false;
        // From the last member towards the first: a putter and its getter share one DISPID.
        for (UINT i = table_size; i-- > 0;) {
            if (SysStringLen(table[i].name) == length &&
                wmemcmp(table[i].name, names[k], length) == 0) {
                dispids[k] = table[i].dispid;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

void TypeInfoCache::release() {
    EnterCriticalSection(&lock);
    for (UINT i = 0; i < table_size; ++i) SysFreeString(table[i].name);
    delete[] table;
    table = nullptr;
    table_size = 0;
    if (info) info->Release();
    info = nullptr;
    LeaveCriticalSection(&lock);
}

namespace {
// Built with the module's other statics, before process attach completes, so that DllMain can
// release it at detach without constructing anything during the module's termination.
TypeInfoCache module_cache;
}  // namespace

TypeInfoCache& type_info_cache() { return module_cache; }

}  // namespace orvane_module
