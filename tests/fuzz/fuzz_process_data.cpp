// One component object per input: the first bytes choose the settings and, frame by frame, the
// variant handed to process_data (its type, the array's element type, dimension count, bounds,
// element size, by value or by reference); the rest of the input is the frames' data. After
// every frame each of the sixteen result images is read, the history with indexes in and out
// of range. The component must refuse what it cannot use and never read or write outside the
// memory it owns (the fuzzer runs under AddressSanitizer and UndefinedBehaviorSanitizer).
#include <cstddef>
#include <cstdint>

#include "component/automation.hpp"
#include "component/co_orvane.hpp"
#include "fuzz_input.hpp"

namespace {

using orvane_fuzz::Input;

const char16_t* const kTimeModes[] = {u"recursive", u"batch", u"Batch", u""};
const char16_t* const kModes[] = {u"changedetection", u"orvane", u"affineparams", u"all", u"none"};
const VARTYPE kElementTypes[] = {VT_R4, VT_R4, VT_R4, VT_R8, VT_I4, VT_UI1, VT_BSTR, VT_VARIANT};

void put_mode(CCoOrvane& obj, bool time_mode, const char16_t* text) {
    UINT length = 0;
    while (text[length]) ++length;
    BSTR s = SysAllocStringLen(text, length);
    if (time_mode) {
        obj.put_timederivative_mode(s);
    } else {
        obj.put_computation_mode(s);
    }
    SysFreeString(s);
}

// A frame as the input describes it, handed to process_data; everything made is freed.
void feed_frame(CCoOrvane& obj, Input& in, LONG lines, LONG columns) {
    const uint8_t shape = in.byte();
    const VARTYPE element = kElementTypes[in.below(sizeof kElementTypes / sizeof *kElementTypes)];
    const UINT dims = (shape & 3) == 3 ? 1 + in.below(3) : 2;  // mostly two
    SAFEARRAYBOUND bounds[3];
    for (UINT d = 0; d < dims; ++d) {
        // Mostly the right extents (first index columns, second lines), sometimes others.
        const bool exact = (shape & 4) == 0;
        bounds[d].cElements = exact && d < 2 ? ULONG(d == 0 ? columns : lines) : in.below(20);
        bounds[d].lLbound = LONG(in.below(3)) - 1;
    }
    SAFEARRAY* array = SafeArrayCreate(element, dims, bounds);
    if (array && element == VT_R4) {
        void* data = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
            size_t count = 1;
            for (UINT d = 0; d < dims; ++d) count *= bounds[d].cElements;
            in.fill(data, count * sizeof(float));
            SafeArrayUnaccessData(array);
        }
    }
    // An array that claims another element size than its type.
    ULONG real_size = array ? array->cbElements : 0;
    if (array && (shape & 8)) array->cbElements = 1 + in.below(8);

    VARIANT v;
    VariantInit(&v);
    VARIANT outer;
    VariantInit(&outer);
    SAFEARRAY* held = (shape & 16) ? nullptr : array;  // sometimes a null array pointer
    switch ((shape >> 5) & 3) {
        case 0:
            V_VT(&v) = VARTYPE(VT_ARRAY | element);
            V_ARRAY(&v) = held;
            break;
        case 1:
            V_VT(&v) = VARTYPE(VT_ARRAY | VT_BYREF | element);
            V_ARRAYREF(&v) = (shape & 128) ? nullptr : &held;
            break;
        case 2:
            V_VT(&v) = VARTYPE(in.byte() | (in.byte() << 8));  // any type word, no data
            break;
        default:
            V_VT(&v) = VARTYPE(VT_ARRAY | element);
            V_ARRAY(&v) = held;
            V_VT(&outer) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&outer) = (shape & 128) ? nullptr : &v;
            break;
    }
    obj.process_data(((shape >> 5) & 3) == 3 ? outer : v);
    if (array) {
        array->cbElements = real_size;
        SafeArrayDestroy(array);
    }
}

void read_every_image(CCoOrvane& obj) {
    using Getter = HRESULT (CCoOrvane::*)(VARIANT*);
    static const Getter getters[] = {
        &CCoOrvane::get_Is,  &CCoOrvane::get_It,  &CCoOrvane::get_It2, &CCoOrvane::get_Ix,
        &CCoOrvane::get_Iy,  &CCoOrvane::get_Fn2, &CCoOrvane::get_Un,  &CCoOrvane::get_Vn,
        &CCoOrvane::get_Ix2, &CCoOrvane::get_Iy2, &CCoOrvane::get_Ig2, &CCoOrvane::get_Ixy,
        &CCoOrvane::get_Ixt, &CCoOrvane::get_Iyt,
    };
    VARIANT v;
    VariantInit(&v);
    for (Getter g : getters) (obj.*g)(&v);
    for (LONG i = -1; i <= 5; ++i) {
        obj.get_imgbuffer(i, &v);
        obj.get_imgdebug(i, &v);
    }
    VariantClear(&v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    CCoOrvane* obj = CCoOrvane::create_instance();
    if (!obj) return 0;
    const LONG lines = LONG(1 + in.below(12));
    const LONG columns = LONG(4 * (1 + in.below(4)));
    obj->put_lines(lines);
    obj->put_columns(columns);
    put_mode(*obj, true, kTimeModes[in.below(4)]);
    put_mode(*obj, false, kModes[in.below(5)]);
    obj->put_input_filter(LONG(in.below(3)) - 1);
    double regularizer = 0;
    in.fill(&regularizer, in.below(2) ? sizeof regularizer : 0);
    obj->put_regularizer(regularizer);
    obj->create_orvane();
    read_every_image(*obj);
    const uint32_t frames = 1 + in.below(8);
    for (uint32_t f = 0; f < frames && in.left() > 0; ++f) {
        // Now and then a change of geometry (the object goes stale) or a destroy and create.
        const uint8_t event = in.byte();
        if (event == 1) obj->put_lines(lines);
        if (event == 2) {
            obj->destroy_orvane();
            obj->create_orvane();
        }
        feed_frame(*obj, in, lines, columns);
        read_every_image(*obj);
    }
    obj->destroy_orvane();
    delete obj;
    // The thread's error record is kept between inputs; take it so it is not counted as a leak.
    OrvaneErrorInfo info{};
    if (orvane_get_error_info(&info) == S_OK) SysFreeString(info.description);
    return 0;
}
