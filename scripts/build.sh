#!/bin/bash
# Configures and builds the product, the tests and the stand-ins into build/.
# Quiet unless something fails.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >"$log" 2>&1 || { cat "$log"; exit 1; }
fi
cmake --build build >"$log" 2>&1 || { cat "$log"; exit 1; }
