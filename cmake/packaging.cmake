# Packages through CPack: a Debian package of both programs on Linux, a zip
# of the .exe files and their documents in the Windows build.
#   cpack --config build/CPackConfig.cmake -B dist    (scripts/package.sh)
set(CPACK_PACKAGE_NAME ${PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kestrel and marigold developers")
set(CPACK_PACKAGE_CONTACT ${PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "raw serial terminal and firmware-file tool for the bench")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PACKAGE_NAME}-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  # The man pages name the documentation folder of CMAKE_INSTALL_PREFIX:
  # configure with -DCMAKE_INSTALL_PREFIX=/usr for a package.
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PACKAGE_MAINTAINER})
  # The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"kestrel is a raw serial terminal for one serial port, addressed by a COM
number: keys go to the port unchanged, received bytes to the screen and an
optional log, and a file can be uploaded. It also runs as an echo-back server
and as a loop-back throughput benchmark, and lists the serial ports.
.
marigold prints the data bytes of Intel HEX and Motorola S-record files as a
hex dump, testing Intel record checksums, drops the start records of Intel HEX
files, and checks or corrects the checksum word of a raw firmware image.")
endif()
include(CPack)
