// The member table of IOrvane: the 33 operations in interface order with their dispatch
// identifiers, kinds, parameters and help strings.
//
// This is the one place that says what the interface looks like. The Windows type library, the
// module's name lookup and the Python binding are generated from or checked against it, and
// the compile-time checks at the bottom keep it self-consistent (positions 1..33, DISPIDs 1..27
// without gaps, a getter and its putter sharing one DISPID, C++ names as the interface compiler
// forms them). orvane_visit_members() pairs every row with the CCoOrvane method that
// implements it, so a host can build its surface without repeating the list.
#pragma once

#include <cstdint>
#include <string_view>

#include "component/automation.hpp"
#include "component/co_orvane.hpp"

enum class MemberKind : uint8_t { propget, propput, method };

// The kind as the interface definition spells it.
constexpr const char* member_kind_name(MemberKind kind) {
    switch (kind) {
        case MemberKind::propget:
            return "propget";
        case MemberKind::propput:
            return "propput";
        case MemberKind::method:
            return "method";
    }
    return "?";
}
enum class ParamDirection : uint8_t { in, out_retval };

struct MemberParam {
    // Empty for the value of a property putter: the type library leaves it unnamed.
    const char* name;
    ParamDirection direction;
    // Automation type of the value: VT_I4 (long), VT_R8 (double), VT_BSTR or VT_VARIANT.
    // An [out, retval] parameter is a pointer to it.
    VARTYPE type;
    // The type as the interface definition writes it ("long", "BSTR*", "VARIANT*", ...).
    const char* idl_type;
};

struct MemberInfo {
    int32_t position;  // 1..33; the operation-table index is position + 6 (after IDispatch)
    DISPID dispid;     // 1..27
    const char* name;  // as a late-bound caller names it
    MemberKind kind;
    const char* cpp_name;  // the CCoOrvane method: get_/put_ prefix for properties
    int32_t param_count;
    MemberParam params[2];
    const char* help;
};

inline constexpr int32_t orvane_member_count = 33;
inline constexpr int32_t orvane_dispid_count = 27;
// IUnknown's 3 and IDispatch's 4 operations come before the first member.
inline constexpr int32_t orvane_first_member_vtable_index = 7;

namespace orvane_members_detail {
inline constexpr MemberParam no_param = {"", ParamDirection::in, VT_EMPTY, ""};
inline constexpr MemberParam out_long = {"pVal", ParamDirection::out_retval, VT_I4, "long*"};
inline constexpr MemberParam in_long = {"", ParamDirection::in, VT_I4, "long"};
inline constexpr MemberParam out_bstr = {"pVal", ParamDirection::out_retval, VT_BSTR, "BSTR*"};
inline constexpr MemberParam in_bstr = {"", ParamDirection::in, VT_BSTR, "BSTR"};
inline constexpr MemberParam out_double = {"pVal", ParamDirection::out_retval, VT_R8, "double*"};
inline constexpr MemberParam in_double = {"", ParamDirection::in, VT_R8, "double"};
inline constexpr MemberParam out_variant = {"pVal", ParamDirection::out_retval, VT_VARIANT,
                                            "VARIANT*"};
inline constexpr MemberParam in_img = {"img", ParamDirection::in, VT_VARIANT, "VARIANT"};
inline constexpr MemberParam in_index = {"i", ParamDirection::in, VT_I4, "long"};
inline constexpr MemberParam out_modes = {"modes", ParamDirection::out_retval, VT_BSTR, "BSTR*"};
}  // namespace orvane_members_detail

