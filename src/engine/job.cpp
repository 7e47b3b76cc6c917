#include "engine_internal.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>

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

bool splitAudio(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, QList<Segment>* outSegments, QString* errorMessage)
{
    return splitAudio(
        inputPath, outputDir, maxSeconds, toleranceSeconds, outSegments, errorMessage, {});
}

bool splitAudio(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, QList<Segment>* outSegments, QString* errorMessage,
    const ProgressCallback& progress)
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

    const QDir outputDirectory(outputDir);
    if (!outputDirectory.exists() && !outputDirectory.mkpath(QStringLiteral(".")))
        return fail(errorMessage, trText("Failed to create output directory: %1").arg(outputDir));

    StreamInfo stream;
    if (!probeAudioStream(inputPath, &stream, errorMessage))
        return false;

    FrameWindows windows;
    if (!computeFrameWindows(
            stream.sampleRate, maxSeconds, toleranceSeconds, &windows, errorMessage))
        return false;

    FramesAnalysedCallback framesAnalysed;
    if (progress) {
        framesAnalysed = [&](std::int64_t frames) {
            SplitProgress report;
            report.positionSeconds = double(frames) / double(stream.sampleRate);
            report.totalSeconds = stream.durationSeconds;
            progress(report);
        };
    }
    AnalysisResult analysis;
    if (!analyzeAudio(inputPath, stream.sampleRate, stream.channelCount, windows, &analysis,
            errorMessage, framesAnalysed))
        return false;

    const qsizetype pieceCount = analysis.segments.size();
    if (!checkOutputsSpareInput(inputPath, outputDir, pieceCount, errorMessage))
        return false;

    QList<Segment> written;
    written.reserve(pieceCount);
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
                analysis.segments.at(index), index, &segment, errorMessage))
            return false;
        written.append(segment);
    }

    *outSegments = written;
    return true;
}

} // namespace brevane
