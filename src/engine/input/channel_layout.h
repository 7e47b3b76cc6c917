#pragma once

// What ffmpeg's "-ac" makes of a stream's channels: it gives them the default speaker layout of
// their count where ffmpeg has one (1 to 8, 16 and 24 channels in ffmpeg 5.1), remixing into
// it, and otherwise leaves them unnamed.

#include "input/stream_probe.h"

namespace brevane::detail {

// Whether ffmpeg has a default speaker layout for this many channels.
bool countHasDefaultLayout(int channelCount);

// Whether the stream's channels are speakers that the input names, in a count without a
// default layout. "-ac" with their own count would make them unnamed, and ffmpeg then fails on
// any conversion (to floats, to 16 bits, to another rate): they keep their count, and their
// names, only without "-ac".
bool keepsOwnLayout(const StreamInfo& stream);

} // namespace brevane::detail
