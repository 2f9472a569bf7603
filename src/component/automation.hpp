// The OLE Automation types and calls that the component is written against.
//
// On Windows they are the platform's own (<oleauto.h>). Elsewhere this header supplies exactly
// the subset the component and its hosts use, with the platform's layouts and semantics:
// LONG is 32 bits and OLECHAR a 16-bit UTF-16 code unit on every platform; a BSTR points at
// UTF-16 text preceded by its byte length and followed by a NUL, embedded NULs kept; a
// SAFEARRAY stores its bounds last dimension first; the rich error record (source GUID,
// description, no interface, help context 0) is kept per thread.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <oleauto.h>
#include <ole2.h>
#else

#include <cstddef>
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
#define V_ISBYREF(v) (V_VT(v) & VT_BYREF)
#define V_ISARRAY(v) (V_VT(v) & VT_ARRAY)
#define V_ARRAY(v) ((v)->parray)
#define V_ARRAYREF(v) ((v)->pparray)
#define V_VARIANTREF(v) ((v)->pvarVal)
#define V_BSTR(v) ((v)->bstrVal)
#define V_R4(v) ((v)->fltVal)
#define V_I4(v) ((v)->lVal)

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
HRESULT VariantClear(VARIANT* v);  // frees an owned BSTR or SAFEARRAY, then VT_EMPTY

#endif  // _WIN32

// ---- the rich error record on systems without the error-information service ----
#ifndef _WIN32
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
#endif
