#include "cuts/analysis.h"

#include "cuts/boundary_detector.h"
#include "error_text.h"
#include "input/decode_pipe.h"

namespace brevane::detail {

bool analyzeAudio(const QString& inputPath, std::int64_t sampleRate, int channelCount,
    const FrameWindows& windows, AnalysisResult* result, QString* errorMessage,
    const FramesAnalysedCallback& framesAnalysed)
{
    BoundaryDetector detector(channelCount, windows);
    StreamInfo stream;
    stream.sampleRate = sampleRate;
    stream.channelCount = channelCount;
    return analyzeAudio(inputPath, stream, detector, result, errorMessage, framesAnalysed);
}

bool analyzeAudio(const QString& inputPath, const StreamInfo& stream, CutFinder& detector,
    AnalysisResult* result, QString* errorMessage, const FramesAnalysedCallback& framesAnalysed,
    SplitStop* stop)
{
    DecoderExit decoderExit;
    const bool decoded = runDecoder(
        decodeArguments(inputPath, stream),
        [&](QByteArray& pcmBuffer, bool decoderEnded) {
            detector.processChunk(pcmBuffer);
            if (framesAnalysed && !decoderEnded)
                framesAnalysed(detector.framesProcessed());
            return true;
        },
        &decoderExit, errorMessage, stop);
    if (!decoded)
        return false;

    if (!detector.finishAnalysis(result, errorMessage))
        return false;

    // A decoder that dies halfway would otherwise pass its truncated output off as the whole
    // recording, and the tail would be missing from the pieces without a word.
    if (!decoderExit.succeeded()) {
        *result = AnalysisResult();
        return fail(errorMessage, ffmpegExitMessage(decoderExit.exitCode, decoderExit.errorTail));
    }
    return true;
}

} // namespace brevane::detail
