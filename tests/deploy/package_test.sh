#!/usr/bin/env bash
# The Debian package, built by CPack from a finished build and read with
# dpkg-deb only (nothing is installed): it holds exactly the installed files
# below /usr, and depends on the package of every library the executable needs.
# Usage: package_test.sh CPACK BUILD_DIR OUTPUT_DIR VERSION
set -euo pipefail
cpack=$1 build=$2 out=$3 version=$4
name=com.tavrinholm.dorvenquill.Streamer

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

rm -rf "$out"
"$cpack" --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$out/dorvenquill-streamer_${version}_$(dpkg --print-architecture).deb
[[ -f "$deb" ]] || { echo "FAIL: no $deb" >&2; ls "$out" >&2; exit 1; }

expected_files="./usr/bin/dorvenquill-streamer
./usr/lib/systemd/user/dorvenquill-streamer.service
./usr/share/dbus-1/interfaces/$name.xml
./usr/share/dbus-1/services/$name.service"
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[[ "$files" == "$expected_files" ]] || fail "package files:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected_files"

root=$out/root
dpkg-deb --extract "$deb" "$root"
activation_exec=$(sed -n 's/^Exec=//p' "$root/usr/share/dbus-1/services/$name.service")
unit_exec=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/user/dorvenquill-streamer.service")
[[ "$activation_exec" == /usr/bin/dorvenquill-streamer ]] || fail "activation file starts '$activation_exec'"
[[ "$unit_exec" == /usr/bin/dorvenquill-streamer ]] || fail "unit starts '$unit_exec'"

# Qt, libindi, libjpeg and libdc1394 always; every other library the executable
# links through its owning package.
depends=$(dpkg-deb --field "$deb" Depends)
depends_on() { grep -qx "$1" <<<"$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')"; }
wanted=(libqt6core6 libqt6dbus6 libindiclient1 libjpeg62-turbo libdc1394-25)
# The native library folder: cross toolchains hold libraries of the same names.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for soname in $(readelf -d "$root/usr/bin/dorvenquill-streamer" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  owner=$(dpkg -S "*/$multiarch/$soname" 2>/dev/null | head -n1 | cut -d: -f1)
  [[ -n "$owner" ]] || fail "no installed package holds $soname"
  wanted+=("$owner")
done
for package in "${wanted[@]}"; do
  depends_on "$package" || fail "Depends lacks $package: $depends"
done

echo "checked ${#wanted[@]} dependencies in: $depends"
[[ $failures -eq 0 ]]
