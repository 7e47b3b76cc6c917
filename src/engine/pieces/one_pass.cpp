#include "pieces/one_pass.h"

#include "cuts/analysis.h"
#include "error_text.h"
#include "ffmpeg_child.h"
#include "folder/overwrite_guard.h"
#include "folder/piece_names.h"
#include "input/decode_pipe.h"
#include "input/raw_samples.h"
#include "pieces/encoded_pieces.h"
#include "pieces/piece_format.h"
#include "pieces/wav_piece_writer.h"

namespace brevane::detail {

namespace {

    // The pieces themselves written as the WAV files.
    class WavPieces final : public PieceSink {
    public:
        WavPieces(const QString& outputDir, std::int64_t sampleRate)
            : m_outputDir(outputDir)
            , m_sampleRate(sampleRate)
        {
        }
        QString samplesPath(qsizetype index) override { return piecePath(m_outputDir, index); }
        bool pieceWritten(qsizetype, const InternalSegment&, QString*) override { return true; }
        void reportStop(SplitStop* stop, const QList<InternalSegment>& complete,
            const QString& openFile) override
        {
            stop->completePieces = plannedPieces(m_outputDir, m_sampleRate, complete);
            stop->cutShortPath = openFile;
        }

    private:
        const QString m_outputDir;
        const std::int64_t m_sampleRate;
    };

    // The piece writer, cut at each range's end once the stream has passed it.
    class PieceStream {
    public:
        PieceStream(PieceSink& sink, const StreamInfo& stream, const FrameWindows& windows)
            : m_sink(sink)
            , m_writer(
                  { stream.sampleRate, stream.channelCount, stream.channelMask, windows.maxFrames })
        {
            m_writer.begin(sink.samplesPath(0));
        }

        bool append(const char* samples, std::int64_t frames, QString* errorMessage)
        {
            return m_writer.append(samples, frames, errorMessage);
        }

        // Cuts the open piece at the end of every range the stream has passed. Each range ends
        // at a cut, except the last of all when lastEndsTheStream: finish closes that one.
        bool cutPassedRanges(
            const QList<InternalSegment>& ranges, bool lastEndsTheStream, QString* errorMessage)
        {
            const qsizetype cuts = ranges.size() - (lastEndsTheStream ? 1 : 0);
            while (m_cut.size() < cuts
                && ranges.at(m_cut.size()).endFrame <= m_writer.framesAppended()) {
                const qsizetype index = m_cut.size();
                if (!m_writer.cutAt(
                        ranges.at(index).endFrame, m_sink.samplesPath(index + 1), errorMessage))
                    return false;
                m_cut.append(ranges.at(index));
                if (m_handingOver && !m_sink.pieceWritten(index, ranges.at(index), errorMessage))
                    return false;
            }
            return true;
        }

        // After the whole stream: the last cuts, and the last piece closed.
        bool finish(const AnalysisResult& analysis, QString* errorMessage)
        {
            if (analysis.segments.isEmpty()
                || analysis.segments.last().endFrame != m_writer.framesAppended())
                return fail(errorMessage, trText("Invalid segment boundaries"));
            if (!cutPassedRanges(analysis.segments, true, errorMessage)
                || !m_writer.finish(errorMessage))
                return false;
            // Where the stream ends exactly at a cut, the finder closed the last range itself
            // and its piece was handed on with the cut: a second encoder would race the first
            // for its scratch files.
            return m_cut.size() == analysis.segments.size()
                || m_sink.pieceWritten(
                    analysis.segments.size() - 1, analysis.segments.last(), errorMessage);
        }

        // After a failed decode: the files so far stay, each stating what it holds; none is
        // handed on.
        void close(const QList<InternalSegment>& ranges)
        {
            m_handingOver = false;
            if (cutPassedRanges(ranges, true, nullptr))
                m_writer.finish(nullptr);
        }

        // After a stop, which comes between two reads, when every range the stream has passed
        // is cut: the files cut are complete, and the open one is closed with what it holds.
        void closeAfterStop(SplitStop* stop)
        {
            const QString open = m_writer.openPiecePath();
            m_sink.reportStop(stop, m_cut, m_writer.finish(nullptr) ? open : QString());
        }

