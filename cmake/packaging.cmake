# The release packages, made by CPack from what `cmake --install` installs:
# a Windows build makes the .zip, a Linux build the .deb. The presets windows
# and deb make the builds they are packed from, each in its own tree:
# `cpack --preset zip` and `cpack --preset deb`.
set(CPACK_PACKAGE_NAME vexlor-prog)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "flash programmer for a microcontroller's serial boot loader")
set(CPACK_PACKAGE_CONTACT "vexlor-prog developers <vexlor-prog@users.noreply.example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

if(WIN32)
  # The statically linked executable runs on a bare Windows machine.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vexlor-prog-${PROJECT_VERSION}-windows-x86_64)
  set(CPACK_STRIP_FILES ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
  # The extended description; CPack puts the summary above it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
vexlor-prog drives RTS and DTR through a fixed opening sequence, wakes the
target's serial boot loader with a start byte, erases the flash sectors an
image will occupy, writes the image in 256-byte blocks, reads it back and
compares. Its exit status tells scripts and CI whether the flash succeeded.

vexlor-sim plays the target's boot loader on a pseudo-terminal, with
injectable faults, for trying scripts without a board. vexlor-flash-all
programs every USB serial adapter of a production-line PC at once.]=])
  # What Debian asks of a package on top of the install tree (stripped
  # programs, compressed pages, the copyright file, a changelog) is done in
  # CPack's staging directory; the script finds the source tree here.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian_layout.cmake)
  set(CPACK_VEXLOR_SOURCE_DIR ${PROJECT_SOURCE_DIR})
endif()
include(CPack)
