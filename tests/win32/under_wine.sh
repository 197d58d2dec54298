#!/usr/bin/env bash
# Runs a Windows test program under Wine: under_wine.sh WINE PROGRAM [ARGS...].
# Wine's loader is a 32-bit x86 program. A kernel that cannot execute those (built
# or started without IA32 emulation, as some virtual machines are) cannot run the
# tests at all: the test then reports itself skipped (exit 77) with the reason,
# never passed.
set -uo pipefail
wine=$1
shift
if [ -z "$wine" ] || [[ "$wine" == *-NOTFOUND ]] || ! command -v "$wine" >/dev/null; then
  echo "skipped: Wine is not installed (scripts/install-deps.sh win32 could not install it)" >&2
  exit 77
fi
if ! started=$("$wine" --version 2>&1); then
  if grep -q "Exec format error" <<<"$started"; then
    echo "skipped: this machine cannot execute 32-bit x86 programs, so Wine cannot start" \
      "($started)" >&2
    exit 77
  fi
  echo "Wine does not start: $started" >&2
  exit 1
fi
exec "$wine" "$@"
