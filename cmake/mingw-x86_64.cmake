# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
# Its tests run under Wine's 64-bit loader (Debian: wine64) in a win64 prefix,
# which needs no 32-bit program on the host.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triplet of the MinGW-w64 tools")
set(WINE_ARCH win64)
set(WINE_NAMES wine64 wine64-stable)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
