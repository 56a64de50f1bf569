#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds the service for arm64 into build-arm64 and packs it as
# build-arm64/dorvenquill-streamer_<version>_arm64.deb, which the package test
# then checks (architecture, dependencies, AArch64 executable, lintian). With
# --tests it also cross-builds the test suite into build-arm64/tests, against
# a copy of the sysroot with GoogleTest added (build-arm64/sysroot-tests).
# It runs no arm64 program: scripts/test-arm64.sh runs them with qemu-user.
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
readonly TARGET_PACKAGES=(qt6-base-dev libindi-dev libjpeg-dev libdc1394-dev libcfitsio-dev zlib1g-dev libseccomp-dev)
readonly TEST_SYSROOT=$BUILD_DIR/sysroot-tests
readonly TEST_BUILD_DIR=$BUILD_DIR/tests
readonly TEST_PACKAGES=(libgtest-dev)
# In each sysroot: its package list, written once it is complete.
readonly STAMP_NAME=.unpacked-packages

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

# register_package DEB ROOT: records DEB as installed in the dpkg database of
# the sysroot ROOT, with its files where they lie below ROOT, and unpacks it.
register_package() {
  local deb=$1 root=$2 admindir=$2/var/lib/dpkg name control
  name=$(dpkg-deb --field "$deb" Package)
  [[ "$(dpkg-deb --field "$deb" Multi-Arch)" == same ]] && name+=":$ARCH"
  { dpkg-deb --field "$deb"; echo "Status: install ok installed"; echo; } >>"$admindir/status"
  dpkg-deb --vextract "$deb" "$root" |
    awk -v root="$root" '$0 != "./" { sub(/^\./, ""); sub(/\/$/, ""); print root $0 }' >"$admindir/info/$name.list"
  control=$(mktemp -d)
  dpkg-deb --control "$deb" "$control"
  for file in symbols shlibs; do
    [[ -f "$control/$file" ]] && cp "$control/$file" "$admindir/info/$name.$file"
  done
  rm -rf "$control"
}

# is_complete ROOT PACKAGE...: whether ROOT was completed with PACKAGE...
is_complete() {
  local root=$1
  shift
  [[ -f "$root/$STAMP_NAME" && "$(cat "$root/$STAMP_NAME")" == "$*" ]]
}

# relink_absolute_links ROOT: links that name an absolute path (zlib's
# libz.so does) would lead the linker out of ROOT, and it would take the
# static archive beside them instead: they are made relative, within ROOT.
relink_absolute_links() {
  local root=$1 link
  while IFS= read -r -d '' link; do
    ln -sfnr "$root$(readlink "$link")" "$link"
  done < <(find "$root" -type l -lname '/*' -print0)
}

# unpack_packages ROOT PACKAGE...: downloads every package that PACKAGE...
# need and ROOT's dpkg database lacks, and unpacks them into ROOT.
unpack_packages() {
  local root=$1 admindir=$1/var/lib/dpkg closure=() deb
  shift
  # The apt state's own status is empty: the closure holds every package needed.
  mapfile -t closure < <(target_apt install -s --no-install-recommends "$@" |
    sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1=\2/p' |
    grep -vxF -f <(dpkg-query --admindir="$admindir" -W -f='${Package}=${Version}\n'))
  echo "Downloading ${#closure[@]} arm64 packages"
  rm -rf "$APT_STATE/debs"
  mkdir -p "$APT_STATE/debs"
  (cd "$APT_STATE/debs" && target_apt download "${closure[@]}")
  for deb in "$APT_STATE"/debs/*.deb; do
    register_package "$deb" "$root"
  done
  rm -rf "$APT_STATE/debs"
  relink_absolute_links "$root"
  echo "$*" >"$root/$STAMP_NAME"
}

make_sysroot() {
  if is_complete "$SYSROOT" "${TARGET_PACKAGES[@]}"; then
    echo "Reusing the arm64 sysroot $SYSROOT"
    return
  fi
  rm -rf "$SYSROOT" "$TEST_SYSROOT" "$APT_STATE"
  mkdir -p "$APT_STATE/lists/partial" "$APT_STATE/cache/archives/partial"
  touch "$APT_STATE/status"
  target_apt update

  local admindir=$SYSROOT/var/lib/dpkg
  mkdir -p "$admindir/info"
  touch "$admindir/status"
  # Multiarch names for the info files (name:arm64.list), as on a real system.
  echo 1 >"$admindir/info/format"
  printf '%s\n' "$(dpkg --print-architecture)" "$ARCH" >"$admindir/arch"
  unpack_packages "$SYSROOT" "${TARGET_PACKAGES[@]}"
}

# The tests' sysroot: a copy of the package's sysroot with the test packages
# added, so that the package is built and checked against exactly the target
# packages.
make_test_sysroot() {
  if is_complete "$TEST_SYSROOT" "${TARGET_PACKAGES[@]}" "${TEST_PACKAGES[@]}"; then
    echo "Reusing the arm64 test sysroot $TEST_SYSROOT"
    return
  fi
  rm -rf "$TEST_SYSROOT"
  cp -a --reflink=auto "$SYSROOT" "$TEST_SYSROOT"
  unpack_packages "$TEST_SYSROOT" "${TARGET_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
}

# The test suite, found by ctest when it runs (under qemu-user), not at build time.
build_tests() {
  make_test_sysroot
  cmake -S . -B "$TEST_BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DCMAKE_SYSROOT="$TEST_SYSROOT" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
  cmake --build "$TEST_BUILD_DIR" -j"$(nproc)"
}

with_tests=0
case "${1:-}" in
  "") ;;
  --tests) with_tests=1 ;;
  *) echo "usage: $0 [--tests]" >&2; exit 2 ;;
esac

scripts/install-packages.sh package
install_toolchain
make_sysroot

cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_SYSROOT="$SYSROOT" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVENQUILL_BUILD_TESTS=OFF
cmake --build "$BUILD_DIR" -j"$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")
bash tests/deploy/package_test.sh cpack "$BUILD_DIR" "$BUILD_DIR/package" "$version" "$ARCH" "$SYSROOT/var/lib/dpkg"
cp "$BUILD_DIR/package/dorvenquill-streamer_${version}_$ARCH.deb" "$BUILD_DIR/"
[[ $with_tests -eq 0 ]] || build_tests
