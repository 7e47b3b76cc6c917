#include "pieces/extraction.h"

#include "error_text.h"
#include "ffmpeg_child.h"
#include "pieces/overwrite_guard.h"
#include "pieces/piece_names.h"

#include <QFile>
#include <QProcess>
#include <QtEndian>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

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

    // What a piece's path held before its ffmpeg ran, to tell afterwards whether it touched it.
    struct FileState {
        bool regular = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified {};

        bool sameAs(const FileState& other) const
        {
            return regular == other.regular && device == other.device && inode == other.inode
                && size == other.size && modified.tv_sec == other.modified.tv_sec
                && modified.tv_nsec == other.modified.tv_nsec;
        }
    };

    FileState fileState(const QByteArray& name)
    {
        struct stat status;
        if (::lstat(name.constData(), &status) != 0 || !S_ISREG(status.st_mode))
            return {};
        return { true, status.st_dev, status.st_ino, status.st_size, status.st_mtim };
    }

    // The bytes of audio a WAV file holds, as far as its header states them (an RF64 header
    // states them elsewhere: then all that follows); -1 for a file that is no WAV.
    qint64 audioBytes(const QString& path)
    {
        QFile file(path);
        const QByteArray magic = file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
        if (magic != "RIFF" && magic != "RF64")
            return -1;
        for (qint64 chunk = 12; file.seek(chunk);) {
            const QByteArray header = file.read(8);
            if (header.size() < 8)
                return -1;
            const quint32 size = qFromLittleEndian<quint32>(header.constData() + 4);
            const qint64 follows = file.size() - chunk - 8;
            if (header.startsWith("data"))
                return size == 0xFFFFFFFF ? follows : std::min<qint64>(size, follows);
            chunk += 8 + qint64(size) + (size & 1);
        }
        return -1;
    }

    // After a stop, what the piece's ffmpeg left at path: its piece cut short, with a header
    // that states what it holds. ffmpeg reaches the piece only after decoding the input up to
    // it, which for a piece far into the input takes seconds; stopped before that, it leaves a
    // file without audio, which is removed. Stopped even before it opened the file, it leaves
    // whatever was there, which is not its piece.
    bool keepCutShortPiece(const QString& path, const FileState& before)
    {
        const QByteArray name = QFile::encodeName(path);
        const FileState after = fileState(name);
        if (!after.regular || after.sameAs(before))
            return false;
        if (audioBytes(path) <= 0) {
            ::unlink(name.constData());
            return false;
        }
        return true;
    }

} // namespace

QStringList extractionArguments(const QString& inputPath, const QString& outputPath,
    std::int64_t sampleRate, int channelCount, const InternalSegment& range, std::int64_t tagBytes)
{
    const PieceTimes times = pieceTimes(range, sampleRate);
    QStringList arguments { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
        QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-i"), inputPath,
        QStringLiteral("-ss"), secondsText(times.start), QStringLiteral("-t"),
        secondsText(times.duration), QStringLiteral("-acodec"), QStringLiteral("pcm_s16le"),
        QStringLiteral("-ac"), QString::number(channelCount), QStringLiteral("-ar"),
        QString::number(sampleRate) };
    // ffmpeg's WAV writer does not switch to RF64 by itself: past 4 GiB it would write sizes
    // that wrap, and still succeed.
    if (pieceNeedsRf64(range.endFrame - range.startFrame, channelCount, tagBytes))
        arguments << QStringLiteral("-rf64") << QStringLiteral("auto");
    arguments << childOutputPath(outputPath);
    return arguments;
}

bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t sampleRate,
    int channelCount, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes, SplitStop* stop)
{
    if (range.endFrame <= range.startFrame)
        return fail(errorMessage, trText("Invalid segment boundaries"));

    const QString outputPath = piecePath(outputDir, index);
    const FileState before = stop ? fileState(QFile::encodeName(outputPath)) : FileState();

    FfmpegChild child(
        extractionArguments(inputPath, outputPath, sampleRate, channelCount, range, tagBytes), stop,
        StopBy::QuitCommand);
    QProcess& writer = child.process();
    child.start();
    if (!child.waitForFinished(-1))
        return fail(errorMessage, trText("Failed to run ffmpeg: %1").arg(writer.errorString()));
    const bool succeeded = writer.exitStatus() == QProcess::NormalExit && writer.exitCode() == 0;
    // ffmpeg ends with status 0 after its quit command too, so after a stop only the audio
    // tells a complete piece.
    if (child.stopRequested()
        && !(succeeded
            && audioBytes(outputPath) == (range.endFrame - range.startFrame) * channelCount * 2)) {
        if (keepCutShortPiece(outputPath, before))
            stop->cutShortPath = outputPath;
        return failStopped(errorMessage);
    }
    if (!succeeded) {
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
                if (stopRequested(m_job.stop))
                    return m_job.stopped(*pieces, errorMessage);
                m_job.reportWriting(index + 1, pieceCount);
                Segment segment;
                if (!extractSegment(m_job.inputPath, m_job.outputDir, m_job.stream.sampleRate,
                        m_job.stream.channelCount, analysis.segments.at(index), index, &segment,
                        errorMessage, m_job.stream.tagBytes, m_job.stop))
                    return stopRequested(m_job.stop) && m_job.stopped(*pieces, errorMessage);
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
