# Cross-building for 64-bit ARM (a Raspberry Pi with a Debian-based arm64
# system) on a Debian machine with crossbuild-essential-arm64 and the :arm64
# multiarch development packages, which sit in /usr/lib/aarch64-linux-gnu
# beside the native ones: no sysroot, the libraries and CMake packages of that
# folder, and the build machine's own programs (moc, qdbusxml2cpp).
# Use: cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config reads the arm64 .pc files and the architecture-independent ones only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
