// The type library embedded in Orvane.dll and registered by it: library attributes, the three
// type descriptions in order, the coclass's interfaces, and the registration by LIBID.
#include "com_helpers.hpp"
#include "harness.hpp"

namespace {

std::string doc_string(ITypeLib* library, INT index, bool help) {
    BSTR name = nullptr, text = nullptr;
    library->GetDocumentation(index, &name, &text, nullptr, nullptr);
    std::string out = narrow(help ? text : name);
    SysFreeString(name);
    SysFreeString(text);
    return out;
}

}  // namespace

TEST(typelib_library_attributes) {
    Ptr<ITypeLib> library;
    CHECK_HR(LoadTypeLibEx(module_path().c_str(), REGKIND_NONE, library.put()), S_OK);
    REQUIRE(library, "no type library in the module");
    TLIBATTR* attr = nullptr;
    CHECK_HR(library->GetLibAttr(&attr), S_OK);
    REQUIRE(attr, "no library attributes");
    CHECK(IsEqualGUID(attr->guid, LIBID_ORVANELib), "the library's LIBID differs");
    CHECK_EQ(attr->lcid, static_cast<LCID>(0x0409), "library locale");
    CHECK_EQ(attr->wMajorVerNum, static_cast<WORD>(1), "major version");
    CHECK_EQ(attr->wMinorVerNum, static_cast<WORD>(0), "minor version");
    library->ReleaseTLibAttr(attr);
    CHECK_EQ(doc_string(library.get(), -1, false), std::string("ORVANELib"), "library name");
    CHECK_EQ(doc_string(library.get(), -1, true), std::string("Orvane 1.0 Type Library"),
             "library help string");

    // Found by GUID, not by index: widl stores IOrvane first because the IDL must declare it
    // right after importing stdole2.tlb (otherwise widl corrupts the LIBID).
    CHECK_EQ(library->GetTypeInfoCount(), 3u, "type descriptions in the library");
    const struct {
        const char* name;
        const char* help;
        TYPEKIND kind;
        const GUID* guid;
    } rows[] = {
        {"_IOrvaneEvents", "_IOrvaneEvents Interface", TKIND_DISPATCH, &DIID__IOrvaneEvents},
        {"CoOrvane", "CoOrvane Class", TKIND_COCLASS, &CLSID_CoOrvane},
        {"IOrvane", "IOrvane Interface", TKIND_DISPATCH, &IID_IOrvane},
    };
    for (UINT k = 0; k < 3; ++k) {
        Ptr<ITypeInfo> info;
        CHECK_HR(library->GetTypeInfoOfGuid(*rows[k].guid, info.put()), S_OK);
        TYPEATTR* t = nullptr;
        if (info) info->GetTypeAttr(&t);
        BSTR name = nullptr, help = nullptr;
        if (info) info->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr);
        CHECK_EQ(narrow(name), std::string(rows[k].name), "name of a type");
        CHECK_EQ(narrow(help), std::string(rows[k].help), std::string("help of ") + rows[k].name);
        SysFreeString(name);
        SysFreeString(help);
        if (!t) {
            CHECK(false, std::string("no attributes for ") + rows[k].name);
            continue;
        }
        CHECK(t->typekind == rows[k].kind && IsEqualGUID(t->guid, *rows[k].guid),
              std::string(rows[k].name) + " has another kind or GUID");
        if (k == 0) CHECK(t->cFuncs == 0 && t->cVars == 0, "_IOrvaneEvents is not empty");
        if (k == 1) {
            CHECK(t->wTypeFlags & TYPEFLAG_FCANCREATE, "CoOrvane is not creatable");
            CHECK_EQ(t->cImplTypes, static_cast<WORD>(2), "interfaces of CoOrvane");
            const struct {
                const GUID* iid;
                INT flags;
            } impl[] = {{&IID_IOrvane, IMPLTYPEFLAG_FDEFAULT},
                        {&DIID__IOrvaneEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}};
            for (UINT i = 0; i < 2 && i < t->cImplTypes; ++i) {
                INT flags = 0;
                HREFTYPE ref = 0;
                Ptr<ITypeInfo> implemented;
                TYPEATTR* ia = nullptr;
                info->GetImplTypeFlags(i, &flags);
                info->GetRefTypeOfImplType(i, &ref);
                info->GetRefTypeInfo(ref, implemented.put());
                if (implemented) implemented->GetTypeAttr(&ia);
                CHECK(ia && IsEqualGUID(ia->guid, *impl[i].iid) && flags == impl[i].flags,
                      std::string("interface ").append(std::to_string(i)).append(" of CoOrvane"));
                if (ia) implemented->ReleaseTypeAttr(ia);
            }
        }
        info->ReleaseTypeAttr(t);
    }

    // Registration made the library reachable by LIBID and version, as IDispatch loads it.
    Ptr<ITypeLib> registered;
    CHECK_HR(LoadRegTypeLib(LIBID_ORVANELib, 1, 0, 0x0409, registered.put()), S_OK);
}

TEST(module_resources) {
    HMODULE module = LoadLibraryExW(module_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    REQUIRE(module, "the module cannot be loaded as a data file");
    wchar_t name[32] = {};
    CHECK(LoadStringW(module, 100, name, 32) > 0 && narrow(name) == "Orvane",
          "string 100 is \"" + narrow(name) + "\", expected \"Orvane\"");
    CHECK(FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB") != nullptr, "no TYPELIB 1");
    HRSRC script = FindResourceW(module, MAKEINTRESOURCEW(101), L"REGISTRY");
    CHECK(script != nullptr, "no REGISTRY 101");
    FreeLibrary(module);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(module_path().c_str(), &ignored);
    REQUIRE(size > 0, "no version block");
    std::vector<char> block(size);
    REQUIRE(GetFileVersionInfoW(module_path().c_str(), 0, size, block.data()), "version block");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    CHECK(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed &&
              fixed->dwFileVersionMS == 0x00010000u,
          "file version is not 1.0");
    wchar_t* product = nullptr;
    CHECK(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\ProductName",
                         reinterpret_cast<void**>(&product), &length) &&
              narrow(product) == "Orvane",
          "product name in the version block");
}
