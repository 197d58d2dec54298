#!/usr/bin/env bash
# The threaded layers under the thread sanitizer (preset tsan): builds the station,
# de30d and channel tests and the kill-and-restart run, nothing else, then runs them.
# Arguments go to ctest.
#   scripts/tsan.sh [CTEST-ARGUMENT...]
# GCC 12's sanitizer runtime stops at start ("FATAL: ThreadSanitizer: unexpected
# memory mapping") on kernels that randomise mappings into the range it keeps for
# its shadow memory (high vm.mmap_rnd_bits). Everything runs with address-space
# randomisation off (setarch -R), which every child inherits: the test discovery
# the build does, the tests, and the de30d and de30ctl processes they start.
set -euo pipefail
cd "$(dirname "$0")/.."

fixed_layout=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  fixed_layout=(setarch "$(uname -m)" -R)
else
  echo "tsan: cannot turn address-space randomisation off here; running with it on" >&2
fi

cmake --preset tsan
"${fixed_layout[@]}" cmake --build --preset tsan
"${fixed_layout[@]}" ctest --preset tsan "$@"
