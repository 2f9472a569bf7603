# Cross build for 64-bit (x86_64) Windows with Debian's mingw-w64. The win32 thread model is
# enough: the module needs only the kernel's threads and critical sections, no winpthread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
