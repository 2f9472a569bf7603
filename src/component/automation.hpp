// The OLE Automation types and calls that the component is written against.
//
// On Windows they are the platform's own (<oleauto.h>). Elsewhere this header supplies exactly
// the subset the component and its hosts use, with the platform's layouts and semantics:
// LONG is 32 bits and OLECHAR a 16-bit UTF-16 code unit on every platform; a BSTR points at
// UTF-16 text preceded by its byte length and followed by a NUL, embedded NULs kept; a
// SAFEARRAY stores its bounds last dimension first; the rich error record (source GUID,
// description, no interface, help context 0) is kept per thread.
#pragma once

#include <cstddef>

// ORVANE_AUTOMATION_SUBSET selects the subset on Windows too: the component's unit tests run
// against it there, as they do elsewhere.
#if defined(_WIN32) && !defined(ORVANE_AUTOMATION_SUBSET)
#include <windows.h>
#include <oleauto.h>
#include <ole2.h>

// Records an error for the calling thread through the platform's error-information service.
// The error names the class through its ProgID, the way automation clients show the source, and
// names no interface. `description` is NUL-terminated (a BSTR); `length` serves the subset.
inline void orvane_set_error_info(const GUID& source, const OLECHAR* description, UINT length) {
    (void)length;
    ICreateErrorInfo* create_info = nullptr;
    if (FAILED(CreateErrorInfo(&create_info))) return;
    LPOLESTR prog_id = nullptr;
    if (SUCCEEDED(ProgIDFromCLSID(source, &prog_id))) {
        create_info->SetSource(prog_id);
        CoTaskMemFree(prog_id);
    }
    const GUID no_interface = {};
    create_info->SetGUID(no_interface);
    create_info->SetDescription(const_cast<LPOLESTR>(description));
    create_info->SetHelpContext(0);
    IErrorInfo* error_info = nullptr;
    if (SUCCEEDED(create_info->QueryInterface(IID_PPV_ARGS(&error_info)))) {
        SetErrorInfo(0, error_info);
        error_info->Release();
    }
    create_info->Release();
}
#else

#include <cstdint>

using LONG = int32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UINT = unsigned int;
using DWORD = uint32_t;
using HRESULT = int32_t;
using OLECHAR = char16_t;
using BSTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using VARTYPE = uint16_t;
using DISPID = LONG;
using LCID = DWORD;
using PVOID = void*;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using CLSID = GUID;
using IID = GUID;
inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000Du);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

enum VARENUM : VARTYPE {
    VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_BSTR = 8,
    VT_VARIANT = 12, VT_UI1 = 17, VT_INT = 22,
    VT_ARRAY = 0x2000, VT_BYREF = 0x4000, VT_TYPEMASK = 0x0fff
};

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

// Array features (fFeatures). FADF_AUTO, FADF_STATIC and FADF_EMBEDDED mark a descriptor or
// data block that its owner keeps: SafeArrayDestroy and VariantClear free neither.
inline constexpr USHORT FADF_AUTO = 0x0001;
inline constexpr USHORT FADF_STATIC = 0x0002;
inline constexpr USHORT FADF_EMBEDDED = 0x0004;
inline constexpr USHORT FADF_FIXEDSIZE = 0x0010;
inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_VARIANT = 0x0800;

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];  // cDims entries, last dimension first
};

struct VARIANT {
    VARTYPE vt;
    uint16_t wReserved1, wReserved2, wReserved3;
    union {
        LONG lVal;
        float fltVal;
        double dblVal;
        BSTR bstrVal;
        SAFEARRAY* parray;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        void* byref;
        int64_t llVal;
    };
};

#define V_VT(v) ((v)->vt)
#define V_ARRAY(v) ((v)->parray)
#define V_ARRAYREF(v) ((v)->pparray)
#define V_VARIANTREF(v) ((v)->pvarVal)

