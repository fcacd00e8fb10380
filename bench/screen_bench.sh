#!/bin/bash
# Screen capture: our pipeline against ffmpeg's x11grab, recording the same changing 1920x1080
# screen of an Xvfb server for the same time at 5, 15 and 30 frames per second, one after the
# other. Prints CPU seconds (user + system of the recording process), frames written (ffprobe),
# frames dropped, and the CPU ratio ours / ffmpeg.
#
#   bench/screen_bench.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR holds screen_tool (a Release build with -DORVANTA_BUILD_BENCH=ON).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
seconds=${2:-30}
tool=$build/screen_tool
[ -x "$tool" ] || { echo "no $tool; build the screen_tool target first" >&2; exit 1; }

# The encoder preset our "h264" settings use, so that both encode alike.
preset=$(sed -n 's/.*"preset": *"\([a-z]*\)".*/\1/p' "$here/../resources/presets/h264")
tune=$(sed -n 's/.*"tune": *"\([a-z]*\)".*/\1/p' "$here/../resources/presets/h264")
preset=${preset:-veryfast}

work=$(mktemp -d)
xvfb_pid=
animate_pid=
cleanup() {
    [ -n "$animate_pid" ] && kill "$animate_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number and writes it when it accepts connections.
exec 9>"$work/display"
Xvfb -displayfd 9 -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb_pid=$!
exec 9>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(head -1 "$work/display")"
"$tool" animate "$display" &
animate_pid=$!
sleep 1

frames() {
    ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1"
}
cpu() {  # user + system seconds from /usr/bin/time -f "%U %S"
    awk '{ printf "%.2f", $1 + $2 }' "$1"
}

echo "load before: $(uptime | sed 's/.*load average: //')"
echo "display $display 1920x1080x24, $seconds s per run, x264 preset $preset${tune:+, tune $tune}"
printf "%-4s | %-8s %-7s %-22s | %-8s %-7s %-16s | %s\n" fps "ours cpu" frames "dropped" "ffm cpu" frames "dropped" "cpu ours/ffmpeg"
for fps in 5 15 30; do
    ours=$work/ours_$fps.mov
    /usr/bin/time -f "%U %S" -o "$work/time_ours" "$tool" record "$display" "$seconds" "$fps" "$ours" \
        >"$work/stats_ours" 2>"$work/log_ours"
    # grabs N skipped N failed N dropped N queued N refresh N
    read -r _ grabs _ skipped _ failed _ dropped _ queued _ refresh <"$work/stats_ours"
    ours_frames=$(frames "$ours")
    ours_cpu=$(cpu "$work/time_ours")

    theirs=$work/ffmpeg_$fps.mp4
    /usr/bin/time -f "%U %S" -o "$work/time_ffmpeg" ffmpeg -y -hide_banner -nostdin -f x11grab -framerate "$fps" \
        -video_size 1920x1080 -i "$display" -c:v libx264 -preset "$preset" ${tune:+-tune "$tune"} -pix_fmt yuv420p \
        -t "$seconds" "$theirs" >/dev/null 2>"$work/log_ffmpeg"
    ff_frames=$(frames "$theirs")
    ff_cpu=$(cpu "$work/time_ffmpeg")
    ff_drop=$(tr '\r' '\n' <"$work/log_ffmpeg" | { grep -o 'drop=[0-9]*' || true; } | tail -1 | cut -d= -f2)
    ff_dup=$(tr '\r' '\n' <"$work/log_ffmpeg" | { grep -o 'dup=[0-9]*' || true; } | tail -1 | cut -d= -f2)

    expected=$((fps * seconds))
    printf "%-4s | %-8s %-7s %-22s | %-8s %-7s %-16s | %s\n" "$fps" "$ours_cpu" "$ours_frames" \
        "$((expected - ours_frames)) (skip $skipped fail $failed)" "$ff_cpu" "$ff_frames" \
        "drop ${ff_drop:-0} dup ${ff_dup:-0}" "$(awk -v a="$ours_cpu" -v b="$ff_cpu" 'BEGIN { printf "%.2f", a / b }')"
done
echo "load after: $(uptime | sed 's/.*load average: //')"
echo "dropped (ours) = $seconds s x fps - frames written; skip = grabs due with no free reader, fail = failed reads"
