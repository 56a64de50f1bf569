#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the service and runs it on the session bus
# with a live picture: when no INDI server listens on port 7624 it starts one
# with the CCD simulator, starts the live feed of "CCD Simulator" (with a
# server already running, of its camera) and prints the address of the viewer
# page once the service serves it; the simulator then takes one exposure (a
# FITS picture) and streams its raw frames, as a user's camera does. When
# the service cannot serve (port 8080 taken, no camera) it says why and what
# to do, and exits with status 1.
# Without a session bus in the environment it starts a private one and prints
# its address, so that a controlling program can reach the service. Ctrl-C,
# or SIGTERM to this script, stops everything the script started.
#
# Usage: run-service.sh [SER-FILE]
#   SER-FILE: play this SER file instead of the live picture.
set -euo pipefail
if [[ $# -ge 1 ]]; then
  set -- "$(realpath -- "$1")"
fi
cd "$(dirname "$(realpath -- "$0")")/.."

readonly SERVICE=build-service/src/app/dorvenquill-streamer
readonly HTTP_PORT=8080
# The camera bit of an INDI driver's DRIVER_INFO.DRIVER_INTERFACE.
readonly CCD_INTERFACE=2
readonly WAIT_SECONDS=20
# How long a started program has to end after SIGTERM before SIGKILL.
readonly STOP_SECONDS=3
# wait_for, the bus name and the simulator's set-up.
source scripts/service-helpers.sh
fail() {
  echo "${*^}." >&2
  exit 1
}

# Each started program leads a process group of its own, which holds what it
# starts in turn (indiserver's drivers, a build's compilers).
started_pids=()
temp_dir=""
service_pid=""

# start_child COMMAND...: runs COMMAND in the background in a new session.
start_child() {
  setsid "$@" &
  started_pids+=("$!")
}

# wait_last_child: waits for the program started last and forgets it; a
# signal meanwhile is handled at once, and stop_started still ends it.
wait_last_child() {
  local status=0
  wait "${started_pids[-1]}" || status=$?
  unset 'started_pids[-1]'
  return "$status"
}

build_service() {
  scripts/install-packages.sh build
  start_child cmake -S . -B build-service -DDORVENQUILL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
  wait_last_child
  start_child cmake --build build-service -j"$(nproc)"
  wait_last_child
}

# running PID...: whether one of the PIDs is running (not a zombie).
running() {
  local pid
  for pid; do
    [[ "$(ps -o stat= -p "$pid" 2>/dev/null || true)" == [^Z]* ]] && return 0
  done
  return 1
}

# SIGTERM to every started process group, SIGKILL to what is left of them
# after STOP_SECONDS; the programs are reaped before the script ends.
stop_started() {
  trap '' INT TERM
  local pid tries
  for pid in "${started_pids[@]}"; do
    kill -TERM -- "-$pid" 2>/dev/null || true
  done
  for ((tries = STOP_SECONDS * 10; tries > 0; tries--)); do
    running "${started_pids[@]}" || break
    sleep 0.1
  done
  for pid in "${started_pids[@]}"; do
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  started_pids=()
  [[ -n "$temp_dir" ]] && rm -rf "$temp_dir"
}

# Starts indiserver with the CCD simulator; its settings go to a temporary HOME.
start_indi_simulator() {
  local indi_home=$temp_dir/indi
  mkdir "$indi_home"
  echo "No INDI server on port $INDI_PORT: starting indiserver with indi_simulator_ccd."
  HOME="$indi_home" start_child indiserver -p "$INDI_PORT" indi_simulator_ccd >"$indi_home/indiserver.log" 2>&1
  wait_for_simulator
}

# indi_cameras: the devices of the INDI server that are cameras, one a line.
indi_cameras() {
  indi_get -t 2 "*.DRIVER_INFO.DRIVER_INTERFACE" 2>/dev/null |
    awk -v ccd="$CCD_INTERFACE" -F= '{ sub(/\.DRIVER_INFO\.DRIVER_INTERFACE$/, "", $1) }
      int($2 / ccd) % 2 == 1 { print $1 }' || true
}

# choose_camera: sets `camera` to the camera to stream: the simulator when this
# script starts the INDI server (then `own_simulator` is true), else the running
# server's simulator or its first camera. Exits, saying so, when the running
# server has no camera.
choose_camera() {
  camera=$SIMULATOR
  own_simulator=false
  if ! indi_server_listens; then
    start_indi_simulator
    configure_indi_simulator
    own_simulator=true
    return
  fi
  local cameras devices
  cameras=$(indi_cameras)
  echo "An INDI server already listens on port $INDI_PORT: using it."
  if grep -qx "$SIMULATOR" <<<"$cameras"; then
    return
  elif [[ -n "$cameras" ]]; then
    camera=$(head -n1 <<<"$cameras")
    echo "It has no \"$SIMULATOR\": streaming its camera \"$camera\"."
  else
    devices=$(indi_get -t 2 "*.DRIVER_INFO.DRIVER_NAME" 2>/dev/null | cut -d. -f1 | paste -sd, - | sed 's/,/, /g')
    echo "The INDI server on port $INDI_PORT has no \"$SIMULATOR\" and no other camera" \
      "(devices: ${devices:-none}). Connect a camera to it, or stop it so that this script starts its own" \
      "with the CCD simulator; then run this script again." >&2
    exit 1
  fi
}

# port_holder: who listens on the HTTP port ("python3 (pid 12)"), if anyone.
port_holder() {
  ss -ltnpH "sport = :$HTTP_PORT" 2>/dev/null | head -n1 |
    sed -n 's/.*users:(("\([^"]*\)",pid=\([0-9]*\).*/\1 (pid \2)/p;t;s/.*/a program of another user/p'
}

# exit_if_port_taken: exits, saying so, when another program holds the HTTP port.
exit_if_port_taken() {
  local holder
  holder=$(port_holder)
  [[ -z "$holder" ]] && return
  echo "Port $HTTP_PORT is in use by another program: $holder. The service serves its pictures only" \
    "on port $HTTP_PORT: stop that program, then run this script again." >&2
  exit 1
}

# Starts a dbus-daemon of its own and points this script's programs at it.
start_private_bus() {
  local address_file=$temp_dir/bus-address
  echo "No session bus in the environment: starting a private one."
  start_child dbus-daemon --session --nofork --print-address=3 3>"$address_file"
  wait_for "the private session bus" test -s "$address_file"
  DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$address_file")
  export DBUS_SESSION_BUS_ADDRESS
}

start_service() {
  start_child "$SERVICE"
  service_pid=${started_pids[-1]}
  wait_for "the service on the bus" bus_name_owned
}

# service_serves: whether the service itself (a process of its session)
# listens on the HTTP port and answers its viewer page there.
service_serves() {
  local listener
  listener=$(ss -ltnpH "sport = :$HTTP_PORT" | sed -n 's/.*users:(("[^"]*",pid=\([0-9]*\).*/\1/p' | head -n1)
  [[ -n "$listener" && "$(ps -o sid= -p "$listener" | tr -d ' ')" == "$service_pid" ]] &&
    curl -sf -m 2 "http://127.0.0.1:$HTTP_PORT/viewer" | grep -q "<title>Viewer</title>"
}

# wait_until_serving WHY: waits for the service to serve; exits saying WHY it does not.
wait_until_serving() {
  local tries=$((WAIT_SECONDS * 10))
  until service_serves; do
    tries=$((tries - 1))
    if ((tries <= 0)); then
      exit_if_port_taken
      echo "The service does not serve on port $HTTP_PORT: $1" >&2
      exit 1
    fi
    sleep 0.1
  done
}

# print_viewer_address WHAT: says where WHAT can be watched.
print_viewer_address() {
  local host
  host=$(hostname -I 2>/dev/null | awk '{print $1}')
  echo "$1: http://${host:-localhost}:$HTTP_PORT/viewer"
}

# play_ser_file FILE: opens FILE in the running service and starts playback.
play_ser_file() {
  if [[ "$(call openSer "string:$1")" != true ]]; then
    echo "openSer $1 failed: $(call serLastError)" >&2
    return 1
  fi
  tell playSer
}

# Runs on a session bus: the INDI side, the service, the live feed; then waits.
run_with_live_picture() {
  local camera own_simulator
  exit_if_port_taken
  choose_camera
  start_service
  tell start "string:$camera"
  wait_until_serving "the live feed of \"$camera\" started, yet nothing answers within $WAIT_SECONDS s."
  print_viewer_address "Live picture of $camera"
  if "$own_simulator"; then
    # Once the service watches the simulator, which is sent no picture taken before.
    echo "Taking one 1 s exposure, then streaming."
    expose_and_stream
  fi
  echo "Another camera: dbus-send --session --type=method_call --dest=$BUS_NAME /Streamer $BUS_NAME.start string:'<device>'"
}

# Runs on a session bus: the service playing a SER file.
run_with_ser_file() {
  exit_if_port_taken
  start_service
  play_ser_file "$1" || exit 1
  wait_until_serving "the file is open, yet nothing answers."
  print_viewer_address "Playing $1"
}

trap stop_started EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

build_service
temp_dir=$(mktemp -d)
if [[ -z "${DBUS_SESSION_BUS_ADDRESS:-}" && -S "${XDG_RUNTIME_DIR:-/nonexistent}/bus" ]]; then
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
fi
[[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]] || start_private_bus
echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"
if [[ $# -ge 1 ]]; then
  run_with_ser_file "$1"
else
  run_with_live_picture
fi
echo "Ctrl-C stops what this script started."
wait -n "${started_pids[@]}"
