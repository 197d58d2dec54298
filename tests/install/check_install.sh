#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a consumer against it,
# once through the CMake package and once through pkg-config.
set -euo pipefail
build=$1
consumer=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null

cmake -S "$consumer" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
"$scratch/cmake-build/consumer"

pc_dir=$(dirname "$(find "$scratch/prefix" -name de30.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs de30-channels)
c++ "$consumer/main.cpp" $flags -o "$scratch/pc-consumer"
lib_dir=$(dirname "$(find "$scratch/prefix" -name 'libde30.so' | head -n 1)")
LD_LIBRARY_PATH="$lib_dir" "$scratch/pc-consumer"
# ldd's whole answer first: grep -q stops reading at the first match, and with
# pipefail an ldd cut off by that pipe failed the check now and then.
linked=$(LD_LIBRARY_PATH="$lib_dir" ldd "$scratch/pc-consumer")
grep -q "$lib_dir/libde30.so" <<<"$linked" || {
  echo "the pkg-config consumer did not link the installed shared library" >&2
  exit 1
}
echo "install: CMake package and pkg-config consumers built and ran"
