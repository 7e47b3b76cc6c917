#pragma once

// The end padding of MP3 pieces, put right where ffmpeg 5.1 records it wrongly.

#include <QString>

#include <cstdint>

namespace brevane::detail {

// An MP3 piece states in its LAME tag how many samples of encoder padding end it, so that a
// decoder gives exactly the piece's samples. For a piece of N samples whose last whole frame
// (1152 samples, 576 below 32 kHz) is followed by 1 to 46 more, libmp3lame hands the padding
// over in the last two packets, and ffmpeg's MP3 writer records only the last packet's share:
// the piece then decodes to 47 - (N mod frame) samples too many. This rewrites the padding of
// the MP3 at path so that it decodes to `samples` samples, and the tag's checksum with it. A
// file that shows no such fault is left as it is. Fails with "Failed to write %1: %2".
bool repairMp3Padding(const QString& path, std::int64_t samples, QString* errorMessage);

} // namespace brevane::detail
