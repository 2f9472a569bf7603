// CCoOrvane: settings, keyword tables, create/destroy/process and the result images.
//
// Written once against the OLE Automation names; on Windows they are the platform's, elsewhere
// those of automation.hpp. The only platform branch is report_error, because the error
// service exists only on Windows. The string members clear their out-parameter before anything
// can fail, while the image getters leave the caller's variant untouched when they refuse. A
// refused request records its message (running out of memory records none), and a member that
// fails leaves the object as it was.
#include "component/co_orvane.hpp"

#include <cstdint>
#include <cstring>
#include <new>

#include "engine/motion_session.hpp"
#include "primitives/primitives.hpp"

namespace {

// ---- messages ----
// The texts are the typed door's (engine/motion_session.hpp): every host reports the same words.
constexpr const char* msg_lines = motion_messages::lines;
constexpr const char* msg_columns = motion_messages::columns;
constexpr const char* msg_mode_locked = motion_messages::mode_locked;
constexpr const char* msg_invalid_mode = motion_messages::invalid_mode;
constexpr const char* msg_already_initialized = motion_messages::already_initialized;
constexpr const char* msg_invalid_td_mode = motion_messages::invalid_td_mode;
constexpr const char* msg_invalid_comp_mode = motion_messages::invalid_comp_mode;
constexpr const char* msg_not_created = motion_messages::not_created;
constexpr const char* msg_not_allocated = motion_messages::not_allocated;
constexpr const char* msg_stale = motion_messages::stale;
constexpr const char* msg_invalid_argument = motion_messages::invalid_argument;
constexpr const char* msg_invalid_type = motion_messages::invalid_type;
constexpr const char* msg_invalid_dims = motion_messages::invalid_dims;
constexpr const char* msg_incompatible_size = motion_messages::incompatible_size;
constexpr const char* msg_bad_index = motion_messages::bad_index;

// ---- keyword tables ----
// A keyword is a BSTR image in static storage: the 4-byte byte count directly followed by the
// text and its NUL, exactly the layout the string functions read below a BSTR. The tables are
// therefore made once with the module (constant-initialised, so ready before any static
// constructor of another file could call a member), cannot fail to allocate, and are never
// freed by SysFreeString (nothing hands them out; callers always get copies).
template <size_t N>
struct StaticBstr {
    uint32_t byte_length;
    OLECHAR text[N];
    // Widened from ASCII by a loop, since OLECHAR literals are spelled differently on each side.
    constexpr explicit StaticBstr(const char (&ascii)[N])
        : byte_length(static_cast<uint32_t>((N - 1) * sizeof(OLECHAR))), text{} {
        for (size_t k = 0; k < N; ++k) text[k] = static_cast<OLECHAR>(ascii[k]);
    }
    constexpr BSTR get() const { return const_cast<BSTR>(text); }
    static constexpr UINT length() { return static_cast<UINT>(N - 1); }
};
static_assert(offsetof(StaticBstr<2>, text) == sizeof(uint32_t),
              "the text must follow its byte count directly");

constinit const StaticBstr kw_recursive(motion_keywords::recursive);
constinit const StaticBstr kw_batch(motion_keywords::batch);
constinit const StaticBstr kw_changedetection(motion_keywords::changedetection);
constinit const StaticBstr kw_orvane(motion_keywords::orvane);
constinit const StaticBstr kw_affineparams(motion_keywords::affineparams);
constinit const StaticBstr kw_all(motion_keywords::all);

struct Keyword {
    BSTR text;
    int32_t engine_value;  // the engine's time-derivative rule or computation flag
};

// Table order is the order of the list methods and of every validation scan.
constinit const Keyword timederivative_keywords[] = {
    {kw_recursive.get(), TD_RECURSIVE},
    {kw_batch.get(), TD_BATCH},
};
constinit const Keyword computation_keywords[] = {
    {kw_changedetection.get(), FLAG_CHANGE_DETECTION},
    {kw_orvane.get(), FLAG_ORVANE},
    {kw_affineparams.get(), FLAG_AFFINE_PARAMS},
    {kw_all.get(), FLAG_ALL},
};

// Case-sensitive comparison through the platform's locale-aware string comparison under the
// user's default locale with no flags; a null string is the empty string.
bool same_text(BSTR a, BSTR b) {
    return VarBstrCmp(a, b, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
}

// Index of the first keyword equal to `s`, or -1.
template <size_t N>
int find_keyword(const Keyword (&table)[N], BSTR s) {
    for (size_t k = 0; k < N; ++k)
        if (same_text(table[k].text, s)) return static_cast<int>(k);
    return -1;
}

// Code units before the first NUL; a null string has none. Scanning for the NUL rather than
// reading the length prefix also copes with a caller that passes a plain NUL-terminated
// string instead of a BSTR.
UINT length_to_first_nul(const OLECHAR* s) {
    if (!s) return 0;
    UINT n = 0;
    while (s[n] != 0) ++n;
    return n;
}

// Every keyword followed by a line feed, as one new string; null when out of memory.
template <size_t N>
BSTR keyword_list(const Keyword (&table)[N]) {
    UINT total = 0;
    for (const Keyword& k : table) total += SysStringLen(k.text) + 1;
    BSTR text = SysAllocStringLen(nullptr, total);
    if (!text) return nullptr;
    UINT at = 0;
    for (const Keyword& k : table) {
        const UINT length = SysStringLen(k.text);
        for (UINT c = 0; c < length; ++c) text[at++] = k.text[c];
        text[at++] = static_cast<OLECHAR>('\n');
    }
    return text;
}

constexpr LONG history_slots = 5;

}  // namespace

// ---- error reporting ----

void report_error(const char* message) {
    UINT length = 0;
    while (message[length] != 0) ++length;
    // Built code unit by code unit: the messages are ASCII.
    BSTR text = SysAllocStringLen(nullptr, length);
    if (!text) return;  // no memory for the message: the member's HRESULT still tells
    for (UINT k = 0; k < length; ++k) text[k] = static_cast<OLECHAR>(message[k]);
    orvane_set_error_info(CLSID_CoOrvane, text, length);
    SysFreeString(text);
}

// ---- construction ----

CCoOrvane::~CCoOrvane() {
    // The final release also gives back the engine's buffers when the host never called
    // destroy_orvane.
    if (created) engine.destroy();
    SysFreeString(computation_mode);
    SysFreeString(timederivative_mode);
}

HRESULT CCoOrvane::final_construct() {
    BSTR all = SysAllocStringLen(kw_all.get(), kw_all.length());
    BSTR recursive = SysAllocStringLen(kw_recursive.get(), kw_recursive.length());
    if (!all || !recursive) {
        SysFreeString(all);
        SysFreeString(recursive);
        return E_OUTOFMEMORY;
    }
    lines = 128;
    columns = 128;
    SysFreeString(computation_mode);
    computation_mode = all;
    SysFreeString(timederivative_mode);
    timederivative_mode = recursive;
    input_filter = 0;
    created = 0;
    regularizer = 0.01;  // the double nearest to 0.01
    // Picks the processor variant of every kernel. The result is not examined: on failure the
    // slots keep working variants and the failure has been reported to the user already.
    prim_select_variants();
    return S_OK;
}

CCoOrvane* CCoOrvane::create_instance() {
    CCoOrvane* object = new (std::nothrow) CCoOrvane();
    if (!object) return nullptr;
    if (FAILED(object->final_construct())) {
        delete object;
        return nullptr;
    }
    return object;
}

// ---- settings ----

HRESULT CCoOrvane::get_lines(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = lines;
    return S_OK;
}

HRESULT CCoOrvane::put_lines(LONG newVal) {
    if (newVal <= 0) {
        report_error(msg_lines);
        return E_INVALIDARG;
    }
    lines = newVal;
    // Even an unchanged value marks the engine out of date: the host asked for a new geometry.
    critical_properties_changed = 1;
    return S_OK;
}

HRESULT CCoOrvane::get_columns(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = columns;
    return S_OK;
}

HRESULT CCoOrvane::put_columns(LONG newVal) {
    if (newVal <= 0 || newVal % 4 != 0) {
        report_error(msg_columns);
        return E_INVALIDARG;
    }
    columns = newVal;
    critical_properties_changed = 1;
    return S_OK;
}

namespace {

// A new copy of a stored mode (null stays null). Out-pointer null: nothing written, S_OK.
HRESULT copy_mode_out(BSTR stored, BSTR* pVal) {
    if (!pVal) return S_OK;
    *pVal = nullptr;
    if (!stored) return S_OK;
    BSTR copy = SysAllocStringLen(stored, SysStringLen(stored));
    if (!copy) return E_OUTOFMEMORY;
    *pVal = copy;
    return S_OK;
}

// Validates s against the table and stores a copy of it up to its first NUL. The copy is made
// before the stored string is touched, so running out of memory keeps the old mode.
template <size_t N>
HRESULT set_mode(BSTR& stored, BSTR s, const Keyword (&table)[N], int32_t created) {
    if (created) {
        report_error(msg_mode_locked);
        return E_FAIL;
    }
    BSTR copy = SysAllocStringLen(s, length_to_first_nul(s));
    if (!copy) return E_OUTOFMEMORY;
    if (find_keyword(table, copy) < 0) {
        SysFreeString(copy);
        report_error(msg_invalid_mode);
        return E_FAIL;
    }
    if (s == stored) {
        SysFreeString(copy);
    } else {
        SysFreeString(stored);
        stored = copy;
    }
    return S_OK;
}

}  // namespace

HRESULT CCoOrvane::get_timederivative_mode(BSTR* pVal) {
    return copy_mode_out(timederivative_mode, pVal);
}

HRESULT CCoOrvane::put_timederivative_mode(BSTR newVal) {
    return set_mode(timederivative_mode, newVal, timederivative_keywords, created);
}

HRESULT CCoOrvane::get_computation_mode(BSTR* pVal) {
    return copy_mode_out(computation_mode, pVal);
}

HRESULT CCoOrvane::put_computation_mode(BSTR newVal) {
    return set_mode(computation_mode, newVal, computation_keywords, created);
}

HRESULT CCoOrvane::get_input_filter(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = input_filter;
    return S_OK;
}

HRESULT CCoOrvane::put_input_filter(LONG newVal) {
    input_filter = newVal;
    return S_OK;
}

// The value is moved as bytes: on 32-bit x86 a double assignment may pass the x87 stack, which
// quiets a signalling NaN, and the host must read back exactly what it wrote.
HRESULT CCoOrvane::get_regularizer(double* pVal) {
    if (!pVal) return E_POINTER;
    std::memcpy(pVal, &regularizer, sizeof regularizer);
    return S_OK;
}

HRESULT CCoOrvane::put_regularizer(double newVal) {
    uint64_t bits;
    std::memcpy(&bits, &newVal, sizeof bits);
    // Without this barrier the compiler copies the bytes as a double through the x87 stack
    // again.
    asm("" : "+r"(bits));
    std::memcpy(&regularizer, &bits, sizeof regularizer);
    return S_OK;
}

// ---- create, destroy, process ----

HRESULT CCoOrvane::create_orvane() {
    if (created) {
        report_error(msg_already_initialized);
        return E_FAIL;
    }
    const int td = find_keyword(timederivative_keywords, timederivative_mode);
    if (td < 0) {
        report_error(msg_invalid_td_mode);
        return E_FAIL;
    }
    int32_t flags = input_filter != 0 ? FLAG_INPUT_FILTER : 0;
    const int mode = find_keyword(computation_keywords, computation_mode);
    if (mode < 0) {
        report_error(msg_invalid_comp_mode);
        return E_FAIL;
    }
    flags |= computation_keywords[mode].engine_value;
    // The engine holds nothing when it cannot allocate every buffer (or the geometry's byte
    // count does not fit); the object then stays without an engine.
    if (!engine.create(columns, lines, engine_regularizer(regularizer),
                       timederivative_keywords[td].engine_value, flags))
        return E_OUTOFMEMORY;
    created = 1;
    critical_properties_changed = 0;
    return S_OK;
}

HRESULT CCoOrvane::destroy_orvane() {
    if (!created) {
        report_error(msg_not_created);
        return S_OK;
    }
    engine.destroy();
    created = 0;
    return S_OK;
}

HRESULT CCoOrvane::process_data(VARIANT img) {
    if (!created) {
        report_error(msg_not_allocated);
        return E_FAIL;
    }
    if (critical_properties_changed) {
        report_error(msg_stale);
        return E_FAIL;
    }
    // A variant passed by reference is followed one level.
    const VARIANT* v = &img;
    if (V_VT(v) == (VT_BYREF | VT_VARIANT)) {
        v = V_VARIANTREF(v);
        if (!v) {
            report_error(msg_invalid_argument);
            return E_INVALIDARG;
        }
    }
    const VARTYPE vt = V_VT(v);
    if (!(vt & VT_ARRAY)) {
        report_error(msg_invalid_argument);
        return E_INVALIDARG;
    }
    if ((vt & VT_TYPEMASK) != VT_R4) {
        report_error(msg_invalid_type);
        return E_INVALIDARG;
    }
    SAFEARRAY* array = nullptr;
    if (vt & VT_BYREF) {
        SAFEARRAY* const* ref = V_ARRAYREF(v);
        array = ref ? *ref : nullptr;
    } else {
        array = V_ARRAY(v);
    }
    // Malformed arrays are refused before anything else of them is read.
    if (!array) {
        report_error(msg_invalid_argument);
        return E_INVALIDARG;
    }
    if (array->cbElements != sizeof(float)) {
        report_error(msg_invalid_type);
        return E_INVALIDARG;
    }
    if (array->cDims != 2) {
        report_error(msg_invalid_dims);
        return E_INVALIDARG;
    }
    // Bounds are stored last dimension first: entry 1 is the first index (columns), entry 0
    // the second (lines). Lower bounds are not examined.
    if (array->rgsabound[1].cElements != static_cast<ULONG>(columns) ||
        array->rgsabound[0].cElements != static_cast<ULONG>(lines)) {
        report_error(msg_incompatible_size);
        return E_INVALIDARG;
    }
    void* data = nullptr;
    const HRESULT hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) return hr;
    if (!data) {
        SafeArrayUnaccessData(array);
        report_error(msg_invalid_argument);
        return E_INVALIDARG;
    }
    engine.process(static_cast<const float*>(data));
    SafeArrayUnaccessData(array);
    return S_OK;
}

