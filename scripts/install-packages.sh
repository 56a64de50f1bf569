#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian 12 packages that are missing for building the service
# ("build"), for building it and checking its Debian package ("package"), or
# for building and testing it ("test"). Besides the libraries and tools of the
# build, each list holds the package of every command that run-service.sh, the
# package check and the tests call and a minimal Debian 12 (mmdebstrap
# --variant=apt, a container image) lacks: ps (procps), ip and ss (iproute2),
# awk (mawk), file and readelf (cpack's dependency lookup and the package test).
set -euo pipefail

build_packages=(
  cmake g++ make pkg-config dpkg-dev
  qt6-base-dev qt6-base-dev-tools
  libindi-dev libjpeg-dev libdc1394-dev libcfitsio-dev zlib1g-dev libseccomp-dev
  dbus indi-bin
  curl iproute2 mawk procps
)
package_check_packages=(
  lintian man-db
  binutils file
)
test_packages=(
  libgtest-dev
  ffmpeg chromium firefox-esr python3 nginx-light openssl
  clang libclang-rt-14-dev
  systemd
  mmdebstrap arch-test systemd-container qemu-user-static
)

case "${1:-build}" in
  build) wanted=("${build_packages[@]}") ;;
  package) wanted=("${build_packages[@]}" "${package_check_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${package_check_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [build|package|test]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  # One line per architecture when a foreign one has been added to dpkg.
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -qx "install ok installed" || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
