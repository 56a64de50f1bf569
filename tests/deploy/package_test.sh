#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package, built by CPack from a finished build and read with
# dpkg-deb only (nothing is installed): it holds exactly the installed files
# below /usr, for its architecture, depends on the package of every library
# the executable needs, passes Debian's own check, lintian, with no error or
# warning, and is hardened as Debian's packages are.
# Usage: package_test.sh CPACK BUILD_DIR OUTPUT_DIR VERSION [ARCH [DPKG_ADMINDIR]]
#   ARCH: the package's architecture (default: the machine's); DPKG_ADMINDIR:
#   the dpkg database that holds the packages of the executable's libraries
#   (default: the machine's; a cross build's sysroot has its own).
set -euo pipefail
cpack=$1 build=$2 out=$3 version=$4 arch=${5:-$(dpkg --print-architecture)} admindir=${6:-/var/lib/dpkg}
name=com.tavrinholm.dorvenquill.Streamer
doc=./usr/share/doc/dorvenquill-streamer
manual_page=./usr/share/man/man1/dorvenquill-streamer.1.gz

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

rm -rf "$out"
"$cpack" --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$out/dorvenquill-streamer_${version}_$arch.deb
[[ -f "$deb" ]] || { echo "FAIL: no $deb" >&2; ls "$out" >&2; exit 1; }

expected_files="./usr/bin/dorvenquill-streamer
./usr/lib/systemd/user/dorvenquill-streamer.service
./usr/libexec/dorvenquill-streamer/dorvenquill-fits-unpack
./usr/share/dbus-1/interfaces/$name.xml
./usr/share/dbus-1/services/$name.service
$doc/changelog.gz
$doc/copyright
$doc/examples/nginx-dorvenquill.conf
./usr/share/dorvenquill-streamer/relay-hls.sh
$manual_page"
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | LC_ALL=C sort)
[[ "$files" == "$expected_files" ]] || fail "package files:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected_files"

root=$out/root
dpkg-deb --extract "$deb" "$root"
activation_exec=$(sed -n 's/^Exec=//p' "$root/usr/share/dbus-1/services/$name.service")
unit_exec=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/user/dorvenquill-streamer.service")
[[ "$activation_exec" == /usr/bin/dorvenquill-streamer ]] || fail "activation file starts '$activation_exec'"
[[ "$unit_exec" == /usr/bin/dorvenquill-streamer ]] || fail "unit starts '$unit_exec'"
[[ -x "$root/usr/share/dorvenquill-streamer/relay-hls.sh" ]] || fail "the relay is not executable"

package_arch=$(dpkg-deb --field "$deb" Architecture)
[[ "$package_arch" == "$arch" ]] || fail "Architecture is $package_arch, expected $arch"
machine=$(readelf -h "$root/usr/bin/dorvenquill-streamer" | sed -n 's/^ *Machine: *//p')
case $arch in
  amd64) [[ "$machine" == "Advanced Micro Devices X86-64" ]] || fail "an $machine executable" ;;
  arm64) [[ "$machine" == AArch64 ]] || fail "an $machine executable" ;;
esac

# Qt, libindi, libjpeg and libdc1394 always; every other library the executable
# links through its owning package.
depends=$(dpkg-deb --field "$deb" Depends)
depends_on() { grep -qx "$1" <<<"$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')"; }
wanted=(libqt6core6 libqt6dbus6 libindiclient1 libjpeg62-turbo libdc1394-25)
# The library folder of the architecture: cross toolchains hold libraries of the same names.
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
unpacker=$root/usr/libexec/dorvenquill-streamer/dorvenquill-fits-unpack
for soname in $(readelf -d "$root/usr/bin/dorvenquill-streamer" "$unpacker" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  owner=$( (dpkg-query --admindir="$admindir" -S "*/$multiarch/$soname" 2>/dev/null || true) | head -n1 | cut -d: -f1)
  [[ -n "$owner" ]] || fail "no package in $admindir holds $soname"
  wanted+=("$owner")
done
for package in "${wanted[@]}"; do
  depends_on "$package" || fail "Depends lacks $package: $depends"
done

if ! report=$(lintian --pedantic --fail-on error,warning "$deb"); then
  fail "lintian:"$'\n'"$report"
fi
# Hardened as Debian builds its packages (all but sanitizer builds): no
# hardening tag from lintian; every symbol bound at start (BIND_NOW) and the
# relocations read-only after (GNU_RELRO); stack protection and fortified calls
# imported from the C library.
hardening="not checked: a sanitizer build"
if grep -qx 'DORVENQUILL_HARDENED:INTERNAL=ON' "$build/CMakeCache.txt"; then
  ! grep hardening- <<<"$report" || fail "lintian names hardening flaws"
  executable=$root/usr/bin/dorvenquill-streamer
  readelf -d "$executable" | grep -qw BIND_NOW || fail "not linked with -z now"
  readelf -lW "$executable" | grep -qw GNU_RELRO || fail "not linked with -z relro"
  imports=$(readelf --dyn-syms -W "$executable" | awk '$7 == "UND" {sub(/@.*/, "", $8); print $8}')
  grep -qx __stack_chk_fail <<<"$imports" || fail "no stack protector"
  fortified=$(grep -E '^__[a-z0-9_]+_chk$' <<<"$imports" | grep -vx __stack_chk_fail | paste -sd' ' -) || true
  [[ -n "$fortified" ]] || fail "no fortified call"
  hardening="BIND_NOW, GNU_RELRO, __stack_chk_fail, $fortified"
fi
# The page documents every method of the interface, and man formats it without a warning.
for method in $(sed -n 's/.*<method name="\([^"]*\)".*/\1/p' "$root/usr/share/dbus-1/interfaces/$name.xml"); do
  zgrep -q "$method" "$root/$manual_page" || fail "the manual page lacks $method"
done
man_warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/$manual_page" 2>&1 >/dev/null) || fail "man failed"
[[ -z "$man_warnings" ]] || fail "man warns: $man_warnings"
[[ "$(head -n1 "$root/$doc/copyright")" == "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ]] ||
  fail "the copyright file is not machine-readable"
changelog_version=$(zcat "$root/$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version)
[[ "$changelog_version" == "$version" ]] || fail "the changelog's last version is $changelog_version"

echo "checked ${#wanted[@]} dependencies in: $depends; hardening: $hardening; lintian --pedantic: ${report:-no tags}"
[[ $failures -eq 0 ]]