// ---- result images ----

namespace {

// The part of an engine buffer that a getter copies.
enum class Region {
    plain,     // a whole columns x lines buffer
    interior,  // the columns x lines interior of a bordered buffer
    bordered,  // a whole bordered buffer, border included
};

// Which engine buffer a getter reads and how.
struct ImageSource {
    const float* base;  // null when the mode (or the frame count) gives no buffer
    Region region;
};

// The state checks shared by the sixteen getters; the caller's variant is not touched.
HRESULT readable_state(int32_t created, int32_t stale, const VARIANT* pVal) {
    if (!pVal) return E_POINTER;
    if (!created) {
        report_error(msg_not_allocated);
        return E_FAIL;
    }
    // The engine's buffers keep the geometry of the last create_orvane, so a copy sized from
    // changed settings could run past them.
    if (stale) {
        report_error(msg_stale);
        return E_FAIL;
    }
    return S_OK;
}

// A new zero-filled (W x H) float array with lower bounds 1 in the caller's variant (whatever
// it held is released first), filled from the source when the source exists. W and H come
// from the engine, so the copy never reaches past its buffers.
HRESULT image_out(const MotionEngine& engine, const ImageSource& source, VARIANT* pVal) {
    const HRESULT cleared = VariantClear(pVal);
    if (FAILED(cleared)) return cleared;

    const int32_t border = source.region == Region::bordered ? 4 : 0;
    const int32_t width = engine.get_columns() + border;  // W [floats]
    const int32_t height = engine.get_lines() + border;   // H [rows]
    SAFEARRAYBOUND bounds[2];
    bounds[0].cElements = static_cast<ULONG>(width);
    bounds[0].lLbound = 1;
    bounds[1].cElements = static_cast<ULONG>(height);
    bounds[1].lLbound = 1;
    SAFEARRAY* array = SafeArrayCreate(VT_R4, 2, bounds);
    if (!array) return E_OUTOFMEMORY;

    if (source.base) {
        // An array that cannot be locked would reach the host as zeros with S_OK: refuse it.
        void* data = nullptr;
        const HRESULT accessed = SafeArrayAccessData(array, &data);
        if (FAILED(accessed)) {
            SafeArrayDestroy(array);
            return accessed;
        }
        const float* src = source.base;
        if (source.region == Region::interior) src += engine.get_interior_offset();
        const int32_t src_step = source.region == Region::plain  // [bytes]
                                     ? engine.get_plain_step()
                                     : engine.get_padded_step();
        prim_copy_32f(src, src_step, static_cast<float*>(data),
                      width * static_cast<int32_t>(sizeof(float)), Size{width, height});
        SafeArrayUnaccessData(array);
    }
    V_VT(pVal) = VT_ARRAY | VT_R4;
    V_ARRAY(pVal) = array;
    return S_OK;
}

// Only the five slots of the history exist.
bool slot_is_valid(LONG i) {
    if (i >= 0 && i < history_slots) return true;
    report_error(msg_bad_index);
    return false;
}

}  // namespace

