# Cross build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686),
# the build that Windows users take: it runs on every Windows.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# Its tests run under Wine's 32-bit loader (Debian: wine32) in a win32 prefix.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Target triplet of the MinGW-w64 tools")
set(WINE_ARCH win32)
set(WINE_NAMES wine wine-stable)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
