#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes a minimal Debian 12 root for ARCH holding PACKAGE... with mmdebstrap,
# cached between runs, and prints its path. The cache is keyed by the
# architecture and the package list; a root is used only once mmdebstrap has
# finished it, so an interrupted run is built again from scratch.
# A foreign ARCH needs its qemu-user interpreter in binfmt_misc first.
# Usage: debian-root.sh ARCH PACKAGE...
# Environment: DORVENQUILL_ROOT_CACHE, the cache folder
#   (default: ${XDG_CACHE_HOME:-$HOME/.cache}/dorvenquill-streamer/roots).
set -euo pipefail
arch=$1
shift
packages=$(printf '%s\n' "$@" | sort -u | paste -sd, -)
cache=${DORVENQUILL_ROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/dorvenquill-streamer/roots}
root=$cache/$arch-$(sha256sum <<<"$packages" | cut -c1-16)

if [[ ! -f "$root.done" ]]; then
  rm -rf "$root" "$root.done"
  mkdir -p "$cache"
  mmdebstrap --quiet --variant=apt --arch="$arch" --include="$packages" bookworm "$root" </dev/null >&2
  touch "$root.done"
fi
echo "$root"
