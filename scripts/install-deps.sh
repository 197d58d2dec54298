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
wine_packages=()
if [ "${1:-}" = win32 ]; then
  packages+=(g++-mingw-w64-i686)
  # wine32 is an i386 package: dpkg must know that architecture first.
  wine_packages=(wine wine32:i386)
fi

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_wine < <(missing_of "${wine_packages[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_wine[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "de30: missing packages: ${missing[*]} ${missing_wine[*]}" >&2
  echo "de30: run 'sudo $0' (or install them) and try again" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -gt 0 ]; then
  echo "de30: installing ${missing[*]}"
  # An index that is being synchronised (seen on the security suite's foreign
  # architectures) fails the update; the packages come from what was fetched.
  apt-get update -q || echo "de30: some package indexes could not be fetched; going on" >&2
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ ${#missing_wine[@]} -gt 0 ]; then
  echo "de30: installing ${missing_wine[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # Wine's i386 packages from the main suites alone: the security suite's i386
  # index is often mid-sync, and a version skew between the two halves of Wine
  # then stops the install.
  sources=$(mktemp -d)
  trap 'rm -rf "$sources"' EXIT
  cat >"$sources/main.sources" <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  only_main=(-o Dir::Etc::SourceParts="$sources" -o Dir::Etc::SourceList=/dev/null)
  if apt-get "${only_main[@]}" update -q &&
    apt-get "${only_main[@]}" install -y -q --no-install-recommends "${missing_wine[@]}"; then
    :
  else
    # DE30.dll is still built; its tests under Wine report themselves skipped.
    echo "de30: Wine could not be installed; DE30.dll's tests will be skipped" >&2
  fi
  # Back to the machine's own indexes for whatever runs apt next.
  apt-get update -q >/dev/null 2>&1 || true
fi
