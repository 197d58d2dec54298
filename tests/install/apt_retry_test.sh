#!/usr/bin/env bash
# scripts/install-deps.sh against a flaky mirror, on real apt: a local repository
# offering one package, and a source whose index cannot be fetched. Every apt-get
# runs on lists and a cache of its own (the machine's indexes are not touched) and
# installs only in simulation.
#   apt_retry_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1

for tool in apt-get apt-cache dpkg-deb dpkg-scanpackages; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is not installed: the install script's retries are not checked"
    exit 77
  fi
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/pkg/DEBIAN" "$scratch/repo" "$scratch/sources" "$scratch/lists/partial" \
  "$scratch/cache/archives/partial"
cat >"$scratch/pkg/DEBIAN/control" <<'CONTROL'
Package: de30-probe
Version: 1.0
Architecture: all
Maintainer: de30 <de30@localhost>
Description: a package the install script's test installs in simulation
CONTROL
dpkg-deb --build "$scratch/pkg" "$scratch/repo/de30-probe_1.0_all.deb" >/dev/null
(cd "$scratch/repo" && dpkg-scanpackages . /dev/null >Packages 2>/dev/null)
echo "deb [trusted=yes] file:$scratch/repo ./" >"$scratch/sources/good.list"

apt_options=(-o Dir::Etc::SourceParts="$scratch/sources" -o Dir::Etc::SourceList=/dev/null
  -o Dir::State::Lists="$scratch/lists" -o Dir::Cache="$scratch/cache"
  -o Debug::NoLocking=true -o APT::Sandbox::User=root -o APT::Get::Simulate=true)

export DE30_APT_ATTEMPTS=3 DE30_APT_PAUSE=0
# shellcheck source=SCRIPTDIR/../../scripts/install-deps.sh
source "$source_dir/scripts/install-deps.sh"

failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
count() { grep -c -- "$1" "$2" || true; }

# Every index fetched: one update, no retry.
apt_update "${apt_options[@]}" >"$scratch/out" 2>"$scratch/err"
check "a clean update is not retried" [ "$(count 'de30: apt-get update failed' "$scratch/err")" -eq 0 ]

# An index the packages do not need is missing (as a foreign architecture's index
# of a mirror mid-sync is): three updates, then the install goes on with the
# index that was fetched.
echo "deb [trusted=yes] file:$scratch/mid-sync ./" >"$scratch/sources/mid-sync.list"
rm -rf "$scratch/lists"
mkdir -p "$scratch/lists/partial"
status=0
apt_update "${apt_options[@]}" >"$scratch/out" 2>"$scratch/err" || status=$?
check "an update that keeps failing does not stop the script" [ "$status" -eq 0 ]
check "the update is tried three times" [ "$(count 'Failed to fetch' "$scratch/err")" -eq 3 ]
check "two retries are announced" [ "$(count 'de30: apt-get update failed' "$scratch/err")" -eq 2 ]
check "going on is announced" grep -q 'going on with those that were' "$scratch/err"
status=0
apt_install "${apt_options[@]}" -- de30-probe >"$scratch/out" 2>"$scratch/err" || status=$?
check "a package of a fetched index installs" [ "$status" -eq 0 ]
check "apt installed it" grep -q '^Inst de30-probe' "$scratch/out"

# A package no index offers stops the install, named, after one more try.
status=0
apt_install "${apt_options[@]}" -- de30-probe de30-absent >"$scratch/out" 2>"$scratch/err" ||
  status=$?
check "a package no index offers fails the install" [ "$status" -ne 0 ]
check "the install is tried again" grep -q 'trying once more' "$scratch/err"
check "the missing package is named" grep -qx 'de30: no package index offers: de30-absent' \
  "$scratch/err"
check "the failed install is named" grep -qx 'de30: could not install: de30-probe de30-absent' \
  "$scratch/err"

if [ "$failures" -ne 0 ]; then
  echo "--- last apt output:" >&2
  cat "$scratch/out" "$scratch/err" >&2
  exit 1
fi
