# Documentation: the README, the guides of docs/ (in docs/ beside it, so the
# README's links hold), the example files, and for the Debian package the
# copyright and the changelog. Windows packages are one flat folder.
if(WIN32)
  set(doc_dest .)
else()
  set(doc_dest ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES README.md packaging/copyright DESTINATION ${doc_dest})
install(FILES docs/kestrel.md docs/marigold.md docs/design.md docs/testing.md docs/performance.md
              docs/windows.md
        DESTINATION ${doc_dest}/docs)
install(FILES examples/firmware.hex examples/firmware.s19 examples/firmware.s37 examples/image.bin
        DESTINATION ${doc_dest}/examples)

set(PACKAGE_MAINTAINER "kestrel and marigold developers <developers@example.org>"
    CACHE STRING "Maintainer named in the packages")
if(NOT WIN32)
  # a native package: its changelog is changelog.gz
  configure_file(packaging/changelog ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
  add_custom_command(OUTPUT packaging/changelog.gz
    COMMAND gzip -9nkf changelog
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
  add_custom_target(package_changelog ALL DEPENDS packaging/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${doc_dest})
endif()
