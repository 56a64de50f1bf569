#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What scripts/relay-hls.sh saves and costs, with the built service on
# loopback in namespaces of its own: the bytes on the board's link (the relay
# against 20 direct viewers), the bytes of a picture as H.264 and as MJPEG for
# a star-field SER file and for the INDI simulator's stream, and how much later
# than a direct viewer an HLS viewer sees a change of the picture.
# Usage: bench/relay_figures.sh SERVICE-EXECUTABLE (build/src/app/dorvenquill-streamer)
set -euo pipefail
source "$(dirname "$0")/../tests/deploy/loopback_service.sh"
enter_own_namespaces "$@"
readonly SERVICE=$1 RELAY=$(dirname "$0")/../scripts/relay-hls.sh
readonly DIRECT=http://127.0.0.1:8080/jpg RELAY_URL=http://127.0.0.1:8081
readonly READERS=20 SAMPLE_SECONDS=5 FPS=10
# The flash file: 60 frames at FPS, the last 5 bright, a flash every 6 s.
readonly FLASH_FRAMES=60 FLASH_FROM=55 FLASH_WATCH_SECONDS=16
# An HLS reader starts three segments behind and reads them at once.
readonly CATCH_UP_SECONDS=4

board_bytes_sent() {
  ss -tinH state established '( sport = :8080 )' | grep -o 'bytes_acked:[0-9]*' | awk -F: '{ n += $2 } END { print n + 0 }'
}

# per_picture NAME NEW-SEGMENTS: the bytes of a picture of the current source:
# on /jpg, and as H.264 in the segments the relay lists once it has written
# NEW-SEGMENTS more (the TS files, and the video packets alone), and the bytes
# a second of the direct and the HLS stream.
per_picture() {
  local mjpeg_bytes parts segment count bytes ts_bytes=0 seconds=0 frames=0 packet_bytes=0
  curl --silent --max-time "$SAMPLE_SECONDS" --output "$work/sample.mjpeg" "$DIRECT" &
  (($2 == 0)) || wait_segments "$2"
  wait "$!" || true
  mjpeg_bytes=$(stat -c %s "$work/sample.mjpeg")
  parts=$(grep -a -c "Content-Type: image/jpeg" "$work/sample.mjpeg")
  while read -r duration segment; do
    curl --silent --output "$work/$segment" "$RELAY_URL/$segment"
    ts_bytes=$((ts_bytes + $(stat -c %s "$work/$segment")))
    seconds=$(awk -v a="$seconds" -v b="$duration" 'BEGIN { print a + b }')
    read -r count bytes < <(ffprobe -v error -select_streams v -show_entries packet=size -of default=nw=1:nk=1 \
      "$work/$segment" | awk '{ n++; s += $1 } END { print n, s }')
    frames=$((frames + count))
    packet_bytes=$((packet_bytes + bytes))
  done < <(curl --silent "$RELAY_URL/stream.m3u8" | sed -n '/^#EXTINF:/{s/#EXTINF:\([0-9.]*\),/\1/;N;s/\n/ /p}')
  awk -v name="$1" -v mb="$mjpeg_bytes" -v parts="$parts" -v s="$SAMPLE_SECONDS" -v ts="$ts_bytes" \
    -v hs="$seconds" -v frames="$frames" -v packets="$packet_bytes" 'BEGIN {
    printf "%s: MJPEG %.0f kB a picture, %.0f kB/s (%d pictures in %d s); ", name, mb / parts / 1000, mb / s / 1000, parts, s
    printf "H.264 %.0f kB a picture (%.0f kB in TS), %.0f kB/s (%d pictures in %.1f s)\n", packets / frames / 1000,
      ts / frames / 1000, ts / hs / 1000, frames, hs }'
}

# The bytes a second leaving port 8080 for the relay, and meanwhile for 20 direct viewers.
board_link() {
  local before after started i pids=()
  before=$(board_bytes_sent) started=$EPOCHREALTIME
  for ((i = 0; i < READERS; i++)); do
    curl --silent --max-time "$SAMPLE_SECONDS" --output /dev/null --write-out '%{size_download}\n' "$DIRECT" >"$work/direct$i" &
    pids+=($!)
  done
  wait "${pids[@]}" || true
  after=$(board_bytes_sent)
  awk -v relay=$((after - before)) -v s="$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')" \
    -v direct_s="$SAMPLE_SECONDS" -v n="$READERS" '{ direct += $1 } END {
    printf "board link: relay %.0f kB/s; %d direct viewers %.0f kB/s\n", relay / s / 1000, n, direct / direct_s / 1000 }' "$work"/direct*
}

# When the flash begins on /jpg, in the segments as they are written (ffmpeg
# reading the playlist as fast as it grows), and for a player that keeps three
# segments (ffmpeg -re, which reads at the pictures' pace). Each reader scales
# every picture to one grey pixel, its mean.
flash_delays() {
  python3 - "$DIRECT" "$RELAY_URL/stream.m3u8" "$FLASH_WATCH_SECONDS" "$CATCH_UP_SECONDS" <<'PYTHON'
import statistics, subprocess, sys, threading, time
direct, playlist, seconds, catch_up = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
mean_pixel = ["-vf", "scale=1:1:flags=area,format=gray", "-f", "rawvideo", "-flush_packets", "1", "-"]
readers = {"direct": ["-f", "mpjpeg", "-i", direct], "segments": ["-i", playlist], "player": ["-re", "-i", playlist]}
rises = {name: [] for name in readers}

def watch(name, source):
    reader = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", *source, *mean_pixel], stdout=subprocess.PIPE)
    bright, end = False, time.monotonic() + seconds
    while time.monotonic() < end and (pixel := reader.stdout.read(1)):
        if pixel[0] >= 128 and not bright:
            rises[name].append(time.monotonic())
        bright = pixel[0] >= 128
    reader.kill()
    reader.wait()

started = time.monotonic()
threads = [threading.Thread(target=watch, args=item) for item in readers.items()]
for thread in threads: thread.start()
for thread in threads: thread.join()
for name in ("segments", "player"):
    caught_up = started + catch_up
    delays = [t - max(d for d in rises["direct"] if d < t) for t in rises[name] if rises["direct"] and t > max(rises["direct"][0], caught_up)]
    if not delays:
        sys.exit(f"FAIL: no flash seen through the relay ({name}): {rises}")
    print(f"flash seen through the relay ({name}) later than direct by: "
          + ", ".join(f"{d:.2f}" for d in delays) + f" s (median {statistics.median(delays):.2f} s)")
PYTHON
}

start_service "$SERVICE"
write_star_field_ser "$work/stars.ser" 30
write_star_field_ser "$work/flash.ser" "$FLASH_FRAMES" "$FLASH_FROM"
play_ser "$work/stars.ser" "$FPS"
bash "$RELAY" 127.0.0.1 8081 >"$work/relay.log" 2>&1 &
wait_segments 3
board_link
per_picture "star-field SER file, 1280 x 1024 grey, $FPS a second" 0

tell stop
wait "$service_pid" || true
start_service "$SERVICE"
play_ser "$work/flash.ser" "$FPS"
flash_delays
# The simulator as scripts/run-service.sh starts it: noise and an offset, one
# exposure, then its raw frames.
HOME=$work indiserver -p "$INDI_PORT" indi_simulator_ccd >"$work/indiserver.log" 2>&1 &
wait_for_simulator
configure_indi_simulator
tell start "string:$SIMULATOR"
expose_and_stream
wait_for "the live feed on /jpg" parts_arrive "$DIRECT"
per_picture "INDI CCD simulator's stream" 6
