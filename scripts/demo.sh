#!/usr/bin/env bash
# Builds the project and runs `tivctl demo`: the driver through its COM interface ITivDriver on
# the embedded simulated adapter (firmware download, a few transactions with a delayed one
# among them, measured values). The build registers libtivlink.so into its own registry.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
export TIV_REGISTRY="$PWD/build/default/registry.reg"
echo
echo "\$ tivctl demo"
exec build/default/tivlink/tools/tivctl demo
