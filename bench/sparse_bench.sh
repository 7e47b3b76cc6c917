#!/usr/bin/env bash
# Decoding only where a cut can fall, and MP3 pieces copied frame by frame, against the bare
# decode of the same file.
#
# For each input, runs side by side (interleaved, RUNS times each):
#   - the bare decode, "ffmpeg -i IN -f null -";
#   - brevane --dry-run;
#   - brevane --format copy, and --format copy --one-pass;
# all with the default --max 5m --tolerance 1m, and prints the median wall times, their ratios to
# the bare decode, and brevane's peak resident memory (it runs no child in these modes).
#
# Inputs: the 2-hour 128 kbit/s MP3 of the other benchmarks (a tone broken by pauses), 24 minutes
# of speech (the demo recording, looped), and 30 minutes of pink noise (no pause at all: the
# silence rule then needs every frame).
#
# Usage: bench/sparse_bench.sh [CACHE_DIR]
#   CACHE_DIR  where the generated inputs are kept between runs (default
#              /tmp/brevane-sparse-bench); about 170 MB.
#   BREVANE    the brevane executable (default: a RelWithDebInfo build made here, in
#              build-sparse-bench).
#   RUNS       runs of each command per input (default 5).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/demo_recording.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/bench_common.sh"
install_missing_packages "${BREVANE_PACKAGES[@]}" time espeak-ng

cache=${1:-/tmp/brevane-sparse-bench}
runs=${RUNS:-5}
mkdir -p "$cache"

default_brevane build-sparse-bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_input talk-2h.mp3 7200 44100 2 -c:a libmp3lame -b:a 128k
if [ ! -s "$cache/speech-24m.mp3" ]; then
    make_recording "$work/talk.mp3"
    ffmpeg -hide_banner -loglevel error -y -stream_loop 2 -i "$work/talk.mp3" -t 1440 \
        -c:a libmp3lame -b:a 128k "$cache/speech-24m.mp3"
fi
if [ ! -s "$cache/noise-30m.mp3" ]; then
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "anoisesrc=a=0.3:c=pink:r=44100:d=1800" \
        -ac 2 -c:a libmp3lame -b:a 128k "$cache/noise-30m.mp3"
fi

run_timed() { # list command...
    local list=$1
    shift
    /usr/bin/time -f '%e %M' -a -o "$work/$list" "$@" >/dev/null
}

sizes=()
echo "load before: $(uptime)"
printf '%-16s %8s %8s %6s %8s %6s %8s %6s %8s\n' input decode_s dry_s ratio copy_s ratio \
    1pass_s ratio rss_MiB
for name in talk-2h.mp3 speech-24m.mp3 noise-30m.mp3; do
    input=$cache/$name
    for list in decode dry copy onepass; do
        : >"$work/$list"
    done
    for ((run = 1; run <= runs; ++run)); do
        run_timed decode ffmpeg -hide_banner -loglevel error -i "$input" -f null -
        run_timed dry "$BREVANE" --input "$input" --dry-run
        rm -rf "$work/out"
        run_timed copy "$BREVANE" --input "$input" --out "$work/out" --format copy
        rm -rf "$work/out"
        run_timed onepass "$BREVANE" --input "$input" --out "$work/out" --format copy --one-pass
    done
    # What the copied pieces hold beyond the input's bytes: a tag, a header frame and a
    # lead-in (or a priming frame) each.
    pieces=$(find "$work/out" -name 'part_*.mp3' | wc -l)
    pieces_bytes=$(find "$work/out" -name 'part_*.mp3' -printf '%s\n' | awk '{ s += $1 } END { print s }')
    sizes+=("$(awk -v n="$name" -v p="$pieces" -v b="$pieces_bytes" -v i="$(stat -c %s "$input")" \
        'BEGIN { printf "%-16s %6d pieces %12d bytes, input %12d: %+.3f%%, %.0f bytes a piece", n, p, b, i, 100 * (b - i) / i, (b - i) / p }')")
    for list in decode dry copy onepass; do
        awk '{ print $1 }' "$work/$list" | median >"$work/$list.wall"
    done
    rss=$(cat "$work/dry" "$work/copy" "$work/onepass" | awk '{ print $2 / 1024 }' | sort -g | tail -n 1)
    awk -v name="$name" -v d="$(cat "$work/decode.wall")" -v r="$(cat "$work/dry.wall")" \
        -v c="$(cat "$work/copy.wall")" -v o="$(cat "$work/onepass.wall")" -v m="$rss" 'BEGIN {
            printf "%-16s %8.2f %8.2f %6.3f %8.2f %6.3f %8.2f %6.3f %8.1f\n", name, d, r, r / d,
                c, c / d, o, o / d, m
        }'
done
printf '%s\n' "${sizes[@]}"
echo "load after: $(uptime)"
