#!/usr/bin/env bash
# Builds and runs every test; exits non-zero when any build or test fails.
# Usage: scripts/test.sh [PRESET...]   (default: the presets listed below)
set -euo pipefail
cd "$(dirname "$0")/.."

default_presets=(ci)

# Configures, builds and tests one CMake preset.
run_preset() {
  local preset=$1
  echo "==> preset $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2 --no-tests=error
}

scripts/setup.sh
if [ $# -gt 0 ]; then
  presets=("$@")
else
  presets=("${default_presets[@]}")
fi
for preset in "${presets[@]}"; do
  run_preset "$preset"
done
