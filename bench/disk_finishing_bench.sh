#!/usr/bin/env bash
# The station's disk-finishing step against the same tools run by a plain script: a 256 MB volume
# file formatted FAT16 (mkfs.fat), labelled, given 500 files in 20 folders (one mmd and one mcopy
# per folder), then checked (fsck.fat -n). Median of five runs each, in the same run; prints the
# ratio ours / script (the target is at most 1.2), and a "result" line for bench/run-all.
#
#   bench/disk_finishing_bench.sh          builds what it needs in build/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

scripts/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target disk_finishing_step >/dev/null
step=build/bin/disk_finishing_step

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in $(seq -w 1 20); do
    mkdir -p "$work/src/Folder $f"
    for n in $(seq -w 1 25); do
        head -c $((4096 + 10#$n * 1000)) /dev/urandom >"$work/src/Folder $f/Track $n.mp3"
    done
done
folders=("$work/src"/Folder*)
volume="$work/volume.img"

now() { date +%s.%N; }
fresh() { rm -f "$volume"; truncate -s 256M "$volume"; }

script_run() {
    fresh
    local t0; t0=$(now)
    mkfs.fat -F 16 -s 8 -I --mbr=n "$volume" >/dev/null
    mlabel -i "$volume" ::CORVID
    for folder in "${folders[@]}"; do
        local name; name=$(basename "$folder")
        mmd -D s -i "$volume" "::/$name"
        mcopy -D o -m -Q -i "$volume" "$folder"/* "::/$name/"
    done
    fsck.fat -n "$volume" >/dev/null
    awk -v a="$(now)" -v b="$t0" 'BEGIN { printf "%.3f\n", a - b }'
}

ours_run() {
    fresh
    "$step" "$volume" CORVID "${folders[@]}"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

ours=(); peer=()
for _ in 1 2 3 4 5; do
    peer+=("$(script_run)")
    ours+=("$(ours_run)")
done
peer_median=$(printf '%s\n' "${peer[@]}" | median)
ours_median=$(printf '%s\n' "${ours[@]}" | median)
printf 'disk finishing, 256 MB, 500 files in 20 folders (median of 5)\n'
awk -v ours="$ours_median" -v peer="$peer_median" 'BEGIN {
    printf "  plain script  %.3f s\n  ours          %.3f s\n  ratio         %.2f (target <= 1.2)\n",
           peer, ours, ours / peer }'
awk -v ours="$ours_median" -v peer="$peer_median" 'BEGIN {
    printf "result\tdisk finishing, 256 MB, 500 files\t%.3f s\t%.3f s (plain script)\t%.2f\t<= 1.20\n",
           ours, peer, ours / peer }'
