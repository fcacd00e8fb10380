#!/usr/bin/env bash
# Joining ten ~100 MB movies (1280x720 mpeg4 at the encoder's best quality, AAC sound, 40 s each):
# the recorder's stitcher (bench/stitch_tool, which flushes the result to the disk before renaming
# it), ffmpeg's concat demuxer with stream copy, and cat of the same bytes into one file. The
# baselines are timed both as they are and followed by an fsync of their output (coreutils
# `sync FILE`), which is the same work our stitcher does. Prints wall and CPU seconds (user +
# system, children included), the best of RUNS runs each, and the ratios.
#
# usage: bench/stitch_bench.sh BUILD_DIR [RUNS]     (BUILD_DIR holds stitch_tool)
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-3}
tool=$(realpath "$build/stitch_tool")
[[ -x $tool ]] || { echo "no stitch_tool in $build" >&2; exit 1; }

base=${TMPDIR:-/tmp}
need_kb=$((4 * 1024 * 1024))  # ten inputs, one output at a time, some slack
avail_kb=$(df -Pk "$base" | awk 'NR == 2 { print $4 }')
(( avail_kb > need_kb )) || { echo "need 4 GB free in $base" >&2; exit 1; }
work=$(mktemp -d "$base/stitch-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "making the movies in $work ..."
ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=30 \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -t 40 \
    -c:v mpeg4 -q:v 1 -qmin 1 -c:a aac -b:a 128k G_0.DV.mov
for i in 1 2 3 4 5 6 7 8 9; do cp G_0.DV.mov "G_$i.DV.mov"; done
children=(G_{0..9}.DV.mov)
printf "file '%s'\n" "${children[@]}" > list.txt
bytes=$(cat "${children[@]}" | wc -c)
printf "%d files, %.1f MB in all\n" "${#children[@]}" "$(echo "$bytes / 1000000" | bc -l)"
cat "${children[@]}" > /dev/null  # every run reads from the page cache

# time_best NAME OUTPUT COMMAND...: best wall time of $runs runs, with the CPU time of that run.
declare -A wall cpu
time_best() {
    local name=$1 output=$2
    shift 2
    local best_wall="" best_cpu=""
    for ((r = 0; r < runs; r++)); do
        rm -f "$output" "$output.STITCH"
        sync  # nothing left over from the run before
        /usr/bin/time -f "%e %U %S" -o time.txt "$@" > /dev/null 2> err.txt || { cat err.txt >&2; exit 1; }
        read -r w u s < time.txt
        local c
        c=$(echo "$u + $s" | bc -l)
        if [[ -z $best_wall ]] || (( $(echo "$w < $best_wall" | bc -l) )); then
            best_wall=$w best_cpu=$c
        fi
    done
    wall[$name]=$best_wall cpu[$name]=$best_cpu
    local duration=""
    [[ $output == *.mov ]] && duration="   movie $(ffprobe -v error -show_entries format=duration -of csv=p=0 "$output") s"
    printf "%-24s wall %7.2f s   cpu %6.2f s%s\n" "$name" "$best_wall" "$best_cpu" "$duration"
}

time_best "ours (fsync)" ours.mov "$tool" ours.mov "${children[@]}"
time_best "ffmpeg concat" ff.mov ffmpeg -nostdin -loglevel error -f concat -safe 0 -i list.txt -c copy ff.mov
time_best "ffmpeg concat + fsync" ff.mov bash -c 'ffmpeg -nostdin -loglevel error -f concat -safe 0 -i list.txt -c copy ff.mov && sync ff.mov'
time_best "cat" cat.bin bash -c 'cat "$@" > cat.bin' _ "${children[@]}"
time_best "cat + fsync" cat.bin bash -c 'cat "$@" > cat.bin && sync cat.bin' _ "${children[@]}"

ratio() { printf "%-34s wall %5.2f   cpu %5.2f\n" "$1" "$(echo "${wall[$2]} / ${wall[$3]}" | bc -l)" \
    "$(echo "${cpu[$2]} / ${cpu[$3]}" | bc -l)"; }
echo
ratio "ours / ffmpeg concat + fsync" "ours (fsync)" "ffmpeg concat + fsync"
ratio "ours / cat + fsync" "ours (fsync)" "cat + fsync"
ratio "ours / ffmpeg concat" "ours (fsync)" "ffmpeg concat"
ratio "ours / cat" "ours (fsync)" "cat"