HRESULT CCoOrvane::get_imgbuffer(LONG i, VARIANT* pVal) {
    const HRESULT hr = readable_state(created, critical_properties_changed, pVal);
    if (FAILED(hr)) return hr;
    if (!slot_is_valid(i)) return E_INVALIDARG;
    return image_out(engine, {engine.get_time_window(i), Region::bordered}, pVal);
}

HRESULT CCoOrvane::get_imgdebug(LONG i, VARIANT* pVal) {
    const HRESULT hr = readable_state(created, critical_properties_changed, pVal);
    if (FAILED(hr)) return hr;
    if (!slot_is_valid(i)) return E_INVALIDARG;
    return image_out(engine, {engine.get_history_ring(i), Region::interior}, pVal);
}

namespace {

// The region of a result image, as the description gives it.
Region region_of(EngineImage which) {
    return kResultImages[static_cast<int32_t>(which)].region == ImageRegion::interior
               ? Region::interior
               : Region::plain;
}

}  // namespace

#define ORVANE_IMAGE_GETTER(name)                                                               \
    HRESULT CCoOrvane::get_##name(VARIANT* pVal) {                                              \
        const HRESULT hr = readable_state(created, critical_properties_changed, pVal);          \
        if (FAILED(hr)) return hr;                                                              \
        return image_out(                                                                       \
            engine, {engine.get_image(EngineImage::name), region_of(EngineImage::name)}, pVal); \
    }

