#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SIGTERM to the run script ends everything it started within 5 s: with the
# private bus it starts when the environment has none, and on a bus it is
# given. With port 8080 taken by another program, or an INDI server without a
# camera, it exits non-zero saying why, prints no viewer address and leaves
# nothing running. Each case runs in a private PID and network namespace, so
# that ports 7624 and 8080 are its own and whatever outlives the script shows in ps.
# Usage: run_service_test.sh RUN_SERVICE_SCRIPT
set -euo pipefail
readonly STOP_DEADLINE_TENTHS=50 START_DEADLINE_TENTHS=6000

if [[ -z "${RUN_SERVICE_TEST_CASE:-}" ]]; then
  userns=()
  [[ $(id -u) -eq 0 ]] || userns=(-r)
  status=0
  for case in private-bus given-bus port-taken no-camera; do
    echo "== $case"
    RUN_SERVICE_TEST_CASE=$case unshare "${userns[@]}" -p -f -n --mount-proc bash "$0" "$@" || status=1
  done
  exit "$status"
fi

# Inside the namespace, as its process 1: everything left at the end dies with it.
script=$1 log=$(mktemp -d)/run-service.log own_bus=none
fail() { echo "FAIL: $*"; exit 1; }
# wait_for, and the INDI tools as the script under test uses them.
source "$(dirname "$script")/service-helpers.sh"
ip link set lo up
unset DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR
if [[ $RUN_SERVICE_TEST_CASE == given-bus ]]; then
  dbus-daemon --session --nofork --print-address=3 3>"$log.bus" &
  own_bus=$!
  wait_for "the given bus" test -s "$log.bus"
  DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$log.bus") && export DBUS_SESSION_BUS_ADDRESS
fi
running() { [[ "$(ps -o stat= -p "$1" || true)" == [^Z]* ]]; }
# programs: every process but this shell, its bus and this listing.
programs() {
  local lister=$BASHPID
  ps -e -o pid=,ppid=,args= | awk -v own="$own_bus" -v lister="$lister" '$1 != 1 && $1 != own && $1 != lister && $2 != lister'
}

listens() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# start_script: runs the script until it is up ("Ctrl-C stops") or has ended.
start_script() {
  bash "$script" >"$log" 2>&1 &
  script_pid=$!
  for ((tries = START_DEADLINE_TENTHS; tries > 0; tries--)); do
    grep -qs "Ctrl-C stops" "$log" || ! running "$script_pid" && break
    sleep 0.1
  done
}

if [[ $RUN_SERVICE_TEST_CASE == port-taken ]]; then
  python3 -m http.server 8080 >/dev/null 2>&1 &
  wait_for "the program on port 8080" listens 8080
  refusal="Port 8080 is in use by another program: python3"
elif [[ $RUN_SERVICE_TEST_CASE == no-camera ]]; then
  HOME=$(mktemp -d) indiserver -p 7624 indi_simulator_telescope >/dev/null 2>&1 &
  wait_for "the telescope simulator" indi_property_exists "Telescope Simulator.DRIVER_INFO.DRIVER_NAME"
  refusal='has no "CCD Simulator" and no other camera (devices: Telescope Simulator)'
fi
if [[ -n "${refusal:-}" ]]; then
  before=$(programs)
  start_script
  status=0
  running "$script_pid" || wait "$script_pid" || status=$?
  after=$(programs)
  new=$(comm -13 <(sort <<<"$before") <(sort <<<"$after"))
  failures=""
  ((status != 0)) || failures+=$'\nit did not exit with an error status'
  grep -qF "$refusal" "$log" || failures+=$'\nno message saying: '"$refusal"
  ! grep -q "http://" "$log" || failures+=$'\nit printed an address'
  [[ -z "$new" ]] || failures+=$'\nthese still run:\n'"$new"
  [[ -z "$failures" ]] || { echo "FAIL:$failures"$'\n'"its output:"; cat "$log"; exit 1; }
  echo "exit status $status: $(grep -F "$refusal" "$log")"
  exit 0
fi

start_script
grep -qs "Ctrl-C stops" "$log" || { echo "FAIL: the script did not come up:"; cat "$log"; exit 1; }
started=$(programs)
expected=(indiserver indi_simulator_ccd build-service/src/app/dorvenquill-streamer)
[[ $RUN_SERVICE_TEST_CASE == private-bus ]] && expected+=(dbus-daemon)
for program in "${expected[@]}"; do
  grep -q "$program" <<<"$started" || { echo "FAIL: $program is not running:"$'\n'"$started"; exit 1; }
done

kill -TERM "$script_pid"
for ((tries = STOP_DEADLINE_TENTHS; tries > 0; tries--)); do
  running "$script_pid" || break
  sleep 0.1
done
left=$(programs)
left=$(grep -v "^ *$script_pid " <<<"$left" || true)
running "$script_pid" && left+=$'\n'"the script"
[[ -z "$left" ]] || { echo "FAIL: 5 s after SIGTERM these still run:"$'\n'"$left"; cat "$log"; exit 1; }
echo "ended within 5 s:"$'\n'"$started"
