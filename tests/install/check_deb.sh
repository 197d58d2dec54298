#!/usr/bin/env bash
# Builds the Debian package the way it ships: from a release build of the sources
# (kept in WORK, so later runs rebuild only what changed), with stripped binaries.
# Then unpacks it into a scratch root and runs the packaged de30ctl and de30d.
set -euo pipefail
source=$1
work=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake -S "$source" -B "$work" -DCMAKE_BUILD_TYPE=Release -DDE30_BUILD_TESTS=OFF \
  -DDE30_BUILD_BENCH=OFF >/dev/null
cmake --build "$work" -j2 >/dev/null
grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$work/CMakeCache.txt"

(cd "$work" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/de30_*.deb)
[ "$(dpkg-deb --field "$deb" Package)" = de30 ]
dpkg -x "$deb" "$scratch/root"
for f in usr/bin/de30ctl usr/bin/de30d usr/include/de30/driver.hpp \
  usr/include/de30/channels/line_channel.hpp usr/include/de30/channels/serial_channel.hpp \
  usr/include/de30/channels/tcp_channel.hpp usr/lib/pkgconfig/de30.pc \
  usr/lib/pkgconfig/de30-channels.pc "usr/lib/$(gcc -dumpmachine)/wireshark/plugins/de30.lua" \
  usr/lib/systemd/system/de30d.service \
  usr/share/doc/de30/examples/station.toml usr/share/doc/de30/operations.md \
  usr/share/doc/de30/uplink.md usr/share/doc/de30/metrics.md \
  usr/share/doc/de30/examples/de30d.service.d/uplink.conf \
  usr/bin/de30-office usr/lib/systemd/system/de30-office@.service \
  usr/share/doc/de30/examples/office.toml usr/share/doc/de30/office.md; do
  [ -e "$scratch/root/$f" ] || { echo "missing from the package: /$f" >&2; exit 1; }
done
# Release code carries no debug information, and the package no symbol tables.
for f in "$scratch"/root/usr/bin/de30ctl "$scratch"/root/usr/bin/de30d \
  "$scratch"/root/usr/bin/de30-office \
  "$scratch"/root/usr/lib/libde30.so.*.*; do
  sections=$(readelf -S "$f")
  if grep -qE '\.symtab|\.debug_' <<<"$sections"; then
    echo "not stripped: ${f#"$scratch/root"}" >&2
    exit 1
  fi
done
out=$(LD_LIBRARY_PATH="$scratch/root/usr/lib" "$scratch/root/usr/bin/de30ctl" ident)
echo "$out"
grep -q "v2.50#" <<<"$out" || { echo "de30ctl ident printed no identification" >&2; exit 1; }
"$scratch/root/usr/bin/de30d" --version | grep -q "^de30d " ||
  { echo "the packaged de30d does not run" >&2; exit 1; }
"$scratch/root/usr/bin/de30-office" --version | grep -q "^de30-office " ||
  { echo "the packaged de30-office does not run" >&2; exit 1; }
for lib in libcpp-httplib libmosquitto1 libpq5; do
  grep -q "$lib" <<<"$(dpkg-deb --field "$deb" Depends)" ||
    { echo "the package does not depend on $lib, which de30d needs" >&2; exit 1; }
done
# The unit as packaged, run against the packaged de30d; and the example
# configuration it points to passes the packaged de30d's check.
status=0
bash "$source/tests/install/check_unit.sh" "$scratch/root/usr/lib/systemd/system/de30d.service" \
  "$scratch/root/usr/bin/de30d" "$scratch/root/usr/share/doc/de30/examples/de30d.service.d/uplink.conf" ||
  status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit 1
"$scratch/root/usr/bin/de30d" --check-config "$scratch/root/usr/share/doc/de30/examples/station.toml" |
  grep -q ": ok:" || { echo "the packaged example configuration is refused" >&2; exit 1; }
echo "deb: $(basename "$deb") is a stripped release build; it unpacks, its de30ctl and de30d run, its systemd unit verifies"
