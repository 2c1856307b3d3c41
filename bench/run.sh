#!/usr/bin/env bash
# Builds the benchmarks (after the usual set-up) and runs them. Generated data is kept in
# build/bench/bench-data/ and reused by later runs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${IDCARD_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
cmake --build "$build" -j"$(nproc)" --target bench_listing bench_import bench_connect bench_export bench_delete bench_watchlist bench_stats bench_retention bench_cardchecks bench_pg_import bench_pg_delete bench_pg_listing
echo "== import, 20,000 readings of 4,000 new holders =="
"$build/bench/bench_import" --readings 20000 --holders 4000 --runs 5
echo "== import, 80,000 readings of 16,000 new holders =="
"$build/bench/bench_import" --readings 80000 --holders 16000 --runs 5
echo "== listing, 300,000 readings of 30,000 holders =="
"$build/bench/bench_listing" --readings 300000 --holders 30000
echo "== listing, 1,000,000 readings of 100,000 holders =="
"$build/bench/bench_listing" --readings 1000000 --holders 100000
echo "== one click on the connect button, 20,000 readings, simulated handheld =="
"$build/bench/bench_connect" --readings 20000 --holders 4000 --runs 5
echo "== export, 100,000 readings =="
"$build/bench/bench_export" --pg
echo "== deletion, 100,000 of 300,000 readings =="
"$build/bench/bench_delete"
echo "== watch list: list file of 100,000 lines, 只显示黑名单 over 1,000,000 readings, import with a 100,000-entry list =="
"$build/bench/bench_watchlist"
echo "== statistics window, 1,000,000 readings of 100,000 holders =="
"$build/bench/bench_stats" --readings 1000000 --holders 100000 --pg
echo "== retention: 1,000,000 readings, about 300,000 expired; the cost of an audit row =="
"$build/bench/bench_retention"
echo "== card checks: the store step over 1,000,000 readings, 只显示异常 =="
"$build/bench/bench_cardchecks"
echo "== import into a PostgreSQL store beside the file store, and four stations at once =="
"$build/bench/bench_pg_import"
echo "== deletion of 100,000 of 300,000 readings from a PostgreSQL store beside the file store =="
"$build/bench/bench_pg_delete"
echo "== the list of 1,000,000 readings from a PostgreSQL store beside the file store =="
"$build/bench/bench_pg_listing"
