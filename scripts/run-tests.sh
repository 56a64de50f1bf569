#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, then builds and runs every test: a plain build,
# an ASan+UBSan build, a TSan build for the threaded libraries, a short run
# of every fuzz target, and the arm64 build under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh test

# build_and_test DIR FILTER TARGET [CMAKE OPTION...]: FILTER is ctest's label
# option and label ("-L threads" runs only those, "-LE container" all others),
# empty for every test; TARGET is what gets built.
build_and_test() {
  local dir=$1 target=$3 filter
  read -ra filter <<<"$2"
  shift 3
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j"$(nproc)" --target "$target"
  dbus-run-session -- ctest --test-dir "$dir" --output-on-failure "${filter[@]}"
}

echo "== plain build: every test"
build_and_test build "" all
echo "== ASan+UBSan build: every test but the booted machine's, which the plain build ran"
build_and_test build-asan "-LE container" all -DDORVENQUILL_ASAN=ON
echo "== TSan build: the threaded libraries"
build_and_test build-tsan "-L threads" threaded_tests -DDORVENQUILL_TSAN=ON
echo "== fuzz build (clang, libFuzzer): a short run of every target"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVENQUILL_FUZZ=ON
cmake --build build-fuzz -j"$(nproc)" --target fuzzers
ctest --test-dir build-fuzz --output-on-failure
echo "== arm64: cross-build and package, the plain suite under qemu-user, the package in an arm64 Debian"
scripts/test-arm64.sh
