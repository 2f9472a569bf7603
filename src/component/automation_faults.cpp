// The automation subset's allocations and array locks as the library ships them: they never
// fail on purpose. Kept in a file of its own so that a test program can link its own versions
// in place of these (the linker then takes nothing from this object).
#include "component/automation.hpp"

bool orvane_automation_may_allocate() {
    return true;
}

bool orvane_automation_may_access() {
    return true;
}
