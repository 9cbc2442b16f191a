# Cross build with MinGW-w64 for 64-bit Windows: the same source, run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
