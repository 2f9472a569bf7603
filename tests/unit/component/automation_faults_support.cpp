// Fault injection for the component tests: these definitions take the place of the library's
// (src/component/automation_faults.cpp, which never fails), so that tests reach the component's
// out-of-memory and access-failure paths. The hooks are declared in component_test_util.hpp.
#include "component/automation.hpp"
#include "component/component_test_util.hpp"

namespace {

// Allocations left before they fail on this thread; negative: never fail.
thread_local int allocations_left = -1;
// While set, array access fails on this thread.
thread_local bool array_access_fails = false;

}  // namespace

bool orvane_automation_may_allocate() {
    if (allocations_left == 0) return false;
    if (allocations_left > 0) --allocations_left;
    return true;
}

bool orvane_automation_may_access() {
    return !array_access_fails;
}

void orvane_fail_allocations_after(int successes) {
    allocations_left = successes < 0 ? -1 : successes;
}

void orvane_fail_array_access(bool fail) {
    array_access_fails = fail;
}
