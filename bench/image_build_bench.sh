#!/usr/bin/env bash
# Hidden-disk image build: corvid-cli image build (both volumes, 512- and 1024-byte sectors)
# against the classic way of filling one FAT volume, truncate + mkfs.fat + mcopy -s (mtools),
# and against the copy floor: cp of a file of the image's size (read and written once, as our
# build reads its input and writes the image).
#
# Builds five trees in a temporary folder. For each, RUNS rounds (default 5) time ours, the peer
# and (for the 1 MiB files) the floor one after the other, so that whatever else runs on the
# machine weighs on all of them alike; the median of each is printed with the peak memory
# (maximum resident set, from /usr/bin/time). Output files are removed and the page cache
# written back (sync) before each timed run, outside the timing. Our images are then checked:
# fsck.fat on both volumes, and every file read back with mtools and compared.
#
# The lines starting "result" (tab-separated) are the figures bench/run-all gathers.
#
#   bench/image_build_bench.sh              builds corvid-cli in build/ when it is missing
#   CORVID_CLI=path/to/corvid-cli RUNS=7 bench/image_build_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$PATH:/usr/sbin:/sbin"  # mkfs.fat lives in /usr/sbin

scripts/install-deps
cli=${CORVID_CLI:-$root/build/bin/corvid-cli}
runs=${RUNS:-5}
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

# 6,000 files of 1 KiB in one folder, as on an MP3 player: names that share their first letters
# (every 8.3 alias past the fourth comes from the hashed form) ...
make_tree_shared_start() {
    local dir=$1/music
    mkdir -p "$dir"
    for n in $(seq -w 1 6000); do
        write_file "$dir/Track $n - Artist Name - Song Title.mp3" 1024
    done
}

# ... and names of the same length whose first letters differ.
make_tree_distinct_start() {
    local dir=$1/music
    mkdir -p "$dir"
    for n in $(seq -w 1 6000); do
        write_file "$dir/$n Track - Artist Name - Song Title.mp3" 1024
    done
}

now_ns() {
    date +%s%N
}

