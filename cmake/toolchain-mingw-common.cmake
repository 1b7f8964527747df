# The part of the two MinGW-w64 toolchain files that they share; each sets `triple` first. The
# posix thread model is chosen because GoogleTest needs std::mutex, which GCC 12 lacks in the win32
# model; product code uses Win32 locks and threads only, and -static links the small winpthread
# runtime in, so no DLL is needed at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER  ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests under Wine run through the harness, not through an emulator entry.
