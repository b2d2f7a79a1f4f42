#!/usr/bin/env bash
# Builds the project and runs `tivctl demo`: the driver through its COM interface ITivDriver on
# the embedded simulated adapter (firmware download, a few transactions with a delayed one
# among them, measured values). The build registers libtivlink.so into its own registry.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
# tivctl alone: it pulls in the module it creates the driver from and the registration tool,
# and leaves the tests and benchmarks for scripts/test.sh.
cmake --build --preset default --target tivctl
export TIV_REGISTRY="$PWD/build/default/registry.reg"
echo
echo "\$ tivctl demo"
exec build/default/tivlink/tools/tivctl demo
