// The few Windows names that the registration-script interpreter uses, so that its parser can be
// fuzzed on Linux. The registry calls accept everything and store nothing: running a parsed
// script walks its whole tree without touching a registry.
#pragma once

#include <cstdint>
#include <cwchar>

using DWORD = uint32_t;
using LONG = int32_t;
using HRESULT = int32_t;
using BYTE = unsigned char;
using REGSAM = DWORD;
struct HKEY__;
using HKEY = HKEY__*;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(uintptr_t{0x80000000}))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(uintptr_t{0x80000001}))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(uintptr_t{0x80000002}))
constexpr DWORD REG_SZ = 1, REG_DWORD = 4;
constexpr REGSAM KEY_READ = 0x20019, KEY_WRITE = 0x20006;
constexpr LONG ERROR_SUCCESS = 0, ERROR_FILE_NOT_FOUND = 2;
constexpr HRESULT S_OK = 0;
#define FAILED(hr) ((HRESULT)(hr) < 0)
#define SUCCEEDED(hr) ((HRESULT)(hr) >= 0)
#define HRESULT_FROM_WIN32(x) \
    ((HRESULT)(x) <= 0 ? (HRESULT)(x) : (HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000))

inline int _wcsicmp(const wchar_t* a, const wchar_t* b) {
    return wcscasecmp(a, b);
}

inline LONG RegCreateKeyExW(HKEY parent, const wchar_t*, DWORD, wchar_t*, DWORD, REGSAM, void*,
                            HKEY* key, DWORD*) {
    *key = parent;
    return ERROR_SUCCESS;
}
inline LONG RegOpenKeyExW(HKEY parent, const wchar_t*, DWORD, REGSAM, HKEY* key) {
    *key = parent;
    return ERROR_SUCCESS;
}
inline LONG RegSetValueExW(HKEY, const wchar_t*, DWORD, DWORD, const BYTE*, DWORD) {
    return ERROR_SUCCESS;
}
inline LONG RegDeleteTreeW(HKEY, const wchar_t*) {
    return ERROR_FILE_NOT_FOUND;
}
inline LONG RegDeleteValueW(HKEY, const wchar_t*) {
    return ERROR_FILE_NOT_FOUND;
}
inline LONG RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}
