#include "pieces/extraction.h"

#include "error_text.h"
#include "input/decode_pipe.h"
#include "pieces/overwrite_guard.h"
#include "pieces/piece_names.h"

#include <QProcess>

namespace brevane::detail {

namespace {

    // ffmpeg reads an output path beginning with "-" as an option. Such a path is relative (an
    // absolute one begins with "/"), and "./" in front names the same file; the printed path
    // stays as given.
    QString childOutputPath(const QString& outputPath)
    {
        return outputPath.startsWith(u'-') ? QStringLiteral("./") + outputPath : outputPath;
    }

    QString secondsText(double seconds) { return QString::number(seconds, 'f', 6); }

    // Whether a piece of that many frames, written by ffmpeg, could pass what a RIFF size field
    // can state; tagBytes bounds what the input's tags add to its header.
    bool pieceNeedsRf64(std::int64_t frames, int channelCount, std::int64_t tagBytes)
    {
        // ffmpeg's WAV header: RIFF, fmt (at most 48 bytes), a LIST chunk naming the encoder and
        // holding the input's tags, and the data chunk's own 8 bytes.
        constexpr std::int64_t headerBytesBeyondTags = 1024;
        std::int64_t fileBytes = 0;
        if (frames < 0 || tagBytes < 0
            || __builtin_mul_overflow(frames, std::int64_t(channelCount) * 2, &fileBytes)
            || __builtin_add_overflow(fileBytes, headerBytesBeyondTags + tagBytes, &fileBytes))
            return true;
        return fileBytes - 8 > std::int64_t(0xFFFFFFFF);
    }

    // "-ss" and "-t" cut by the decoded frames' timestamps, and many containers do not count
    // those from 0 by the samples: WebM Opus starts before 0 by the codec delay, an Ogg stream
    // cut out of a longer one where it was cut, an MP4's audio after its video, and MP3s
    // joined with cat start again in every part. A piece would come out moved or short there.
    // The cut is applied after the filters, so numbering the frames by their sample count puts
    // it on the very frame the analysis counted. A stream whose rate or layout changes partway
    // still defeats it, as ffmpeg rebuilds its filters there and counts from 0 again; only the
    // one-pass mode is exact for such a stream. The default arguments keep the timestamps, as
    // they always have.
    QStringList pieceStreamArguments(int mappedStream)
    {
        if (mappedStream < 0)
            return {};
        return streamMapArguments(mappedStream)
            << QStringLiteral("-af") << QStringLiteral("asetpts=N/SR/TB");
    }

} // namespace

QStringList extractionArguments(const QString& inputPath, const QString& outputPath,
    std::int64_t sampleRate, int channelCount, const InternalSegment& range, std::int64_t tagBytes,
    int mappedStream)
{
    const PieceTimes times = pieceTimes(range, sampleRate);
    QStringList arguments { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
        QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-i"), inputPath,
        QStringLiteral("-ss"), secondsText(times.start), QStringLiteral("-t"),
        secondsText(times.duration), QStringLiteral("-acodec"), QStringLiteral("pcm_s16le"),
        QStringLiteral("-ac"), QString::number(channelCount), QStringLiteral("-ar"),
        QString::number(sampleRate) };
    arguments << pieceStreamArguments(mappedStream);
    // ffmpeg's WAV writer does not switch to RF64 by itself: past 4 GiB it would write sizes
    // that wrap, and still succeed.
    if (pieceNeedsRf64(range.endFrame - range.startFrame, channelCount, tagBytes))
        arguments << QStringLiteral("-rf64") << QStringLiteral("auto");
    arguments << childOutputPath(outputPath);
    return arguments;
}

bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t sampleRate,
    int channelCount, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes, int mappedStream)
{
    if (range.endFrame <= range.startFrame)
        return fail(errorMessage, trText("Invalid segment boundaries"));

    const QString outputPath = piecePath(outputDir, index);

    QProcess writer;
    writer.setProgram(QStringLiteral("ffmpeg"));
    writer.setArguments(extractionArguments(
        inputPath, outputPath, sampleRate, channelCount, range, tagBytes, mappedStream));
    writer.setProcessChannelMode(QProcess::SeparateChannels);
    writer.start(QIODevice::ReadWrite);
    if (!writer.waitForFinished(-1))
        return fail(errorMessage, trText("Failed to run ffmpeg: %1").arg(writer.errorString()));
    if (writer.exitStatus() != QProcess::NormalExit || writer.exitCode() != 0) {
        if (!errorMessage)
            return false;
        return fail(
            errorMessage, ffmpegExitMessage(writer.exitCode(), writer.readAllStandardError()));
    }

    *segment = pieceRecord(outputPath, sampleRate, range);
    return true;
}

namespace {

    // After the analysis, one ffmpeg run per piece, each reading the input itself.
    class PieceByPieceOutput final : public PieceOutput {
    public:
        explicit PieceByPieceOutput(const PieceJob& job)
            : m_job(job)
        {
        }

        bool write(CutFinder& finder, QList<Segment>* pieces, QString* errorMessage) override
        {
            AnalysisResult analysis;
            if (!m_job.analyse(finder, &analysis, errorMessage))
                return false;
            const qsizetype pieceCount = analysis.segments.size();
            if (!checkOutputsSpareInput(m_job.inputPath, m_job.outputDir, pieceCount, errorMessage))
                return false;
            pieces->reserve(pieceCount);
            for (qsizetype index = 0; index < pieceCount; ++index) {
                m_job.reportWriting(index + 1, pieceCount);
                Segment segment;
                if (!extractSegment(m_job.inputPath, m_job.outputDir, m_job.stream.sampleRate,
                        m_job.stream.channelCount, analysis.segments.at(index), index, &segment,
                        errorMessage, m_job.stream.tagBytes, m_job.stream.mappedStream))
                    return false;
                pieces->append(segment);
            }
            return true;
        }

    private:
        const PieceJob m_job;
    };

} // namespace

std::unique_ptr<PieceOutput> makePieceByPieceOutput(const PieceJob& job)
{
    return std::make_unique<PieceByPieceOutput>(job);
}

} // namespace brevane::detail