        std::int64_t framesAppended() const { return m_writer.framesAppended(); }
        qsizetype pieceNumber() const { return m_writer.pieceNumber(); }

    private:
        PieceSink& m_sink;
        WavPieceWriter m_writer;
        bool m_handingOver = true;
        // The ranges whose files are complete.
        QList<InternalSegment> m_cut;
    };

    // A decoder that failed after some pieces were written: the same message as in the default
    // mode, and the pieces so far closed as they stand.
    bool failAfterDecoder(const DecoderExit& decoderExit, PieceStream& pieces,
        AnalysisResult* result, QString* errorMessage)
    {
        pieces.close(result->segments);
        *result = AnalysisResult();
        return fail(errorMessage, ffmpegExitMessage(decoderExit.exitCode, decoderExit.errorTail));
    }

    // One decode in the widest raw form of the decoder's own samples, from which both the
    // finder's floats and the pieces' 16-bit samples are derived as ffmpeg derives them.
    bool splitInOneDecode(const QString& inputPath, const StreamInfo& stream, CutFinder& finder,
        PieceStream& pieces, AnalysisResult* result, QString* errorMessage,
        const OnePassProgress& progress, SplitStop* stop)
    {
        const DecodedSamples form = stream.decodedSamples;
        // Where the raw stream already is what one side needs, that side reads it in place.
        const bool rawIsFloat = form == DecodedSamples::Float32;
        const bool rawIsPieces = form == DecodedSamples::Int16;
        const qsizetype frameBytes = qsizetype(rawSampleBytes(form)) * stream.channelCount;
        QByteArray pieceSamples;
        QByteArray finderSamples;
        const auto consume = [&](QByteArray& pcmBuffer, bool decoderEnded) {
            const qsizetype frames = pcmBuffer.size() / frameBytes;
            if (frames > 0) {
                const qsizetype samples = frames * stream.channelCount;
                pieceSamples.resize(rawIsPieces ? 0 : samples * 2);
                finderSamples.resize(rawIsFloat ? 0 : samples * 4);
                convertRawSamples(form, pcmBuffer.constData(), samples,
                    rawIsPieces ? nullptr : pieceSamples.data(),
                    rawIsFloat ? nullptr : finderSamples.data());
                if (!pieces.append(rawIsPieces ? pcmBuffer.constData() : pieceSamples.constData(),
                        frames, errorMessage))
                    return false;
                if (rawIsFloat) {
                    finder.processChunk(pcmBuffer);
                } else {
                    finder.processChunk(finderSamples);
                    pcmBuffer.remove(0, frames * frameBytes);
                }
                // Frames are written before the finder sees them, so every cut it makes lies
                // within what the open piece holds.
                if (!pieces.cutPassedRanges(finder.closedRanges(), false, errorMessage))
                    return false;
            }
            if (progress && !decoderEnded)
                progress(finder.framesProcessed(), pieces.pieceNumber());
            return true;
        };

        DecoderExit decoderExit;
        if (!runDecoder(decodeArguments(inputPath, stream, rawFormatName(form)), consume,
                &decoderExit, errorMessage, stop))
            return false;
        if (!finder.finishAnalysis(result, errorMessage))
            return false;
        if (!decoderExit.succeeded())
            return failAfterDecoder(decoderExit, pieces, result, errorMessage);
        return pieces.finish(*result, errorMessage);
    }

