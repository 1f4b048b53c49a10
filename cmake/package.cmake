# CPack: a Debian package on Linux (stoker_<version>_amd64.deb), a zip of
# the executables and their documentation for Windows
# (stoker-<version>-win64.zip). scripts/package builds both.
set(CPACK_PACKAGE_NAME stoker)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the stoker developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial boot-loader programmer and toolkit for PIC32 boards")
set(CPACK_PACKAGE_DESCRIPTION
    "stoker resets a PIC32 board through DTR, finds its resident serial boot
loader and downloads a firmware image (Intel HEX or raw) into its flash.
stoker-kit adds HEX conversion, XMODEM-1K for the oldest loaders, a script
sender, file, picture and font transfers, a serial terminal, a wire trace
and flashing of many boards at once. stoker-target simulates the boards
on a pseudo-terminal.")
set(CPACK_PACKAGE_CONTACT "stoker developers <stoker-dev@example.org>")
set(STOKER_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME stoker-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${STOKER_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends from the libraries the binaries link (libcurl's runtime among
  # them), through dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

include(CPack)
