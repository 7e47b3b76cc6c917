#pragma once

// The frames brevane writes itself into an MP3 piece made of the input's own frames: the header
// frame that tells a decoder how many samples to drop at each end (a Xing or Info frame with a
// LAME tag), and the priming frame that hands the decoder the bit reservoir its first frames
// reach back for, where the input's own frames before them would be too many to state.

#include "input/mp3_frames.h"

#include <QByteArray>

#include <cstdint>
#include <vector>

namespace brevane::detail {

struct GaplessHeader {
    // The stream's version, sample rate and channel mode.
    Mp3FrameHeader shape;
    // The bytes of every frame that follows the header frame, in order.
    std::vector<std::int32_t> frameBytes;
    // "Xing" for a stream whose frames do not all have one bit rate, otherwise "Info".
    bool variableBitRate = false;
    // The encoder named in the LAME tag (9 bytes, padded with zeros). Decoders honour the
    // delay and padding only under a name they know; an empty name writes no LAME tag at all,
    // for a piece whose samples need no trimming.
    QByteArray encoder;
    // Samples a decoder drops at the start beyond its own 529, and at the end.
    int delay = 0;
    int padding = 0;
    // The CRC-16 of the frames that follow the header frame.
    std::uint16_t framesCrc = 0;
};

// The most samples the LAME tag's 12-bit fields can state.
constexpr int mostGaplessSamples = 4095;

// The header frame: the smallest of the stream's bit rates from `firstBitRateIndex` up that
// holds it.
QByteArray gaplessHeaderFrame(const GaplessHeader& header, int firstBitRateIndex);

// The bytes of that header frame, known before the frames that follow it.
int gaplessHeaderBytes(const Mp3FrameHeader& shape, int firstBitRateIndex);

// A frame of the next frame's kind (headerWord: that frame's header) whose main data region
// ends with `reservoir` and whose granules use none of it: decoded, it gives silence and leaves
// `reservoir` as the bit reservoir for the frames after it. Empty when no bit rate of the
// stream holds it.
QByteArray mp3PrimingFrame(
    const Mp3FrameHeader& shape, std::uint32_t headerWord, const QByteArray& reservoir);

// CRC-16 as the LAME tag computes it, continued from crc.
std::uint16_t lameCrc(std::uint16_t crc, const unsigned char* bytes, std::size_t size);

} // namespace brevane::detail
