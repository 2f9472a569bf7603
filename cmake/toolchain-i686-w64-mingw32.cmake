# Cross build for 32-bit (i686) Windows with Debian's mingw-w64. The win32 thread model is
# enough: the module needs only the kernel's threads and critical sections, no winpthread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORVANE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
