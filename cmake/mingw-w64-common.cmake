# The part of the mingw-w64 toolchain files that does not depend on the target processor.
# The including toolchain file names the processor and the compiler triple first.
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