ORVANE_IMAGE_GETTER(Is)
ORVANE_IMAGE_GETTER(It)
ORVANE_IMAGE_GETTER(It2)
ORVANE_IMAGE_GETTER(Ix)
ORVANE_IMAGE_GETTER(Iy)
ORVANE_IMAGE_GETTER(Fn2)
ORVANE_IMAGE_GETTER(Un)
ORVANE_IMAGE_GETTER(Vn)
ORVANE_IMAGE_GETTER(Ix2)
ORVANE_IMAGE_GETTER(Iy2)
ORVANE_IMAGE_GETTER(Ig2)
ORVANE_IMAGE_GETTER(Ixy)
ORVANE_IMAGE_GETTER(Ixt)
ORVANE_IMAGE_GETTER(Iyt)

#undef ORVANE_IMAGE_GETTER

// In EngineImage order.
const OrvaneImageGetter orvane_image_getters[kResultImageCount] = {
    &CCoOrvane::get_Is,  &CCoOrvane::get_It,  &CCoOrvane::get_It2, &CCoOrvane::get_Ix,
    &CCoOrvane::get_Iy,  &CCoOrvane::get_Ix2, &CCoOrvane::get_Iy2, &CCoOrvane::get_Ig2,
    &CCoOrvane::get_Ixy, &CCoOrvane::get_Ixt, &CCoOrvane::get_Iyt, &CCoOrvane::get_Fn2,
    &CCoOrvane::get_Un,  &CCoOrvane::get_Vn,
};

