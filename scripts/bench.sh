#!/usr/bin/env bash
# Runs the benchmarks of the default build; --quick runs each once, briefly (CI).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
args=()
[ "${1:-}" = "--quick" ] && args=(--benchmark_min_time=0.05)
for b in build/default/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" "${args[@]}"
done
