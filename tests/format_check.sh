#!/usr/bin/env bash
# Every C and C++ file of the project is formatted as .clang-format says.
set -euo pipefail
cd "$1"
git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format --dry-run --Werror
echo "format: every file is clang-formatted"
