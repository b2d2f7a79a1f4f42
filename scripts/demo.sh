#!/usr/bin/env bash
# Builds the project and runs the driver on the embedded simulated adapter: the adapter
# scan, firmware download, a few transactions (a delayed one among them) and a short look
# at the bus.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
tivctl=build/default/tivlink/tools/tivctl
# One in-process simulated adapter per command: the firmware is downloaded each time.
run() { echo; echo "\$ tivctl $*"; "$tivctl" "$@"; }
run scan
run send --obj 1217 --sub 29
run send --obj 1217 --sub 29 --data 1122
run send --obj 1301 --sub 2
run send --obj 1300 --sub 1 || true
run monitor --seconds 2
