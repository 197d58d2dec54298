#!/usr/bin/env bash
# Builds the libFuzzer binaries with clang (preset "fuzz") and runs each target for
# N seconds (default 60), as many at once as there are cores (DE30_FUZZ_JOBS),
# starting from its committed corpus. New inputs stay in
# build/fuzz/corpus/<target>; a crash or broken invariant leaves its input in
# build/fuzz/findings/<target>/ and makes the script fail.
#   usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target de30_fuzzers

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(find build/fuzz -type f -name '*_fuzz' -perm -u+x -printf '%f\n' |
    sed 's/_fuzz$//' | sort)
fi
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no targets built" >&2; exit 1; }

# One target per core: each still gets its full time.
parallel=${DE30_FUZZ_JOBS:-$(nproc)}

fuzz_one() {
  local target=$1 binary work findings seeds=()
  binary=$(find build/fuzz -type f -name "${target}_fuzz" | head -n1)
  work="build/fuzz/corpus/$target"
  findings="build/fuzz/findings/$target"
  mkdir -p "$work" "$findings"
  [ -d "fuzz/corpus/$target" ] && seeds+=("fuzz/corpus/$target")
  echo "fuzz: $target for ${seconds}s"
  if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" \
    "$work" "${seeds[@]}" >"build/fuzz/$target.log" 2>&1; then
    echo "fuzz: $target found a failure, see build/fuzz/$target.log and $findings/" >&2
    tail -n 40 "build/fuzz/$target.log" >&2
    return 1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
    "build/fuzz/$target.log" | sed "s/^/fuzz: $target /"
}

status=0
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$parallel" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
