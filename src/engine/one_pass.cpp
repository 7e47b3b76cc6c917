#include "engine_internal.h"
#include "wav_piece_writer.h"

namespace brevane::detail {

bool splitInOnePass(const QString& inputPath, const QString& outputDir, const StreamInfo& stream,
    const FrameWindows& windows, CutFinder& finder, AnalysisResult* result, QString* errorMessage,
    const OnePassProgress& progress)
{
    const DecodedSamples form = stream.decodedSamples;
    const bool rawIsFloat = form == DecodedSamples::Float32 || form == DecodedSamples::Other;
    const qsizetype frameBytes = qsizetype(rawSampleBytes(form)) * stream.channelCount;

    WavPieceWriter::Format format;
    format.sampleRate = stream.sampleRate;
    format.channelCount = stream.channelCount;
    format.channelMask = stream.channelMask;
    format.longestPieceFrames = windows.maxFrames;
    WavPieceWriter writer(format);
    writer.begin(piecePath(outputDir, 0));

    // Cuts the open piece at the end of each range closed since the last call. While the
    // stream goes on, every closed range ends at a cut; the last range of all ends with the
    // stream instead (lastEndsTheStream), and finish closes it.
    qsizetype rangesCut = 0;
    const auto cutClosedRanges = [&](const QList<InternalSegment>& ranges, bool lastEndsTheStream) {
        for (; rangesCut < ranges.size() - (lastEndsTheStream ? 1 : 0); ++rangesCut) {
            if (!writer.cutAt(ranges.at(rangesCut).endFrame, piecePath(outputDir, rangesCut + 1),
                    errorMessage))
                return false;
        }
        return true;
    };

    QByteArray pieceSamples;
    QByteArray finderSamples;
    const auto consume = [&](QByteArray& pcmBuffer, bool decoderEnded) {
        const qsizetype frames = pcmBuffer.size() / frameBytes;
        if (frames > 0) {
            const qsizetype samples = frames * stream.channelCount;
            pieceSamples.resize(samples * 2);
            finderSamples.resize(rawIsFloat ? 0 : samples * 4);
            convertRawSamples(form, pcmBuffer.constData(), samples, pieceSamples.data(),
                rawIsFloat ? nullptr : finderSamples.data());
            if (!writer.append(pieceSamples.constData(), frames, errorMessage))
                return false;
            if (rawIsFloat) {
                finder.processChunk(pcmBuffer);
            } else {
                finder.processChunk(finderSamples);
                pcmBuffer.remove(0, frames * frameBytes);
            }
            // Frames are written before the finder sees them, so every cut it makes lies
            // within what the open piece holds.
            if (!cutClosedRanges(finder.closedRanges(), false))
                return false;
        }
        if (progress && !decoderEnded)
            progress(finder.framesProcessed(), writer.pieceNumber());
        return true;
    };

    DecoderExit decoderExit;
    if (!runDecoder(
            decodeArguments(inputPath, rawFormatName(form), stream.sampleRate, stream.channelCount),
            consume, &decoderExit, errorMessage))
        return false;

    if (!finder.finishAnalysis(result, errorMessage))
        return false;
    if (!decoderExit.succeeded()) {
        // The pieces so far stay, each with a header that states what it holds.
        if (cutClosedRanges(result->segments, true))
            writer.finish(nullptr);
        *result = AnalysisResult();
        return fail(errorMessage, ffmpegExitMessage(decoderExit.exitCode, decoderExit.errorTail));
    }
    if (result->segments.isEmpty() || result->segments.last().endFrame != writer.framesAppended())
        return fail(errorMessage, trText("Invalid segment boundaries"));
    return cutClosedRanges(result->segments, true) && writer.finish(errorMessage);
}

} // namespace brevane::detail
