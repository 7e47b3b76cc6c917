#!/usr/bin/env bash
# Shows brevane at work: installs what is missing, builds the program, makes a spoken demo
# recording of about eleven minutes with pauses between paragraphs (demo/talk.mp3), and splits
# it with the default options into the folder beside it (demo/talk_parts).
#
# Usage: scripts/demo.sh [AUDIO_FILE]
# With AUDIO_FILE (WAV or MP3) that file is split the same way instead, into
# <folder of the file>/<name>_parts.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/demo_recording.sh"
# espeak-ng only speaks the demo recording; the program does not need it.
install_missing_packages "${BREVANE_PACKAGES[@]}" espeak-ng

build_dir="$BREVANE_ROOT/build-demo"
program="$build_dir/src/frontend/brevane"

build_release_program "$build_dir"

if [ $# -ge 1 ]; then
    input=$1
else
    mkdir -p "$BREVANE_ROOT/demo"
    cd "$BREVANE_ROOT"
    input=demo/talk.mp3
    if [ ! -f "$input" ]; then
        make_recording "$input"
    fi
fi

length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$input" 2>/dev/null || echo "?")
echo "== Splitting $input ($length s) with the default options (--max 5m --tolerance 1m)"
"$program" --input "$input"
