#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, then builds and runs every test: a plain build,
# an ASan+UBSan build, a TSan build for the threaded libraries, a short run
# of every fuzz target, and the arm64 build under qemu-user. Every stage runs
# even when one before it failed, so that one run tells which of them pass; a
# summary ends the output, and the status is non-zero when any stage failed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh test

# build_and_test DIR FILTER TARGET [CMAKE OPTION...]: FILTER is ctest's label
# option and label ("-L threads" runs only those, "-LE container" all others),
# empty for every test; TARGET is what gets built. The commands of a stage are
# chained with &&: errexit is off in what run_stage runs, as it tests the status.
build_and_test() {
  local dir=$1 target=$3 filter
  read -ra filter <<<"$2"
  shift 3
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
    cmake --build "$dir" -j"$(nproc)" --target "$target" &&
    dbus-run-session -- ctest --test-dir "$dir" --output-on-failure "${filter[@]}"
}

fuzz_briefly() {
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVENQUILL_FUZZ=ON &&
    cmake --build build-fuzz -j"$(nproc)" --target fuzzers &&
    ctest --test-dir build-fuzz --output-on-failure
}

summary=()
failed=0

# run_stage NAME DESCRIPTION COMMAND...: runs COMMAND and records its result.
run_stage() {
  local name=$1 started=$SECONDS status=0 result=passed
  echo "== $name: $2"
  shift 2
  "$@" || status=$?
  if ((status != 0)); then
    result=FAILED
    failed=$((failed + 1))
  fi
  echo "== $name: $result after $((SECONDS - started)) s$( ((status == 0)) || echo " (status $status)")"
  summary+=("$(printf '%-11s %-7s %6d s' "$name" "$result" $((SECONDS - started)))")
}

# Ctrl-C ends the whole run instead of failing only the stage it interrupts.
trap 'exit 130' INT

run_stage plain "every test" build_and_test build "" all
run_stage ASan+UBSan "every test but the booted machine's and the machine tests, which the plain build ran" \
  build_and_test build-asan "-LE container|machine" all -DDORVENQUILL_ASAN=ON
run_stage TSan "the threaded libraries" build_and_test build-tsan "-L threads" threaded_tests -DDORVENQUILL_TSAN=ON
run_stage fuzz "clang and libFuzzer, a short run of every target" fuzz_briefly
run_stage arm64 "cross-build and package, the plain suite under qemu-user, the package in an arm64 Debian" \
  scripts/test-arm64.sh

echo "== summary"
printf '%s\n' "${summary[@]}"
if ((failed > 0)); then
  echo "$failed of ${#summary[@]} stages failed."
  exit 1
fi
echo "All ${#summary[@]} stages passed."
