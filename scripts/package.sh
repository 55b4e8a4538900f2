#!/usr/bin/env bash
# Builds the packages into dist/: the Debian package of both programs (native
# build in build-deb/) and the Windows zip of the 32-bit .exe files (cross
# build in build-zip/, with cmake/mingw-i686.cmake). Only what ships is built:
# CMAKE_SKIP_INSTALL_ALL_DEPENDENCY keeps cpack from building the test helpers.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p dist

echo "== Debian package"
# The compiler and linker flags of Debian's own packages (hardening included).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING_UNITS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-deb -j2 --target kestrel marigold man_pages package_changelog
cpack --config build-deb/CPackConfig.cmake -B dist -G DEB

echo "== Windows zip"
# Unit suites need a GoogleTest for the target: off in the cross build.
cmake -S . -B build-zip -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING_UNITS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build build-zip -j2 --target kestrel marigold man_pages
cpack --config build-zip/CPackConfig.cmake -B dist -G ZIP

rm -rf dist/_CPack_Packages
ls -l dist
