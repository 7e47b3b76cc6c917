#include "cuts/stretch_analysis.h"

#include "ffmpeg_child.h"

#include <algorithm>

namespace brevane::detail {

namespace {

    class Analysis {
    public:
        Analysis(StretchDecoder& decoder, CutFinder& finder, QString* errorMessage,
            const StretchAnalysisHooks& hooks)
            : m_decoder(decoder)
            , m_finder(finder)
            , m_errorMessage(errorMessage)
            , m_hooks(hooks)
            , m_total(decoder.totalFrames())
        {
        }

        bool run(AnalysisResult* result)
        {
            while (m_finder.framesProcessed() < m_total) {
                if (stopRequested(m_hooks.stop))
                    return failStopped(m_errorMessage);
                const std::int64_t needed = m_finder.nextFrameNeeded();
                if (needed >= m_total) {
                    m_finder.skipToEnd(m_total);
                    break;
                }
                if (needed > m_finder.framesProcessed() && !settleAt(needed))
                    return false;
                const std::int64_t from = m_finder.framesProcessed();
                if (!decode(from, std::min(m_total, from + m_hooks.stepFrames),
                        [&](QByteArray& floats) {
                            m_finder.processChunk(floats);
                            return !m_hooks.afterChunk || m_hooks.afterChunk(m_errorMessage);
                        }))
                    return false;
            }
            if (stopRequested(m_hooks.stop))
                return failStopped(m_errorMessage);
            return m_finder.finishAnalysis(result, m_errorMessage);
        }

    private:
        // Brings the rule to the needed frame, offering it the frames before, further back each
        // time, until it knows its state there; at the worst every frame from where it stands.
        bool settleAt(std::int64_t needed)
        {
            m_lookBack.resize(0);
            if (m_finder.settle(needed, m_lookBack))
                return true;
            std::int64_t to = needed;
            for (std::int64_t length = m_hooks.firstLookBack;;
                 length = std::min(2 * length, m_hooks.longestLookBack)) {
                if (stopRequested(m_hooks.stop))
                    return failStopped(m_errorMessage);
                const std::int64_t from = std::max(m_finder.framesProcessed(), to - length);
                // One buffer for every look, so that its memory is taken once.
                m_lookBack.resize(0);
                if (!decode(from, to, [&](QByteArray& chunk) {
                        m_lookBack.append(chunk);
                        return true;
                    }))
                    return false;
                if (m_finder.settle(from, m_lookBack))
                    return true;
                to = from;
            }
        }

        bool decode(std::int64_t from, std::int64_t to, const FloatChunkConsumer& consume)
        {
            bool consumerStopped = false;
            const bool decoded = m_decoder.decode(
                from, to,
                [&](QByteArray& floats) {
                    consumerStopped = !consume(floats);
                    return !consumerStopped;
                },
                m_errorMessage);
            if (m_hooks.progress)
                m_hooks.progress(m_decoder.framesDecoded(), m_finder.framesProcessed());
            return decoded && !consumerStopped;
        }

        StretchDecoder& m_decoder;
        CutFinder& m_finder;
        QString* const m_errorMessage;
        const StretchAnalysisHooks& m_hooks;
        const std::int64_t m_total;
        QByteArray m_lookBack;
    };

} // namespace

bool analyseStretches(StretchDecoder& decoder, CutFinder& finder, AnalysisResult* result,
    QString* errorMessage, const StretchAnalysisHooks& hooks)
{
    return Analysis(decoder, finder, errorMessage, hooks).run(result);
}

} // namespace brevane::detail
