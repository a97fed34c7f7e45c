# Cross toolchain: 32-bit Windows through mingw-w64. Built and checked
# statically only: this kernel cannot execute 32-bit code.
set(triple i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
