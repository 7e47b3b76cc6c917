#!/usr/bin/env bash
# The pieces in another format: brevane --one-pass --format F against one ffmpeg conversion of
# the whole input to the same format and bit rate.
#
# On the 2-hour MP3 of bench/analysis_bench.sh, for each format, interleaved, RUNS times each:
#   - ffmpeg -i IN -c:a flac -sample_fmt s16 full.flac (libmp3lame -b:a 128k, libopus -b:a 96k
#     for the others): one decode, one encoder;
#   - brevane --input IN --out DIR --one-pass --format F, every piece written.
# It prints the median wall times and their ratio against the goal, the median CPU seconds (user
# + system, children included) of both, brevane's own peak resident memory (its children not
# counted), the number of pieces, and the bytes of the pieces against those of the single file.
#
# Usage: bench/formats_bench.sh [CACHE_DIR]
#   CACHE_DIR  the generated input, shared with bench/analysis_bench.sh (default
#              /tmp/brevane-analysis-bench); the outputs go to a temporary folder beside it.
#   BREVANE    the brevane executable (default: a RelWithDebInfo build made here, in
#              build-formats-bench).
#   RUNS       runs of each command (default 5).
#   FORMATS    the formats to measure (default "flac mp3 opus").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/bench_common.sh"
install_missing_packages "${BREVANE_PACKAGES[@]}" time

cache=${1:-/tmp/brevane-analysis-bench}
runs=${RUNS:-5}
formats=${FORMATS:-flac mp3 opus}
mkdir -p "$cache"

default_brevane build-formats-bench

work=$(mktemp -d "$cache/formats.XXXXXX")
trap 'rm -rf "$work"' EXIT

make_input talk-2h.mp3 7200 44100 2 -c:a libmp3lame -b:a 128k
input=$cache/talk-2h.mp3

build_self_usage

# The same codec and settings as brevane's defaults for the format.
codec_arguments() { # format
    case $1 in
    flac) echo "-c:a flac -sample_fmt s16" ;;
    mp3) echo "-c:a libmp3lame -b:a 128k" ;;
    opus) echo "-c:a libopus -b:a 96k" ;;
    esac
}

# Appends "wall cpu" to $work/NAME-times; the command's output bytes to $work/NAME-bytes.
timed() { # name command...
    local name=$1
    shift
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$@"
    awk '{ print $1, $2 + $3 }' "$work/time" >>"$work/$name-times"
}

run_ffmpeg() { # format
    rm -f "$work/full.$1"
    # shellcheck disable=SC2046 # the codec arguments are words
    timed ffmpeg ffmpeg -hide_banner -loglevel error -y -i "$input" $(codec_arguments "$1") \
        "$work/full.$1"
    stat -c %s "$work/full.$1" >"$work/ffmpeg-bytes"
    rm -f "$work/full.$1"
}

run_brevane() { # format
    rm -rf "$work/out"
    timed brevane env LD_PRELOAD="$work/self_usage.so" SELF_USAGE_FILE="$work/self-usage" \
        "$BREVANE" --input "$input" --out "$work/out" --one-pass --format "$1" >"$work/lines"
    awk '{ print $2 / 1024 }' "$work/self-usage" >>"$work/brevane-rss"
    du -b -c "$work"/out/part_* | tail -n 1 | cut -f 1 >"$work/brevane-bytes"
    if [ -n "$(find "$work/out" -name '.*')" ]; then
        echo "scratch files left in $work/out" >&2
        exit 1
    fi
}

column() { # file column
    awk -v c="$2" '{ print $c }' "$1" | median
}

report() { # format goal
    awk -v name="$1" -v goal="$2" \
        -v fw="$(column "$work/ffmpeg-times" 1)" -v fc="$(column "$work/ffmpeg-times" 2)" \
        -v bw="$(column "$work/brevane-times" 1)" -v bc="$(column "$work/brevane-times" 2)" \
        -v m="$(sort -g "$work/brevane-rss" | tail -n 1)" -v n="$(wc -l <"$work/lines")" \
        -v fb="$(cat "$work/ffmpeg-bytes")" -v bb="$(cat "$work/brevane-bytes")" 'BEGIN {
            printf "%-5s %9.2f %9.2f %6.3f %5.2f %8.1f %8.1f %8.1f %6d %10.1f %10.1f\n",
                name, fw, bw, bw / fw, goal, fc, bc, m, n, fb / 1e6, bb / 1e6
        }'
    : >"$work/ffmpeg-times"
    : >"$work/brevane-times"
    : >"$work/brevane-rss"
}

echo "load before: $(uptime)"
printf '%-5s %9s %9s %6s %5s %8s %8s %8s %6s %10s %10s\n' format ffmpeg_s brevane_s ratio goal \
    ffm_cpu brv_cpu rss_MiB pieces ffmpeg_MB pieces_MB
: >"$work/ffmpeg-times"
: >"$work/brevane-times"
: >"$work/brevane-rss"
for format in $formats; do
    goal=0.70
    [ "$format" = flac ] && goal=0.85
    for ((run = 1; run <= runs; ++run)); do
        run_ffmpeg "$format"
        run_brevane "$format"
    done
    report "$format" "$goal"
done
echo "load after: $(uptime)"
