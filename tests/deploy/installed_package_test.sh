#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The package installed in a minimal Debian 12 root of its architecture and
# run there. apt installs it, which resolves its Depends against Debian's own
# packages of that architecture; then, in a private network namespace and on a
# private session bus, the first call starts the installed service through its
# activation file, the root's own indiserver and CCD simulator give a live
# picture on "/jpg" and "/histogram", and a SER file plays on "/jpg".
# The root (tests/support/debian-root.sh: the peers, and the package's Depends
# so that nothing needs downloading) is cached; each run works on a throwaway
# overlay of it. A foreign architecture's programs run under qemu-user, with a
# binfmt_misc entry added for the run when the machine has none.
# Needs root. Usage: installed_package_test.sh DEB
set -euo pipefail
readonly HTTP=http://127.0.0.1:8080
readonly PEERS=(indi-bin dbus curl)
# Every program of the root may be emulated: generous waits.
readonly WAIT_SECONDS=60
# The tiny SER file the deploy tests write (writeTinySerFile): 8-bit mono,
# 3 frames of 16 x 8.
readonly SER_SIZE=16x8

readonly INDI_LOG=/tmp/indi/indiserver.log

fail() {
  echo "FAIL: $*" >&2
  # Without a star catalogue the simulator says "gsc: not found" for every picture.
  [[ ! -s $INDI_LOG ]] || { echo "indiserver's log:"; grep -v "gsc: not found" "$INDI_LOG" | tail -n 20; } >&2
  exit 1
}

