#include "engine_internal.h"
#include "quietest_finder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>

#include <memory>

#include <unistd.h>

namespace brevane {

namespace detail {

    QString trText(const char* sourceText)
    {
        return QObject::staticMetaObject.tr(sourceText, nullptr, -1);
    }

    bool fail(QString* errorMessage, const QString& message)
    {
        if (errorMessage)
            *errorMessage = message;
        return false;
    }

    QString ffmpegExitMessage(int exitCode, const QByteArray& standardError)
    {
        return trText("ffmpeg exited with code %1: %2")
            .arg(exitCode)
            .arg(QString::fromUtf8(standardError).trimmed());
    }

} // namespace detail

using namespace detail;

namespace {

    std::unique_ptr<CutFinder> makeCutFinder(
        const SplitOptions& options, const StreamInfo& stream, const FrameWindows& windows)
    {
        if (options.cutRule == CutRule::Quietest)
            return std::make_unique<QuietestCutFinder>(
                stream.channelCount, stream.sampleRate, windows);
        return std::make_unique<BoundaryDetector>(
            stream.channelCount, windows, options.silenceLevel);
    }

    // Whether mkpath could make the missing folder: the nearest entry on its path that exists
    // (a dangling link counts, as mkdir will not replace it) must be a folder this process may
    // add to.
    bool folderCouldBeMade(const QString& outputDir)
    {
        QFileInfo entry(QDir(outputDir).absolutePath());
        while (!entry.exists() && !entry.isSymLink() && !entry.isRoot())
            entry.setFile(entry.absolutePath());
        return entry.isDir()
            && ::access(QFile::encodeName(entry.absoluteFilePath()).constData(), W_OK | X_OK) == 0;
    }

    // A dry run writes nothing, so it makes no folder either; but where a real run could not
    // make it, such as under a name taken by a file, the dry run fails the same way.
    bool prepareOutputDir(const QString& outputDir, bool dryRun, QString* errorMessage)
    {
        const QDir outputDirectory(outputDir);
        if (outputDirectory.exists())
            return true;
        if (dryRun ? folderCouldBeMade(outputDir) : outputDirectory.mkpath(QStringLiteral(".")))
            return true;
        return fail(errorMessage, trText("Failed to create output directory: %1").arg(outputDir));
    }

    // One ffmpeg run per piece, after the analysis.
    bool extractPieces(const QString& inputPath, const QString& outputDir, const StreamInfo& stream,
        const AnalysisResult& analysis, QList<Segment>* written, QString* errorMessage,
        const ProgressCallback& progress)
    {
        const qsizetype pieceCount = analysis.segments.size();
        if (!checkOutputsSpareInput(inputPath, outputDir, pieceCount, errorMessage))
            return false;
        written->reserve(pieceCount);
        for (qsizetype index = 0; index < pieceCount; ++index) {
            if (progress) {
                SplitProgress report;
                report.stage = SplitProgress::Stage::Writing;
                report.part = index + 1;
                report.partCount = pieceCount;
                progress(report);
            }
            Segment segment;
            if (!extractSegment(inputPath, outputDir, stream.sampleRate, stream.channelCount,
                    analysis.segments.at(index), index, &segment, errorMessage, stream.tagBytes))
                return false;
            written->append(segment);
        }
        return true;
    }

    SplitProgress decodingReport(const StreamInfo& stream, std::int64_t frames)
    {
        SplitProgress report;
        report.positionSeconds = double(frames) / double(stream.sampleRate);
        report.totalSeconds = stream.durationSeconds;
        return report;
    }

    // The analysis pass alone, for a dry run and for one ffmpeg run per piece.
    bool analyse(const QString& inputPath, const StreamInfo& stream, CutFinder& finder,
        AnalysisResult* analysis, QString* errorMessage, const ProgressCallback& progress)
    {
        FramesAnalysedCallback framesAnalysed;
        if (progress) {
            framesAnalysed = [&](std::int64_t frames) { progress(decodingReport(stream, frames)); };
        }
        return analyzeAudio(inputPath, stream.sampleRate, stream.channelCount, finder, analysis,
            errorMessage, framesAnalysed);
    }

    // The pieces written from the analysis decode itself. How many there will be is known
    // only at its end, so every existing entry named as a piece is checked against the input
    // before the first is opened.
    bool writeInOnePass(const QString& inputPath, const QString& outputDir,
        const StreamInfo& stream, const FrameWindows& windows, CutFinder& finder,
        AnalysisResult* analysis, QString* errorMessage, const ProgressCallback& progress)
    {
        if (!checkPieceNamesSpareInput(inputPath, outputDir, errorMessage))
            return false;
        OnePassProgress framesWritten;
        if (progress) {
            framesWritten = [&](std::int64_t frames, qsizetype part) {
                SplitProgress report = decodingReport(stream, frames);
                report.part = part;
                progress(report);
            };
        }
        return splitInOnePass(
            inputPath, outputDir, stream, windows, finder, analysis, errorMessage, framesWritten);
    }

} // namespace

bool splitAudio(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, QList<Segment>* outSegments, QString* errorMessage)
{
    return splitAudio(inputPath, outputDir, maxSeconds, toleranceSeconds, SplitOptions(),
        outSegments, errorMessage);
}

bool splitAudio(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, QList<Segment>* outSegments, QString* errorMessage,
    const ProgressCallback& progress)
{
    return splitAudio(inputPath, outputDir, maxSeconds, toleranceSeconds, SplitOptions(),
        outSegments, errorMessage, progress);
}

bool splitAudio(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, const SplitOptions& options, QList<Segment>* outSegments,
    QString* errorMessage, const ProgressCallback& progress, StreamFormat* format)
{
    if (!outSegments)
        return false;
    // Emptied before any check, so that every failure leaves the caller with an empty list.
    outSegments->clear();

    if (!(maxSeconds > 0) || !(toleranceSeconds >= 0))
        return fail(errorMessage, trText("Invalid segment durations supplied"));

    const QFileInfo inputInfo(inputPath);
    if (!inputInfo.exists() || !inputInfo.isFile())
        return fail(errorMessage, trText("Input file does not exist: %1").arg(inputPath));

    if (!prepareOutputDir(outputDir, options.dryRun, errorMessage))
        return false;

    StreamInfo stream;
    if (!probeAudioStream(inputPath, &stream, errorMessage))
        return false;
    if (format)
        *format = { stream.sampleRate, stream.channelCount };

    FrameWindows windows;
    if (!computeFrameWindows(stream.sampleRate, maxSeconds, toleranceSeconds,
            options.minSilenceSeconds, &windows, errorMessage))
        return false;
    const std::unique_ptr<CutFinder> finder = makeCutFinder(options, stream, windows);

    AnalysisResult analysis;
    QList<Segment> written;
    if (options.onePass && !options.dryRun) {
        if (!writeInOnePass(
                inputPath, outputDir, stream, windows, *finder, &analysis, errorMessage, progress))
            return false;
        written = plannedPieces(outputDir, stream.sampleRate, analysis.segments);
    } else {
        if (!analyse(inputPath, stream, *finder, &analysis, errorMessage, progress))
            return false;
        if (options.dryRun)
            written = plannedPieces(outputDir, stream.sampleRate, analysis.segments);
        else if (!extractPieces(
                     inputPath, outputDir, stream, analysis, &written, errorMessage, progress))
            return false;
    }

    *outSegments = written;
    return true;
}

} // namespace brevane
