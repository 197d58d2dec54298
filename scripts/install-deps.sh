#!/usr/bin/env bash
# Installs what building and testing de30 needs on Debian 12, as root, and only
# what is missing. Run by `make`; safe to run again.
#   scripts/install-deps.sh         the native build and its tests
#   scripts/install-deps.sh win32   also DE30.dll (mingw-w64) and its tests (Wine)
# A mirror being synchronised fails `apt-get update` now and then (often only an
# index of a foreign architecture the native build does not use): the update is
# tried DE30_APT_ATTEMPTS times (3), DE30_APT_PAUSE seconds apart (15), then the
# install goes on with the indexes that were fetched. A package that still cannot
# be installed stops the script, named. tests/install/apt_retry_test.sh sources
# this file for its functions.
set -euo pipefail

apt_attempts=${DE30_APT_ATTEMPTS:-3}
apt_pause=${DE30_APT_PAUSE:-15}

# apt_update [APT-OPTION...]: `apt-get update`, tried again after a pause while it
# fails. Never fails itself: whether what was fetched is enough, the install says.
apt_update() {
  local attempt
  for ((attempt = 1; attempt <= apt_attempts; attempt++)); do
    if apt-get "$@" update -q; then
      return 0
    fi
    if ((attempt < apt_attempts)); then
      echo "de30: apt-get update failed (attempt $attempt of $apt_attempts); again in ${apt_pause}s" >&2
      sleep "$apt_pause"
    fi
  done
  echo "de30: some package indexes could not be fetched after $apt_attempts attempts;" \
    "going on with those that were" >&2
}

# apt_install [APT-OPTION...] -- PACKAGE...: installs the packages, or fails naming
# them. An index fetched while the mirror was half-way through an update can name
# files the mirror no longer has: the indexes are fetched again and the install
# tried once more before it fails.
apt_install() {
  local options=() packages p candidate unavailable=()
  while [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  packages=("$@")
  local install=(apt-get "${options[@]}" -o DPkg::Lock::Timeout=300 install -y -q
    --no-install-recommends "${packages[@]}")
  if "${install[@]}"; then
    return 0
  fi
  echo "de30: the install failed; fetching the indexes again and trying once more" >&2
  apt_update "${options[@]}"
  if "${install[@]}"; then
    return 0
  fi
  for p in "${packages[@]}"; do
    candidate=$(apt-cache "${options[@]}" policy "$p" 2>/dev/null |
      awk '$1 == "Candidate:" { print $2 }')
    if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
      unavailable+=("$p")
    fi
  done
  if [ ${#unavailable[@]} -gt 0 ]; then
    echo "de30: no package index offers: ${unavailable[*]}" >&2
  fi
  echo "de30: could not install: ${packages[*]}" >&2
  return 1
}

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

main() {
  local packages=(
    build-essential cmake make pkg-config git clang-format
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev libbenchmark-dev
    libasio-dev libcli11-dev
    libtomlplusplus-dev libsqlite3-dev sqlite3
    libcpp-httplib-dev nlohmann-json3-dev
    libmosquitto-dev mosquitto tshark
    postgresql libpq-dev openssl
    chromium chromium-driver python3-selenium
  )
  local wine_packages=()
  if [ "${1:-}" = win32 ]; then
    packages+=(g++-mingw-w64-i686)
    # wine32 is an i386 package: dpkg must know that architecture first.
    wine_packages=(wine wine32:i386)
  fi

  local missing missing_wine
  mapfile -t missing < <(missing_of "${packages[@]}")
  mapfile -t missing_wine < <(missing_of "${wine_packages[@]}")
  [ ${#missing[@]} -eq 0 ] && [ ${#missing_wine[@]} -eq 0 ] && return 0

  if [ "$(id -u)" -ne 0 ]; then
    echo "de30: missing packages: ${missing[*]} ${missing_wine[*]}" >&2
    echo "de30: run 'sudo $0' (or install them) and try again" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive

  if [ ${#missing[@]} -gt 0 ]; then
    echo "de30: installing ${missing[*]}"
    apt_update
    apt_install -- "${missing[@]}" || return 1
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
    local only_main=(-o Dir::Etc::SourceParts="$sources" -o Dir::Etc::SourceList=/dev/null)
    apt_update "${only_main[@]}"
    if ! apt_install "${only_main[@]}" -- "${missing_wine[@]}"; then
      # DE30.dll is still built; its tests under Wine report themselves skipped.
      echo "de30: Wine could not be installed; DE30.dll's tests will be skipped" >&2
    fi
    # Back to the machine's own indexes for whatever runs apt next.
    apt-get update -q >/dev/null 2>&1 || true
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
