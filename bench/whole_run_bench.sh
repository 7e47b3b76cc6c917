#!/usr/bin/env bash
# The whole run on a 2-hour MP3 with the default options, split into the analysis pass (start
# of brevane to the end of its decode call) and the extraction (first piece call to the exit),
# and the wall time of every piece against its place in the recording.
#
# Every piece's ffmpeg decodes the input from its start up to the piece ("-ss" after "-i"), so
# a piece costs about a + b x its start, and the extraction of n pieces of equal length grows
# as a n + b L n^2 / 2. The script fits a and b to the pieces and prints the cumulative
# extraction time after n/4, n/2 and n pieces: about 4 times more for every doubling.
#
# Usage: bench/whole_run_bench.sh [CACHE_DIR]
#   CACHE_DIR  where the 2-hour MP3 is kept between runs (default /tmp/brevane-analysis-bench,
#              shared with bench/analysis_bench.sh, which makes the same file).
#   BREVANE    the brevane executable (default: built here in build-bench, RelWithDebInfo).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
install_missing_packages "${BREVANE_PACKAGES[@]}"

cache=${1:-/tmp/brevane-analysis-bench}
mkdir -p "$cache"

if [ -z "${BREVANE:-}" ]; then
    cmake -S "$BREVANE_ROOT" -B "$BREVANE_ROOT/build-bench" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBREVANE_BUILD_TESTS=OFF >/dev/null
    cmake --build "$BREVANE_ROOT/build-bench" -j "$(build_jobs)" --target brevane >/dev/null
    BREVANE=$BREVANE_ROOT/build-bench/src/frontend/brevane
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The same input as bench/analysis_bench.sh: a 220 Hz tone broken by pauses, as speech is, a
# 1.2 s pause every 7 s and a 0.3 s one every 3.1 s.
input=$cache/talk-2h.mp3
if [ ! -s "$input" ]; then
    echo "Making $input" >&2
    ffmpeg -hide_banner -loglevel error -y \
        -f lavfi -i "sine=frequency=220:sample_rate=44100:duration=7200" \
        -af "volume=0:enable='lt(mod(t\,7)\,1.2)+between(mod(t\,3.1)\,1.5\,1.8)'" \
        -ac 2 -c:a libmp3lame -b:a 128k "$input.partial.mp3"
    mv "$input.partial.mp3" "$input"
fi

# An "ffmpeg" first on PATH that runs the real one and logs each call: its kind, its -ss value
# and its start and end times.
real_ffmpeg=$(command -v ffmpeg)
mkdir -p "$work/bin"
cat >"$work/bin/ffmpeg" <<EOF
#!/bin/sh
begin=\$(date +%s.%N)
"$real_ffmpeg" "\$@"
status=\$?
end=\$(date +%s.%N)
kind=decode
offset=0
previous=
for argument; do
    if [ "\$previous" = "-ss" ]; then
        kind=piece
        offset=\$argument
    fi
    previous=\$argument
done
echo "\$kind \$offset \$begin \$end" >>"\$CALL_LOG"
exit \$status
EOF
chmod +x "$work/bin/ffmpeg"

echo "load before: $(uptime)"
begin=$(date +%s.%N)
PATH=$work/bin:$PATH CALL_LOG=$work/calls "$BREVANE" --input "$input" --out "$work/out" \
    >"$work/lines"
end=$(date +%s.%N)
echo "load after: $(uptime)"

awk -v begin="$begin" -v end="$end" '
    $1 == "decode" { decodeEnd = $4 }
    $1 == "piece" {
        n++
        offset[n] = $2
        wall[n] = $4 - $3
        if (n == 1)
            firstPiece = $3
    }
    END {
        printf "whole run %.1f s: analysis %.1f s (decode call ended %.1f s in), extraction %.1f s, %d pieces\n",
            end - begin, firstPiece - begin, decodeEnd - begin, end - firstPiece, n
        printf "%5s %10s %9s %12s\n", "piece", "start_s", "wall_s", "cumulative_s"
        for (k = 1; k <= n; k++) {
            total += wall[k]
            cumulative[k] = total
            printf "%5d %10.1f %9.2f %12.1f\n", k, offset[k], wall[k], total
            sx += offset[k]; sy += wall[k]; sxx += offset[k] * offset[k]; sxy += offset[k] * wall[k]
        }
        b = (n * sxy - sx * sy) / (n * sxx - sx * sx)
        a = (sy - b * sx) / n
        printf "fit: wall per piece = %.2f s + %.5f s per second of input before the piece\n", a, b
        q = int(n / 4); h = int(n / 2)
        printf "cumulative after %d, %d, %d pieces: %.1f, %.1f, %.1f s (ratios %.2f, %.2f)\n",
            q, h, 2 * h, cumulative[q], cumulative[h], cumulative[2 * h],
            cumulative[h] / cumulative[q], cumulative[2 * h] / cumulative[h]
    }' "$work/calls"
