#!/usr/bin/env bash
# Builds the Debian package from an optimised build of its own (build/package,
# installed below /usr) and prints the package's path on standard output;
# everything else goes to standard error, so `deb=$(scripts/package.sh)` works.
# Usage: scripts/package.sh [OUTPUT_DIR]   (default: build/package/dist)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/package
out=$(realpath -m "${1:-$build/dist}")

scripts/setup.sh >&2
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DTARNWICKET_WERROR=ON \
  -DTARNWICKET_BUILD_TESTS=OFF \
  -DTARNWICKET_BUILD_BENCH=OFF >&2
cmake --build "$build" --parallel "$(nproc)" >&2

# One package in the output directory: the one just built.
mkdir -p "$out"
rm -f "$out"/tarnwicket_*.deb
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >&2
rm -rf "$out/_CPack_Packages"
ls "$out"/tarnwicket_*.deb
