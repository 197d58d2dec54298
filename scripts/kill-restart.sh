#!/usr/bin/env bash
# The long form of the kill-and-restart test: de30d is killed with SIGKILL at
# KILLS random moments (default 200) while simulated customers fill, restarted
# each time, and at the end every fill is checked against the journal: each is
# there exactly once, and each sale's volume equals its pump's totals delta.
# `make test` runs the same program with 20 kills.
#   scripts/kill-restart.sh [KILLS] [SEED]
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-200}
seed=${2:-$RANDOM}
cmake --preset default >/dev/null
cmake --build --preset default --target de30_kill_restart de30d >/dev/null
echo "kill-restart: $kills kills, seed $seed"
exec build/default/tests/de30_kill_restart --de30d build/default/bin/de30d \
  --kills "$kills" --seed "$seed" --dir build/default/kill-restart-long
