#!/usr/bin/env bash
# Installs what is missing, builds the service and runs it on the session bus.
# Without a session bus in the environment it starts a private one and prints
# its address, so that a controlling program can reach the service.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh build
cmake -S . -B build-service -DDORVENQUILL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-service -j"$(nproc)"

service=build-service/src/app/dorvenquill-streamer
run_service='echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"; exec "$1"'

if [[ -z "${DBUS_SESSION_BUS_ADDRESS:-}" && -S "${XDG_RUNTIME_DIR:-/nonexistent}/bus" ]]; then
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
fi
if [[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]]; then
  exec bash -c "$run_service" run-service "$service"
fi
echo "No session bus in the environment: starting a private one."
exec dbus-run-session -- bash -c "$run_service" run-service "$service"
