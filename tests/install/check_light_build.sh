#!/usr/bin/env bash
# The light build integrators who only want the library use: the driver alone,
# configured from scratch with the tools, tests and benchmarks off, must build and
# must find no package (a compiler and CMake are all it needs).
set -euo pipefail
source=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake -S "$source" -B "$scratch/build" -DDE30_BUILD_TOOLS=OFF -DDE30_BUILD_TESTS=OFF \
  -DDE30_BUILD_BENCH=OFF >/dev/null
found=$(grep -E '^[A-Za-z0-9_]+_DIR:PATH=' "$scratch/build/CMakeCache.txt" | grep -v NOTFOUND || true)
if [ -n "$found" ]; then
  echo "the light build looked for packages: $found" >&2
  exit 1
fi
cmake --build "$scratch/build" -j2 >/dev/null
for lib in libde30.a libde30.so; do
  [ -e "$scratch/build/$lib" ] || { echo "the light build made no $lib" >&2; exit 1; }
done
echo "light build: the driver library alone builds with a compiler and CMake"
