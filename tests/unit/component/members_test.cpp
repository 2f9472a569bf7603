// The member table against the class: every row names a method whose C++ signature has the
// row's parameters, and the name lookup answers as late-bound callers expect.
#include "component/members.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <type_traits>

namespace {

// The DISPID of a member name in the table, matched exactly (same length, same characters),
// searched from the last row towards the first; 0 when no member has that name. Names are
// case-sensitive here; the case-insensitive automation rule belongs to the type library's own
// lookup.
constexpr DISPID dispid_of(std::string_view name) {
    for (int32_t k = orvane_member_count - 1; k >= 0; --k)
        if (name == orvane_members[k].name) return orvane_members[k].dispid;
    return 0;
}

// The interface-definition spelling of one C++ parameter type.
template <class T>
std::string idl_name() {
    if constexpr (std::is_same_v<T, LONG>) return "long";
    if constexpr (std::is_same_v<T, LONG*>) return "long*";
    if constexpr (std::is_same_v<T, double>) return "double";
    if constexpr (std::is_same_v<T, double*>) return "double*";
    if constexpr (std::is_same_v<T, BSTR>) return "BSTR";
    if constexpr (std::is_same_v<T, BSTR*>) return "BSTR*";
    if constexpr (std::is_same_v<T, VARIANT>) return "VARIANT";
    if constexpr (std::is_same_v<T, VARIANT*>) return "VARIANT*";
    return "?";
}

template <class... Args>
std::string signature_of(HRESULT (CCoOrvane::*)(Args...)) {
    std::string s;
    ((s += (s.empty() ? "" : ",") + idl_name<Args>()), ...);
    return s;
}

std::string signature_of(const MemberInfo& m) {
    std::string s;
    for (int32_t k = 0; k < m.param_count; ++k)
        s += (k ? "," : "") + std::string(m.params[k].idl_type);
    return s;
}

TEST(MemberTable, RowsMatchTheMethodsInInterfaceOrder) {
    int32_t visited = 0;
    std::set<std::string> distinct_names;
    orvane_visit_members([&](const MemberInfo& m, auto method) {
        ++visited;
        EXPECT_EQ(m.position, visited);
        EXPECT_EQ(signature_of(method), signature_of(m)) << m.cpp_name;
        distinct_names.insert(m.name);
    });
    EXPECT_EQ(visited, orvane_member_count);
    EXPECT_EQ(int32_t(distinct_names.size()), orvane_dispid_count);
}

TEST(MemberTable, NameLookup) {
    struct Case {
        const char* name;
        DISPID dispid;
    } cases[] = {{"lines", 1},
                 {"regularizer", 6},
                 {"create_orvane", 7},
                 {"imgbuffer", 10},
                 {"Is", 12},
                 {"Iyt", 25},
                 {"list_computation_modes", 27},
                 {"LINES", 0},
                 {"is", 0},
                 {"", 0},
                 {"get_lines", 0}};
    for (const Case& c : cases) EXPECT_EQ(dispid_of(c.name), c.dispid) << c.name;
}

}  // namespace
