#!/bin/bash
# Camera and microphone recording: the camera recorder against ffmpeg, recording the same sources
# with the same encoders for the same time, one after the other. The camera is the 640x480 test
# pattern at 15 frames per second (lavfi testsrc2, paced to real time, for both), the microphone the
# monitor of a PulseAudio null sink a sine tone plays into (a private daemon started here). Video:
# libx264 veryfast, high profile, 1000 kbit/s, a key frame every 2 s; sound: AAC 160 kbit/s,
# 48 kHz stereo. Prints CPU seconds (user + system), peak memory (maximum resident set), frames
# and duration of each movie, and the ratios ours / ffmpeg.
#
#   bench/camera_bench.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR holds camera_tool (a Release build with -DORVANTA_BUILD_BENCH=ON).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
seconds=${2:-60}
tool=$build/camera_tool
[ -x "$tool" ] || { echo "no $tool; build the camera_tool target first" >&2; exit 1; }

work=$(mktemp -d)
pulse_pid=
cleanup() {
    [ -n "$pulse_pid" ] && kill "$pulse_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A sound server of our own with a null sink; its monitor is the microphone.
export PULSE_SERVER="unix:$work/native"
HOME=$work XDG_RUNTIME_DIR=$work XDG_CONFIG_HOME=$work DBUS_SESSION_BUS_ADDRESS= DISPLAY= \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --log-target=stderr --log-level=error \
    -L "module-native-protocol-unix socket=$work/native auth-anonymous=1" \
    -L "module-null-sink sink_name=orvanta_mic rate=48000 channels=2 sink_properties=\"device.description='Lecture Microphone'\"" \
    -L "module-always-sink" 2>"$work/pulse.log" &
pulse_pid=$!
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl load-module module-sine sink=orvanta_mic frequency=440 >/dev/null

measure() {  # user + system seconds, peak resident MB from /usr/bin/time -f "%U %S %M"
    awk '{ printf "%.2f %.1f", $1 + $2, $3 / 1024 }' "$1"
}
frames() {
    ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1"
}
duration() {
    ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"
}

echo "load before: $(uptime | sed 's/.*load average: //')"
echo "640x480 test pattern at 15 fps + PulseAudio microphone, $seconds s per run"

/usr/bin/time -f "%U %S %M" -o "$work/time_ours" \
    "$tool" "$seconds" "Monitor of Lecture Microphone" "$work/G.DV.mov" >"$work/ours_path" 2>"$work/log_ours"
ours=$(cat "$work/ours_path")

/usr/bin/time -f "%U %S %M" -o "$work/time_ffmpeg" \
    ffmpeg -nostdin -hide_banner -loglevel error -y \
    -re -f lavfi -i "testsrc2=size=640x480:rate=15" \
    -f pulse -fragment_size 3840 -i orvanta_mic.monitor \
    -t "$seconds" -map 0:v -map 1:a \
    -c:v libx264 -preset veryfast -profile:v high -b:v 1000k -g 30 -pix_fmt yuv420p \
    -c:a aac -b:a 160k -ar 48000 -ac 2 \
    "$work/ffmpeg.mov" 2>"$work/log_ffmpeg"

read -r ours_cpu ours_mem <<<"$(measure "$work/time_ours")"
read -r ff_cpu ff_mem <<<"$(measure "$work/time_ffmpeg")"
printf "%-7s | %-7s %-8s %-7s %-9s\n" "" "cpu s" "peak MB" frames "duration"
printf "%-7s | %-7s %-8s %-7s %-9s\n" ours "$ours_cpu" "$ours_mem" "$(frames "$ours")" "$(duration "$ours")"
printf "%-7s | %-7s %-8s %-7s %-9s\n" ffmpeg "$ff_cpu" "$ff_mem" "$(frames "$work/ffmpeg.mov")" "$(duration "$work/ffmpeg.mov")"
awk -v a="$ours_cpu" -v b="$ff_cpu" -v c="$ours_mem" -v d="$ff_mem" \
    'BEGIN { printf "ratio ours/ffmpeg: cpu %.2f, peak memory %.2f\n", a / b, c / d }'
