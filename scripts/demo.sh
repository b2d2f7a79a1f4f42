#!/usr/bin/env bash
# Builds the project and runs the main job, `tivframe demo`: a frame creates the Tivmate DTM,
# which brings the embedded simulated adapter up through the driver (firmware download, then
# "Connected" with the firmware version); the frame switches to German and back, changes a
# parameter, saves the project, releases the DTM, reopens the project and shows the parameter
# restored. Then `tivctl demo` shows the driver on its own. The build registers libtivlink.so
# and libtivmate.so into its own registry.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
# The two programs: they pull in the modules they create their objects from and the
# registration tool, and leave the tests and benchmarks for scripts/test.sh.
cmake --build --preset default --target tivframe tivctl
export TIV_REGISTRY="$PWD/build/default/registry.reg"
echo
echo "\$ tivframe --monitor demo"
build/default/frame/tivframe --monitor demo
echo
echo "\$ tivctl demo"
exec build/default/tivlink/tools/tivctl demo
