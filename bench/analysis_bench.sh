#!/usr/bin/env bash
# The analysis pass against the decoding it waits for.
#
# For each input, runs side by side (interleaved, RUNS times each):
#   - the decode command brevane gives ffmpeg, its 12 arguments, writing into a pipe that cat
#     drains;
#   - brevane itself, with an "ffmpeg" first on PATH that hands decode calls ("-f f32le") to the
#     real ffmpeg and answers piece calls by creating an empty output file, so that what is
#     timed is the probe, the decode and the detection.
# and prints the median wall times and their ratio, brevane's own CPU time (its children's taken
# out) against the decoder's, and brevane's own peak resident memory.
#
# Usage: bench/analysis_bench.sh [CACHE_DIR]
#   CACHE_DIR  where the generated inputs are kept between runs (default
#              /tmp/brevane-analysis-bench); about 1.4 GB.
#   BREVANE    the brevane executable (default: a RelWithDebInfo build made here, in
#              build-analysis-bench).
#   RUNS       runs of each command per input (default 5).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/bench_common.sh"
# time: GNU time for the wall and CPU times of single commands.
install_missing_packages "${BREVANE_PACKAGES[@]}" time

cache=${1:-/tmp/brevane-analysis-bench}
runs=${RUNS:-5}
mkdir -p "$cache"

default_brevane build-analysis-bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_input talk-2h.mp3 7200 44100 2 -c:a libmp3lame -b:a 128k
make_input talk-1h.wav 3600 44100 2 -c:a pcm_s16le
# The 10-hour input is 8 kHz mono so that it stays under 600 MB; a 1-hour file of the same
# format beside it shows whether memory grows with length.
make_input talk-1h-8k.wav 3600 8000 1 -c:a pcm_s16le
make_input talk-10h-8k.wav 36000 8000 1 -c:a pcm_s16le

# --- The stand-in ffmpeg and the memory and CPU report of brevane alone.
real_ffmpeg=$(command -v ffmpeg)
mkdir -p "$work/bin"
cat >"$work/bin/ffmpeg" <<EOF
#!/bin/sh
previous=
for argument; do
    if [ "\$previous" = "-f" ] && [ "\$argument" = "f32le" ]; then
        exec /usr/bin/time -f '%e %U %S' -o "\$DECODER_TIMES" "$real_ffmpeg" "\$@"
    fi
    previous=\$argument
done
# A piece: its output path is the last argument.
: >"\$argument"
EOF
chmod +x "$work/bin/ffmpeg"

build_self_usage

stream_parameter() { # file entry
    ffprobe -v error -select_streams a:0 -show_entries "stream=$2" -of csv=p=0 "$1"
}

echo "load before: $(uptime)"
printf '%-16s %9s %9s %6s %9s %9s %6s %9s\n' input ffmpeg_s brevane_s ratio self_cpu dec_cpu \
    cpu_% rss_MiB
for name in talk-2h.mp3 talk-1h.wav talk-1h-8k.wav talk-10h-8k.wav; do
    input=$cache/$name
    rate=$(stream_parameter "$input" sample_rate)
    channels=$(stream_parameter "$input" channels)
    for list in ffmpeg-wall brevane-wall self-cpu decoder-cpu self-rss; do
        : >"$work/$list"
    done
    for ((run = 1; run <= runs; ++run)); do
        /usr/bin/time -f '%e' -a -o "$work/ffmpeg-wall" \
            "$real_ffmpeg" -hide_banner -loglevel error \
            -i "$input" -f f32le -ac "$channels" -ar "$rate" - | cat >/dev/null

        rm -rf "$work/out"
        PATH=$work/bin:$PATH DECODER_TIMES=$work/decoder-times \
            /usr/bin/time -f '%e' -a -o "$work/brevane-wall" \
            env LD_PRELOAD="$work/self_usage.so" SELF_USAGE_FILE="$work/self-usage" \
            "$BREVANE" --input "$input" --out "$work/out" >/dev/null
        awk '{ print $2 + $3 }' "$work/decoder-times" >>"$work/decoder-cpu"
        awk '{ print $1 }' "$work/self-usage" >>"$work/self-cpu"
        awk '{ print $2 / 1024 }' "$work/self-usage" >>"$work/self-rss"
    done
    ffmpeg_wall=$(median <"$work/ffmpeg-wall")
    brevane_wall=$(median <"$work/brevane-wall")
    self_cpu=$(median <"$work/self-cpu")
    decoder_cpu=$(median <"$work/decoder-cpu")
    rss=$(sort -g "$work/self-rss" | tail -n 1)
    awk -v name="$name" -v f="$ffmpeg_wall" -v b="$brevane_wall" -v s="$self_cpu" \
        -v d="$decoder_cpu" -v m="$rss" 'BEGIN {
            printf "%-16s %9.2f %9.2f %6.3f %9.2f %9.2f %6.1f %9.1f\n", name, f, b, b / f, s, d,
                100 * s / d, m
        }'
done
echo "load after: $(uptime)"