// Strings.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);  // text may be null: zero-filled
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);      // in code units
UINT SysStringByteLen(BSTR text);  // in bytes

// Exact comparison of two strings by code units, each up to its length prefix (a null BSTR is
// the empty string). Returns VARCMP_LT/EQ/GT like the platform's.
inline constexpr HRESULT VARCMP_LT = 0, VARCMP_EQ = 1, VARCMP_GT = 2;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
HRESULT VarBstrCmp(BSTR left, BSTR right, LCID lcid, ULONG flags);

// Safe arrays.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds);  // zero-filled
HRESULT SafeArrayDestroy(SAFEARRAY* array);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);  // dim counts from 1
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);

// Variants.
void VariantInit(VARIANT* v);
// Frees an owned BSTR or SAFEARRAY, then VT_EMPTY. A reference (VT_BYREF) is dropped without
// freeing what it points at. A locked array is refused with DISP_E_ARRAYISLOCKED and the
// variant is left as it was.
HRESULT VariantClear(VARIANT* v);

#endif  // _WIN32 && !ORVANE_AUTOMATION_SUBSET

// ---- a two-dimensional array over the host's own memory ----
// Lets a host hand a frame to process_data without copying it into a new safe array: the
// descriptor lives in the host's storage (for example on its stack) and points at the host's
// data. It is marked FADF_AUTO | FADF_STATIC | FADF_FIXEDSIZE, so SafeArrayDestroy and
// VariantClear never free the descriptor or the data. The host keeps both alive while a
// variant refers to the view. `first_count` is the count of the first index (the one that
// runs fastest in memory), `second_count` that of the second; both lower bounds are
// `lower_bound`. The data block is second_count runs of first_count elements, no gaps.
struct SafeArrayView2D {
    SAFEARRAY descriptor;              // descriptor.rgsabound[0]: the second index
    SAFEARRAYBOUND first_index_bound;  // continues descriptor.rgsabound: the first index
};
static_assert(offsetof(SafeArrayView2D, first_index_bound) ==
                  offsetof(SAFEARRAY, rgsabound) + sizeof(SAFEARRAYBOUND),
              "the two bounds of a view must be contiguous");

inline SAFEARRAY* safe_array_view_2d(SafeArrayView2D* view, void* data, ULONG element_bytes,
                                     ULONG first_count, ULONG second_count, LONG lower_bound = 0) {
    view->descriptor.cDims = 2;
    view->descriptor.fFeatures = FADF_AUTO | FADF_STATIC | FADF_FIXEDSIZE;
    view->descriptor.cbElements = element_bytes;
    view->descriptor.cLocks = 0;
    view->descriptor.pvData = data;
    view->descriptor.rgsabound[0].cElements = second_count;
    view->descriptor.rgsabound[0].lLbound = lower_bound;
    view->first_index_bound.cElements = first_count;
    view->first_index_bound.lLbound = lower_bound;
    return &view->descriptor;
}

// ---- the rich error record on systems without the error-information service ----
#if !defined(_WIN32) || defined(ORVANE_AUTOMATION_SUBSET)
struct OrvaneErrorInfo {
    GUID source;       // the class that reported the error
    GUID interface_id; // GUID_NULL: no interface named
    BSTR description;  // owned by the record
    DWORD help_context;
};
// Records an error for the calling thread (replacing the previous one).
void orvane_set_error_info(const GUID& source, const OLECHAR* description, UINT length);
// Hands the calling thread's record to the caller (who frees `description` with
// SysFreeString) and clears it, as GetErrorInfo does. Returns S_FALSE when there is none.
HRESULT orvane_get_error_info(OrvaneErrorInfo* info);

// Whether the next string or array allocation may succeed, and whether SafeArrayAccessData may
// lock an array. Always, in the library (automation_faults.cpp, an object of its own); the
// component tests link their own definitions in its place to reach the out-of-memory and
// access-failure paths.
bool orvane_automation_may_allocate();
bool orvane_automation_may_access();
#endif
