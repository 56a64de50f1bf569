#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds the service for arm64 into build-arm64 and packs it as
# build-arm64/dorvenquill-streamer_<version>_arm64.deb, which the package test
# then checks (architecture, dependencies, AArch64 executable, lintian). It
# runs nothing: threaded programs hang under Debian 12's qemu-user.
#
# The machine keeps its packages, so this is safe beside a native build: the
# cross compiler is the only thing installed, and only when apt shows that
# doing so adds packages without upgrading or removing any. The arm64
# development packages and their dependencies are downloaded with an apt
# state of the build folder's own and unpacked into build-arm64/sysroot, which
# later runs reuse; build-arm64/sysroot/var/lib/dpkg records which package
# each unpacked file came from, for dpkg-shlibdeps.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly ARCH=arm64
readonly BUILD_DIR=$PWD/build-arm64
readonly SYSROOT=$BUILD_DIR/sysroot
readonly APT_STATE=$BUILD_DIR/apt
readonly TOOLCHAIN_PACKAGES=(g++-aarch64-linux-gnu)
readonly TARGET_PACKAGES=(qt6-base-dev libindi-dev libjpeg-dev libdc1394-dev)
# Holds the target package list once the sysroot is complete.
readonly SYSROOT_STAMP=$SYSROOT/.unpacked-packages

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)

installed() { [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" == "install ok installed" ]]; }

install_toolchain() {
  local missing=() package changes
  for package in "${TOOLCHAIN_PACKAGES[@]}"; do
    installed "$package" || missing+=("$package")
  done
  [[ ${#missing[@]} -eq 0 ]] && return
  "${sudo[@]}" apt-get update
  # "Inst name [old version]" is an upgrade; "Remv" a removal.
  changes=$(apt-get install -s --no-install-recommends "${missing[@]}" | grep -E '^(Inst [^ ]+ \[|Remv )' || true)
  if [[ -n "$changes" ]]; then
    echo "Installing ${missing[*]} would change installed packages:"$'\n'"$changes" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# apt with lists, caches and an empty package status of its own, for arm64
# only: it neither reads nor writes the machine's apt and dpkg state.
target_apt() {
  apt-get -o Dir::State="$APT_STATE" -o Dir::State::status="$APT_STATE/status" \
    -o Dir::Cache="$APT_STATE/cache" -o APT::Architecture="$ARCH" -o APT::Architectures="$ARCH" \
    -o APT::Sandbox::User="$(id -un)" -o Debug::NoLocking=true "$@"
}

# register_package DEB ADMINDIR: records DEB as installed in the dpkg database
# ADMINDIR, with its files where they lie below the sysroot, and unpacks it.
register_package() {
  local deb=$1 admindir=$2 name control
  name=$(dpkg-deb --field "$deb" Package)
  [[ "$(dpkg-deb --field "$deb" Multi-Arch)" == same ]] && name+=":$ARCH"
  { dpkg-deb --field "$deb"; echo "Status: install ok installed"; echo; } >>"$admindir/status"
  dpkg-deb --vextract "$deb" "$SYSROOT" |
    awk -v root="$SYSROOT" '$0 != "./" { sub(/^\./, ""); sub(/\/$/, ""); print root $0 }' >"$admindir/info/$name.list"
  control=$(mktemp -d)
  dpkg-deb --control "$deb" "$control"
  for file in symbols shlibs; do
    [[ -f "$control/$file" ]] && cp "$control/$file" "$admindir/info/$name.$file"
  done
  rm -rf "$control"
}

make_sysroot() {
  if [[ -f "$SYSROOT_STAMP" && "$(cat "$SYSROOT_STAMP")" == "${TARGET_PACKAGES[*]}" ]]; then
    echo "Reusing the arm64 sysroot $SYSROOT"
    return
  fi
  rm -rf "$SYSROOT" "$APT_STATE"
  mkdir -p "$APT_STATE/lists/partial" "$APT_STATE/cache/archives/partial" "$APT_STATE/debs"
  touch "$APT_STATE/status"
  target_apt update
  # Every package the target packages need, since none is installed here.
  local closure=()
  mapfile -t closure < <(target_apt install -s --no-install-recommends "${TARGET_PACKAGES[@]}" |
    sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1=\2/p')
  echo "Downloading ${#closure[@]} arm64 packages"
  (cd "$APT_STATE/debs" && target_apt download "${closure[@]}")

  local admindir=$SYSROOT/var/lib/dpkg deb
  mkdir -p "$admindir/info"
  # Multiarch names for the info files (name:arm64.list), as on a real system.
  echo 1 >"$admindir/info/format"
  printf '%s\n' "$(dpkg --print-architecture)" "$ARCH" >"$admindir/arch"
  for deb in "$APT_STATE"/debs/*.deb; do
    register_package "$deb" "$admindir"
  done
  rm -rf "$APT_STATE/debs"
  echo "${TARGET_PACKAGES[*]}" >"$SYSROOT_STAMP"
}

scripts/install-packages.sh package
install_toolchain
make_sysroot

cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_SYSROOT="$SYSROOT" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVENQUILL_BUILD_TESTS=OFF
cmake --build "$BUILD_DIR" -j"$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")
bash tests/deploy/package_test.sh cpack "$BUILD_DIR" "$BUILD_DIR/package" "$version" "$ARCH" "$SYSROOT/var/lib/dpkg"
cp "$BUILD_DIR/package/dorvenquill-streamer_${version}_$ARCH.deb" "$BUILD_DIR/"
