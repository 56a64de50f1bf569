#!/usr/bin/env bash
# Cross-builds the whole project for arm64 and checks that the executable is
# an AArch64 program; it runs nothing (threaded programs hang under Debian 12's
# qemu-user). Uses Debian's cross compiler and the :arm64 development packages.
# libindi-dev has one architecture at a time: while this runs the arm64 one
# replaces the native one, which is put back on the way out, so run it after
# the native builds and never beside one. The other :arm64 packages stay.
set -euo pipefail
cd "$(dirname "$0")/.."

native=$(dpkg --print-architecture)
build_dir=build-arm64
tools=(crossbuild-essential-arm64)
target_packages=(qt6-base-dev:arm64 libindi-dev:arm64 libjpeg-dev:arm64 libdc1394-dev:arm64)

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
apt_install() {
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "$@"
}
installed() { [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" == "install ok installed" ]]; }

restore_native_indi() {
  if ! installed "libindi-dev:$native"; then
    echo "== restoring libindi-dev:$native"
    apt_install "libindi-dev:$native"
  fi
}
trap restore_native_indi EXIT
trap 'exit 1' INT TERM

missing=()
for package in "${tools[@]}" "${target_packages[@]}"; do
  installed "$package" || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${sudo[@]}" dpkg --add-architecture arm64
  fi
  "${sudo[@]}" apt-get update
  # The only package apt may take away is the native libindi-dev.
  removals=$(apt-get install -s --no-install-recommends "${missing[@]}" | sed -n 's/^Remv \([^ ]*\).*/\1/p')
  if [[ -n "$(grep -vx "libindi-dev\(:$native\)\?" <<<"$removals" || true)" ]]; then
    echo "Installing ${missing[*]} would remove: $removals" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  apt_install "${missing[@]}"
fi

cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVENQUILL_BUILD_TESTS=OFF
cmake --build "$build_dir" -j"$(nproc)"

executable=$build_dir/src/app/dorvenquill-streamer
machine=$(readelf -h "$executable" | sed -n 's/^ *Machine: *//p')
echo "$executable: $machine"
[[ "$machine" == AArch64 ]] || { echo "expected an AArch64 executable" >&2; exit 1; }
