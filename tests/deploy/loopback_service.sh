# shellcheck shell=bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the deploy tests that put real peers (nginx, ffmpeg) around the
# built service on loopback. enter_own_namespaces runs the test again in
# private PID and network namespaces under a session bus of its own: every
# port is the test's, and whatever it leaves dies with the namespace.

# wait_for, the bus name, and the INDI simulator set up as run-service.sh sets it.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/service-helpers.sh"

# enter_own_namespaces ARG...: re-runs the sourcing script with ARG in the namespaces.
enter_own_namespaces() {
  if [[ -z "${LOOPBACK_SERVICE_INSIDE:-}" ]]; then
    local userns=()
    [[ $(id -u) -eq 0 ]] || userns=(-r)
    LOOPBACK_SERVICE_INSIDE=1 exec unshare "${userns[@]}" -p -f -n --mount-proc --kill-child \
      dbus-run-session -- bash "$0" "$@"
  fi
  ip link set lo up
  work=$(mktemp -d)
  chmod 755 "$work"
  # A record of the source left here would be resumed by the next service.
  export XDG_RUNTIME_DIR=$work/run
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  trap end_started EXIT
}

# end_started: SIGTERM to every background job, then waits for them.
end_started() {
  local pids
  mapfile -t pids < <(jobs -p)
  ((${#pids[@]} == 0)) || kill -TERM "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# start_service EXECUTABLE: starts it in the background, its log in $work/service.log.
start_service() {
  "$1" >>"$work/service.log" 2>&1 &
  service_pid=$!
  wait_for "the service on the bus" bus_name_owned
}

# play_ser FILE FPS: opens FILE and plays it at FPS pictures a second.
play_ser() {
  [[ "$(call openSer "string:$1")" == true ]] || fail "openSer $1: $(call serLastError)"
  tell setSerSpeed "double:$2"
  tell playSer
}

# parts_arrive CURL-ARG...: curl's stream of the arguments carries two JPEG parts within 3 s.
parts_arrive() {
  (($(curl --silent --max-time 3 "$@" | grep -a -c "Content-Type: image/jpeg") >= 2))
}

# write_star_field_ser FILE FRAMES [FLASH-FROM]: an 8-bit grey 1280 × 1024 SER
# file of a star field drifting a pixel a frame under sky glow with a gradient,
# with fresh noise in every frame; from frame FLASH-FROM on the sky is bright.
write_star_field_ser() {
  local file=$1 frames=$2 flash_from=${3:-$2}
  local stars="if(gt(mod(sin(floor(X/3)*12.9898+floor(Y/3)*78.233)*43758.5453\,1)\,0.9985)\,65535*(0.2+0.8*mod(sin(floor(X/3)*3.1+floor(Y/3)*7.7)*9999.1\,1))\,0)"
  python3 -c 'import struct, sys
sys.stdout.buffer.write(b"LUCAM-RECORDER" + struct.pack("<7i", 0, 0, 0, 1280, 1024, 8, int(sys.argv[1])) + bytes(136))' \
    "$frames" >"$file"
  ffmpeg -nostdin -v error -f lavfi -i "nullsrc=s=1280x1024,format=gray16le,trim=end_frame=1,
geq=lum='20*256+X*3+Y*2+$stars',gblur=sigma=1.2,format=gray,loop=loop=-1:size=1,scroll=h=0.00078,
noise=alls=6:allf=t,eq=eval=frame:brightness='0.4*gte(n\,$flash_from)'" -frames:v "$frames" -pix_fmt gray -f rawvideo - >>"$file"
}

# The newest segment of scripts/relay-hls.sh's playlist at RELAY_URL.
newest_segment() { { curl --silent "$RELAY_URL/stream.m3u8" || true; } | sed -n 's/^segment\([0-9]*\)\.ts$/\1/p' | tail -n1; }
segment_newer_than() { [[ "$(newest_segment)" -gt "$1" ]]; }
# wait_segments COUNT: waits until the relay has written COUNT segments more.
wait_segments() {
  local start
  start=$(newest_segment)
  wait_for "$1 new segments" segment_newer_than $((${start:--1} + $1 - 1))
}
