#!/usr/bin/env bash
# The soak: random driver operations (a million by default) against the in-process
# simulated station with every kind of station fault firing at random, seeded.
# First the release build, whose resident memory must stay flat; then the build
# with the address sanitizer, whose LeakSanitizer must find no leak at exit.
#   usage: scripts/soak.sh [operations] [seed]
set -euo pipefail
cd "$(dirname "$0")/.."

operations=${1:-1000000}
seed=${2:-1}

scripts/install-deps.sh
echo "soak: release build, $operations operations, seed $seed"
cmake --preset release >/dev/null
cmake --build --preset release --target de30_soak
build/release/tests/de30_soak --operations "$operations" --seed "$seed"

echo "soak: address sanitizer and LeakSanitizer, $operations operations, seed $seed"
cmake --preset asan >/dev/null
cmake --build --preset asan --target de30_soak
# A small quarantine keeps the run to tens of megabytes instead of hundreds.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=16 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/asan/tests/de30_soak --operations "$operations" --seed "$seed" --allowed-growth -1
echo "soak: no leak"
