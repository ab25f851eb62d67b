#!/usr/bin/env bash
# Restore throughput against the emulator, next to the official JavaScript client, on one
# machine. Each run starts a fresh emulator and:
#   1. lets the JavaScript client write N entities (100 partitions) into a table, in
#      transactions of 100 upserts per partition, one transaction at a time;
#   2. backs that table up with aztable backup-table;
#   3. in alternating order: restores the backup into a new table with aztable restore-table
#      (timed as a whole process), and lets the JavaScript client write the same N entities
#      again with 4 transactions at a time;
#   4. checks the restored table against the source with aztable compare-tables.
# The best of RUNS runs is reported for each writer (the emulator's speed varies a lot).
#
#   bench/restore_emulator.sh [N] [RUNS]        (default 100000 entities, 3 runs; needs build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
n=${1:-100000}
runs=${2:-3}
bin=${AZT_BUILD_DIR:-$root/build}/bin/aztable
work=$(mktemp -d)
export AZTABLE_EMULATOR_DIR=$work/emulator
trap 'scripts/emulator stop >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

best() { node -e 'const v=process.argv.slice(1).map(Number);console.log(Math.max(...v))' "$@"; }
field() { node -e 'console.log(JSON.parse(process.argv[1])[process.argv[2]])' "$1" "$2"; }

js1=() js4=() ours=()
for run in $(seq 1 "$runs"); do
  eval "$(scripts/emulator start)"
  export AZURE_STORAGE_CONNECTION_STRING=$AZTABLE_TEST_CONNECTION_STRING
  r=$(node bench/js/submit_transactions.mjs --table source --entities "$n" --partitions 100 --concurrency 1)
  js1+=("$(field "$r" entitiesPerSecond)")
  rm -rf "$work/full"
  # backup-table takes entities up to the current whole second; let the last writes fall before it.
  sleep 2
  "$bin" backup-table --table source --out "$work/full" >/dev/null 2>&1
  restore() {
    local start end
    start=$(date +%s.%N)
    "$bin" restore-table --from "$work/full" --table restored 2>"$work/restore.err" || { cat "$work/restore.err"; exit 1; }
    end=$(date +%s.%N)
    ours+=("$(node -e "console.log(Math.round($n / ($end - $start)))")")
  }
  concurrent() {
    r=$(node bench/js/submit_transactions.mjs --table concurrent --entities "$n" --partitions 100 --concurrency 4)
    js4+=("$(field "$r" entitiesPerSecond)")
  }
  if [ $((run % 2)) -eq 1 ]; then restore; concurrent; else concurrent; restore; fi
  "$bin" compare-tables --table source --other restored >"$work/compare.out" || { cat "$work/compare.out"; exit 1; }
  echo "run $run: js(1) ${js1[-1]}/s, js(4) ${js4[-1]}/s, aztable ${ours[-1]}/s; $(tail -n 1 "$work/compare.out")" >&2
  scripts/emulator stop >/dev/null
done

echo "entities: $n, best of $runs runs, $(nproc) cores, node $(node --version), Azurite $(node -p 'require("./tools/emulator/node_modules/azurite/package.json").version')"
echo "| writer | entities/s (best) | all runs |"
echo "|---|---:|---|"
echo "| @azure/data-tables, 1 transaction at a time | $(best "${js1[@]}") | ${js1[*]} |"
echo "| @azure/data-tables, 4 transactions at a time | $(best "${js4[@]}") | ${js4[*]} |"
echo "| aztable restore-table | $(best "${ours[@]}") | ${ours[*]} |"
