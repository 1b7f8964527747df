# Cross-compiles 64-bit Windows executables with MinGW-w64: the same program for 64-bit Windows (and
# for hosts whose Wine runs 64-bit programs only).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(NORVO_ARCH x64)
set(triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
