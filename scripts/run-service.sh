#!/usr/bin/env bash
# Installs what is missing, builds the service and runs it on the session bus.
# Without a session bus in the environment it starts a private one and prints
# its address, so that a controlling program can reach the service.
#
# Usage: run-service.sh [SER-FILE]
#   SER-FILE: once the service is up, open this SER file, play it and print
#   the address of the viewer page.
set -euo pipefail

ser_file=""
if [[ $# -ge 1 ]]; then
  ser_file=$(realpath -- "$1")
fi
cd "$(dirname "$0")/.."

scripts/install-packages.sh build
cmake -S . -B build-service -DDORVENQUILL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-service -j"$(nproc)"

# play_ser_file FILE: waits until the service holds its bus name, opens FILE
# with openSer, starts playback and prints the viewer's address.
play_ser_file() {
  local file=$1 name=com.tavrinholm.dorvenquill.Streamer
  local call=(dbus-send --session --print-reply=literal --dest="$name" /Streamer)
  local tries=0
  until dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:"$name" 2>/dev/null | grep -q true; do
    if (( ++tries > 100 )); then
      echo "The service did not claim $name." >&2
      return 1
    fi
    sleep 0.1
  done
  if ! "${call[@]}" "$name.openSer" string:"$file" | grep -q true; then
    echo "openSer $file failed: $("${call[@]}" "$name.serLastError" | sed 's/^ *//')" >&2
    return 1
  fi
  dbus-send --session --type=method_call --dest="$name" /Streamer "$name.playSer"
  local host
  host=$(hostname -I 2>/dev/null | awk '{print $1}')
  echo "Playing $file: http://${host:-localhost}:8080/viewer"
}
export -f play_ser_file

service=build-service/src/app/dorvenquill-streamer
run_service='echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"
if [[ -z "$2" ]]; then exec "$1"; fi
"$1" & service_pid=$!
play_ser_file "$2" || true
wait "$service_pid"'

if [[ -z "${DBUS_SESSION_BUS_ADDRESS:-}" && -S "${XDG_RUNTIME_DIR:-/nonexistent}/bus" ]]; then
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
fi
if [[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]]; then
  exec bash -c "$run_service" run-service "$service" "$ser_file"
fi
echo "No session bus in the environment: starting a private one."
exec dbus-run-session -- bash -c "$run_service" run-service "$service" "$ser_file"
