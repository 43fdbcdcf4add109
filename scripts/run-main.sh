#!/usr/bin/env bash
# The main job. Until files can be signed end to end, it builds the optimised
# configuration and prints the throughput of the algorithms that exist.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "Building the optimised configuration (build-release/)..."
if ! scripts/build.sh release >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
shopt -s nullglob
benches=(build-release/bench/*/bench_*)
if [ ${#benches[@]} -eq 0 ]; then
  echo "No benchmarks are built yet."
  exit 0
fi
for b in "${benches[@]}"; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  taskset -c 0 "$b" --benchmark_min_time=0.2 "$@" || "$b" --benchmark_min_time=0.2 "$@"
done