# On the machine: the cached root, the files for the test, then a private
# mount, network and PID namespace.
on_machine() {
  local deb here arch depends root
  deb=$(realpath "$1")
  here=$(dirname "$(realpath "$0")")
  arch=$(dpkg-deb --field "$deb" Architecture)
  source "$here/../support/qemu-binfmt.sh"
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"; qemu_binfmt_remove' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  if [[ $arch != "$(dpkg --print-architecture)" ]]; then
    [[ $arch == arm64 ]] || fail "no emulator set up for $arch"
    qemu_binfmt_add
  fi
  # The first alternative of each dependency, without its version.
  mapfile -t depends < <(dpkg-deb --field "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*//; s/ //g')
  echo "Debian 12 root for $arch with ${PEERS[*]} ${depends[*]}"
  root=$(bash "$here/../support/debian-root.sh" "$arch" "${PEERS[@]}" "${depends[@]}")
  cp "$deb" "$scratch/package.deb"
  cp "$0" "$scratch/test.sh"
  cp "$here/../../scripts/service-helpers.sh" "$scratch/"
  python3 - "$scratch/tiny.ser" <<'PYTHON'
import struct, sys
width, height, frames = 16, 8, 3
header = b"LUCAM-RECORDER" + struct.pack("<7i", 0, 0, 0, width, height, 8, frames) + bytes(120) + struct.pack("<2q", 0, 0)
pixels = b"".join(bytes((i * 7 + frame * 40) % 256 for i in range(width * height)) for frame in range(frames))
open(sys.argv[1], "wb").write(header + pixels)
PYTHON
  chmod -R a+rX "$scratch"
  unshare --mount --net --pid --fork --kill-child bash "$0" --namespace "$root" "$scratch"
}

# As process 1 of the namespaces: the root as the lower layer of an overlay
# whose changes stay in memory, then the test inside it. Every mount and
# process ends with this process.
in_namespace() {
  local cached=$1 scratch=$2 layers=$2/layers
  ip link set lo up
  mkdir "$layers"
  mount -t tmpfs tmpfs "$layers"
  mkdir "$layers/upper" "$layers/work" "$layers/root"
  mount -t overlay overlay -o "lowerdir=$cached,upperdir=$layers/upper,workdir=$layers/work" "$layers/root"
  mount --rbind /dev "$layers/root/dev"
  mount -t proc proc "$layers/root/proc"
  cp "$scratch/package.deb" "$scratch/test.sh" "$scratch/service-helpers.sh" "$scratch/tiny.ser" "$layers/root/tmp/"
  chroot "$layers/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    /bin/bash /tmp/test.sh --root
}

# In the root: apt installs the package, then the rest runs on a private bus.
in_root() {
  echo "== apt-get install ./package.deb"
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends /tmp/package.deb
  dpkg-query -W dorvenquill-streamer
  check_headless
  dbus-run-session -- bash /tmp/test.sh --bus
}

# A headless service: no desktop library among the packages its Depends reach
# (the peers' own, such as indi-bin's X11 through cairo, are not followed), and
# the relay installed where users run it.
readonly DESKTOP='^(libqt6gui6|libx11|libxcb|libwayland-|libgl[0-9x]|libglapi|libglvnd|libgles|libegl|libgbm|libgtk|libgdk|[^ ]*mesa|qt6-gtk|qt6-qpa)'
check_headless() {
  local desktop relay=/usr/share/dorvenquill-streamer/relay-hls.sh
  desktop=$(apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances dorvenquill-streamer | grep -E "$DESKTOP" | paste -sd' ' -) || true
  [[ -z $desktop ]] || fail "the package depends on Qt Gui, X11, Wayland, GL or GTK libraries: $desktop"
  [[ -x $relay ]] || fail "$relay is not installed as a program"
  [[ "$("$relay" --help)" == "usage: $relay BOARD [PORT]"* ]] || fail "$relay --help: $("$relay" --help 2>&1)"
  echo "no desktop library among the package's dependencies; $relay --help answers"
}

# The simulator switched on with noise and an offset, streaming JPEG pictures.
start_simulator() {
  mkdir -p /tmp/indi
  HOME=/tmp/indi indiserver -p "$INDI_PORT" indi_simulator_ccd >"$INDI_LOG" 2>&1 &
  wait_for_simulator
  configure_indi_simulator
  stream_jpeg
}

name_free() { ! bus_name_owned; }

hex_bytes() { od -An -v -tx1 | tr -d ' \n'; }

# whole_picture STREAM PICTURE: writes the picture of STREAM's first part to
# PICTURE once it has arrived whole and is a JPEG picture.
whole_picture() {
  local stream=$1 picture=$2 found header start length
  [[ -s $stream ]] || return 1
  # "OFFSET:Content-Length: LENGTH"; the part's header ends in a blank line.
  found=$(LC_ALL=C grep -abo -m1 'Content-Length: [0-9]*' "$stream") || return 1
  header=${found#*:}
  length=${header##* }
  start=$((${found%%:*} + ${#header} + 4))
  (($(stat -c %s "$stream") >= start + length)) || return 1
  head -c $((start + length)) "$stream" | tail -c "$length" >"$picture"
  [[ "$(head -c 3 "$picture" | hex_bytes)" == ffd8ff && "$(tail -c 2 "$picture" | hex_bytes)" == ffd9 ]]
}

# fetch_picture PATH PICTURE: the first whole JPEG picture served on PATH.
fetch_picture() {
  local stream=$2.stream curl_pid="" tries=$((WAIT_SECONDS * 10))
  until whole_picture "$stream" "$2"; do
    ((--tries > 0)) || fail "timed out waiting for a JPEG picture on $1"
    # Refused, or 404 before the source's first picture: asked again.
    if [[ -z $curl_pid ]] || ! kill -0 "$curl_pid" 2>/dev/null; then
      curl -s -N --fail --max-time "$WAIT_SECONDS" "$HTTP$1" >"$stream" &
      curl_pid=$!
    fi
    sleep 0.1
  done
  kill "$curl_pid" 2>/dev/null || true
  wait "$curl_pid" 2>/dev/null || true
  echo "$1: a JPEG picture of $(stat -c %s "$2") bytes"
}

# jpeg_size PICTURE: WIDTHxHEIGHT from the frame header, found by walking the
# segments that follow the start of image.
jpeg_size() {
  od -An -v -tx1 "$1" | tr -s ' \n' '\n\n' | grep . | awk '
    function value(hex,  v, i) {
      for (i = 1; i <= length(hex); i++) v = v * 16 + index("0123456789abcdef", substr(hex, i, 1)) - 1
      return v
    }
    { b[NR] = $0 }
    END {
      for (i = 3; i + 8 <= NR && b[i] == "ff"; i += 2 + value(b[i + 2] b[i + 3]))
        if (b[i + 1] ~ /^c[0-2]$/) { print value(b[i + 7] b[i + 8]) "x" value(b[i + 5] b[i + 6]); exit }
    }'
}

# On the private bus, inside the root.
on_bus() {
  source /tmp/service-helpers.sh
  start_simulator
  echo "== live picture"
  # The first call starts the installed service through its activation file.
  [[ "$(call serIsPlaying)" == false ]] || fail "serIsPlaying did not answer false"
  tell start "string:$SIMULATOR"
  fetch_picture /jpg /tmp/live.jpg
  fetch_picture /histogram /tmp/histogram.jpg

  echo "== SER file"
  [[ "$(call openSer string:/tmp/tiny.ser)" == true ]] || fail "openSer: $(call serLastError)"
  tell playSer
  fetch_picture /jpg /tmp/ser.jpg
  [[ "$(jpeg_size /tmp/ser.jpg)" == "$SER_SIZE" ]] || fail "/jpg shows $(jpeg_size /tmp/ser.jpg), not the SER frames"

  tell stop
  wait_for "the service to end" name_free
  echo "installed and ran: $(dpkg-query -W -f='${Package} ${Version} ${Architecture}' dorvenquill-streamer)"
}

case "${1:-}" in
  --namespace) in_namespace "$2" "$3" ;;
  --root) in_root ;;
  --bus) on_bus ;;
  *.deb)
    [[ $(id -u) -eq 0 ]] || exec sudo -- bash "$0" "$@"
    on_machine "$1"
    ;;
  *) echo "usage: $0 DEB" >&2; exit 2 ;;
esac
