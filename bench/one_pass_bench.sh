#!/usr/bin/env bash
# The whole --one-pass run against the least work that produces every output sample.
#
# On the 2-hour MP3 of bench/analysis_bench.sh, interleaved, RUNS times each:
#   - ffmpeg -i IN -c:a pcm_s16le full.wav: one decode, every sample written once;
#   - brevane --input IN --out DIR --one-pass, all its pieces written.
# It prints the median wall times and their ratio, and brevane's own peak resident memory (its
# children not counted), then brevane's memory and wall time once on the 1-hour WAV and the
# 10-hour 8 kHz WAV, to show that memory does not grow with the length. With DEFAULT_RUN=1 it
# also times one run of the default mode (one ffmpeg per piece; minutes) for reference.
# With TAGS_RUN=1 (the default) it times --one-pass --format mp3 with and without --tags on the
# same MP3 given a title, an artist and a cover (a 1400x1400 JPEG of some 140 kB), interleaved,
# RUNS times each (goal: --tags costs at most 5 % more).
#
# Usage: bench/one_pass_bench.sh [CACHE_DIR]
#   CACHE_DIR    the generated inputs, shared with bench/analysis_bench.sh (default
#                /tmp/brevane-analysis-bench); the pieces and full.wav go to a temporary folder
#                beside them (about 1.3 GB at a time).
#   BREVANE      the brevane executable (default: a RelWithDebInfo build made here, in
#                build-one-pass-bench).
#   RUNS         runs of each command on the MP3 (default 5).
#   DEFAULT_RUN  1 to time the default mode once as well.
#   TAGS_RUN     0 to leave out the --tags row.
#   ONE_PASS_RUN 0 to time the --tags row alone (only the 2-hour MP3 is then made).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/bench_common.sh"
install_missing_packages "${BREVANE_PACKAGES[@]}" time

cache=${1:-/tmp/brevane-analysis-bench}
runs=${RUNS:-5}
mkdir -p "$cache"

default_brevane build-one-pass-bench

work=$(mktemp -d "$cache/one-pass.XXXXXX")
trap 'rm -rf "$work"' EXIT

make_input talk-2h.mp3 7200 44100 2 -c:a libmp3lame -b:a 128k
if [ "${ONE_PASS_RUN:-1}" = 1 ]; then
    make_input talk-1h.wav 3600 44100 2 -c:a pcm_s16le
    make_input talk-10h-8k.wav 36000 8000 1 -c:a pcm_s16le
fi

build_self_usage

# brevane once: appends its wall time to $work/brevane-wall and its own peak RSS in MiB to
# $work/brevane-rss.
run_brevane() { # input options...
    local input=$1
    shift
    rm -rf "$work/out"
    /usr/bin/time -f '%e' -a -o "$work/brevane-wall" \
        env LD_PRELOAD="$work/self_usage.so" SELF_USAGE_FILE="$work/self-usage" \
        "$BREVANE" --input "$input" --out "$work/out" "$@" >"$work/lines"
    awk '{ print $2 / 1024 }' "$work/self-usage" >>"$work/brevane-rss"
}

run_ffmpeg() { # input
    rm -f "$work/full.wav"
    /usr/bin/time -f '%e' -a -o "$work/ffmpeg-wall" \
        ffmpeg -hide_banner -loglevel error -y -i "$1" -c:a pcm_s16le "$work/full.wav"
    rm -f "$work/full.wav"
}

report() { # name
    awk -v name="$1" -v f="$(median <"$work/ffmpeg-wall")" \
        -v b="$(median <"$work/brevane-wall")" -v m="$(sort -g "$work/brevane-rss" | tail -n 1)" \
        -v n="$(wc -l <"$work/lines")" 'BEGIN {
            printf "%-22s %9.2f %9.2f %6.3f %9.1f %6d\n", name, f, b, b / f, m, n
        }'
    : >"$work/ffmpeg-wall"
    : >"$work/brevane-wall"
    : >"$work/brevane-rss"
}

echo "load before: $(uptime)"
if [ "${ONE_PASS_RUN:-1}" = 1 ]; then
    printf '%-22s %9s %9s %6s %9s %6s\n' run ffmpeg_s brevane_s ratio rss_MiB pieces
    : >"$work/ffmpeg-wall"
    : >"$work/brevane-wall"
    : >"$work/brevane-rss"
    for ((run = 1; run <= runs; ++run)); do
        run_ffmpeg "$cache/talk-2h.mp3"
        run_brevane "$cache/talk-2h.mp3" --one-pass
    done
    report "talk-2h.mp3 one-pass"
    echo "load: $(uptime)"

    for name in talk-1h.wav talk-10h-8k.wav; do
        run_ffmpeg "$cache/$name"
        run_brevane "$cache/$name" --one-pass
        report "$name one-pass"
    done
fi

# The same MP3 as an audiobook: tags and a large cover, which every piece carries.
make_tagged_input() {
    local file=$cache/talk-2h-tagged.mp3
    [ -s "$file" ] && return 0
    echo "Making $file" >&2
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=s=1400x1400" -frames:v 1 \
        -q:v 2 "$work/cover.jpg"
    ffmpeg -hide_banner -loglevel error -y -i "$cache/talk-2h.mp3" -i "$work/cover.jpg" \
        -map 0:a -map 1:v -c copy -disposition:v attached_pic -metadata title="A Talk" \
        -metadata artist="The Speaker" -id3v2_version 3 "$file.partial.mp3"
    mv "$file.partial.mp3" "$file"
}

if [ "${TAGS_RUN:-1}" = 1 ]; then
    make_tagged_input
    echo "cover: $(ffprobe -v error -select_streams v -show_entries packet=size -of csv=p=0 \
        "$cache/talk-2h-tagged.mp3") bytes"
    printf '%-22s %9s %9s %6s %5s\n' run plain_s tags_s ratio goal
    : >"$work/brevane-wall"
    for ((run = 1; run <= runs; ++run)); do
        run_brevane "$cache/talk-2h-tagged.mp3" --one-pass --format mp3
        run_brevane "$cache/talk-2h-tagged.mp3" --one-pass --format mp3 --tags
    done
    # The runs alternate in brevane-wall: without --tags on odd lines, with it on even ones.
    awk -v p="$(awk 'NR % 2 == 1' "$work/brevane-wall" | median)" \
        -v t="$(awk 'NR % 2 == 0' "$work/brevane-wall" | median)" 'BEGIN {
        printf "%-22s %9.2f %9.2f %6.3f %5.2f\n", "talk-2h mp3 --tags", p, t, t / p, 1.05
    }'
    : >"$work/brevane-wall"
    : >"$work/brevane-rss"
    echo "load: $(uptime)"
fi

if [ "${DEFAULT_RUN:-0}" = 1 ]; then
    run_ffmpeg "$cache/talk-2h.mp3"
    run_brevane "$cache/talk-2h.mp3"
    report "talk-2h.mp3 default"
fi
echo "load after: $(uptime)"
