#pragma once

// What the pieces are written as: each format's suffix, encoder and limits, and the encoding a
// job chooses for its input.

#include "brevane.h"
#include "input/stream_probe.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace brevane::detail {

// The pieces' format and what its encoder is told.
struct PieceEncoding {
    PieceFormat format = PieceFormat::Wav;
    // Bits per second, for Mp3 and Opus.
    std::int64_t bitRate = 0;
    std::int64_t sampleRate = 0;
    int channelCount = 0;
    // The pieces have the input's channels, named as the input names them, in a count without
    // a default layout: "-ac" is left out, as ffmpeg would make them unnamed (keepsOwnLayout).
    bool keepsInputLayout = false;
    // The pieces must stay within a size (piece_size): ffmpeg is told to write them so that
    // the bytes beside the audio do not depend on the input, and the audio's bytes do not
    // depend on what it sounds like.
    bool sizeBounded = false;
    // The bytes each piece's tags take (PieceTagging::bytes), or 0 for pieces that brevane does
    // not tag: ffmpeg is then told to write none of the input's tags and to leave room for them.
    std::int64_t tagBytes = 0;
};

// The padding ffmpeg's FLAC writer leaves after the metadata, which tagged pieces keep beside
// their tags.
constexpr std::int64_t flacPaddingBytes = 8192;

// The pieces of the default options: 16-bit WAV at the input's rate and channel count.
PieceEncoding inputWavEncoding(const StreamInfo& stream);

// "wav", "flac", "mp3" or "opus": the suffix of the pieces' names, and ffmpeg's name for the
// container.
QString pieceSuffix(PieceFormat format);

// The encoding of this input's pieces: the options' rate and channel count, or the input's;
// where the encoder does not take that rate, the one ffmpeg would choose for it; the format's
// default bit rate where none is given. Fails with "Invalid piece format options" for options
// out of their ranges, and with a message that says what to do where the format cannot hold
// the pieces (too many channels, a rate FLAC cannot state, more bits than Opus takes for the
// channels), or where ffmpeg cannot remix the input's channels into the count asked for.
bool choosePieceEncoding(const SplitOptions& options, const StreamInfo& stream,
    PieceEncoding* encoding, QString* errorMessage);

// Whether the 16-bit samples the one-pass writer makes, at the input's rate and channel count,
// are the pieces themselves; otherwise they are an encoder's input.
bool needsEncoder(const PieceEncoding& encoding, const StreamInfo& stream);

// ffmpeg's output options for one piece: the codec, its settings, the channels and the rate.
// Without setChannels, or for pieces that keep the input's layout, the channels are left as the
// input has them (for an input that already holds the encoding's count).
QStringList encoderArguments(const PieceEncoding& encoding, bool setChannels = true);

// Whether a 16-bit WAV piece of that many samples, written by ffmpeg, could pass what a RIFF
// size field can state, and so needs "-rf64 auto"; tagBytes bounds what the input's tags add to
// its header.
bool wavPieceNeedsRf64(std::int64_t samples, int channelCount, std::int64_t tagBytes = 0);

// A piece of `frames` frames at inputRate, counted at pieceRate: the nearest whole number, as
// ffmpeg trims a piece to its duration after resampling it.
std::int64_t samplesAtRate(std::int64_t frames, std::int64_t inputRate, std::int64_t pieceRate);

} // namespace brevane::detail
