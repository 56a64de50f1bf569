#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The installed user unit: systemd accepts it without a complaint, rates its
# sandbox safe, and it names the same executable, bus name and unit as the
# activation file and the installed interface description.
# Usage: unit_test.sh PREFIX
set -euo pipefail
prefix=$1
name=com.tavrinholm.dorvenquill.Streamer
unit=$prefix/lib/systemd/user/dorvenquill-streamer.service
activation=$prefix/share/dbus-1/services/$name.service
interface_xml=$prefix/share/dbus-1/interfaces/$name.xml

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# value FILE KEY: the value of the first KEY= line of FILE.
value() { sed -n "s/^$2=//p" "$1" | head -n1; }
expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$2', found '$3'"; }

# A user manager needs a runtime folder even to verify; verify names unknown
# keys and missing executables on its output, sometimes with status 0.
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
if ! report=$(XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify "$unit" 2>&1); then
  fail "systemd-analyze verify failed: $report"
elif [[ -n "$report" ]]; then
  fail "systemd-analyze verify complains: $report"
fi

# The sandbox: systemd's exposure estimate at most 2.0 of 10 (its threshold
# counts in tenths).
readonly MAX_EXPOSURE_TENTHS=20
if ! report=$(XDG_RUNTIME_DIR=$runtime systemd-analyze --user security --offline=true \
  --threshold=$MAX_EXPOSURE_TENTHS "$unit" 2>&1); then
  fail "exposure above $((MAX_EXPOSURE_TENTHS / 10)).$((MAX_EXPOSURE_TENTHS % 10)): $(grep -E '✗|Overall' <<<"$report")"
fi
grep -q "Overall exposure level" <<<"$report" || fail "no exposure level: $report"

executable=$prefix/bin/dorvenquill-streamer
interface=$(sed -n 's/.*<interface name="\([^"]*\)".*/\1/p' "$interface_xml")
expect "interface name" "$name" "$interface"
expect "unit ExecStart" "$executable" "$(value "$unit" ExecStart)"
expect "activation Exec" "$executable" "$(value "$activation" Exec)"
expect "unit Type" dbus "$(value "$unit" Type)"
expect "unit BusName" "$interface" "$(value "$unit" BusName)"
expect "activation Name" "$interface" "$(value "$activation" Name)"
expect "activation SystemdService" "$(basename "$unit")" "$(value "$activation" SystemdService)"

[[ $failures -eq 0 ]]
