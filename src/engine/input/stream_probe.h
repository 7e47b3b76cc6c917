#pragma once

// The first stage: what the input's audio stream is, read through libavformat without
// decoding anything.

#include "input/input_tags.h"
#include "input/raw_samples.h"

#include <QString>

#include <cstdint>

namespace brevane::detail {

struct StreamInfo {
    std::int64_t sampleRate = 0;
    int channelCount = 0;
    // As the container states it, for progress reports only; negative when unknown.
    double durationSeconds = -1.0;
    DecodedSamples decodedSamples = DecodedSamples::Other;
    // The speaker mask of the layout "-ac" gives the pieces: the default one for the channel
    // count, or the input's own where the count has no default; 0 when the channels are not
    // named.
    std::uint64_t channelMask = 0;
    // Set when the decoder's own layout is not that default, so that "-ac" remixes.
    bool layoutRemixed = false;
    // An upper bound on what the input's tags add to the header of a piece that ffmpeg writes.
    std::int64_t tagBytes = 0;
    // The audio stream the probe chose, by its index among the container's streams.
    int streamIndex = -1;
    // The stream every ffmpeg child is told to take, or -1 where the children name none and
    // ffmpeg chooses, as it always has for WAV and MP3 input.
    int mappedStream = -1;
    // The stream's codec and the container's format, as ffmpeg names them ("mp3", "pcm_s16le";
    // "mp3", "wav").
    QString codecName;
    QString containerName;
    // The input's tags and cover, for tagged pieces.
    InputTags tags;
};

bool probeAudioStream(const QString& inputPath, StreamInfo* info, QString* errorMessage);

// Whether the file at path holds at least one packet of audio, as a player would read it: for a
// compressed file that ffmpeg left cut short, whether it reached any audio.
bool holdsAudioPacket(const QString& path);

// The probe's fallbacks for streams that leave their rate or layout unset.
std::int64_t chooseSampleRate(int codecSampleRate, int frameRateNum, int frameRateDen);
int chooseChannelCount(int codecChannels);

QString ffmpegErrorToString(int code);

} // namespace brevane::detail
