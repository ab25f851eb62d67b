#!/usr/bin/env bash
# Restore throughput against the emulator, next to the official JavaScript client, in one run
# on one machine:
#   1. the JavaScript client writes N entities (100 partitions) into a table in transactions of
#      100 upserts per partition, one transaction at a time and then 4 at a time;
#   2. aztable backup-table backs the first table up; aztable restore-table restores it into a
#      new table (timed); aztable compare-tables checks the copy.
#
#   bench/restore_emulator.sh [N]        (default N = 100000; needs a build in build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
n=${1:-100000}
bin=${AZT_BUILD_DIR:-$root/build}/bin/aztable
work=$(mktemp -d)
export AZTABLE_EMULATOR_DIR=$work/emulator
eval "$(scripts/emulator start)"
trap 'scripts/emulator stop >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export AZURE_STORAGE_CONNECTION_STRING=$AZTABLE_TEST_CONNECTION_STRING

rate() { node -e "console.log(Math.round($1 / $2))"; }
now() { date +%s.%N; }

js1=$(node bench/js/submit_transactions.mjs --table jssource --entities "$n" --partitions 100 --concurrency 1)
js4=$(node bench/js/submit_transactions.mjs --table jsconcurrent --entities "$n" --partitions 100 --concurrency 4)

"$bin" backup-table --table jssource --out "$work/full" >/dev/null 2>&1
start=$(now)
"$bin" restore-table --from "$work/full" --table restored --debug-log "$work/restore.log" 2>"$work/restore.err"
end=$(now)
seconds=$(node -e "console.log(($end - $start).toFixed(2))")
"$bin" compare-tables --table jssource --other restored >"$work/compare.out" || { cat "$work/compare.out"; exit 1; }

echo "entities: $n, machine: $(nproc) cores, $(node --version), emulator: Azurite $(node -p 'require("./tools/emulator/node_modules/azurite/package.json").version')"
echo "| writer | seconds | entities/s |"
echo "|---|---|---|"
for j in "$js1" "$js4"; do
  node -e 'const r=JSON.parse(process.argv[1]);console.log(`| @azure/data-tables, ${r.concurrency} transaction(s) at a time | ${r.seconds.toFixed(2)} | ${r.entitiesPerSecond} |`)' "$j"
done
echo "| aztable restore-table | $seconds | $(rate "$n" "$seconds") |"
tail -n 1 "$work/compare.out"
