#!/usr/bin/env bash
# Installs what building and testing de30 needs on Debian 12, as root, and only
# what is missing. Run by `make`; safe to run again.
#   scripts/install-deps.sh         the native build and its tests
#   scripts/install-deps.sh win32   also DE30.dll (mingw-w64) and its tests (Wine)
set -euo pipefail

packages=(
  build-essential cmake make pkg-config git clang-format
  googletest libgtest-dev libgmock-dev
  clang libclang-rt-14-dev libbenchmark-dev
  libasio-dev libcli11-dev
  libtomlplusplus-dev libsqlite3-dev sqlite3
  libcpp-httplib-dev nlohmann-json3-dev
  libmosquitto-dev mosquitto tshark
  chromium chromium-driver python3-selenium
)
if [ "${1:-}" = win32 ]; then
  # wine32 is an i386 package: dpkg must know that architecture first.
  packages+=(g++-mingw-w64-i686 wine wine32:i386)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "de30: missing packages: ${missing[*]}" >&2
  echo "de30: run 'sudo $0' (or install them) and try again" >&2
  exit 1
fi
echo "de30: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
