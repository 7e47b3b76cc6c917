#pragma once

// How long a piece may be for its file to stay within a number of bytes, whatever the audio
// holds: an upper bound on the size of a piece file for each format, turned into frames.

#include "input/mp3_index.h"
#include "pieces/piece_format.h"

#include <cstdint>

namespace brevane::detail {

// The most frames of the input, at inputRate, that a piece in encoding can hold without its
// file passing maxBytes, for any audio, in either way of writing the pieces (ffmpeg given
// encoderArguments of a size-bounded encoding, or the one-pass writer); 0 when not even one
// frame fits. A piece of fewer frames never takes more bytes.
std::int64_t mostFramesWithin(
    const PieceEncoding& encoding, std::int64_t inputRate, std::int64_t maxBytes);

// The same for MP3 pieces copied from the frames of index, each carrying tagBytes of ID3v2 tag.
std::int64_t mostCopiedFramesWithin(
    const Mp3Index& index, std::int64_t tagBytes, std::int64_t maxBytes);

} // namespace brevane::detail
