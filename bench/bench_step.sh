#!/usr/bin/env bash
# One upgrade step's SQL over a copy of a record store, each statement timed by sqlite3, in one
# transaction as the program runs it (without the program's copy of the store and C++ work).
#
#   bench/bench_step.sh STEP [STORE]
#
# STORE defaults to the 1,000,000-reading store of the listing benchmark in build/bench/bench-data
# (bench_listing or bench_stats make it); it must be at version STEP-1.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
command -v sqlite3 >/dev/null || { echo "needs sqlite3 (Debian package sqlite3)" >&2; exit 1; }
step="$(printf '%04d' "$1")"
store="${2:-$(ls -t "$root"/build/bench/bench-data/store-1000000-100000-*.db | head -1)}"
copy="$(mktemp -d)/step.db"
trap 'rm -rf "$(dirname "$copy")"' EXIT
cp "$store" "$copy"
echo "store $(basename "$store"): version $(sqlite3 "$copy" 'pragma user_version'), $(sqlite3 "$copy" 'select count(*) from idcardwater') readings"
start=$(date +%s%N)
{
  echo ".timer on"
  echo "pragma cache_size=-65536;"
  echo "begin;"
  grep -v '^--' "$root/data/upgrades/$step.sql"
  echo "pragma user_version=$((10#$step));"
  echo "commit;"
} | sqlite3 "$copy" | grep -v '^Run Time: real 0.00'
echo "step $((10#$step)) in all: $(( ($(date +%s%N) - start) / 1000000 )) ms"
