# What both Windows cross builds share; included by cmake/mingw-i686.cmake and
# cmake/mingw-x86_64.cmake after they set MINGW_PREFIX, WINE_ARCH and
# WINE_NAMES (the Wine loader that runs their programs).
# The programs are console executables that need no DLL beyond the system's
# own (KERNEL32, ADVAPI32, msvcrt, and WS2_32 for kestrel): libgcc and libstdc++ are linked in.
# When Wine is installed, ctest runs the programs through it.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_CXX_COMPILER NAMES ${MINGW_PREFIX}-g++ ${MINGW_PREFIX}-g++-win32 REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${MINGW_PREFIX}-gcc ${MINGW_PREFIX}-gcc-win32)
find_program(CMAKE_RC_COMPILER NAMES ${MINGW_PREFIX}-windres)

# Libraries and headers come only from the target's sysroot; programs (the
# build's own helpers) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static: no libgcc_s, libstdc++ or winpthread DLL beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Console subsystem (the MinGW default; stated so nobody adds -mwindows).
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -mconsole")

# ctest runs the programs through Wine, in a private prefix of the build's
# own word size inside the build tree, with Wine's own messages off and no
# display: the first run creates the prefix (scripts/test_windows.sh does
# that up front), and the .NET and HTML engines that would ask to be
# downloaded are left out. Debian keeps the 64-bit loader in /usr/lib/wine.
find_program(WINE_PROGRAM NAMES ${WINE_NAMES} PATHS /usr/lib/wine)
find_program(WINESERVER_PROGRAM NAMES wineserver)
if(WINE_PROGRAM AND WINESERVER_PROGRAM)
  set(WINE_PREFIX_DIR "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "WINEPREFIX that the tests use")
  # The environment of every Wine run; the Wine tests' scripts get it too and
  # run Wine's tools through WINE and WINESERVER.
  set(WINE_TEST_ENV env -u DISPLAY
    WINEPREFIX=${WINE_PREFIX_DIR} WINEARCH=${WINE_ARCH} WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml= WINE=${WINE_PROGRAM} WINESERVER=${WINESERVER_PROGRAM})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_TEST_ENV} ${WINE_PROGRAM})
endif()
