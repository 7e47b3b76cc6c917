#include "engine_internal.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>

#include <sys/stat.h>

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

    struct PieceTimes {
        double start;
        double duration;
    };

    PieceTimes pieceTimes(const InternalSegment& range, std::int64_t sampleRate)
    {
        const double rate = double(sampleRate);
        return { double(range.startFrame) / rate,
            double(range.endFrame - range.startFrame) / rate };
    }

    Segment pieceRecord(
        const QString& outputPath, std::int64_t sampleRate, const InternalSegment& range)
    {
        const PieceTimes times = pieceTimes(range, sampleRate);
        Segment segment;
        segment.startSeconds = times.start;
        segment.endSeconds = times.start + times.duration;
        segment.filePath = outputPath;
        segment.startFrame = range.startFrame;
        segment.endFrame = range.endFrame;
        return segment;
    }

    bool spareInput(const struct stat& input, const QString& outputPath, QString* errorMessage)
    {
        struct stat output;
        if (::stat(QFile::encodeName(outputPath).constData(), &output) == 0
            && output.st_dev == input.st_dev && output.st_ino == input.st_ino)
            return fail(
                errorMessage, trText("Output file would overwrite the input: %1").arg(outputPath));
        return true;
    }

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

} // namespace

QString partFileName(qsizetype index)
{
    return QStringLiteral("part_%1.wav").arg(index + 1, 3, 10, QLatin1Char('0'));
}

QString piecePath(const QString& outputDir, qsizetype index)
{
    return QDir(outputDir).filePath(partFileName(index));
}

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

bool checkOutputsSpareInput(
    const QString& inputPath, const QString& outputDir, qsizetype pieceCount, QString* errorMessage)
{
    struct stat input;
    if (::stat(QFile::encodeName(inputPath).constData(), &input) != 0)
        return true;
    // ffmpeg refuses only when the two path texts are identical; with "-y" any other name for
    // the input, such as ./parts/part_001.wav for parts/part_001.wav, would be overwritten
    // while it is still being read.
    for (qsizetype index = 0; index < pieceCount; ++index) {
        if (!spareInput(input, piecePath(outputDir, index), errorMessage))
            return false;
    }
    return true;
}

bool checkPieceNamesSpareInput(
    const QString& inputPath, const QString& outputDir, QString* errorMessage)
{
    struct stat input;
    if (::stat(QFile::encodeName(inputPath).constData(), &input) != 0)
        return true;
    // Only the names the writer could reach matter; they are visited in piece order, so that
    // the message names the first piece that would overwrite the input.
    static const QRegularExpression pieceName(QStringLiteral("^part_(\\d{3,})\\.wav$"));
    QList<qsizetype> indices;
    for (const QString& name : QDir(outputDir).entryList(QDir::AllEntries | QDir::System)) {
        const QRegularExpressionMatch match = pieceName.match(name);
        bool isNumber = false;
        const qsizetype number = match.hasMatch() ? match.captured(1).toLongLong(&isNumber) : 0;
        if (isNumber && number >= 1 && partFileName(number - 1) == name)
            indices.append(number - 1);
    }
    std::sort(indices.begin(), indices.end());
    for (const qsizetype index : std::as_const(indices)) {
        if (!spareInput(input, piecePath(outputDir, index), errorMessage))
            return false;
    }
    return true;
}

QList<Segment> plannedPieces(
    const QString& outputDir, std::int64_t sampleRate, const QList<InternalSegment>& ranges)
{
    QList<Segment> pieces;
    pieces.reserve(ranges.size());
    for (qsizetype index = 0; index < ranges.size(); ++index)
        pieces.append(pieceRecord(piecePath(outputDir, index), sampleRate, ranges.at(index)));
    return pieces;
}

bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t sampleRate,
    int channelCount, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes)
{
    if (range.endFrame <= range.startFrame)
        return fail(errorMessage, trText("Invalid segment boundaries"));

    const QString outputPath = piecePath(outputDir, index);

    QProcess writer;
    writer.setProgram(QStringLiteral("ffmpeg"));
    writer.setArguments(
        extractionArguments(inputPath, outputPath, sampleRate, channelCount, range, tagBytes));
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

} // namespace brevane::detail
