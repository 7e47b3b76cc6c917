#pragma once

// Every frame of an MP3 file, where it lies and which decoded samples it gives, read with
// libavformat's demuxer (the same packets the ffmpeg program decodes) without decoding any.
// It lets the frames be copied into pieces, and any stretch of the input be decoded on its own
// with exactly the samples a decode of the whole file gives there.

#include "input/mp3_frames.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace brevane::detail {

struct Mp3Packet {
    std::int64_t position = 0;
    std::int32_t bytes = 0;
    // The frame's main_data_begin, and the bytes of its main data region.
    std::int16_t mainDataBegin = 0;
    std::int16_t regionBytes = 0;
    // The decoded samples it gives: the decoder makes samplesPerFrame of them, of which the
    // demuxer's gapless information drops `head` at the start and leaves `count`; they are
    // samples [outputStart, outputStart + count) of the whole decode.
    std::int64_t outputStart = 0;
    std::int32_t head = 0;
    std::int32_t count = 0;
};

struct Mp3Index {
    // The shape of the stream's frames (version, rate, channel mode) as the first one has it.
    Mp3FrameHeader shape;
    std::vector<Mp3Packet> packets;
    // The samples of the whole decode.
    std::int64_t totalFrames = 0;
    // The ID3v2 tag at the start of the file: its first `id3v2Bytes` bytes.
    std::int64_t id3v2Bytes = 0;
    // The input's own gapless header, when it has one: the encoder named in it (9 bytes).
    QByteArray encoderVersion;
    // Every frame has the same bit rate.
    bool constantBitRate = true;
    // The largest frame in bytes.
    int largestFrameBytes = 0;
    // Empty when every packet is a decodable layer III frame of one shape, each given its full
    // samples by the decoder, the frames following one another with nothing between them, and
    // the gapless trimming only at the start and the end; otherwise what is not so, for the
    // message of a run that needs it.
    QString irregularity;

    bool regular() const { return irregularity.isEmpty(); }
    int samplesPerFrame() const { return shape.samplesPerFrame; }
    // The index of the packet whose output holds decoded frame `frame` (the last for the end).
    std::size_t packetAt(std::int64_t frame) const;
};

// Reads the frames of the MP3 stream streamIndex of inputPath. Fails with "Unable to open audio
// file '%1': %2" or "Failed to read %1: %2".
bool indexMp3Stream(
    const QString& inputPath, int streamIndex, Mp3Index* index, QString* errorMessage);

} // namespace brevane::detail
