#include "brevane.h"

#include "cuts/boundary_detector.h"
#include "cuts/cut_finder.h"
#include "cuts/frame_windows.h"
#include "cuts/quietest_finder.h"
#include "error_text.h"
#include "ffmpeg_child.h"
#include "input/stream_probe.h"
#include "pieces/dry_run.h"
#include "pieces/extraction.h"
#include "pieces/folder_lock.h"
#include "pieces/one_pass.h"
#include "pieces/piece_output.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>

#include <unistd.h>

namespace brevane {

using namespace detail;

namespace {

    // Where the cuts go.
    std::unique_ptr<CutFinder> makeCutFinder(
        const SplitOptions& options, const StreamInfo& stream, const FrameWindows& windows)
    {
        if (options.cutRule == CutRule::Quietest)
            return std::make_unique<QuietestCutFinder>(
                stream.channelCount, stream.sampleRate, windows);
        return std::make_unique<BoundaryDetector>(
            stream.channelCount, windows, options.silenceLevel);
    }

    // How the pieces are written: not at all (a dry run), from the analysis decode itself, or
    // by one ffmpeg run per piece after it.
    std::unique_ptr<PieceOutput> makePieceOutput(const SplitOptions& options, const PieceJob& job)
    {
        if (options.dryRun)
            return makeDryRunOutput(job);
        if (options.onePass)
            return makeOnePassOutput(job);
        return makePieceByPieceOutput(job);
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
    if (options.stop) {
        options.stop->completePieces.clear();
        options.stop->cutShortPath.clear();
    }

    if (!(maxSeconds > 0) || !(toleranceSeconds >= 0))
        return fail(errorMessage, trText("Invalid segment durations supplied"));

    const QFileInfo inputInfo(inputPath);
    if (!inputInfo.exists() || !inputInfo.isFile())
        return fail(errorMessage, trText("Input file does not exist: %1").arg(inputPath));

    if (!prepareOutputDir(outputDir, options.dryRun, errorMessage))
        return false;
    // Held until the split returns, before anything is written; a dry run writes nothing.
    FolderLock folderLock;
    if (!options.dryRun && !folderLock.lock(outputDir, errorMessage))
        return false;

    StreamInfo stream;
    if (!probeAudioStream(inputPath, &stream, errorMessage))
        return false;
    if (format)
        *format = { stream.sampleRate, stream.channelCount };
    if (stopRequested(options.stop))
        return failStopped(errorMessage);

    FrameWindows windows;
    if (!computeFrameWindows(stream.sampleRate, maxSeconds, toleranceSeconds,
            options.minSilenceSeconds, &windows, errorMessage))
        return false;

    const std::unique_ptr<CutFinder> finder = makeCutFinder(options, stream, windows);
    const std::unique_ptr<PieceOutput> output = makePieceOutput(
        options, { inputPath, outputDir, stream, windows, progress, options.stop });
    QList<Segment> pieces;
    if (!output->write(*finder, &pieces, errorMessage))
        return false;

    *outSegments = pieces;
    return true;
}

} // namespace brevane
