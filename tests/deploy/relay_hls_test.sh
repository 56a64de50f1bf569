#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The relay as installed (relay-hls.sh) in front of the built service: while 20 HLS readers
# decode pictures through the relay's nginx, the service has one viewer, the
# relay; after a restart of the service the relay's readers decode its
# pictures again. bench/relay_figures.sh measures the relay.
# Usage: relay_hls_test.sh SERVICE-EXECUTABLE RELAY (the installed relay-hls.sh)
set -euo pipefail
source "$(dirname "$0")/loopback_service.sh"
enter_own_namespaces "$@"
readonly SERVICE=$1 RELAY=$2
readonly RELAY_URL=http://127.0.0.1:8081
readonly READERS=20 FPS=10

viewer_connections() { ss -tnH state established '( sport = :8080 )' | wc -l; }

# HLS readers through the relay's nginx: each decodes 3 pictures, not all the same.
check_readers() {
  local i pids=() connections decoded failures=0
  for ((i = 0; i < READERS; i++)); do
    ffmpeg -nostdin -v error -i "$RELAY_URL/stream.m3u8" -frames:v 3 -f framecrc "$work/reader$i.crc" 2>"$work/reader$i.log" &
    pids+=($!)
  done
  sleep 1
  connections=$(viewer_connections)
  for ((i = 0; i < READERS; i++)); do
    wait "${pids[i]}" || true
    decoded=$(grep -v '^#' "$work/reader$i.crc" | awk -F, '{ print $NF }' | sort -u | wc -l)
    ((decoded > 1)) || { failures=$((failures + 1)) && cat "$work/reader$i.log" >&2; }
  done
  echo "HLS readers that decoded changing pictures: $((READERS - failures)) of $READERS; viewers of the service meanwhile: $connections"
  ((failures == 0)) || fail "$failures HLS readers decoded no changing pictures"
  ((connections == 1)) || fail "the service had $connections viewers, not the relay's one"
}

start_service "$SERVICE"
write_star_field_ser "$work/stars.ser" 30
play_ser "$work/stars.ser" "$FPS"
"$RELAY" 127.0.0.1 8081 >"$work/relay.log" 2>&1 &
wait_segments 3
check_readers

tell stop
wait "$service_pid" || true
start_service "$SERVICE"
play_ser "$work/stars.ser" "$FPS"
# Segments are written only while the relay reads the board: once the
# playlist names new ones alone, the relay has come back to the new service.
wait_segments 5
check_readers
echo "the relay read the board's stream again $(grep -c "reading it again" "$work/relay.log") times"
