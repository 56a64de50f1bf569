#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The package under a real systemd: a throwaway Debian 12 machine, booted with
# systemd-nspawn on a private network (ports 7624 and 8080 are its own),
# installs it with apt. For an ordinary user with lingering, through their own
# systemd manager and session bus, the first call starts the service through
# the user unit, sandboxed; it plays a SER file from the home and the INDI
# simulator's live feed, and shows a compressed exposure; /shutdown from a non-loopback address is refused;
# systemd restarts it after a crash, and the new process shows the live feed
# again; not after stop, and the next call starts it again with no source;
# removing the package stops it. The cached root is only read: the machine writes to an
# overlay in memory, which ends with it.
# Usage: systemd_test.sh PACKAGE_DIR (the folder holding the one package)
set -euo pipefail
[[ $(id -u) -eq 0 ]] || exec sudo -- bash "$0" "$@"
debs=("$(realpath -- "$1")"/dorvenquill-streamer_*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || { echo "FAIL: not one package in $1: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
readonly NAME=com.tavrinholm.dorvenquill.Streamer UNIT=dorvenquill-streamer ACCOUNT=astro ACCOUNT_ID=1000
readonly OUTSIDE_ADDRESS=192.0.2.1 WAIT_SECONDS=60 RESTART_TENTHS=50
# wait_for here; in the machine, the simulator's set-up too.
helpers=$(dirname "$0")/../../scripts/service-helpers.sh
source "$helpers"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
started=$SECONDS

# The package's dependencies (first of each choice) come with the root, so apt
# resolves them offline.
mapfile -t depends < <(dpkg-deb --field "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*//; s/ //g')
root=$(bash "$(dirname "$0")/../support/debian-root.sh" "$(dpkg-deb --field "$deb" Architecture)" \
  systemd systemd-sysv dbus dbus-user-session libpam-systemd indi-bin curl iproute2 "${depends[@]}")
echo "root ready after $((SECONDS - started)) s: $root"

work=$(mktemp -d)
cp "$deb" "$helpers" "$work/"
systemd-nspawn --quiet --boot --register=no --keep-unit --private-network --volatile=overlay \
  --bind-ro="$work:/mnt/package" -D "$root" </dev/null >"$work/console.log" 2>&1 &
nspawn=$!
leader=""
cleanup() {
  local tries
  ((failures == 0)) || [[ -z "$leader" ]] ||
    in_machine journalctl --no-pager -n 40 "_SYSTEMD_USER_UNIT=$UNIT.service" + "USER_UNIT=$UNIT.service" >&2 || true
  kill -TERM "$nspawn" 2>/dev/null || true
  for ((tries = 100; tries > 0; tries--)); do
    kill -0 "$nspawn" 2>/dev/null || break
    sleep 0.1
  done
  # Still up after 10 s: its PID 1 is still nspawn's child.
  if kill -0 "$nspawn" 2>/dev/null; then
    [[ -z "$leader" ]] || kill -KILL "$leader" 2>/dev/null || true
    kill -KILL "$nspawn" 2>/dev/null || true
  fi
  wait "$nspawn" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# --root and --wd put the command in the machine's own root: entering its mount
# namespace alone leaves it at that namespace's top mount, which is the host's
# root, not the machine's, when this test runs in a chroot.
in_machine() { nsenter --target "$leader" --all --root --wd -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
as_user() {
  in_machine runuser -u "$ACCOUNT" -- env XDG_RUNTIME_DIR=/run/user/$ACCOUNT_ID \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/$ACCOUNT_ID/bus "$@"
}
call() { as_user busctl --user --timeout=60 call "$NAME" /Streamer "$NAME" "$@"; }
unit_property() { as_user systemctl --user show --property="$1" --value "$UNIT"; }
unit_inactive() { [[ "$(unit_property ActiveState)" == inactive ]]; }
# booted: finds the machine's PID 1 among nspawn's children and sees its boot done.
booted() {
  leader=$(ps -o pid= --ppid "$nspawn" | tr -d ' ')
  [[ "$(in_machine systemctl is-system-running)" == @(running|degraded) ]]
}
# jpeg_served: /jpg sends a JPEG part within two seconds.
jpeg_served() {
  local part
  part=$(in_machine curl --silent --max-time 2 http://127.0.0.1:8080/jpg | head -c 65536 | od -An -tx1 | tr -d ' \n' || true)
  [[ "$part" == *"$(printf 'Content-Type: image/jpeg' | od -An -tx1 | tr -d ' \n')"* && "$part" == *0d0a0d0affd8ff* ]]
}

wait_for "the boot" booted
echo "booted after $((SECONDS - started)) s"
# nspawn lays an unlinked FIFO over /proc/kmsg, on which the unit's
# ProtectKernelLogs= cannot mount; a real machine has the kernel's file there.
in_machine umount /proc/kmsg
in_machine env DEBIAN_FRONTEND=noninteractive apt-get install --yes --no-install-recommends \
  "/mnt/package/$(basename "$deb")" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }
in_machine useradd --create-home --uid "$ACCOUNT_ID" "$ACCOUNT"
in_machine loginctl enable-linger "$ACCOUNT"
wait_for "the user's session bus" in_machine test -S "/run/user/$ACCOUNT_ID/bus"

# Started by the first call, through the unit, inside its sandbox.
[[ "$(call serTotalFrames)" == "i 0" ]] || fail "the first call was not answered"
[[ "$(unit_property ActiveState)" == active ]] || fail "the unit is not active: $(as_user systemctl --user status "$UNIT")"
pid=$(unit_property MainPID)
status=$(in_machine cat "/proc/$pid/status")
for line in "NoNewPrivs:"$'\t'"1" "Seccomp:"$'\t'"2" "CapBnd:"$'\t'"0000000000000000"; do
  grep -qxF "$line" <<<"$status" || fail "the service lacks $line"
done
for ns in user mnt; do
  [[ "$(in_machine readlink "/proc/$pid/ns/$ns")" != "$(in_machine readlink "/proc/1/ns/$ns")" ]] ||
    fail "the service shares the $ns namespace"
done
written=$(in_machine nsenter --target "$pid" --mount --root --wd -- touch "/home/$ACCOUNT/written" 2>&1) &&
  fail "the service's view of the home is writable"
[[ "$written" == *"Read-only file system"* ]] || fail "writing to the home: $written"

# A SER file from the home: three 64 × 48 frames of 8-bit grey noise.
{
  printf 'LUCAM-RECORDER\0\0\0\0\0\0\0\0\0\0\0\0\x40\0\0\0\x30\0\0\0\x08\0\0\0\x03\0\0\0'
  head -c 136 /dev/zero
  head -c $((64 * 48 * 3)) /dev/urandom
} | as_user tee "/home/$ACCOUNT/capture.ser" >/dev/null
[[ "$(call openSer s "/home/$ACCOUNT/capture.ser")" == "b true" ]] || fail "openSer: $(call serLastError)"
call playSer
wait_for "a JPEG part of the SER file" jpeg_served

# The live feed of the simulator, set up by the one script in the machine.
# simulator COMMANDS: runs COMMANDS there with the script sourced.
simulator() {
  in_machine env WAIT_SECONDS="$WAIT_SECONDS" bash -euc \
    'fail() { echo "FAIL: $*" >&2; exit 1; }; source /mnt/package/service-helpers.sh; '"$1"
}
as_user systemd-run --user --quiet --unit=indiserver indiserver indi_simulator_ccd
simulator "wait_for_simulator; configure_indi_simulator; stream_jpeg"
call start s "$SIMULATOR"
wait_for "a JPEG part of the live feed" jpeg_served

# A compressed exposure is unpacked by the sandboxed helper, inside the unit's
# own sandbox, and shown: with the stream off, its part is the only new one.
simulator 'indi_set "$SIMULATOR.CCD_VIDEO_STREAM.STREAM_OFF=On"'
simulator 'indi_set "$SIMULATOR.CCD_COMPRESSION.INDI_ENABLED=On"'
sleep 1
(sleep 1 && simulator 'indi_set "$SIMULATOR.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=1"') &
parts=$(in_machine curl --silent --max-time 10 http://127.0.0.1:8080/jpg | grep -a -c 'Content-Type: image/jpeg' || true)
wait $!
unshown=$(in_machine journalctl --no-pager "_SYSTEMD_USER_UNIT=$UNIT.service" | grep -F '.fits.fz' || true)
((parts >= 2)) && [[ -z "$unshown" ]] || fail "the compressed exposure was not shown ($parts parts): $unshown"
simulator 'indi_set "$SIMULATOR.CCD_COMPRESSION.INDI_DISABLED=On"'
simulator 'indi_set "$SIMULATOR.CCD_VIDEO_STREAM.STREAM_ON=On"'

# /shutdown only from the machine itself.
in_machine ip address add "$OUTSIDE_ADDRESS/32" dev lo
code=$(in_machine curl --silent --output /dev/null --write-out '%{http_code}' --interface "$OUTSIDE_ADDRESS" \
  "http://$OUTSIDE_ADDRESS:8080/shutdown" || true)
[[ "$code" == 403 ]] || fail "/shutdown from $OUTSIDE_ADDRESS answered '$code'"
jpeg_served || fail "no stream after the refused /shutdown"

# A crash is restarted within about 3 s, and the new process answers.
in_machine sh -c "kill -SEGV $pid"
crashed=$(date +%s%N)
for ((tries = RESTART_TENTHS; tries > 0; tries--)); do
  new_pid=$(unit_property MainPID)
  [[ "$new_pid" != 0 && "$new_pid" != "$pid" && "$(unit_property ActiveState)" == active ]] && break
  sleep 0.1
done
echo "restarted after a crash in $((($(date +%s%N) - crashed) / 1000000)) ms"
((tries > 0)) || fail "not restarted within $((RESTART_TENTHS / 10)) s: $(as_user systemctl --user status "$UNIT")"
# The new process shows the live feed again without being asked.
wait_for "the live feed after the crash" jpeg_served &&
  echo "the live feed served again $((($(date +%s%N) - crashed) / 1000000)) ms after the crash"
[[ "$(call serTotalFrames)" == "i 0" ]] || fail "no answer after the restart"

# stop ends it with status 0 for good; the next call starts it again.
as_user busctl --user call --expect-reply=no "$NAME" /Streamer "$NAME" stop
wait_for "the end after stop" unit_inactive
sleep 3  # longer than RestartSec
state=$(unit_property ActiveState),$(unit_property Result),$(unit_property ExecMainStatus)
[[ "$state" == inactive,success,0 ]] || fail "after stop: $state (state, result, status)"
[[ "$(call serTotalFrames)" == "i 0" ]] || fail "no answer after stop"
[[ "$(unit_property ActiveState)" == active ]] || fail "the call after stop did not start the unit"
in_machine curl --silent --max-time 2 http://127.0.0.1:8080/jpg >/dev/null &&
  fail "the process started after stop took up the source before it"

# Removing the package stops the running instance, which no longer serves.
[[ "$(call openSer s "/home/$ACCOUNT/capture.ser")" == "b true" ]] || fail "openSer: $(call serLastError)"
jpeg_served || fail "no SER file served before the removal"
in_machine env DEBIAN_FRONTEND=noninteractive apt-get remove --yes dorvenquill-streamer >"$work/remove.log" 2>&1 ||
  { cat "$work/remove.log" >&2; fail "apt-get remove failed"; }
wait_for "the end after the removal" unit_inactive
in_machine curl --silent --max-time 2 http://127.0.0.1:8080/jpg >/dev/null && fail "port 8080 serves after the removal"

echo "done after $((SECONDS - started)) s"
[[ $failures -eq 0 ]]
