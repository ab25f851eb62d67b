#!/usr/bin/env bash
# What tracking deletions costs, against the fast fake Table service (bench/fake_table_service.cpp),
# measured side by side in one run: a full subclient job of the source table without and with
# --track-deletions (the difference is the keys-only listing after the scan and its durable
# keys.jsonl), and a restore of each job into a new table (the difference is reading the key set
# and checking every replayed entity against it). Each pair runs in a fresh home, RUNS times,
# alternating; the best run counts. CPU is user + system of the aztable process.
#
#   bench/key_set.sh [ENTITIES=1000000] [RUNS=3]    (needs a build with -DAZT_BENCH=ON;
#                                                     AZT_BUILD_DIR, default build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
n=${1:-1000000}
runs=${2:-3}
build=${AZT_BUILD_DIR:-$root/build}

. "$root/bench/fake_service_start.sh"
declare -A best_wall best_cpu all_walls
# measure NAME COMMAND...: wall and CPU of the command; the run with the best wall time counts.
measure() {
  local name=$1 wall user sys
  shift
  /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >"$work/out" || { cat "$work/out" >&2; exit 1; }
  read -r wall user sys <"$work/time"
  all_walls[$name]="${all_walls[$name]:-} $wall"
  echo "  $name: $wall s, cpu $(calc "$user + $sys") s" >&2
  if [ -z "${best_wall[$name]:-}" ] || awk "BEGIN { exit !($wall < ${best_wall[$name]}) }"; then
    best_wall[$name]=$wall
    best_cpu[$name]=$(calc "$user + $sys")
  fi
}

keys_bytes=0
for run in $(seq 1 "$runs"); do
  echo "run $run of $runs ($n entities)" >&2
  home=$work/home$run
  h="--home $home"
  "$aztable" init $h >/dev/null
  "$aztable" account add bench $h >/dev/null
  "$aztable" subclient create plain --table bench/source $h >/dev/null
  "$aztable" subclient create tracked --track-deletions --table bench/source $h >/dev/null
  measure "backup, deletions not tracked" "$aztable" backup plain --full $h
  measure "backup, deletions tracked" "$aztable" backup tracked --full $h
  keys=$(find "$home/store" -name keys.jsonl)
  [ "$(wc -l <"$keys")" = "$n" ] || { echo "the key set holds $(wc -l <"$keys") keys, not $n" >&2; exit 1; }
  keys_bytes=$(stat -c %s "$keys")
  measure "restore, deletions not tracked" "$aztable" restore plain --table "bench/source=bench/plain$run" $h
  measure "restore, deletions tracked" "$aztable" restore tracked --table "bench/source=bench/tracked$run" $h
  grep -q "$n of $n entities written, 0 left out" "$work/out" || { cat "$work/out" >&2; exit 1; }
  rm -rf "$home"
done

echo "entities: $n, best of $runs runs, $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(date -u +%Y-%m-%d)"
echo "| | seconds | CPU s | CPU s per 1M | all runs (s) |"
echo "|---|---:|---:|---:|---|"
for name in "backup, deletions not tracked" "backup, deletions tracked" "restore, deletions not tracked" \
            "restore, deletions tracked"; do
  printf '| %s | %s | %s | %s |%s |\n' "$name" "${best_wall[$name]}" "${best_cpu[$name]}" \
    "$(calc "${best_cpu[$name]} * 1000000 / $n")" "${all_walls[$name]}"
done
echo
echo "the key listing: $(calc "(${best_wall["backup, deletions tracked"]} - ${best_wall["backup, deletions not tracked"]}) * 1000000 / $n") s" \
     "and $(calc "(${best_cpu["backup, deletions tracked"]} - ${best_cpu["backup, deletions not tracked"]}) * 1000000 / $n") CPU s per 1M entities;" \
     "keys.jsonl $(calc "$keys_bytes / $n") bytes per entity"
echo "the key set in a restore: $(calc "(${best_wall["restore, deletions tracked"]} - ${best_wall["restore, deletions not tracked"]}) * 1000000 / $n") s" \
     "and $(calc "(${best_cpu["restore, deletions tracked"]} - ${best_cpu["restore, deletions not tracked"]}) * 1000000 / $n") CPU s per 1M entities"
