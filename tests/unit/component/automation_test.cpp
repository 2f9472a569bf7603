// The automation subset: string layout, comparison, safe-array layout and locking, variant
// clearing and the per-thread error record. Run under ASan: a missed or double free fails.
#include "component/automation.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "component/component_test_util.hpp"

using orvane_test::Bstr;

namespace {

uint32_t prefix_of(BSTR b) {
    uint32_t count = 0;
    std::memcpy(&count, reinterpret_cast<const unsigned char*>(b) - 4, 4);
    return count;
}

TEST(AutomationStrings, LengthPrefixTerminatorAndEmbeddedNuls) {
    struct Case {
        std::u16string_view text;
        UINT length;
    } cases[] = {
        {u"", 0},
        {u"batch", 5},
        {std::u16string_view(u"a\0b", 3), 3},
        {std::u16string_view(u"\0\0", 2), 2},
        {u"\u00e9\u4e2d\U0001F600", 4},  // one surrogate pair counts as two code units
    };
    for (const Case& c : cases) {
        Bstr s(c.text);
        ASSERT_NE(s.get(), nullptr);
        EXPECT_EQ(SysStringLen(s.get()), c.length);
        EXPECT_EQ(SysStringByteLen(s.get()), 2 * c.length);
        EXPECT_EQ(prefix_of(s.get()), 2 * c.length) << "the byte count sits just below the text";
        EXPECT_EQ(s.get()[c.length], 0) << "terminated by one NUL";
        EXPECT_EQ(s.text(), c.text);
    }
}

TEST(AutomationStrings, NullAndZeroFilledAllocation) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR stops_at_nul = SysAllocString(u"ab\0cd");
    EXPECT_EQ(SysStringLen(stops_at_nul), 2u);
    SysFreeString(stops_at_nul);

    BSTR zeros = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(zeros, nullptr);
    EXPECT_EQ(SysStringLen(zeros), 3u);
    for (int k = 0; k <= 3; ++k) EXPECT_EQ(zeros[k], 0);
    SysFreeString(zeros);

    // A length whose byte count does not fit the 32-bit prefix is refused.
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x7FFFFFFFu), nullptr);
}

TEST(AutomationStrings, ComparisonIsExactAndCaseSensitive) {
    struct Case {
        const char* what;
        bool left_null;
        std::u16string_view left;
        bool right_null;
        std::u16string_view right;
        HRESULT expected;
    } cases[] = {
        {"null equals empty", true, u"", false, u"", VARCMP_EQ},
        {"null equals null", true, u"", true, u"", VARCMP_EQ},
        {"null below text", true, u"", false, u"a", VARCMP_LT},
        {"same text", false, u"batch", false, u"batch", VARCMP_EQ},
        {"case differs", false, u"Batch", false, u"batch", VARCMP_LT},
        {"prefix is smaller", false, u"bat", false, u"batch", VARCMP_LT},
        {"longer is greater", false, u"batchx", false, u"batch", VARCMP_GT},
        {"embedded NUL counts", false, std::u16string_view(u"all\0x", 5), false, u"all", VARCMP_GT},
        {"code unit order", false, u"\u00e9", false, u"z", VARCMP_GT},
    };
    for (const Case& c : cases) {
        Bstr left(c.left), right(c.right);
        EXPECT_EQ(VarBstrCmp(c.left_null ? nullptr : left.get(),
                             c.right_null ? nullptr : right.get(), LOCALE_USER_DEFAULT, 0),
                  c.expected)
            << c.what;
    }
}

TEST(AutomationArrays, BoundsAreStoredLastDimensionFirst) {
    SAFEARRAYBOUND bounds[3] = {{3, 1}, {5, -2}, {2, 10}};
    SAFEARRAY* a = SafeArrayCreate(VT_R4, 3, bounds);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(SafeArrayGetDim(a), 3u);
    EXPECT_EQ(SafeArrayGetElemsize(a), 4u);
    EXPECT_EQ(a->cbElements, 4u);
    // Descriptor entry 0 is the last dimension.
    EXPECT_EQ(a->rgsabound[0].cElements, 2u);
    EXPECT_EQ(a->rgsabound[0].lLbound, 10);
    EXPECT_EQ(a->rgsabound[2].cElements, 3u);
    EXPECT_EQ(a->rgsabound[2].lLbound, 1);

    struct Dim {
        UINT dim;
        LONG lower, upper;
    } dims[] = {{1, 1, 3}, {2, -2, 2}, {3, 10, 11}};
    for (const Dim& d : dims) {
        LONG lower = 0, upper = 0;
        EXPECT_EQ(SafeArrayGetLBound(a, d.dim, &lower), S_OK);
        EXPECT_EQ(SafeArrayGetUBound(a, d.dim, &upper), S_OK);
        EXPECT_EQ(lower, d.lower) << "dimension " << d.dim;
        EXPECT_EQ(upper, d.upper) << "dimension " << d.dim;
    }
    LONG unused = 0;
    EXPECT_EQ(SafeArrayGetLBound(a, 0, &unused), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(a, 4, &unused), DISP_E_BADINDEX);

    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(a, &vt), S_OK);
    EXPECT_EQ(vt, VT_R4);

    const float* data = static_cast<const float*>(a->pvData);
    for (int k = 0; k < 3 * 5 * 2; ++k) ASSERT_EQ(data[k], 0.0f) << "created zero-filled";
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

