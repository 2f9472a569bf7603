// TypeInfoCache: the IOrvane type description, loaded lazily from the registered type library,
// and the exact-match name table built from it.
//
// One per module. The objects' IDispatch members call get(); the first successful call loads
// the type description under the type-information lock and keeps it until release(), which
// DllMain calls when the module is unloaded. A failed load is returned unchanged and tried
// again on the next call.
#pragma once

#include <oaidl.h>
#include <windows.h>

namespace orvane_module {

class TypeInfoCache final {
  public:
    TypeInfoCache();
    ~TypeInfoCache();
    TypeInfoCache(const TypeInfoCache&) = delete;
    TypeInfoCache& operator=(const TypeInfoCache&) = delete;

    // The dispatch type description of IOrvane, borrowed (no new reference); null on failure.
    HRESULT get(LCID lcid, ITypeInfo** info);
    // Resolves `names` through the exact-match table when every name is in it; false when at
    // least one is not (or the table could not be built), leaving `dispids` undefined.
    bool lookup(LPOLESTR* names, UINT count, DISPID* dispids);
    // Drops the type description and the table.
    void release();

  private:
    struct Entry {
        BSTR name;
        DISPID dispid;
    };
    void build_name_table(ITypeInfo* dispatch_info);

    CRITICAL_SECTION lock;
    ITypeInfo* volatile info = nullptr;  // published only once fully built
    Entry* table = nullptr;
    UINT table_size = 0;
};

TypeInfoCache& type_info_cache();

}  // namespace orvane_module