    // Where ffmpeg remixes the channels ("-ac" with a layout other than the default for the
    // count), it scales the mix so that it cannot clip for integer output but not for float
    // output: its 16-bit samples then cannot be derived from its floats, nor the other way.
    // Such streams, and sample formats not handled above, are decoded twice: once as floats
    // for the cuts, exactly as the default mode does, then once as 16-bit samples for the
    // pieces, each written as the stream passes its cut.
    bool splitInTwoDecodes(const QString& inputPath, const StreamInfo& stream, CutFinder& finder,
        PieceStream& pieces, AnalysisResult* result, QString* errorMessage,
        const OnePassProgress& progress, SplitStop* stop)
    {
        FramesAnalysedCallback framesAnalysed;
        if (progress)
            framesAnalysed = [&](std::int64_t frames) { progress(frames, 0); };
        if (!analyzeAudio(inputPath, stream, finder, result, errorMessage, framesAnalysed, stop))
            return false;

        const qsizetype frameBytes = 2 * qsizetype(stream.channelCount);
        const auto consume = [&](QByteArray& pcmBuffer, bool decoderEnded) {
            const qsizetype frames = pcmBuffer.size() / frameBytes;
            if (frames > 0) {
                if (!pieces.append(pcmBuffer.constData(), frames, errorMessage)
                    || !pieces.cutPassedRanges(result->segments, true, errorMessage))
                    return false;
                pcmBuffer.remove(0, frames * frameBytes);
            }
            if (progress && !decoderEnded)
                progress(pieces.framesAppended(), pieces.pieceNumber());
            return true;
        };
        DecoderExit decoderExit;
        if (!runDecoder(decodeArguments(inputPath, stream, QStringLiteral("s16le")), consume,
                &decoderExit, errorMessage, stop))
            return false;
        if (!decoderExit.succeeded())
            return failAfterDecoder(decoderExit, pieces, result, errorMessage);
        return pieces.finish(*result, errorMessage);
    }

} // namespace

bool splitInOnePass(const QString& inputPath, PieceSink& sink, const StreamInfo& stream,
    const FrameWindows& windows, CutFinder& finder, AnalysisResult* result, QString* errorMessage,
    const OnePassProgress& progress, SplitStop* stop)
{
    PieceStream pieces(sink, stream, windows);
    const bool split = stream.layoutRemixed || stream.decodedSamples == DecodedSamples::Other
        ? splitInTwoDecodes(inputPath, stream, finder, pieces, result, errorMessage, progress, stop)
        : splitInOneDecode(inputPath, stream, finder, pieces, result, errorMessage, progress, stop);
    if (!split && stopRequested(stop)) {
        pieces.closeAfterStop(stop);
        return failStopped(errorMessage);
    }
    return split;
}

namespace {

    // The pieces written from the analysis decode itself: as the WAV files it writes, or
    // encoded from them. How many there will be is known only at its end, so every existing
    // entry named as a piece is checked against the input before the first is opened.
    class OnePassOutput final : public PieceOutput {
    public:
        using PieceOutput::PieceOutput;

        bool write(CutFinder& finder, QList<Segment>* pieces, QString* errorMessage) override
        {
            const QString suffix = pieceSuffix(m_job.encoding.format);
            if (!checkPieceNamesSpareInput(m_job.inputPath, m_job.outputDir, errorMessage, suffix))
                return false;
            OnePassProgress framesWritten;
            if (m_job.progress) {
                framesWritten = [this](std::int64_t frames, qsizetype part) {
                    m_job.reportDecoding(frames, part);
                };
            }
            AnalysisResult analysis;
            if (needsEncoder(m_job.encoding, m_job.stream)) {
                EncodedPieces encoded(m_job);
                if (!splitInOnePass(m_job.inputPath, encoded, m_job.stream, m_job.windows, finder,
                        &analysis, errorMessage, framesWritten, m_job.stop))
                    return false;
                if (!encoded.finish(analysis.segments.size(), errorMessage)) {
                    // Stopped while the last pieces were encoded.
                    if (!stopRequested(m_job.stop))
                        return false;
                    encoded.reportStop(m_job.stop, {}, {});
                    return failStopped(errorMessage);
                }
            } else {
                WavPieces wav(m_job.outputDir, m_job.stream.sampleRate);
                if (!splitInOnePass(m_job.inputPath, wav, m_job.stream, m_job.windows, finder,
                        &analysis, errorMessage, framesWritten, m_job.stop))
                    return false;
            }
            *pieces = plannedPieces(
                m_job.outputDir, m_job.stream.sampleRate, analysis.segments, suffix);
            return true;
        }
    };

} // namespace

std::unique_ptr<PieceOutput> makeOnePassOutput(const PieceJob& job)
{
    return std::make_unique<OnePassOutput>(job);
}

} // namespace brevane::detail
