// The automation subset on systems without OLE Automation: strings, safe arrays, variants and
// the per-thread rich error record.
//
// Layouts follow the platform's so that code written against the Windows names behaves the
// same here: a BSTR points just past a 4-byte byte count and its text ends with one extra NUL;
// a safe array's bounds are stored last dimension first and its element type is kept in the
// four bytes just below the descriptor. Every allocation failure returns null (or
// E_OUTOFMEMORY) and leaves nothing allocated.
#include "component/automation.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

void* checked_malloc(size_t bytes) {
    return orvane_automation_may_allocate() ? std::malloc(bytes) : nullptr;
}

void* checked_calloc(size_t count, size_t bytes) {
    return orvane_automation_may_allocate() ? std::calloc(count, bytes) : nullptr;
}

// ---- strings ----
// The byte count sits in the 4 bytes directly below the text.
constexpr size_t bstr_prefix_bytes = sizeof(uint32_t);

uint32_t* bstr_prefix(BSTR text) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<unsigned char*>(text) - bstr_prefix_bytes);
}

BSTR bstr_alloc_bytes(const void* data, size_t byte_length) {
    // The count must fit the 32-bit prefix, with room for the terminator.
    if (byte_length > std::numeric_limits<uint32_t>::max() - sizeof(OLECHAR) - bstr_prefix_bytes)
        return nullptr;
    auto* block = static_cast<unsigned char*>(
        checked_malloc(bstr_prefix_bytes + byte_length + sizeof(OLECHAR)));
    if (!block) return nullptr;
    const uint32_t count = static_cast<uint32_t>(byte_length);
    std::memcpy(block, &count, sizeof count);
    unsigned char* text = block + bstr_prefix_bytes;
    if (data)
        std::memcpy(text, data, byte_length);
    else
        std::memset(text, 0, byte_length);
    std::memset(text + byte_length, 0, sizeof(OLECHAR));
    return reinterpret_cast<BSTR>(text);
}

// ---- safe arrays ----
// Below each descriptor made by SafeArrayCreate: a 16-byte header whose last 4 bytes hold the
// element type, so the descriptor keeps the heap's 16-byte alignment.
constexpr size_t array_header_bytes = 16;

bool owner_keeps(const SAFEARRAY* array) {
    return (array->fFeatures & (FADF_AUTO | FADF_STATIC | FADF_EMBEDDED)) != 0;
}

ULONG element_bytes_of(VARTYPE vt) {
    switch (vt) {
        case VT_UI1:
            return 1;
        case VT_I2:
            return 2;
        case VT_I4:
        case VT_INT:
        case VT_R4:
            return 4;
        case VT_R8:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

// Element count of the whole array, or false when it does not fit in size_t with the element
// size.
bool element_count(const SAFEARRAY* array, size_t* count) {
    size_t n = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        const size_t c = array->rgsabound[d].cElements;
        if (c != 0 && n > std::numeric_limits<size_t>::max() / c) return false;
        n *= c;
    }
    if (array->cbElements != 0 && n > std::numeric_limits<size_t>::max() / array->cbElements)
        return false;
    *count = n;
    return true;
}

// ---- the error record ----
struct ThreadErrorRecord {
    bool present = false;
    GUID source = GUID_NULL;
    BSTR description = nullptr;
    ThreadErrorRecord() = default;
    ThreadErrorRecord(const ThreadErrorRecord&) = delete;
    ThreadErrorRecord& operator=(const ThreadErrorRecord&) = delete;
    ~ThreadErrorRecord() { SysFreeString(description); }
};
thread_local ThreadErrorRecord error_record;

}  // namespace

// ---- strings ----

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    size_t length = 0;
    while (text[length] != 0) ++length;
    if (length > std::numeric_limits<UINT>::max()) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    return bstr_alloc_bytes(text, static_cast<size_t>(length) * sizeof(OLECHAR));
}

void SysFreeString(BSTR text) {
    if (text) std::free(bstr_prefix(text));
}

UINT SysStringLen(BSTR text) {
    return text ? *bstr_prefix(text) / sizeof(OLECHAR) : 0;
}

UINT SysStringByteLen(BSTR text) {
    return text ? *bstr_prefix(text) : 0;
}

HRESULT VarBstrCmp(BSTR left, BSTR right, LCID, ULONG) {
    const UINT left_length = SysStringLen(left);
    const UINT right_length = SysStringLen(right);
    const UINT common = left_length < right_length ? left_length : right_length;
    for (UINT k = 0; k < common; ++k) {
        if (left[k] != right[k]) return left[k] < right[k] ? VARCMP_LT : VARCMP_GT;
    }
    if (left_length == right_length) return VARCMP_EQ;
    return left_length < right_length ? VARCMP_LT : VARCMP_GT;
}

