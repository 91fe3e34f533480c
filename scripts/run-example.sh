#!/usr/bin/env bash
# Builds the optimised server alone (no tests, no benchmark) and runs it on
# examples/server.ini until Ctrl+C. Extra arguments go to the server (for
# example --validate).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh run
cmake --preset run
cmake --build --preset run
exec build/run/src/tarnwicket-server --config examples/server.ini "$@"
