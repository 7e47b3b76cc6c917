#include "cuts/stretch_analysis.h"

#include "ffmpeg_child.h"

#include <algorithm>

namespace brevane::detail {

namespace {

    // Frames decoded between two looks at the cut rule, a stop and the progress.
    constexpr std::int64_t stepFrames = 1 << 16;

} // namespace

bool analyseStretches(StretchDecoder& decoder, CutFinder& finder, AnalysisResult* result,
    QString* errorMessage, const StretchAnalysisHooks& hooks)
{
    const std::int64_t total = decoder.totalFrames();
    bool hookFailed = false;
    for (std::int64_t from = 0; from < total;) {
        if (stopRequested(hooks.stop))
            return failStopped(errorMessage);
        const std::int64_t to = std::min(total, from + stepFrames);
        const bool decoded = decoder.decode(
            from, to,
            [&](QByteArray& floats) {
                finder.processChunk(floats);
                if (hooks.afterChunk && !hooks.afterChunk(errorMessage)) {
                    hookFailed = true;
                    return false;
                }
                return true;
            },
            errorMessage);
        if (!decoded || hookFailed)
            return false;
        from = to;
        if (hooks.progress)
            hooks.progress(decoder.framesDecoded(), finder.framesProcessed());
    }
    if (stopRequested(hooks.stop))
        return failStopped(errorMessage);
    return finder.finishAnalysis(result, errorMessage);
}

} // namespace brevane::detail
