#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a few seconds (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
if ! command -v clang++-14 >/dev/null; then
  echo "fuzz: clang++-14 not installed, skipping"
  exit 0
fi
cmake --preset fuzz >/dev/null
# Only the fuzz targets and what they link: the rest of the tree is built by the other presets.
targets=$(cmake --build build/fuzz --target help | sed -n 's/^\(fuzz_[a-z_]*\): phony$/\1/p')
cmake --build --preset fuzz --target $targets
for f in build/fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/${name#fuzz_}"
  echo "== $name (${seconds}s)"
  log="build/fuzz/$name.log"
  args=(-max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="build/fuzz/$name-" "$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  # The whole report only when the target fails: it holds the stack and the input.
  if "$f" "${args[@]}" >"$log" 2>&1; then
    tail -n 1 "$log"
  else
    tail -n 60 "$log"
    exit 1
  fi
done