# One timed build under /usr/bin/time, which measures the programs themselves (peak memory),
# not this script. ours: one process writing both volumes; peer: one volume by three processes
# from one shell (the shell's peak is the largest of theirs); floor: cp of a file as large as our
# image (made once, so it is read from the page cache as our input is).
timed() {  # ours|peer|floor tree size
    rm -f "$work/$1.img"
    sync
    local start end
    start=$(now_ns)
    case $1 in
    ours) /usr/bin/time -f %M -o "$work/time.txt" "$cli" image build --size "$3" \
              --out "$work/ours.img" "$2"/* ;;
    peer) /usr/bin/time -f %M -o "$work/time.txt" sh -c \
              'truncate -s "$2M" "$1" && mkfs.fat -F 16 -n "PASS WD" "$1" &&
               mcopy -s -i "$1" "$3"/* ::/' peer "$work/peer.img" "$3" "$2" ;;
    floor) /usr/bin/time -f %M -o "$work/time.txt" cp "$work/floor-source.img" "$work/floor.img" ;;
    esac >/dev/null 2>&1
    end=$(now_ns)
    echo "$(((end - start) / 1000)) $(tail -n1 "$work/time.txt")" >>"$work/$1.runs"
}

median_ms() {  # ours|peer|floor
    sort -n "$work/$1.runs" | awk '{ t[NR] = $1 } END { printf "%.1f", t[int((NR + 1) / 2)] / 1000 }'
}

peak_mb() {  # ours|peer|floor: the largest peak of the runs
    sort -n -k2 "$work/$1.runs" | tail -n1 | awk '{ printf "%.1f", $2 / 1024 }'
}

# Both volumes of our image: fsck.fat finds nothing beyond the notices of the label entry, and
# mtools gives back every file of the tree unchanged.
check_image() {  # tree
    local size faults
    for size in 512 1024; do
        "$cli" image extract "$work/ours.img" --sector-size "$size" "$work/check.img" >/dev/null
        faults=$(fsck.fat -n "$work/check.img" 2>&1 | grep -v -e '^fsck.fat ' -e '^Leaving filesystem' \
            -e "^$work/check.img: " -e '^/PASS WD$' -e 'cluster chain length is > 0 bytes' \
            -e 'Truncating file to 0 bytes' -e "label 'PASS WD'" -e 'Auto-removing label' \
            -e 'no label in boot sector' -e 'Auto-copying volume label' -e '^$' || true)
        if [ -n "$faults" ]; then
            echo "image_build_bench: fsck.fat on the $size-byte volume: $faults" >&2
            exit 1
        fi
        rm -rf "$work/back"
        mkdir "$work/back"
        mcopy -s -n -i "$work/check.img" '::/*' "$work/back/"
        if ! diff -r -q "$1" "$work/back" >/dev/null; then
            echo "image_build_bench: the $size-byte volume does not read back equal" >&2
            exit 1
        fi
        rm -rf "$work/back" "$work/check.img"
    done
}

printf 'runs: %s, median of each; load before: %s\n' "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-48s %7s %9s %9s %10s %10s %10s %10s\n' tree volume "ours ms" "peer ms" "peer/ours" \
    "ours peak" "bound" "peer peak"
run_case() {  # title maker size peer|nopeer|floor
    local tree=$work/tree-$2 files kind
    mkdir -p "$tree"
    "$2" "$tree"
    files=$(find "$tree" -type f | wc -l)
    rm -f "$work"/*.runs
    image_bytes=0
    for round in $(seq 1 "$runs"); do
        timed ours "$tree" "$3"
        image_bytes=$(stat -c %s "$work/ours.img")
        if [ "$4" = floor ] && [ ! -f "$work/floor-source.img" ]; then
            head -c "$image_bytes" /dev/urandom >"$work/floor-source.img"
        fi
        for kind in peer floor; do
            if [ "$4" = "$kind" ] || { [ "$4" = floor ] && [ "$kind" = peer ]; }; then
                timed "$kind" "$tree" "$3"
            fi
        done
    done
    check_image "$tree"
    local ours peer ratio peer_peak
    ours=$(median_ms ours)
    peer=-
    ratio=-
    peer_peak=-
    if [ -f "$work/peer.runs" ]; then
        peer=$(median_ms peer)
        ratio=$(awk -v o="$ours" -v p="$peer" 'BEGIN { printf "%.1fx", p / o }')
        peer_peak="$(peak_mb peer) MB"
    fi
    printf '%-48s %4s MB %9s %9s %10s %7s MB %7s MB %10s\n' "$1" "$3" "$ours" "$peer" "$ratio" \
        "$(peak_mb ours)" "$(awk -v f="$files" 'BEGIN { printf "%.1f", 64 + f / 1024 }')" \
        "$peer_peak"
    local bound
    bound=$(awk -v f="$files" 'BEGIN { printf "%.1f", 64 + f / 1024 }')
    if [ "$3" = 2048 ]; then  # the largest image: memory that grows with the data shows here
        results+=("$(printf 'result\tpeak memory, %s\t%s MB\t%s MB (64 MiB + 1 KiB a file)\t%s\t<= 1.00' \
            "$1" "$(peak_mb ours)" "$bound" "$(awk -v p="$(peak_mb ours)" -v b="$bound" 'BEGIN { printf "%.2f", p / b }')")")
    fi
    if [ "$4" = peer ]; then  # the trees the peer is a yardstick for; the 1 MiB files have the floor
        results+=("$(printf 'result\timage build, %s\t%s ms\t%s ms (mkfs.fat + mcopy, one volume)\t%s\t<= 0.33' \
            "$1" "$ours" "$peer" "$(awk -v o="$ours" -v p="$peer" 'BEGIN { printf "%.2f", o / p }')")")
    fi
    if [ -f "$work/floor.runs" ]; then
        results+=("$(printf 'result\timage build, %s\t%s ms\t%s ms (cp of a file of the image'"'"'s size)\t%s\t<= 1.30' \
            "$1" "$ours" "$(median_ms floor)" "$(awk -v o="$ours" -v f="$(median_ms floor)" 'BEGIN { printf "%.2f", o / f }')")")
        floor_line=$(printf '%s: ours %s ms, a copy of a file of the image'"'"'s %s bytes (cp) %s ms: %sx' \
            "$1" "$ours" "$image_bytes" "$(median_ms floor)" \
            "$(awk -v o="$ours" -v f="$(median_ms floor)" 'BEGIN { printf "%.2f", o / f }')")
    fi
    eval "ms_$2=$ours"
    rm -rf "$tree"
}

results=()
run_case "20 files of 1 MiB, one folder" make_tree_large_files 64 floor
run_case "2,000 files of 1-20 KiB, 110 folders, names" make_tree_named 64 peer
run_case "20,000 files of 0-4 KiB, 520 folders" make_tree_small_files 2048 peer
# mcopy's search for a free "~N" alias grows with the cube of a folder whose names share their
# start: it does not end within minutes, so the one-folder trees are timed for ours only.
run_case "6,000 names sharing their start, one folder" make_tree_shared_start 64 nopeer
run_case "6,000 names differing at their start, one folder" make_tree_distinct_start 64 nopeer
echo
echo "copy floor: $floor_line"
awk -v s="$ms_make_tree_shared_start" -v d="$ms_make_tree_distinct_start" \
    'BEGIN { printf "one folder: shared start %s ms, distinct start %s ms: %.2fx\n", s, d, s / d }'
printf 'load after: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
echo "ours: both volumes (512- and 1024-byte sectors) of one image; peer: one volume;"
echo "bound: 64 MiB + 1 KiB per file"
printf '%s\n' "${results[@]}"
awk -v s="$ms_make_tree_shared_start" -v d="$ms_make_tree_distinct_start" 'BEGIN {
    printf "result\timage build, 6,000 names sharing their start, one folder\t%s ms\t%s ms (names differing at their start)\t%.2f\t<= 1.50\n", s, d, s / d }'
