# Cross toolchain: 32-bit Windows through mingw-w64; tests run under 32-bit
# wine in a prefix of their own, where this machine runs 32-bit code.
set(triple i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run32)
