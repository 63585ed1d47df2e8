# Cross-build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
