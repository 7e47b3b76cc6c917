#pragma once

// Any stretch of the input decoded on its own, in this process, with libavcodec: the frames come
// out as the interleaved little-endian floats that the decoder child would have written for the
// same frames of the whole input, value for value. That needs an input whose frames can be
// reached exactly: PCM in a WAV file, whose frames lie at known bytes, or an MP3 file, whose
// frames the index lists with what each needs from the frames before it.

#include "input/mp3_index.h"
#include "input/stream_probe.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace brevane::detail {

// Handed the decoded frames in order, a chunk at a time, as interleaved floats; returns false
// to stop the decode.
using FloatChunkConsumer = std::function<bool(QByteArray& floats)>;

class StretchDecoder {
public:
    virtual ~StretchDecoder() = default;

    // The frames of a decode of the whole input.
    virtual std::int64_t totalFrames() const = 0;

    // Decodes frames [from, to) of the whole input's decode and hands them to consume. A decode
    // that starts where the previous one ended goes on from there, without a new lead-in. Fails
    // with a message when the input cannot be read, or, without one, when consume stopped it.
    virtual bool decode(std::int64_t from, std::int64_t to, const FloatChunkConsumer& consume,
        QString* errorMessage)
        = 0;

    // Frames decoded so far, lead-ins included: the work done, for progress reports.
    virtual std::int64_t framesDecoded() const = 0;
};

// A decoder of stretches of inputPath's probed stream, or null where the input's frames cannot
// be reached exactly (why then says why not). mp3Index, when the stream is MP3, is its index,
// which must outlive the decoder.
std::unique_ptr<StretchDecoder> openStretchDecoder(const QString& inputPath,
    const StreamInfo& stream, const Mp3Index* mp3Index, QString* why = nullptr);

// What a decoder needs before frame `first` of an MP3 index to decode it, and every frame after
// it, exactly as a decode of the whole stream does. The granule before `first`, whose samples
// the synthesis takes in, and the granule before that one, which overlaps them, must be decoded
// from their full main data: the frames from `exact` on (one frame for MPEG-1, which holds two
// granules a frame, two for MPEG-2 and 2.5). Their main data reaches `reservoirBytes` bytes back
// before the region of frame `exact`, into the bit reservoir, which the frames from `start` on
// hold.
struct Mp3LeadIn {
    std::size_t exact = 0;
    std::int64_t reservoirBytes = 0;
    std::size_t start = 0;
};
Mp3LeadIn mp3LeadIn(const Mp3Index& index, std::size_t first);

// The first frame a decoder must be given for frame `first`: mp3LeadIn(...).start.
std::size_t mp3LeadInStart(const Mp3Index& index, std::size_t first);

} // namespace brevane::detail
