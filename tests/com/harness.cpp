#include "harness.hpp"

#include <algorithm>
#include <cstring>

namespace harness {

namespace {
int failures_in_test = 0;
const char* current_test = "";
}  // namespace

std::vector<TestCase>& registry() {
    static std::vector<TestCase> tests;
    return tests;
}

void fail(const char* file, int line, const std::string& message) {
    ++failures_in_test;
    const char* base = std::strrchr(file, '/');
    std::printf("  FAILED %s (%s:%d): %s\n", current_test, base ? base + 1 : file, line,
                message.c_str());
    std::fflush(stdout);
}

std::string hr_text(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

int run_all(const char* filter) {
    int passed = 0, failed = 0;
    // The module's own tests come first: they need a module with no object alive yet.
    std::vector<TestCase> order = registry();
    std::stable_partition(order.begin(), order.end(), [](const TestCase& t) {
        return std::strncmp(t.name, "module_", 7) == 0;
    });
    for (const TestCase& test : order) {
        if (filter && *filter && !std::strstr(test.name, filter)) continue;
        // Tests that need an unregistered module or a process of their own run only when asked
        // for by name.
        bool on_request = std::strncmp(test.name, "unregistered_", 13) == 0 ||
                          std::strncmp(test.name, "alone_", 6) == 0;
        if (on_request && !(filter && *filter)) continue;
        current_test = test.name;
        failures_in_test = 0;
        test.run();
        if (failures_in_test == 0) {
            ++passed;
            std::printf("  ok     %s\n", test.name);
        } else {
            ++failed;
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed;
}

}  // namespace harness
