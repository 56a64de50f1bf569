# shellcheck shell=bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by run-service.sh, and by the deploy tests and benchmarks (which
# copy it into the roots and machines they run in): waiting for what another
# program does, the service's bus name, and the INDI CCD simulator set up as a
# user's camera. The sourcing script may set INDI_PORT and WAIT_SECONDS
# first, and defines fail MESSAGE, which is called when a wait times out.

: "${INDI_PORT:=7624}" "${WAIT_SECONDS:=20}"
# By address: a minimal root without /etc/hosts cannot resolve "localhost".
INDI_HOST=127.0.0.1 SIMULATOR="CCD Simulator"
BUS_NAME=com.tavrinholm.dorvenquill.Streamer

# wait_for DESCRIPTION COMMAND...: retries COMMAND for WAIT_SECONDS, then fails.
wait_for() {
  local what=$1 tries
  shift
  for ((tries = WAIT_SECONDS * 10; tries > 0; tries--)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "timed out waiting for $what"
  return 1
}

# call METHOD [ARGUMENT...]: the service's answer, without its type;
# tell METHOD [ARGUMENT...]: calls a method that has none.
call() {
  dbus-send --session --print-reply=literal --reply-timeout=$((WAIT_SECONDS * 1000)) --dest="$BUS_NAME" \
    /Streamer "$BUS_NAME.$1" "${@:2}" | sed -E 's/^ *((boolean|double|byte|u?int(16|32|64)) )?//'
}
tell() { dbus-send --session --type=method_call --dest="$BUS_NAME" /Streamer "$BUS_NAME.$1" "${@:2}"; }
bus_name_owned() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$BUS_NAME" | grep -q "boolean true"
}

# The INDI tools, at the server on INDI_PORT.
indi_get() { indi_getprop -h "$INDI_HOST" -p "$INDI_PORT" "$@"; }
indi_set() { indi_setprop -h "$INDI_HOST" -p "$INDI_PORT" "$@"; }
indi_server_listens() { (exec 3<>"/dev/tcp/$INDI_HOST/$INDI_PORT") 2>/dev/null; }
indi_property_exists() { [[ -n "$(indi_get -t 1 "$1" 2>/dev/null)" ]]; }

# wait_for_simulator: waits for a started indiserver and its simulator.
wait_for_simulator() {
  wait_for "indiserver" indi_server_listens
  wait_for "the simulator's CONNECTION" indi_property_exists "$SIMULATOR.CONNECTION.CONNECT"
}

# Switches the simulator on with noise and an offset (its picture is black
# without a star catalogue); its stream keeps the default raw encoder.
configure_indi_simulator() {
  indi_set "$SIMULATOR.CONNECTION.CONNECT=On"
  wait_for "the simulator's streaming properties" indi_property_exists "$SIMULATOR.CCD_VIDEO_STREAM.STREAM_ON"
  indi_set "$SIMULATOR.SIMULATOR_SETTINGS.SIM_NOISE=4000" "$SIMULATOR.CCD_OFFSET.OFFSET=5000"
}

# The configured simulator streams JPEG pictures.
stream_jpeg() {
  indi_set "$SIMULATOR.CCD_STREAM_ENCODER.MJPEG=On"
  indi_set "$SIMULATOR.CCD_VIDEO_STREAM.STREAM_ON=On"
}

exposure_done() { [[ "$(indi_get -1 -t 1 "$SIMULATOR.CCD_EXPOSURE._STATE")" == Ok ]]; }

# The configured simulator takes one exposure, which reaches a client as a
# FITS picture on "CCD1", and once it is done streams raw frames there. A
# client that watches the simulator only later is sent no picture taken before.
expose_and_stream() {
  indi_set "$SIMULATOR.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=1"
  wait_for "the simulator's exposure" exposure_done
  indi_set "$SIMULATOR.CCD_VIDEO_STREAM.STREAM_ON=On"
}
