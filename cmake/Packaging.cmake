# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: `cmake --build <dir> --target package` (or cpack in <dir>)
# writes dorvenquill-streamer_<version>_<arch>.deb with everything that
# `cmake --install` installs, below /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tavrinholm <dorvenquill@tavrinholm.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Headless picture-streaming service for astronomy cameras")
# Debian shows the description as it stands: lines within 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Streams the pictures of an INDI camera, or the frames of SER video files,"
    "as Motion-JPEG over HTTP, driven over the D-Bus session bus. The session"
    "bus starts it on the first call to its name; a systemd user unit restarts"
    "it if it fails.")
# CPack installs into its staging folder through DESTDIR with this prefix,
# which the activation file and the unit therefore name.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus-user-session")
# gdbus, which the manual page's examples call; what relay-hls.sh runs.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libglib2.0-bin, ffmpeg, nginx-light | nginx, curl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Cross-built, the executable's libraries lie in the sysroot, and the dpkg
# database in its var/lib/dpkg names the packages they came from (see
# scripts/cross-build-arm64.sh); dpkg-shlibdeps, which CPack runs, is told
# where both are and which architecture it packs for.
if(CMAKE_CROSSCOMPILING)
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "The toolchain file sets CPACK_DEBIAN_PACKAGE_ARCHITECTURE when cross-building")
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
      ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
      ${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackCrossEnvironment.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
      "set(ENV{DEB_HOST_ARCH} \"${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}\")\n"
      "set(ENV{DPKG_ADMINDIR} \"${CMAKE_SYSROOT}/var/lib/dpkg\")\n")
endif()
# The relay for many viewers: a helper users run, so executable, beside the
# package's data rather than among its documentation.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/relay-hls.sh DESTINATION ${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME})
include(CPack)
