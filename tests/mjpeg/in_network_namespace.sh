#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command in a network namespace of its own whose loopback interface
# also holds 192.0.2.1, an address outside 127.0.0.0/8 to connect from,
# whatever networks the machine has or lacks.
# Usage: in_network_namespace.sh COMMAND [ARGUMENT...]
set -euo pipefail
readonly REMOTE_ADDRESS=192.0.2.1/32

if [[ -z "${IN_NETWORK_NAMESPACE:-}" ]]; then
  userns=()
  [[ $(id -u) -eq 0 ]] || userns=(-r)
  IN_NETWORK_NAMESPACE=1 exec unshare "${userns[@]}" -n bash "$0" "$@"
fi
ip link set lo up
ip addr add "$REMOTE_ADDRESS" dev lo
exec "$@"
