#!/usr/bin/env bash
# The fleet test's long form (docs/office.md, "A fleet on one machine"): N
# simulated stations (de30d, sped up) selling for S seconds to one Mosquitto
# broker, two de30-office ingest processes and one PostgreSQL, the broker
# restarted at a third of the run and an ingest process killed at two thirds.
# It checks that every sale of every journal is at the office once with its
# figures and marked uploaded, and writes the run's figures (sales ingested per
# second, the delay from a sale's end to its commit at the office, de30d's
# memory) to fleet-report.json (DE30_FLEET_REPORT).
#   scripts/fleet.sh [STATIONS [SECONDS]]     default: 100 stations, 1800 s
# Runs the release build in build/release (DE30_FLEET_BUILD), building what is
# missing. As root, PostgreSQL runs as the user nobody.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stations=${1:-100}
seconds=${2:-1800}
build=${DE30_FLEET_BUILD:-$root/build/release}
if [ ! -x "$build/bin/de30d" ] || [ ! -x "$build/bin/de30-office" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j"$(nproc)" --target de30d de30-office
fi
# Each station holds a few descriptors, the broker one per station.
ulimit -n 65536 2>/dev/null || true
exec python3 "$root/tests/office/fleet_test.py" --de30d "$build/bin/de30d" \
  --office "$build/bin/de30-office" --stations "$stations" --seconds "$seconds" \
  --drain 600 --report "${DE30_FLEET_REPORT:-fleet-report.json}"
