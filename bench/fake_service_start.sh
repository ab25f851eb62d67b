# Sourced by the benchmark scripts that run against the fast fake Table service, with $build the
# build folder: finds $aztable and $fake (bench_fake_table_service), starts $fake with $n entities, keeps its port and any scratch files in a fresh
# folder $work (removed on exit, with the service), sets $url and points
# AZURE_STORAGE_CONNECTION_STRING at it; calc EXPR prints EXPR to three decimals.
aztable=$build/bin/aztable
fake=$build/bench/bench_fake_table_service
for binary in "$aztable" "$fake"; do
  [ -x "$binary" ] || { echo "missing $binary: build aztable_cli bench_fake_table_service" >&2; exit 2; }
done
work=$(mktemp -d /tmp/azt-fake-XXXXXX)
fake_pid=
trap '[ -n "$fake_pid" ] && kill "$fake_pid" 2>/dev/null; rm -rf "$work"' EXIT
"$fake" "$n" >"$work/port" &
fake_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
url=http://127.0.0.1:$(cat "$work/port")
export AZURE_STORAGE_CONNECTION_STRING="DefaultEndpointsProtocol=http;AccountName=bench;AccountKey=YmVuY2g=;TableEndpoint=$url"

calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
