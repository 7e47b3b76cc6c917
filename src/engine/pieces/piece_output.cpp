#include "pieces/piece_output.h"

#include "cuts/analysis.h"
#include "ffmpeg_child.h"

#include <algorithm>

namespace brevane::detail {

void PieceJob::reportDecoding(std::int64_t framesAnalysed, qsizetype part) const
{
    if (!progress)
        return;
    SplitProgress report;
    report.positionSeconds = double(framesAnalysed) / double(stream.sampleRate);
    report.totalSeconds = stream.durationSeconds;
    report.part = part;
    progress(report);
}

void PieceJob::reportWriting(qsizetype part, qsizetype partCount) const
{
    if (!progress)
        return;
    SplitProgress report;
    report.stage = SplitProgress::Stage::Writing;
    report.part = part;
    report.partCount = partCount;
    progress(report);
}

bool PieceJob::analyse(CutFinder& finder, AnalysisResult* analysis, QString* errorMessage) const
{
    FramesAnalysedCallback framesAnalysed;
    if (progress)
        framesAnalysed = [this](std::int64_t frames) { reportDecoding(frames); };
    return analyzeAudio(inputPath, stream, finder, analysis, errorMessage, framesAnalysed, stop);
}

bool PieceJob::analyse(StretchDecoder& decoder, CutFinder& finder, AnalysisResult* analysis,
    QString* errorMessage, const std::function<bool(QString* errorMessage)>& afterChunk) const
{
    StretchAnalysisHooks hooks;
    hooks.afterChunk = afterChunk;
    hooks.stop = stop;
    // A look back is held whole: at most 4 MiB of floats, whatever the channels.
    constexpr std::int64_t lookBackBytes = 4 << 20;
    hooks.longestLookBack = std::max<std::int64_t>(
        1 << 12, std::min(hooks.longestLookBack, lookBackBytes / (4 * stream.channelCount)));
    hooks.firstLookBack = std::min(hooks.firstLookBack, hooks.longestLookBack);
    if (progress)
        hooks.progress = [this](std::int64_t, std::int64_t analysed) { reportDecoding(analysed); };
    return analyseStretches(decoder, finder, analysis, errorMessage, hooks);
}

bool PieceJob::stopped(const QList<Segment>& complete, QString* errorMessage) const
{
    stop->completePieces = complete;
    return failStopped(errorMessage);
}

} // namespace brevane::detail
