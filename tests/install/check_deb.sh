#!/usr/bin/env bash
# Builds the Debian package from the build tree, unpacks it into a scratch root and
# runs the packaged de30ctl and de30d from there.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/de30_*.deb)
[ "$(dpkg-deb --field "$deb" Package)" = de30 ]
dpkg -x "$deb" "$scratch/root"
for f in usr/bin/de30ctl usr/bin/de30d usr/include/de30/driver.hpp usr/lib/pkgconfig/de30.pc; do
  [ -e "$scratch/root/$f" ] || { echo "missing from the package: /$f" >&2; exit 1; }
done
out=$(LD_LIBRARY_PATH="$scratch/root/usr/lib" "$scratch/root/usr/bin/de30ctl" ident)
echo "$out"
grep -q "v2.50#" <<<"$out" || { echo "de30ctl ident printed no identification" >&2; exit 1; }
"$scratch/root/usr/bin/de30d" --version | grep -q "^de30d " ||
  { echo "the packaged de30d does not run" >&2; exit 1; }
grep -q "libcpp-httplib" <<<"$(dpkg-deb --field "$deb" Depends)" ||
  { echo "the package does not depend on cpp-httplib, which de30d needs" >&2; exit 1; }
echo "deb: $(basename "$deb") unpacks and its de30ctl and de30d run"
