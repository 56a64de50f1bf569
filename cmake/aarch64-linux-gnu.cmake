# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-building for 64-bit ARM (a Raspberry Pi with a Debian-based arm64
# system) on a Debian machine with g++-aarch64-linux-gnu: the arm64 libraries,
# headers and CMake packages come from a sysroot folder holding unpacked :arm64
# packages (scripts/cross-build-arm64.sh makes one), so nothing of that
# architecture is installed on the machine; moc and qdbusxml2cpp are the
# machine's own, from qt6-base-dev-tools.
# Use: cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#            -DCMAKE_SYSROOT=<absolute path of the sysroot>
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

if(NOT IS_DIRECTORY "${CMAKE_SYSROOT}")
  message(FATAL_ERROR "Set CMAKE_SYSROOT to a folder of unpacked arm64 packages")
endif()

# Libraries, headers and CMake packages from the sysroot only; programs from
# the machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the sysroot's arm64 and architecture-independent .pc files
# and puts the sysroot before the paths they name.
set(ENV{PKG_CONFIG_LIBDIR}
    "${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

# Qt's code generators run on the build machine: the native Qt6*Tools packages.
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
    OUTPUT_VARIABLE build_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${build_multiarch}/cmake)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
