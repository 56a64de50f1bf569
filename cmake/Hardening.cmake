# SPDX-License-Identifier: GPL-3.0-or-later
# The hardening Debian gives its packages (dpkg-buildflags with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all), for every build but the sanitizer
# and fuzz builds: the sanitizers bring checks of their own, and
# _FORTIFY_SOURCE's wrappers hide calls from AddressSanitizer. The compiler
# makes position-independent executables by default.
add_compile_options(-fstack-protector-strong -fstack-clash-protection -Wformat -Werror=format-security)
# Control-flow enforcement exists on x86 only.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  add_compile_options(-fcf-protection)
endif()
# The fortified functions need optimisation, which Debug builds lack.
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now)
