#!/usr/bin/env bash
# Configures, builds and runs the tests of one preset: default (all tests), asan or tsan
# (the tests that build without Qt: the engine, the facade and the platform, not the tools).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
case "$preset" in default|asan|tsan) ;; *) echo "usage: scripts/test.sh [default|asan|tsan]" >&2; exit 2;; esac

export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1 halt_on_error=1}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# The thread sanitizer needs an address layout it understands on kernels with wide mmap
# randomisation.
if [ "$preset" = tsan ] && command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  exec setarch "$(uname -m)" -R ctest --preset "$preset"
fi
ctest --preset "$preset"
