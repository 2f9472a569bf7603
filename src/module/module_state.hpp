// Module-wide state of Orvane.DLL, shared by the entry points, the class factory, the objects
// and the dispatch support.
//
// The lock count is the number of reasons not to unload: live objects and enumerators, extra
// references to the class factory and LockServer locks. It changes only by interlocked
// operations. DllMain sets the instance handle and the library identifier at process attach.
#pragma once

#include <windows.h>

namespace orvane_module {

void lock_module();
void unlock_module();
LONG lock_count();
HINSTANCE instance();
// The LIBID of the type library that IDispatch is served from (set at process attach).
const GUID& library_id();

}  // namespace orvane_module
