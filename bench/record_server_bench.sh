#!/usr/bin/env bash
# 50 station processes writing 10,000 rows in all to one PostgreSQL server on this machine
# (a throwaway one, fsync on as a factory's would be), through the station's own store code.
#   bench/record_server_bench.sh [STATIONS [ROWS]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --build build -j2 --target record_server_bench >/dev/null
state=$(mktemp -d)
trap 'tests/records/record_server stop "$state" >/dev/null 2>&1 || true; rm -rf "$state"' EXIT
tests/records/record_server start "$state" durable
if [ -f "$state/unavailable" ]; then
    exit 1
fi
url=$(cat "$state/url")
"$(cat "$state/bin")/psql" -X -q -d "$url" -c "CREATE DATABASE record_bench"
build/bin/record_server_bench "${url%/postgres}/record_bench" "${1:-50}" "${2:-10000}"
"$(cat "$state/bin")/psql" -X -A -t -d "${url%/postgres}/record_bench" \
    -c "SELECT count(*) || ' rows stored, ' || count(DISTINCT run_id) || ' run ids, ' || count(DISTINCT station) || ' stations' FROM runs"
