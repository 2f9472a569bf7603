// orvane_typelib_dump: prints the IOrvane members of a type library, one line per member in
// operation-table order, in the same form as the native member-table dump:
//   position dispid kind name (param:direction:type, ...) "help string"
// Usage: orvane_typelib_dump.exe <Orvane.dll or .tlb>
#include <ole2.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "orvane_h.h"

namespace {

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
    return out;
}

std::string type_text(const TYPEDESC& t) {
    switch (t.vt) {
        case VT_I4:
            return "long";
        case VT_R8:
            return "double";
        case VT_BSTR:
            return "BSTR";
        case VT_VARIANT:
            return "VARIANT";
        case VT_PTR:
            return type_text(*t.lptdesc) + "*";
        default:
            return "vt" + std::to_string(t.vt);
    }
}

const char* kind_text(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_PROPERTYGET:
            return "propget";
        case INVOKE_PROPERTYPUT:
            return "propput";
        case INVOKE_FUNC:
            return "method";
        default:
            return "propputref";
    }
}

int fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "orvane_typelib_dump: %s failed (0x%08lX)\n", what,
                 static_cast<unsigned long>(hr));
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvane_typelib_dump <Orvane.dll or .tlb>\n");
        return 2;
    }
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(argv[1], REGKIND_NONE, &library);
    if (FAILED(hr)) return fail("LoadTypeLibEx", hr);
    ITypeInfo* info = nullptr;
    hr = library->GetTypeInfoOfGuid(IID_IOrvane, &info);
    if (FAILED(hr)) return fail("GetTypeInfoOfGuid(IID_IOrvane)", hr);
    // The dual interface's dispatch description lists the inherited members as well; its
    // vtable description holds only the interface's own, in operation-table order.
    HREFTYPE ref = 0;
    ITypeInfo* vtable = nullptr;
    if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
        SUCCEEDED(info->GetRefTypeInfo(ref, &vtable))) {
        info->Release();
        info = vtable;
    }
    TYPEATTR* attr = nullptr;
    hr = info->GetTypeAttr(&attr);
    if (FAILED(hr)) return fail("GetTypeAttr", hr);
    const UINT count = attr->cFuncs;
    info->ReleaseTypeAttr(attr);

    for (UINT k = 0; k < count; ++k) {
        FUNCDESC* f = nullptr;
        hr = info->GetFuncDesc(k, &f);
        if (FAILED(hr)) return fail("GetFuncDesc", hr);
        BSTR names[8] = {};
        UINT got = 0;
        info->GetNames(f->memid, names, 8, &got);
        BSTR help = nullptr;
        info->GetDocumentation(f->memid, nullptr, &help, nullptr, nullptr);
        // Names come per DISPID, and a getter and its putter share one: the putter's value
        // is unnamed in the type library, so a putter prints no parameter name.
        std::printf("%u %ld %s %s (", k + 1, static_cast<long>(f->memid), kind_text(f->invkind),
                    narrow(names[0]).c_str());
        for (SHORT p = 0; p < f->cParams; ++p) {
            const ELEMDESC& e = f->lprgelemdescParam[p];
            USHORT flags = e.paramdesc.wParamFlags;
            const char* direction = (flags & PARAMFLAG_FRETVAL) ? "out_retval"
                                    : (flags & PARAMFLAG_FOUT)  ? "out"
                                                                : "in";
            std::string name = (f->invkind != INVOKE_PROPERTYPUT && p + 1 < static_cast<SHORT>(got))
                                   ? narrow(names[p + 1])
                                   : std::string();
            std::printf("%s%s:%s:%s", p ? ", " : "", name.c_str(), direction,
                        type_text(e.tdesc).c_str());
        }
        std::printf(") \"%s\"\n", narrow(help).c_str());
        // Every member returns an HRESULT.
        if (f->elemdescFunc.tdesc.vt != VT_HRESULT) std::printf("  result is not HRESULT\n");
        for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);
        SysFreeString(help);
        info->ReleaseFuncDesc(f);
    }
    info->Release();
    library->Release();
    return 0;
}