// ---- safe arrays ----

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds) {
    const ULONG element_bytes = element_bytes_of(vt);
    if (element_bytes == 0 || dims == 0 || dims > 0xFFFF || !bounds) return nullptr;

    const size_t descriptor_bytes = sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND);
    auto* block =
        static_cast<unsigned char*>(checked_calloc(1, array_header_bytes + descriptor_bytes));
    if (!block) return nullptr;
    std::memcpy(block + array_header_bytes - sizeof(uint32_t), &vt, sizeof vt);
    auto* array = reinterpret_cast<SAFEARRAY*>(block + array_header_bytes);
    array->cDims = static_cast<USHORT>(dims);
    array->fFeatures = FADF_HAVEVARTYPE;
    if (vt == VT_BSTR) array->fFeatures |= FADF_BSTR;
    if (vt == VT_VARIANT) array->fFeatures |= FADF_VARIANT;
    array->cbElements = element_bytes;
    // The caller lists dimensions first to last; the descriptor stores them last to first.
    for (UINT d = 0; d < dims; ++d) array->rgsabound[dims - 1 - d] = bounds[d];

    size_t count = 0;
    if (!element_count(array, &count)) {
        std::free(block);
        return nullptr;
    }
    // Zero-filled (null strings, empty variants, 0.0); never a null block, even when empty.
    array->pvData = checked_calloc(count ? count : 1, element_bytes);
    if (!array->pvData) {
        std::free(block);
        return nullptr;
    }
    return array;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (!array) return S_OK;
    if (array->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    if (owner_keeps(array)) return S_OK;
    size_t count = 0;
    if (array->pvData && element_count(array, &count)) {
        if (array->fFeatures & FADF_BSTR) {
            auto* strings = static_cast<BSTR*>(array->pvData);
            for (size_t k = 0; k < count; ++k) SysFreeString(strings[k]);
        } else if (array->fFeatures & FADF_VARIANT) {
            auto* variants = static_cast<VARIANT*>(array->pvData);
            for (size_t k = 0; k < count; ++k) VariantClear(&variants[k]);
        }
    }
    std::free(array->pvData);
    std::free(reinterpret_cast<unsigned char*>(array) - array_header_bytes);
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (!array || !data) return E_INVALIDARG;
    // The platform caps the lock count at 65535.
    if (array->cLocks >= 0xFFFF || !orvane_automation_may_access()) return E_UNEXPECTED;
    ++array->cLocks;
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    if (!array) return E_INVALIDARG;
    if (array->cLocks == 0) return E_UNEXPECTED;
    --array->cLocks;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array) {
    return array ? array->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* array) {
    return array ? array->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound) {
    if (!array || !bound) return E_INVALIDARG;
    if (dim == 0 || dim > array->cDims) return DISP_E_BADINDEX;
    *bound = array->rgsabound[array->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound) {
    if (!array || !bound) return E_INVALIDARG;
    if (dim == 0 || dim > array->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = array->rgsabound[array->cDims - dim];
    // Computed in 64 bits: an empty dimension with lower bound INT32_MIN has no upper bound
    // that fits, and the platform wraps it the same way.
    *bound = static_cast<LONG>(static_cast<int64_t>(b.lLbound) + b.cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
    if (!array || !vt) return E_INVALIDARG;
    if (array->fFeatures & FADF_HAVEVARTYPE) {
        std::memcpy(vt, reinterpret_cast<unsigned char*>(array) - sizeof(uint32_t), sizeof *vt);
    } else if (array->fFeatures & FADF_BSTR) {
        *vt = VT_BSTR;
    } else if (array->fFeatures & FADF_VARIANT) {
        *vt = VT_VARIANT;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

// ---- variants ----

void VariantInit(VARIANT* v) {
    if (!v) return;
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
    v->llVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    const VARTYPE vt = v->vt;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            const HRESULT hr = SafeArrayDestroy(v->parray);
            if (FAILED(hr)) return hr;
        } else if (vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
        }
    }
    VariantInit(v);
    return S_OK;
}

// ---- the error record ----

void orvane_set_error_info(const GUID& source, const OLECHAR* description, UINT length) {
    // Made before the old record goes, so a failure leaves a record without text rather than
    // a half-written one.
    BSTR text = SysAllocStringLen(description, length);
    SysFreeString(error_record.description);
    error_record.present = true;
    error_record.source = source;
    error_record.description = text;
}

HRESULT orvane_get_error_info(OrvaneErrorInfo* info) {
    if (!info) return E_POINTER;
    info->interface_id = GUID_NULL;
    info->help_context = 0;
    if (!error_record.present) {
        info->source = GUID_NULL;
        info->description = nullptr;
        return S_FALSE;
    }
    info->source = error_record.source;
    info->description = error_record.description;
    error_record.description = nullptr;
    error_record.present = false;
    error_record.source = GUID_NULL;
    return S_OK;
}
