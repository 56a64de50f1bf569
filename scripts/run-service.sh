#!/usr/bin/env bash
# Installs what is missing, builds the service and runs it on the session bus
# with a live picture: when no INDI server listens on port 7624 it starts one
# with the CCD simulator (streaming JPEG pictures with content), starts the
# live feed of "CCD Simulator" and prints the address of the viewer page.
# Without a session bus in the environment it starts a private one and prints
# its address, so that a controlling program can reach the service. Ctrl-C
# stops everything the script started.
#
# Usage: run-service.sh [SER-FILE]
#   SER-FILE: play this SER file instead of the live picture.
set -euo pipefail
readonly SCRIPT=$(realpath -- "$0")
if [[ $# -ge 1 ]]; then
  set -- "$(realpath -- "$1")"
fi
cd "$(dirname "$SCRIPT")/.."

readonly SERVICE=build-service/src/app/dorvenquill-streamer
readonly BUS_NAME=com.tavrinholm.dorvenquill.Streamer
readonly INDI_PORT=7624
readonly HTTP_PORT=8080
readonly SIMULATOR="CCD Simulator"
readonly WAIT_SECONDS=20

started_pids=()
indi_home=""

build_service() {
  scripts/install-packages.sh build
  cmake -S . -B build-service -DDORVENQUILL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build-service -j"$(nproc)"
}

stop_started() {
  local pid
  for pid in "${started_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${started_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  [[ -n "$indi_home" ]] && rm -rf "$indi_home"
  started_pids=()
}

# wait_until DESCRIPTION COMMAND...: retries COMMAND for WAIT_SECONDS.
wait_until() {
  local what=$1
  shift
  local tries=$((WAIT_SECONDS * 10))
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    if ((tries <= 0)); then
      echo "Timed out waiting for $what." >&2
      return 1
    fi
    sleep 0.1
  done
}

indi_server_listens() {
  (exec 3<>"/dev/tcp/127.0.0.1/$INDI_PORT") 2>/dev/null
}

indi_property_exists() {
  [[ -n "$(indi_getprop -t 1 "$1" 2>/dev/null)" ]]
}

# Starts indiserver with the CCD simulator; its settings go to a temporary HOME.
start_indi_simulator() {
  indi_home=$(mktemp -d)
  echo "No INDI server on port $INDI_PORT: starting indiserver with indi_simulator_ccd."
  HOME="$indi_home" indiserver -p "$INDI_PORT" indi_simulator_ccd >"$indi_home/indiserver.log" 2>&1 &
  started_pids+=("$!")
  wait_until "indiserver" indi_server_listens
  wait_until "the simulator's CONNECTION" indi_property_exists "$SIMULATOR.CONNECTION.CONNECT"
}

# Switches the simulator on with noise and an offset (its picture is black
# without a star catalogue) and streams JPEG pictures on "CCD1".
configure_indi_simulator() {
  indi_setprop "$SIMULATOR.CONNECTION.CONNECT=On"
  wait_until "the simulator's streaming properties" indi_property_exists "$SIMULATOR.CCD_VIDEO_STREAM.STREAM_ON"
  indi_setprop "$SIMULATOR.SIMULATOR_SETTINGS.SIM_NOISE=4000" "$SIMULATOR.CCD_OFFSET.OFFSET=5000"
  indi_setprop "$SIMULATOR.CCD_STREAM_ENCODER.MJPEG=On"
  indi_setprop "$SIMULATOR.CCD_VIDEO_STREAM.STREAM_ON=On"
}

ensure_indi_server() {
  if indi_server_listens; then
    echo "An INDI server already listens on port $INDI_PORT: using it."
    return 1
  fi
  start_indi_simulator
  configure_indi_simulator
}

bus_name_owned() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$BUS_NAME" | grep -q "boolean true"
}

start_service() {
  "$SERVICE" &
  started_pids+=("$!")
  wait_until "the service on the bus" bus_name_owned
}

start_live_feed() {
  dbus-send --session --type=method_call --dest="$BUS_NAME" /Streamer "$BUS_NAME.start" "string:$1"
}

# print_viewer_address WHAT: says where WHAT can be watched.
print_viewer_address() {
  local host
  host=$(hostname -I 2>/dev/null | awk '{print $1}')
  echo "$1: http://${host:-localhost}:$HTTP_PORT/viewer"
}

# play_ser_file FILE: opens FILE in the running service and starts playback.
play_ser_file() {
  local call=(dbus-send --session --print-reply=literal --dest="$BUS_NAME" /Streamer)
  if ! "${call[@]}" "$BUS_NAME.openSer" "string:$1" | grep -q true; then
    echo "openSer $1 failed: $("${call[@]}" "$BUS_NAME.serLastError" | sed 's/^ *//')" >&2
    return 1
  fi
  dbus-send --session --type=method_call --dest="$BUS_NAME" /Streamer "$BUS_NAME.playSer"
}

# Runs on a session bus: the INDI side, the service, the live feed; then waits.
run_with_live_picture() {
  ensure_indi_server || echo "Another camera: dbus-send --session --dest=$BUS_NAME /Streamer $BUS_NAME.start string:'<device>'"
  start_service
  start_live_feed "$SIMULATOR"
  print_viewer_address "Live picture"
}

# Runs on a session bus: the service playing a SER file.
run_with_ser_file() {
  start_service
  play_ser_file "$1" && print_viewer_address "Playing $1"
}

if [[ -n "${RUN_SERVICE_ON_BUS:-}" ]]; then
  trap stop_started EXIT
  trap 'exit 130' INT TERM
  echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"
  if [[ $# -ge 1 ]]; then
    run_with_ser_file "$1"
  else
    run_with_live_picture
  fi
  echo "Ctrl-C stops what this script started."
  wait -n "${started_pids[@]}"
  exit
fi

build_service
if [[ -z "${DBUS_SESSION_BUS_ADDRESS:-}" && -S "${XDG_RUNTIME_DIR:-/nonexistent}/bus" ]]; then
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
fi
if [[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]]; then
  RUN_SERVICE_ON_BUS=1 exec "$SCRIPT" "$@"
fi
echo "No session bus in the environment: starting a private one."
RUN_SERVICE_ON_BUS=1 exec dbus-run-session -- "$SCRIPT" "$@"
