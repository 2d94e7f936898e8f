#!/usr/bin/env bash
# Eight devices produced at once by corvid-cli station against one alone. Every device is a
# corvid-devsim nand-2k at USB 2.0 costs (0.3 ms a command, 30 MB/s); the run is the whole
# production run with disk finishing (firmware, format, label, a pre-copied album, a hidden part
# written from a 32 MB image, check disk), with the station's pauses between steps as on the line
# (PAUSE_SCALE 1; 0 leaves only the devices' work and the host's tools). Times from the first plug
# to the station's end; median of ROUNDS of each. Prints the ratio eight / one (the target is at
# most 1.15). The line starting "result" (tab-separated) is the figure bench/run-all gathers.
#
#   bench/station_scaling_bench.sh [ROUNDS [PAUSE_SCALE]]     builds what it needs in build/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
rounds=${1:-3}
pause_scale=${2:-1}

scripts/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target corvid-cli corvid-devsim >/dev/null
bin=build/bin

work=$(mktemp -d)
sim="$work/sim"
cleanup() {
    "$bin/corvid-devsim" stop --dir "$sim" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

home="$work/station"
"$bin/corvid-cli" init-home "$home" >/dev/null
mkdir -p "$work/Album" "$work/Private"
for n in 1 2 3 4; do head -c 1000000 /dev/urandom >"$work/Album/Track $n.mp3"; done
head -c 4000000 /dev/urandom >"$work/Private/notes.bin"
"$bin/corvid-cli" image build --label HIDDEN --size 32 --out "$home/misc/hidden.img" "$work/Private" >/dev/null
"$bin/corvid-cli" settings --home "$home" list precopy add "$work/Album" >/dev/null
"$bin/corvid-cli" settings --home "$home" set Format=1 Label=CORVID eDeviceFeature=2 \
    iHideDiskRatio=20 bUseImgFile=1 ImageFile=misc/hidden.img >/dev/null
"$bin/corvid-devsim" serve --dir "$sim" --daemon >/dev/null

now() { date +%s.%N; }

# One round: 'count' devices plugged at once; prints the seconds from the first plug to the end.
round() {
    local count=$1 letters=EFGHIJKL i
    rm -rf "$sim/state"
    "$bin/corvid-cli" station --home "$home" --sim-dir "$sim" --pause-scale "$pause_scale" --count "$count" \
        >"$work/station.log" 2>&1 &
    local station=$!
    for i in $(seq 1 100); do grep -q "station ready" "$work/station.log" && break; sleep 0.05; done
    local t0; t0=$(now)
    for i in $(seq 0 $((count - 1))); do
        "$bin/corvid-devsim" plug --dir "$sim" --letter "${letters:$i:1}" --profile nand-2k \
            --port $((i + 1)) --latency-ms 0.3 --bandwidth 30M >/dev/null &
    done
    wait "$station" || { echo "bench: the station failed; its log:" >&2; cat "$work/station.log" >&2; exit 1; }
    local t1; t1=$(now)
    grep -q "Success $count   Fail 0" "$work/station.log" || { echo "bench: not every run passed" >&2; cat "$work/station.log" >&2; exit 1; }
    for i in $(seq 0 $((count - 1))); do "$bin/corvid-devsim" unplug --dir "$sim" "${letters:$i:1}" >/dev/null; done
    echo "$t1 - $t0" | bc -l
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

ones=(); eights=()
for r in $(seq 1 "$rounds"); do
    ones+=("$(round 1)")
    eights+=("$(round 8)")
done
one=$(printf '%s\n' "${ones[@]}" | median)
eight=$(printf '%s\n' "${eights[@]}" | median)
printf 'one device:    %.2f s   (rounds: %s)\n' "$one" "${ones[*]}"
printf 'eight at once: %.2f s   (rounds: %s)\n' "$eight" "${eights[*]}"
printf 'ratio eight / one: %.3f (target at most 1.15)\n' "$(echo "$eight / $one" | bc -l)"
printf 'result\teight devices at once, pauses x%s\t%.2f s\t%.2f s (one device)\t%.2f\t<= 1.15\n' \
    "$pause_scale" "$eight" "$one" "$(echo "$eight / $one" | bc -l)"