// One row per member: position, DISPID, name, kind, C++ method, parameter count, parameters,
// help string.
// clang-format off
inline constexpr MemberInfo orvane_members[orvane_member_count] = {
#define ORVANE_D orvane_members_detail
    {1, 1, "lines", MemberKind::propget, "get_lines", 1,
     {ORVANE_D::out_long, ORVANE_D::no_param}, "property lines"},
    {2, 1, "lines", MemberKind::propput, "put_lines", 1,
     {ORVANE_D::in_long, ORVANE_D::no_param}, "property lines"},
    {3, 2, "columns", MemberKind::propget, "get_columns", 1,
     {ORVANE_D::out_long, ORVANE_D::no_param}, "property columns"},
    {4, 2, "columns", MemberKind::propput, "put_columns", 1,
     {ORVANE_D::in_long, ORVANE_D::no_param}, "property columns"},
    {5, 3, "timederivative_mode", MemberKind::propget, "get_timederivative_mode", 1,
     {ORVANE_D::out_bstr, ORVANE_D::no_param}, "property timederivative_mode"},
    {6, 3, "timederivative_mode", MemberKind::propput, "put_timederivative_mode", 1,
     {ORVANE_D::in_bstr, ORVANE_D::no_param}, "property timederivative_mode"},
    {7, 4, "computation_mode", MemberKind::propget, "get_computation_mode", 1,
     {ORVANE_D::out_bstr, ORVANE_D::no_param}, "property computation_mode"},
    {8, 4, "computation_mode", MemberKind::propput, "put_computation_mode", 1,
     {ORVANE_D::in_bstr, ORVANE_D::no_param}, "property computation_mode"},
    {9, 5, "input_filter", MemberKind::propget, "get_input_filter", 1,
     {ORVANE_D::out_long, ORVANE_D::no_param}, "property input_filter"},
    {10, 5, "input_filter", MemberKind::propput, "put_input_filter", 1,
     {ORVANE_D::in_long, ORVANE_D::no_param}, "property input_filter"},
    {11, 6, "regularizer", MemberKind::propget, "get_regularizer", 1,
     {ORVANE_D::out_double, ORVANE_D::no_param}, "property regularizer"},
    {12, 6, "regularizer", MemberKind::propput, "put_regularizer", 1,
     {ORVANE_D::in_double, ORVANE_D::no_param}, "property regularizer"},
    {13, 7, "create_orvane", MemberKind::method, "create_orvane", 0,
     {ORVANE_D::no_param, ORVANE_D::no_param}, "method create_orvane"},
    {14, 8, "destroy_orvane", MemberKind::method, "destroy_orvane", 0,
     {ORVANE_D::no_param, ORVANE_D::no_param}, "method destroy_orvane"},
    {15, 9, "process_data", MemberKind::method, "process_data", 1,
     {ORVANE_D::in_img, ORVANE_D::no_param}, "method process_data"},
    {16, 10, "imgbuffer", MemberKind::propget, "get_imgbuffer", 2,
     {ORVANE_D::in_index, ORVANE_D::out_variant}, "property imgbuffer"},
    {17, 11, "imgdebug", MemberKind::propget, "get_imgdebug", 2,
     {ORVANE_D::in_index, ORVANE_D::out_variant}, "property imgdebug"},
    {18, 12, "Is", MemberKind::propget, "get_Is", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Is"},
    {19, 13, "It", MemberKind::propget, "get_It", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property It"},
    {20, 14, "It2", MemberKind::propget, "get_It2", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property It2"},
    {21, 15, "Ix", MemberKind::propget, "get_Ix", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Ix"},
    {22, 16, "Iy", MemberKind::propget, "get_Iy", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Iy"},
    {23, 17, "Fn2", MemberKind::propget, "get_Fn2", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Fn2"},
    {24, 18, "Un", MemberKind::propget, "get_Un", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Un"},
    {25, 19, "Vn", MemberKind::propget, "get_Vn", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Vn"},
    {26, 20, "Ix2", MemberKind::propget, "get_Ix2", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Ix2"},
    {27, 21, "Iy2", MemberKind::propget, "get_Iy2", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Iy2"},
    {28, 22, "Ig2", MemberKind::propget, "get_Ig2", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Ig2"},
    {29, 23, "Ixy", MemberKind::propget, "get_Ixy", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Ixy"},
    {30, 24, "Ixt", MemberKind::propget, "get_Ixt", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Ixt"},
    {31, 25, "Iyt", MemberKind::propget, "get_Iyt", 1,
     {ORVANE_D::out_variant, ORVANE_D::no_param}, "property Iyt"},
    {32, 26, "list_timederivative_modes", MemberKind::method, "list_timederivative_modes", 1,
     {ORVANE_D::out_modes, ORVANE_D::no_param}, "method list_timederivative_modes"},
    {33, 27, "list_computation_modes", MemberKind::method, "list_computation_modes", 1,
     {ORVANE_D::out_modes, ORVANE_D::no_param}, "method list_computation_modes"},
#undef ORVANE_D
};
// clang-format on

// Calls visit(row, &CCoOrvane::method) for every row in interface order. Each call gets the
// method pointer with its exact type, so a binding can pick its wrapper by overload.
template <class Visitor>
void orvane_visit_members(Visitor&& visit) {
    const MemberInfo* m = orvane_members;
    visit(m[0], &CCoOrvane::get_lines);
    visit(m[1], &CCoOrvane::put_lines);
    visit(m[2], &CCoOrvane::get_columns);
    visit(m[3], &CCoOrvane::put_columns);
    visit(m[4], &CCoOrvane::get_timederivative_mode);
    visit(m[5], &CCoOrvane::put_timederivative_mode);
    visit(m[6], &CCoOrvane::get_computation_mode);
    visit(m[7], &CCoOrvane::put_computation_mode);
    visit(m[8], &CCoOrvane::get_input_filter);
    visit(m[9], &CCoOrvane::put_input_filter);
    visit(m[10], &CCoOrvane::get_regularizer);
    visit(m[11], &CCoOrvane::put_regularizer);
    visit(m[12], &CCoOrvane::create_orvane);
    visit(m[13], &CCoOrvane::destroy_orvane);
    visit(m[14], &CCoOrvane::process_data);
    visit(m[15], &CCoOrvane::get_imgbuffer);
    visit(m[16], &CCoOrvane::get_imgdebug);
    visit(m[17], &CCoOrvane::get_Is);
    visit(m[18], &CCoOrvane::get_It);
    visit(m[19], &CCoOrvane::get_It2);
    visit(m[20], &CCoOrvane::get_Ix);
    visit(m[21], &CCoOrvane::get_Iy);
    visit(m[22], &CCoOrvane::get_Fn2);
    visit(m[23], &CCoOrvane::get_Un);
    visit(m[24], &CCoOrvane::get_Vn);
    visit(m[25], &CCoOrvane::get_Ix2);
    visit(m[26], &CCoOrvane::get_Iy2);
    visit(m[27], &CCoOrvane::get_Ig2);
    visit(m[28], &CCoOrvane::get_Ixy);
    visit(m[29], &CCoOrvane::get_Ixt);
    visit(m[30], &CCoOrvane::get_Iyt);
    visit(m[31], &CCoOrvane::list_timederivative_modes);
    visit(m[32], &CCoOrvane::list_computation_modes);
}

// ---- consistency of the table, checked when anything includes it ----
namespace orvane_members_detail {
constexpr bool cpp_name_matches(const MemberInfo& m) {
    std::string_view cpp = m.cpp_name;
    std::string_view name = m.name;
    switch (m.kind) {
        case MemberKind::propget:
            return cpp.substr(0, 4) == "get_" && cpp.substr(4) == name;
        case MemberKind::propput:
            return cpp.substr(0, 4) == "put_" && cpp.substr(4) == name;
        case MemberKind::method:
            return cpp == name;
    }
    return false;
}

constexpr bool help_matches(const MemberInfo& m) {
    std::string_view help = m.help;
    std::string_view prefix = m.kind == MemberKind::method ? "method " : "property ";
    return help.substr(0, prefix.size()) == prefix && help.substr(prefix.size()) == m.name;
}

constexpr bool table_is_consistent() {
    DISPID last = 0;
    for (int32_t k = 0; k < orvane_member_count; ++k) {
        const MemberInfo& m = orvane_members[k];
        if (m.position != k + 1) return false;
        // A putter repeats its getter's DISPID; everything else takes the next one.
        if (m.kind == MemberKind::propput) {
            if (k == 0) return false;
            const MemberInfo& prev = orvane_members[k - 1];
            if (prev.kind != MemberKind::propget || prev.dispid != m.dispid ||
                std::string_view(prev.name) != m.name)
                return false;
        } else if (m.dispid != last + 1) {
            return false;
        }
        last = m.dispid;
        if (!cpp_name_matches(m) || !help_matches(m)) return false;
        // A getter's value travels in its last parameter; a putter takes one value in.
        if (m.kind == MemberKind::propget &&
            (m.param_count < 1 ||
             m.params[m.param_count - 1].direction != ParamDirection::out_retval))
            return false;
        if (m.kind == MemberKind::propput &&
            (m.param_count != 1 || m.params[0].direction != ParamDirection::in))
            return false;
    }
    return last == orvane_dispid_count;
}
static_assert(table_is_consistent(), "IOrvane member table is inconsistent");
}  // namespace orvane_members_detail
