#!/usr/bin/env bash
# Builds the project and runs the guided demo on the embedded simulated adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/simulator/tivsim demo "$@"
