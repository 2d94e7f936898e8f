#!/usr/bin/env bash
# Hidden-disk image build: corvid-cli image build (both volumes, 512- and 1024-byte sectors)
# against the classic way of filling one FAT volume, truncate + mkfs.fat + mcopy -s (mtools).
# Builds four trees in a temporary folder, times each build (best of three runs, warm caches)
# and prints the ratio and the peak memory (maximum resident set, from /usr/bin/time) of both.
#
#   bench/image_build_bench.sh              builds corvid-cli in build/ when it is missing
#   CORVID_CLI=path/to/corvid-cli bench/image_build_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$PATH:/usr/sbin:/sbin"  # mkfs.fat lives in /usr/sbin

scripts/install-deps
cli=${CORVID_CLI:-$root/build/bin/corvid-cli}
if [ ! -x "$cli" ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build --target corvid-cli -j "$(nproc)" >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/corvid-image-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
export LC_ALL=C.UTF-8

# File contents come from one block of bytes, cut to size (shell built-ins only: fast).
block=$(head -c 24576 /dev/urandom | base64 -w0)
write_file() {  # path size
    printf '%s' "${block:0:$2}" >"$1"
}

make_tree_large_files() {  # 20 files of 1 MiB in one folder
    local dir=$1/media
    mkdir -p "$dir"
    for i in $(seq -w 1 20); do
        head -c 1048576 /dev/urandom >"$dir/Clip $i.bin"
    done
}

make_tree_named() {  # 2,000 files of 1-20 KiB in 110 folders, long, mixed-case, blank, CJK names
    local top sub n=0
    for t in $(seq 1 10); do
        top="$1/Project Folder $t 資料"
        mkdir -p "$top"
        for s in $(seq 1 10); do
            sub="$top/SubFolder Mixed Case $s 中文目錄"
            mkdir -p "$sub"
            for f in $(seq 1 20); do
                n=$((n + 1))
                write_file "$sub/Report Mixed Case Document $n 報告.txt" $(((n * 7919 % 20 + 1) * 1024))
            done
        done
    done
}

make_tree_small_files() {  # 20,000 files of 0-4 KiB in 520 folders
    local top sub n=0
    for t in $(seq 1 20); do
        top="$1/group$t"
        mkdir -p "$top"
        for s in $(seq 1 25); do
            sub="$top/set$s"
            mkdir -p "$sub"
            for f in $(seq 1 40); do
                n=$((n + 1))
                write_file "$sub/item_$n.dat" $((n * 7919 % 4097))
            done
        done
    done
}

make_tree_one_folder() {  # 10,000 files of 1 KiB in one folder
    local dir=$1/many
    mkdir -p "$dir"
    # Names whose first characters differ: with a shared start mcopy's search for a free "~N"
    # alias grows with the cube of the file count and does not end in reasonable time.
    for n in $(seq -w 1 10000); do
        write_file "$dir/$n document.txt" 1024
    done
}

now_ms() {
    echo $(($(date +%s%N) / 1000000))
}

# One build under /usr/bin/time, which measures the programs themselves, not this script.
# ours: one process writing both volumes; peer: one volume by three processes from one shell
# (the shell's peak is the largest of theirs).
timed_build() {  # ours|peer tree size
    case $1 in
    ours) /usr/bin/time -f %M -o "$work/time.txt" "$cli" image build --size "$3" \
              --out "$work/ours.img" "$2"/* ;;
    peer) /usr/bin/time -f %M -o "$work/time.txt" sh -c \
              'truncate -s "$2M" "$1" && mkfs.fat -F 16 -n "PASS WD" "$1" &&
               mcopy -s -i "$1" "$3"/* ::/' peer "$work/peer.img" "$3" "$2" ;;
    esac >/dev/null 2>&1
}

# Three timed builds after one warm-up; sets best_ms and peak_kb (of the best run). Each build
# starts without an output file: removing the last one is not part of the build.
measure() {  # ours|peer tree size
    local run start end
    best_ms=
    peak_kb=
    rm -f "$work/$1.img"
    timed_build "$@"
    for run in 1 2 3; do
        rm -f "$work/$1.img"
        start=$(now_ms)
        timed_build "$@"
        end=$(now_ms)
        if [ -z "$best_ms" ] || [ $((end - start)) -lt "$best_ms" ]; then
            best_ms=$((end - start))
            peak_kb=$(tail -n1 "$work/time.txt")
        fi
    done
}

printf '%-44s %7s %9s %9s %7s %10s %10s\n' tree volume "ours ms" "peer ms" ratio "ours peak" "peer peak"
run_case() {  # title maker size
    local tree=$work/tree-$2
    mkdir -p "$tree"
    "$2" "$tree"
    measure ours "$tree" "$3"
    local ours_ms=$best_ms ours_kb=$peak_kb
    measure peer "$tree" "$3"
    local peer_ms=$best_ms peer_kb=$peak_kb
    # Both volumes of our image must hold what the peer's holds.
    "$cli" image extract "$work/ours.img" --sector-size 1024 "$work/check.img" >/dev/null
    if [ "$(mdir -i "$work/check.img" -b -/ :: | wc -l)" != "$(mdir -i "$work/peer.img" -b -/ :: | wc -l)" ]; then
        echo "image_build_bench: the volumes of $1 differ in their entries" >&2
        exit 1
    fi
    rm -f "$work/check.img"
    awk -v t="$1" -v v="$3 MB" -v o="$ours_ms" -v p="$peer_ms" -v ok="$ours_kb" -v pk="$peer_kb" \
        'BEGIN { printf "%-44s %7s %9d %9d %6.1fx %7.1f MB %7.1f MB\n", t, v, o, p,
                 p / (o > 0 ? o : 1), ok / 1024, pk / 1024 }'
    rm -rf "$tree"
}

run_case "20 files of 1 MiB, one folder" make_tree_large_files 64
run_case "2,000 files of 1-20 KiB, 110 folders, names" make_tree_named 64
run_case "20,000 files of 0-4 KiB, 520 folders" make_tree_small_files 2048
run_case "10,000 files of 1 KiB, one folder" make_tree_one_folder 64
echo "ours: both volumes (512- and 1024-byte sectors) of one image; peer: one volume"
