#include "pieces/extraction.h"

#include "error_text.h"
#include "ffmpeg_child.h"
#include "file_url.h"
#include "folder/overwrite_guard.h"
#include "folder/piece_names.h"
#include "input/decode_pipe.h"
#include "pieces/cut_short_piece.h"
#include "pieces/mp3_padding.h"
#include "pieces/written_piece.h"

#include <QFile>
#include <QProcess>

namespace brevane::detail {

namespace {

    QString secondsText(double seconds) { return QString::number(seconds, 'f', 6); }

    // "-ss" and "-t" cut by the decoded frames' timestamps, and many containers do not count
    // those from 0 by the samples: WebM Opus starts before 0 by the codec delay, an Ogg stream
    // cut out of a longer one where it was cut, an MP4's audio after its video, and MP3s
    // joined with cat start again in every part. A piece would come out moved or short there.
    // The cut is applied after the filters, so numbering the frames by their sample count puts
    // it on the very frame the analysis counted. A stream whose rate or layout changes partway
    // still defeats it, as ffmpeg rebuilds its filters there and counts from 0 again; only the
    // one-pass mode is exact for such a stream. The default arguments keep the timestamps, as
    // they always have.
    // The count is rounded: the filter computes N/SR/TB in double and truncates it, and at
    // 44.1 kHz about one count in eight comes out just below itself, which moved the cut in
    // such a frame by a sample.
    // The format's own filters, where it has some, follow the renumbering in one chain: ffmpeg
    // keeps only the last "-af" it is given.
    void cutBySampleCount(QStringList& arguments, int mappedStream)
    {
        if (mappedStream < 0)
            return;
        const QString renumber = QStringLiteral("asetpts=round(N/SR/TB)");
        const qsizetype filters = arguments.indexOf(QStringLiteral("-af"));
        if (filters >= 0 && filters + 1 < arguments.size())
            arguments[filters + 1] = renumber + QLatin1Char(',') + arguments[filters + 1];
        else
            arguments << QStringLiteral("-af") << renumber;
        arguments << streamMapArguments(mappedStream);
    }

} // namespace

QStringList extractionArguments(const QString& inputPath, const QString& outputPath,
    std::int64_t inputRate, const InternalSegment& range, const PieceEncoding& encoding,
    std::int64_t tagBytes, int mappedStream)
{
    const PieceTimes times = pieceTimes(range, inputRate);
    QStringList arguments { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
        QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-i"), fileUrl(inputPath),
        QStringLiteral("-ss"), secondsText(times.start), QStringLiteral("-t"),
        secondsText(times.duration) };
    arguments << encoderArguments(encoding);
    cutBySampleCount(arguments, mappedStream);
    // ffmpeg's WAV writer does not switch to RF64 by itself: past 4 GiB it would write sizes
    // that wrap, and still succeed. Pieces under a size limit carry none of the input's tags.
    if (encoding.format == PieceFormat::Wav
        && wavPieceNeedsRf64(
            samplesAtRate(range.endFrame - range.startFrame, inputRate, encoding.sampleRate),
            encoding.channelCount, encoding.sizeBounded ? 0 : tagBytes))
        arguments << QStringLiteral("-rf64") << QStringLiteral("auto");
    arguments << childOutputPath(outputPath);
    return arguments;
}

bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t inputRate,
    const PieceEncoding& encoding, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes, int mappedStream, SplitStop* stop,
    const NameTemplate& names, const PieceFinishing& finishing)
{
    if (range.endFrame <= range.startFrame)
        return fail(errorMessage, trText("Invalid segment boundaries"));

    const QString outputPath = piecePath(outputDir, index, pieceSuffix(encoding.format), names);
    const FileState before = fileState(outputPath);

    FfmpegChild child(extractionArguments(inputPath, outputPath, inputRate, range, encoding,
                          tagBytes, mappedStream),
        stop, StopBy::QuitCommand);
    QProcess& writer = child.process();
    child.start();
    if (!child.waitForFinished(-1))
        return fail(errorMessage, trText("Failed to run ffmpeg: %1").arg(writer.errorString()));
    const bool succeeded = writer.exitStatus() == QProcess::NormalExit && writer.exitCode() == 0;
    // ffmpeg ends with status 0 after its quit command too: a piece is complete only where it
    // ended without reading it.
    if (child.stopRequested() && !(succeeded && !child.quitCommandTaken())) {
        if (keepCutShortPiece(outputPath, before, encoding.format)) {
            stop->cutShortPath = outputPath;
            if (finishing)
                finishing(outputPath, nullptr);
        }
        return failStopped(errorMessage);
    }
    // A piece whose writer failed is left as a stop leaves it: what it holds, stated as such.
    if (!succeeded) {
        const QString message = errorMessage
            ? ffmpegExitMessage(writer.exitCode(), writer.readAllStandardError())
            : QString();
        keepCutShortPiece(outputPath, before, encoding.format);
        return fail(errorMessage, message);
    }
    if (!checkMuxerReport(
            writer.readAllStandardError(), childOutputPath(outputPath), outputPath, errorMessage)) {
        keepCutShortPiece(outputPath, before, encoding.format);
        return false;
    }
    const std::int64_t pieceSamples
        = samplesAtRate(range.endFrame - range.startFrame, inputRate, encoding.sampleRate);
    if (encoding.format == PieceFormat::Mp3
        && !repairMp3Padding(outputPath, pieceSamples, errorMessage))
        return false;
    // Pieces cut by their sample count come out exact, unless the stream starts its count
    // afresh partway (a change of rate or layout): such a piece comes out short or empty.
    if (mappedStream >= 0
        && !checkPieceLength(outputPath, encoding.format,
            double(pieceSamples) / double(encoding.sampleRate), errorMessage)) {
        keepCutShortPiece(outputPath, before, encoding.format);
        return false;
    }
    if (finishing && !finishing(outputPath, errorMessage))
        return false;

    *segment = pieceRecord(outputPath, inputRate, range);
    return true;
}

bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t sampleRate,
    int channelCount, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes)
{
    return extractSegment(inputPath, outputDir, sampleRate,
        { PieceFormat::Wav, 0, sampleRate, channelCount }, range, index, segment, errorMessage,
        tagBytes);
}

namespace {

    // After the analysis, one ffmpeg run per piece, each reading the input itself.
    class PieceByPieceOutput final : public PieceOutput {
    public:
        using PieceOutput::PieceOutput;

        // The number of pieces is known before the first is written, so each piece's tags are
        // final at once.
        PieceFinishing tagsOf(qsizetype index, qsizetype pieceCount) const
        {
            if (!m_job.tagging.enabled())
                return {};
            const QString scratch
                = scratchPath(m_job.outputDir, index, QStringLiteral("tags"), m_job.names);
            return [this, scratch, index, pieceCount](const QString& path, QString* message) {
                return m_job.tagging.write(path, scratch, index + 1, pieceCount, message);
            };
        }

        bool write(CutFinder& finder, QList<Segment>* pieces, QString* errorMessage) override
        {
            AnalysisResult analysis;
            if (!m_job.analyse(finder, &analysis, errorMessage))
                return false;
            const qsizetype pieceCount = analysis.segments.size();
            if (!checkOutputsSpareInput(m_job.inputPath, m_job.outputDir, pieceCount, errorMessage,
                    pieceSuffix(m_job.encoding.format), m_job.names))
                return false;
            pieces->reserve(pieceCount);
            for (qsizetype index = 0; index < pieceCount; ++index) {
                if (stopRequested(m_job.stop))
                    return m_job.stopped(*pieces, errorMessage);
                m_job.reportWriting(index + 1, pieceCount);
                Segment segment;
                if (!extractSegment(m_job.inputPath, m_job.outputDir, m_job.stream.sampleRate,
                        m_job.encoding, analysis.segments.at(index), index, &segment, errorMessage,
                        m_job.stream.tagBytes, m_job.stream.mappedStream, m_job.stop, m_job.names,
                        tagsOf(index, pieceCount)))
                    return stopRequested(m_job.stop) && m_job.stopped(*pieces, errorMessage);
                pieces->append(segment);
            }
            return true;
        }
    };

} // namespace

std::unique_ptr<PieceOutput> makePieceByPieceOutput(const PieceJob& job)
{
    return std::make_unique<PieceByPieceOutput>(job);
}

} // namespace brevane::detail
