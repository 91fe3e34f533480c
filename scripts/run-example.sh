#!/usr/bin/env bash
# Builds the optimised server and runs it on examples/server.ini until Ctrl+C.
# Extra arguments go to the server (for example --validate).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release
cmake --build --preset release
exec build/release/src/tarnwicket-server --config examples/server.ini "$@"
