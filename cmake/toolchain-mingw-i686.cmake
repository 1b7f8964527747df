# Cross-compiles 32-bit Windows executables with MinGW-w64: the product.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(NORVO_ARCH x86)
set(triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
