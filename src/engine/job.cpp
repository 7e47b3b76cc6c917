#include "brevane.h"

#include "cuts/boundary_detector.h"
#include "cuts/cut_finder.h"
#include "cuts/frame_windows.h"
#include "cuts/quietest_finder.h"
#include "error_text.h"
#include "ffmpeg_child.h"
#include "folder/folder_lock.h"
#include "folder/name_template.h"
#include "folder/output_folder.h"
#include "folder/run_record.h"
#include "input/mp3_index.h"
#include "input/stream_probe.h"
#include "pieces/copy_output.h"
#include "pieces/dry_run.h"
#include "pieces/extraction.h"
#include "pieces/one_pass.h"
#include "pieces/piece_format.h"
#include "pieces/piece_output.h"
#include "pieces/piece_size.h"
#include "pieces/piece_tagging.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QScopeGuard>

#include <memory>

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

    // How the pieces are written: not at all (a dry run), from the analysis decode itself (and
    // encoded by ffmpeg children alongside it where their encoding asks for it), or by one
    // ffmpeg run per piece after it.
    std::unique_ptr<PieceOutput> makePieceOutput(const SplitOptions& options, const PieceJob& job)
    {
        if (options.dryRun)
            return makeDryRunOutput(job);
        if (options.format == PieceFormat::Copy)
            return makeCopyOutput(job, options.onePass);
        if (options.onePass)
            return makeOnePassOutput(job);
        return makePieceByPieceOutput(job);
    }

    // A size limit brings the longest piece down to what the pieces' format can hold within
    // it, and the rest of the window in proportion.
    bool fitWindowsToSize(const SplitOptions& options, const PieceEncoding& encoding,
        std::int64_t inputRate, const Mp3Index& mp3Index, FrameWindows* windows,
        QString* errorMessage)
    {
        if (options.maxPieceBytes <= 0)
            return true;
        // A copied piece carries its own tags, or the input's ID3v2 tag as it is.
        const std::int64_t fitting = encoding.format == PieceFormat::Copy
            ? mostCopiedFramesWithin(mp3Index,
                encoding.tagBytes > 0 ? encoding.tagBytes : mp3Index.id3v2Bytes,
                options.maxPieceBytes)
            : mostFramesWithin(encoding, inputRate, options.maxPieceBytes);
        if (fitting < 1) {
            const QString size = options.maxPieceSizeText.isEmpty()
                ? QString::number(options.maxPieceBytes)
                : options.maxPieceSizeText;
            // Tags alone, a large cover above all, can take what the limit allows.
            if (encoding.tagBytes > 0)
                return fail(errorMessage,
                    trText("--max-size %1 holds no audio beside the pieces' tags of %2 bytes")
                        .arg(size)
                        .arg(encoding.tagBytes));
            return fail(
                errorMessage, trText("--max-size %1 holds no audio in this format").arg(size));
        }
        *windows = capFrameWindows(*windows, fitting);
        return true;
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

    NameTemplate names;
    if (!readNameTemplate(options.nameTemplate, inputPath, &names, errorMessage))
        return false;
    if (options.tags && options.format == PieceFormat::Wav)
        return fail(errorMessage, trText("--tags needs --format flac, mp3, opus or copy"));

    // Any input is often a folder of mixed files split one by one, and a file without sound
    // should not leave an empty folder behind: the folder is checked here, in its place, and
    // made once the probe has found a stream.
    const bool folderAfterProbe = options.anyInput && !options.dryRun;
    OutputFolder folder(outputDir);
    if (!folder.prepare(options.dryRun || folderAfterProbe, errorMessage))
        return false;

    StreamInfo stream;
    if (!probeAudioStream(inputPath, &stream, errorMessage))
        return false;
    if (folderAfterProbe && !folder.prepare(false, errorMessage))
        return false;
    // Held until the split returns, before anything is written; a dry run writes nothing.
    FolderLock folderLock;
    if (!options.dryRun && !folderLock.lock(outputDir, errorMessage))
        return false;
    // Once the folder is held, the folders the run made are its own to remove, while still
    // empty: when the pieces' options turn out not to fit the stream, and with --any-input on
    // any failure, for the same reason as above. Other failures leave the folder as always.
    const auto refuseOptions = [&folder] {
        folder.removeMadeIfEmpty();
        return false;
    };
    auto removeFolderOnFailure = qScopeGuard([&] {
        if (folderAfterProbe)
            folder.removeMadeIfEmpty();
    });
    // The record of an earlier split goes before anything is written, and the input is taken
    // as it is before its audio is read: should it change meanwhile, the new record will not
    // match it.
    const bool keepRecord = options.keepRunRecord && !options.dryRun;
    const QJsonObject recordKey
        = keepRecord ? runKey(inputPath, maxSeconds, toleranceSeconds, options) : QJsonObject();
    if (keepRecord && !removeRunRecord(outputDir, errorMessage))
        return false;
    // A container may hold several audio streams, or video beside one, and ffmpeg's own choice
    // need not be the probe's: every child is told which stream to take.
    if (options.anyInput)
        stream.mappedStream = stream.streamIndex;
    if (format)
        *format = { stream.sampleRate, stream.channelCount };
    if (stopRequested(options.stop))
        return failStopped(errorMessage);
    PieceEncoding encoding;
    if (!choosePieceEncoding(options, stream, &encoding, errorMessage))
        return refuseOptions();
    // Pieces copied from the input's MP3 frames need every frame listed first.
    Mp3Index mp3Index;
    if (options.format == PieceFormat::Copy
        && (!checkCopyableInput(inputPath, stream, errorMessage)
            || !indexMp3Stream(inputPath, stream.streamIndex, &mp3Index, errorMessage)
            || !checkCopyableFrames(inputPath, mp3Index, errorMessage)))
        return refuseOptions();
    PieceTagging tagging;
    if (options.tags) {
        tagging = PieceTagging(options.format, stream.tags, inputStem(inputPath));
        encoding.tagBytes = tagging.bytes();
    }

    FrameWindows windows;
    if (!computeFrameWindows(stream.sampleRate, maxSeconds, toleranceSeconds,
            options.minSilenceSeconds, &windows, errorMessage))
        return false;
    if (!fitWindowsToSize(options, encoding, stream.sampleRate, mp3Index, &windows, errorMessage))
        return refuseOptions();

    const std::unique_ptr<CutFinder> finder = makeCutFinder(options, stream, windows);
    const std::unique_ptr<PieceOutput> output = makePieceOutput(options,
        { inputPath, outputDir, stream, windows, encoding, progress, options.stop, names, tagging,
            mp3Index.packets.empty() ? nullptr : &mp3Index });
    QList<Segment> pieces;
    if (!output->write(*finder, &pieces, errorMessage))
        return false;
    if (keepRecord && !recordKey.isEmpty()
        && !writeRunRecord(
            outputDir, recordKey, { stream.sampleRate, stream.channelCount }, pieces, errorMessage))
        return false;

    removeFolderOnFailure.dismiss();
    *outSegments = pieces;
    return true;
}

} // namespace brevane
