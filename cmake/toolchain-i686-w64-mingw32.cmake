# Cross build for 32-bit (i686) Windows with Debian's mingw-w64. The win32 thread model is
# enough: the module needs only the kernel's threads and critical sections, no winpthread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ORVANE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVANE_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVANE_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${ORVANE_MINGW_TRIPLE}-windres)
set(ORVANE_WIDL ${ORVANE_MINGW_TRIPLE}-widl CACHE FILEPATH "Interface compiler")

set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC for Windows cannot align the stack for 32-byte vector spills (the Windows ABI only
# guarantees 16 bytes), so an AVX kernel could fault on an aligned move to a spill slot. The
# assembler turns every aligned vector move into its unaligned form, which costs nothing on
# aligned data.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
