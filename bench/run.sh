#!/usr/bin/env bash
# Builds the benchmarks (after the usual set-up) and runs them. Generated data is kept in
# build/bench/bench-data/ and reused by later runs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${IDCARD_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
cmake --build "$build" -j"$(nproc)" --target bench_listing bench_import bench_export bench_delete
echo "== import =="
"$build/bench/bench_import"
echo "== listing =="
"$build/bench/bench_listing"
echo "== export =="
"$build/bench/bench_export"
echo "== deletion =="
"$build/bench/bench_delete"
