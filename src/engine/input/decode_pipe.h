#pragma once

// The decoder child: ffmpeg turns the input into raw samples on its standard output, which
// are handed on as they arrive.

#include "brevane.h"
#include "input/stream_probe.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace brevane::detail {

// "-map 0:N", an output option that makes an ffmpeg child take stream N of its input and no
// other; nothing for -1, which leaves the choice to ffmpeg.
QStringList streamMapArguments(int mappedStream);

// The decoder's arguments: the stream as headerless raw samples of rawFormat, at its rate and
// channel count, on standard output.
QStringList decodeArguments(const QString& inputPath, const StreamInfo& stream,
    const QString& rawFormat = QStringLiteral("f32le"));

// How a decoder child ended, for the check that follows the analysis.
struct DecoderExit {
    bool normalExit = false;
    int exitCode = -1;
    // The end of what it wrote on standard error.
    QByteArray errorTail;

    bool succeeded() const { return normalExit && exitCode == 0; }
};

// Handed the bytes gathered so far after every read, and once more after the decoder has
// ended (decoderEnded). Returns false to stop at once: the decoder is then killed.
using DecodedChunkConsumer = std::function<bool(QByteArray& pcmBuffer, bool decoderEnded)>;

// Runs ffmpeg with arguments and feeds consume as its standard output arrives. Fails with
// "Failed to start ffmpeg: %1", with "Split stopped" once stop was asked to stop the split
// (before the next bytes are handed on), or without a message of its own when consume stopped
// it.
bool runDecoder(const QStringList& arguments, const DecodedChunkConsumer& consume,
    DecoderExit* decoderExit, QString* errorMessage, SplitStop* stop = nullptr);

} // namespace brevane::detail
