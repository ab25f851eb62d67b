#!/usr/bin/env bash
# Backup and restore against the fast fake Table service (bench/fake_table_service.cpp), side by
# side with the machine's limits and the official JavaScript client, in one run:
#   limit            libcurl fetching every page, body discarded (bench_fake_service_limits fetch)
#   limit + disk     the same bytes written to a file and fsynced
#   aztable backup   `aztable backup-table` as a whole process
#   js listing       @azure/data-tables listing the table and writing JSON lines (its own timing)
#   batch ceiling    prepared batches of 100 upserts on 4 connections (bench_fake_service_limits batch)
#   aztable restore  `aztable restore-table` of that backup into a new table, as a whole process
#   js transactions  @azure/data-tables writing the same number of entities in transactions of
#                    100 upserts, 4 at a time (its own timing)
# Each is run RUNS times, alternating; the best run counts. CPU is user + system of the process
# (Node's start-up included for the JavaScript client), peak RSS its maximum resident set. The
# fake's own CPU per million entities is shown beside each row: well under the tool's CPU, it is
# not what limits the tool. The backup is checked to hold exactly the served entities, and every
# restore to have written every entity.
#
#   bench/fake_service.sh [ENTITIES=1000000] [RUNS=3]    (needs a build with -DAZT_BENCH=ON;
#                                                          AZT_BUILD_DIR, default build/;
#                                                          AZT_BENCH_JS=0: without the JavaScript client)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
n=${1:-1000000}
runs=${2:-3}
build=${AZT_BUILD_DIR:-$root/build}
limits=$build/bench/bench_fake_service_limits
[ -x "$limits" ] || { echo "missing $limits: build bench_fake_service_limits" >&2; exit 2; }
with_js=${AZT_BENCH_JS:-1}  # AZT_BENCH_JS=0 leaves the JavaScript client out
[ "$with_js" = 0 ] || [ -d tools/emulator/node_modules/@azure/data-tables ] || { echo "no @azure/data-tables: JavaScript rows skipped" >&2; with_js=0; }

. "$root/bench/fake_service_start.sh"
stat_of() { curl -s "$url/stats" | sed -n "s/.*\"$1\":\([0-9.]*\).*/\1/p"; }

# measure NAME ENTITIES COMMAND...: runs the command under /usr/bin/time; the rate comes from the
# command's "<count> <seconds>" line when it prints one (its own timing), else from the wall time.
declare -A best_rate best_cpu best_rss best_fake all_rates
measure() {
  local name=$1 entities=$2
  shift 2
  local fake_before fake_after out wall user sys rss seconds rate
  fake_before=$(stat_of cpuSeconds)
  out=$(/usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@")
  fake_after=$(stat_of cpuSeconds)
  read -r wall user sys rss <"$work/time"
  seconds=$wall
  if [[ "$out" =~ ^[0-9]+\ [0-9.]+ ]]; then seconds=$(echo "$out" | awk '{print $2}'); fi
  if [[ "$out" =~ entitiesPerSecond ]]; then seconds=$(echo "$out" | sed -n 's/.*"seconds":\([0-9.]*\).*/\1/p'); fi
  rate=$(calc "$entities / $seconds")
  all_rates[$name]="${all_rates[$name]:-} $(printf %.0f "$rate")"
  echo "  $name: $(printf %.0f "$rate") entities/s, cpu $(calc "$user + $sys") s, rss $((rss / 1024)) MiB, fake cpu $(calc "$fake_after - $fake_before") s" >&2
  if [ -z "${best_rate[$name]:-}" ] || awk "BEGIN { exit !($rate > ${best_rate[$name]}) }"; then
    best_rate[$name]=$rate
    best_cpu[$name]=$(calc "($user + $sys) * 1000000 / $entities")
    best_rss[$name]=$((rss / 1024))
    best_fake[$name]=$(calc "($fake_after - $fake_before) * 1000000 / $entities")
  fi
}

check_backup() {
  local lines keys
  lines=$(grep -o '"lines":[0-9]*' "$work/backup/backup.json" | cut -d: -f2 | awk '{s += $1} END {print s}')
  keys=$(cat "$work"/backup/data-*.jsonl | grep -o '"RowKey":"r[0-9]*"' | sort -u | wc -l)
  if [ "$lines" != "$n" ] || [ "$keys" != "$n" ]; then
    echo "the backup holds $lines lines with $keys distinct row keys; the fake served $n entities" >&2
    exit 1
  fi
}

for run in $(seq 1 "$runs"); do
  echo "run $run of $runs ($n entities)" >&2
  measure "limit: libcurl fetching every page to /dev/null" "$n" "$limits" fetch "$url" source
  measure "limit with the disk: the same bytes written and fsynced" "$n" "$limits" fetch "$url" source "$work/limit.bin"
  rm -f "$work/limit.bin"
  rm -rf "$work/backup"
  served=$(stat_of entitiesServed)
  measure "aztable backup" "$n" "$aztable" backup-table --table source --out "$work/backup"
  [ "$(( $(stat_of entitiesServed) - served ))" = "$n" ] || { echo "the backup did not read the table once" >&2; exit 1; }
  if [ "$run" = 1 ]; then check_backup; fi
  if [ "$with_js" = 1 ]; then
    measure "the official JavaScript client, listing" "$n" node bench/js/list_entities.mjs source "$(date +%s)" "$work/js.jsonl"
    rm -f "$work/js.jsonl"
  fi
  measure "limit: the fake's batch ceiling, trivial client, 4 connections" "$n" "$limits" batch "$url" "$n" 4
  written=$(stat_of operations)
  measure "aztable restore" "$n" "$aztable" restore-table --from "$work/backup" --table "dest$run"
  [ "$(( $(stat_of operations) - written ))" = "$n" ] || { echo "the restore did not write every entity once" >&2; exit 1; }
  if [ "$with_js" = 1 ]; then
    measure "the official JavaScript client, transactions" "$n" node bench/js/submit_transactions.mjs --table "js$run" \
      --entities "$n" --partitions 100 --concurrency 4 --connection-string "$AZURE_STORAGE_CONNECTION_STRING"
  fi
done

fetch_limit=${best_rate["limit: libcurl fetching every page to /dev/null"]}
batch_limit=${best_rate["limit: the fake's batch ceiling, trivial client, 4 connections"]}
echo "entities: $n, best of $runs runs, $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(date -u +%Y-%m-%d)"
echo "| | entities/s | share of the limit | CPU s per 1M | peak RSS | fake's CPU s per 1M | all runs |"
echo "|---|---:|---:|---:|---:|---:|---|"
for name in "limit: libcurl fetching every page to /dev/null" "limit with the disk: the same bytes written and fsynced" \
            "aztable backup" "the official JavaScript client, listing" \
            "limit: the fake's batch ceiling, trivial client, 4 connections" "aztable restore" \
            "the official JavaScript client, transactions"; do
  [ -n "${best_rate[$name]:-}" ] || continue
  limit=$fetch_limit
  case "$name" in *batch*|*restore*|*transactions*) limit=$batch_limit ;; esac
  printf '| %s | %.0f | %.2f | %s | %s MiB | %s |%s |\n' "$name" "${best_rate[$name]}" "$(calc "${best_rate[$name]} / $limit")" \
    "${best_cpu[$name]}" "${best_rss[$name]}" "${best_fake[$name]}" "${all_rates[$name]}"
done