int32_t orvane_computation_mode_bit(std::string_view keyword) {
    for (const Keyword& k : computation_keywords) {
        const UINT length = SysStringLen(k.text);
        if (keyword.size() != length) continue;
        bool same = true;
        for (UINT c = 0; c < length && same; ++c)
            same = static_cast<OLECHAR>(static_cast<unsigned char>(keyword[c])) == k.text[c];
        if (same) return k.engine_value;
    }
    return 0;
}

bool orvane_mode_computes(std::string_view keyword, EngineImage which) {
    const int32_t bit = orvane_computation_mode_bit(keyword);
    return bit != 0 && engine_computes(which, bit);
}

// ---- keyword lists ----

namespace {

template <size_t N>
HRESULT list_out(const Keyword (&table)[N], BSTR* modes) {
    BSTR text = keyword_list(table);
    // A text with a keyword missing would mislead the caller more than no text at all.
    if (!text) {
        if (modes) *modes = nullptr;
        return E_OUTOFMEMORY;
    }
    if (modes)
        *modes = text;
    else
        SysFreeString(text);
    return S_OK;
}

}  // namespace

HRESULT CCoOrvane::list_timederivative_modes(BSTR* modes) {
    return list_out(timederivative_keywords, modes);
}

HRESULT CCoOrvane::list_computation_modes(BSTR* modes) {
    return list_out(computation_keywords, modes);
}
