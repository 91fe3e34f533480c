#!/usr/bin/env bash
# Builds and runs the tests; exits non-zero when any build or test fails.
# Usage: scripts/test.sh [--label TIER] [PRESET...]   (default: the presets listed below)
# --label runs the tests of one tier only (ctest -L): unit, relay, slow or
# external; without it every test runs.
set -euo pipefail
cd "$(dirname "$0")/.."

default_presets=(ci)
tier=()

# Configures, builds and tests one CMake preset.
run_preset() {
  local preset=$1
  echo "==> preset $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2 --no-tests=error "${tier[@]}"
}

if [ "${1:-}" = --label ]; then
  case "${2:-}" in
    unit | relay | slow | external) tier=(-L "^$2\$") ;;
    *) echo "usage: scripts/test.sh [--label unit|relay|slow|external] [PRESET...]" >&2; exit 2 ;;
  esac
  shift 2
fi
scripts/setup.sh
if [ $# -gt 0 ]; then
  presets=("$@")
else
  presets=("${default_presets[@]}")
fi
for preset in "${presets[@]}"; do
  run_preset "$preset"
done