TEST(AutomationArrays, ElementSizeFollowsTheTypeAndBadRequestsAreRefused) {
    struct Case {
        VARTYPE vt;
        ULONG element_bytes;
    } cases[] = {{VT_UI1, 1},
                 {VT_I2, 2},
                 {VT_I4, 4},
                 {VT_R4, 4},
                 {VT_R8, 8},
                 {VT_BSTR, sizeof(BSTR)},
                 {VT_VARIANT, sizeof(VARIANT)}};
    for (const Case& c : cases) {
        SAFEARRAYBOUND bound = {4, 0};
        SAFEARRAY* a = SafeArrayCreate(c.vt, 1, &bound);
        ASSERT_NE(a, nullptr) << "vt " << c.vt;
        EXPECT_EQ(a->cbElements, c.element_bytes) << "vt " << c.vt;
        EXPECT_EQ(SafeArrayDestroy(a), S_OK);
    }
    SAFEARRAYBOUND bound = {4, 0};
    EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &bound), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_R4, 0, &bound), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_R4, 1, nullptr), nullptr);
    SAFEARRAYBOUND huge[3] = {{0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_R8, 3, huge), nullptr) << "byte count overflows";
}

TEST(AutomationArrays, LocksCountAndALockedArrayIsNotDestroyed) {
    SAFEARRAYBOUND bounds[2] = {{4, 1}, {2, 1}};
    SAFEARRAY* a = SafeArrayCreate(VT_R4, 2, bounds);
    ASSERT_NE(a, nullptr);
    void* first = nullptr;
    void* second = nullptr;
    EXPECT_EQ(SafeArrayAccessData(a, &first), S_OK);
    EXPECT_EQ(SafeArrayAccessData(a, &second), S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(a->cLocks, 2u);
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_R4;
    v.parray = a;
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_R4) << "a refused clear leaves the variant as it was";
    EXPECT_EQ(v.parray, a);

    EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(a), E_UNEXPECTED) << "more unlocks than locks";
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(AutomationVariants, ClearFreesOwnedValuesAndDropsReferences) {
    // Owned BSTR and array: freed (a leak or double free shows under ASan).
    VARIANT s;
    VariantInit(&s);
    s.vt = VT_BSTR;
    s.bstrVal = SysAllocString(u"text");
    EXPECT_EQ(VariantClear(&s), S_OK);
    EXPECT_EQ(s.vt, VT_EMPTY);

    // An array of strings frees its strings.
    SAFEARRAYBOUND bound = {2, 0};
    SAFEARRAY* strings = SafeArrayCreate(VT_BSTR, 1, &bound);
    ASSERT_NE(strings, nullptr);
    static_cast<BSTR*>(strings->pvData)[1] = SysAllocString(u"owned");
    VARIANT sv;
    VariantInit(&sv);
    sv.vt = VT_ARRAY | VT_BSTR;
    sv.parray = strings;
    EXPECT_EQ(VariantClear(&sv), S_OK);

    // A reference is dropped; what it points at stays usable.
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    SAFEARRAY* a = SafeArrayCreate(VT_R4, 2, bounds);
    ASSERT_NE(a, nullptr);
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_ARRAY | VT_R4;
    ref.pparray = &a;
    EXPECT_EQ(VariantClear(&ref), S_OK);
    EXPECT_EQ(ref.vt, VT_EMPTY);
    static_cast<float*>(a->pvData)[3] = 1.0f;
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);

    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(AutomationVariants, AViewOverHostMemoryIsNeverFreed) {
    float pixels[3 * 2] = {1, 2, 3, 4, 5, 6};
    SafeArrayView2D view;
    SAFEARRAY* a = safe_array_view_2d(&view, pixels, sizeof(float), 3, 2, 1);
    EXPECT_EQ(a->cDims, 2);
    LONG upper = 0;
    EXPECT_EQ(SafeArrayGetUBound(a, 1, &upper), S_OK);
    EXPECT_EQ(upper, 3) << "first index: 3 elements from 1";
    EXPECT_EQ(SafeArrayGetUBound(a, 2, &upper), S_OK);
    EXPECT_EQ(upper, 2);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_R4;
    v.parray = a;
    // Freeing the stack descriptor or the stack data would be caught by ASan.
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);
    EXPECT_EQ(pixels[5], 6.0f);
}

TEST(AutomationErrors, RecordIsHandedOverOncePerThread) {
    orvane_test::take_error();  // start without a record
    OrvaneErrorInfo info{};
    EXPECT_EQ(orvane_get_error_info(&info), S_FALSE);
    EXPECT_EQ(info.description, nullptr);
    EXPECT_EQ(orvane_get_error_info(nullptr), E_POINTER);

    const GUID source = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    orvane_set_error_info(source, u"first", 5);
    orvane_set_error_info(source, u"second", 6);  // replaces the first (no leak)

#if !defined(__MINGW32__) || defined(_GLIBCXX_HAS_GTHREADS)  // MinGW's win32 model: no std::thread
    std::thread other([] {
        OrvaneErrorInfo mine{};
        EXPECT_EQ(orvane_get_error_info(&mine), S_FALSE) << "records are per thread";
        const GUID g = {9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 9}};
        orvane_set_error_info(g, u"left at thread exit", 19);  // freed with the thread
    });
    other.join();
#endif

    ASSERT_EQ(orvane_get_error_info(&info), S_OK);
    EXPECT_TRUE(info.source == source);
    EXPECT_TRUE(info.interface_id == GUID_NULL);
    EXPECT_EQ(info.help_context, 0u);
    EXPECT_EQ(orvane_test::text_of(info.description), u"second");
    SysFreeString(info.description);
    EXPECT_EQ(orvane_get_error_info(&info), S_FALSE) << "reading clears the record";
}

}  // namespace
