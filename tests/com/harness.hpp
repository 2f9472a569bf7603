// A small test harness for the Windows clients: named test functions registered at static
// initialisation, checks that record a failure with file, line and a readable message and
// carry on, and a summary line "N passed, N failed" (one count per test function).
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace harness {

struct TestCase {
    const char* name;
    void (*run)();
};

std::vector<TestCase>& registry();
// Records a failed check in the running test.
void fail(const char* file, int line, const std::string& message);
std::string hr_text(HRESULT hr);
// Runs every test whose name contains `filter` (all when empty); returns the failure count.
int run_all(const char* filter);

struct Registrar {
    Registrar(const char* name, void (*run)()) { registry().push_back({name, run}); }
};

}  // namespace harness

#define TEST(name)                                                   \
    static void test_##name();                                       \
    static harness::Registrar registrar_##name(#name, &test_##name); \
    static void test_##name()

#define CHECK(cond, message)                                                  \
    do {                                                                      \
        if (!(cond)) harness::fail(__FILE__, __LINE__, std::string(message)); \
    } while (0)

// Stops the test when `cond` is false: what follows depends on it.
#define REQUIRE(cond, message)                                       \
    do {                                                             \
        if (!(cond)) {                                               \
            harness::fail(__FILE__, __LINE__, std::string(message)); \
            return;                                                  \
        }                                                            \
    } while (0)

// Compares two HRESULTs and names both in the failure message.
#define CHECK_HR(expr, expected)                                                               \
    do {                                                                                       \
        HRESULT check_hr_got = (expr);                                                         \
        HRESULT check_hr_want = (expected);                                                    \
        if (check_hr_got != check_hr_want)                                                     \
            harness::fail(__FILE__, __LINE__,                                                  \
                          std::string(#expr) + " returned " + harness::hr_text(check_hr_got) + \
                              ", expected " + harness::hr_text(check_hr_want));                \
    } while (0)

#define CHECK_EQ(got, want, what)                                                      \
    do {                                                                               \
        auto check_eq_got = (got);                                                     \
        auto check_eq_want = (want);                                                   \
        if (!(check_eq_got == check_eq_want))                                          \
            harness::fail(__FILE__, __LINE__,                                          \
                          std::string(what) + ": got " + harness::show(check_eq_got) + \
                              ", expected " + harness::show(check_eq_want));           \
    } while (0)

namespace harness {
inline std::string show(const std::string& s) {
    return "\"" + s + "\"";
}
inline std::string show(const char* s) {
    return show(std::string(s ? s : "(null)"));
}
inline std::string show(bool b) {
    return b ? "true" : "false";
}
inline std::string show(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}
template <class T>
std::string show(const T& value) {
    return std::to_string(value);
}
}  // namespace harness
