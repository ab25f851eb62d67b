#!/usr/bin/env bash
# Backs up one emulator table three ways on this machine, in one run, and prints entities/second:
#   aztable   `aztable backup-table` (fetch, parse, re-serialise, chunk files, checksums, fsync)
#   js-sdk    the official JavaScript client (@azure/data-tables) listing the entities and
#             writing them as JSON lines (bench/js/list_entities.mjs)
#   bare      the same page requests through the same transport with no processing
#             (bench/bare_page_fetch.cpp): the floor any backup of this table has to pay
# All three read the same entities (same upper time bound). Each is run RUNS times, alternating,
# and the best run counts.
#
# usage: bench/backup_vs_peers.sh [ENTITIES=100000] [RUNS=3]
set -euo pipefail
cd "$(dirname "$0")/.."
entities=${1:-100000}
runs=${2:-3}

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target aztable_cli bench_bare_page_fetch >/dev/null

started_here=0
if ! scripts/emulator status >/dev/null 2>&1; then started_here=1; fi
eval "$(scripts/emulator start)"
if [ "$started_here" = 1 ]; then trap 'scripts/emulator stop >/dev/null 2>&1 || true' EXIT; fi
export AZURE_STORAGE_CONNECTION_STRING=$AZTABLE_TEST_CONNECTION_STRING

work=$(mktemp -d /tmp/azt-peers-XXXXXX)
trap 'rm -rf "$work"; if [ "$started_here" = 1 ]; then scripts/emulator stop >/dev/null 2>&1 || true; fi' EXIT
table="peers$(date +%s)"
echo "filling $table with $entities entities ..." >&2
build/bin/aztable sample-data --table "$table" --count "$entities" --partitions 50 >&2
sleep 1  # the upper bound is a whole second: let the last write fall before it
until=$(date +%s)

now_ns() { date +%s%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
best_aztable=0 best_js=0 best_bare=0
for run in $(seq 1 "$runs"); do
  rm -rf "$work/backup"
  t0=$(now_ns)
  build/bin/aztable backup-table --table "$table" --out "$work/backup" --until "$until" >/dev/null
  t1=$(now_ns)
  n=$(grep -o '"lines":[0-9]*' "$work/backup/backup.json" | cut -d: -f2 | awk '{s += $1} END {print s}')
  rate=$(calc "$n / (($t1 - $t0) / 1000000000)")
  echo "run $run aztable: $n entities, $(printf %.0f "$rate") entities/s" >&2
  best_aztable=$(calc "($rate > $best_aztable) ? $rate : $best_aztable")

  read -r n seconds < <(node bench/js/list_entities.mjs "$table" "$until" "$work/js.jsonl")
  rate=$(calc "$n / $seconds")
  echo "run $run js-sdk:  $n entities, $(printf %.0f "$rate") entities/s" >&2
  best_js=$(calc "($rate > $best_js) ? $rate : $best_js")

  read -r n seconds < <(build/bench/bench_bare_page_fetch "$table" "$until")
  rate=$(calc "$n / $seconds")
  echo "run $run bare:    $n entities, $(printf %.0f "$rate") entities/s" >&2
  best_bare=$(calc "($rate > $best_bare) ? $rate : $best_bare")
done

printf '\n%-10s %14s %12s\n' tool entities/s "vs bare"
printf '%-10s %14.0f %11.0f%%\n' aztable "$best_aztable" "$(calc "100 * $best_aztable / $best_bare")"
printf '%-10s %14.0f %11.0f%%\n' js-sdk "$best_js" "$(calc "100 * $best_js / $best_bare")"
printf '%-10s %14.0f %11.0f%%\n' bare "$best_bare" 100
