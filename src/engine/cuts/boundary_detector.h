#pragma once

// The silence rule: cut in the middle of the latest pause once the piece is long enough.

#include "cuts/cut_finder.h"
#include "cuts/frame_windows.h"

#include <cstdint>
#include <vector>

namespace brevane::detail {

// Cuts in the middle of the latest pause once the piece is long enough, and where it stands at
// maxFrames. A frame is silent when the mean of its absolute samples is below the level.
class BoundaryDetector final : public CutFinder {
public:
    static constexpr double defaultSilenceLevel = 0.005;

    BoundaryDetector(
        int channelCount, const FrameWindows& windows, double silenceLevel = defaultSilenceLevel);

    void processChunk(QByteArray& pcmBuffer) override;
    bool finishAnalysis(AnalysisResult* result, QString* errorMessage) override;
    std::int64_t framesProcessed() const override { return m_state.framesProcessed; }
    const QList<InternalSegment>& closedRanges() const override { return m_segments; }

    // No cut can fall before the piece has run for minFrames. The frames before that matter
    // only through the latest pause among them, how long the pause at its end has lasted, and
    // whether that pause is spent; settle finds them from the frames back to the latest pause
    // of minSilenceFrames that began after a sound.
    std::int64_t nextFrameNeeded() const override;
    bool settle(std::int64_t from, QByteArray& floats) override;
    void skipToEnd(std::int64_t total) override;

private:
    // What the cut rule reads and writes for each frame. Kept as one value so that a stretch
    // of frames can be tried on a copy before it is taken.
    struct State {
        std::int64_t silentRun = 0;
        std::int64_t candidateFrame = -1;
        std::int64_t framesProcessed = 0;
        std::int64_t segmentStart = 0;
        // Set when a silence cut was made inside the current silent run: that pause has been
        // used, and it must not offer further cut points.
        bool silentRunSpent = false;
    };

    void analyseFrames(const char* data, std::int64_t frameCount);
    // Whether each frame is silent, one bit a frame, 64 to a word, frame k of a word its bit k.
    void markSilence(const char* data, std::int64_t frameCount, std::uint64_t* words) const;
    // The rule applied to frames known by their silence alone.
    void walkWords(const std::uint64_t* words, std::int64_t frameCount);
    void feedKept(std::size_t count);
    bool countQuietWord(std::uint64_t silent);
    void walkWord(std::uint64_t silent, int frameCount);
    void walkRun(bool silent, std::int64_t frameCount);
    void analyseFrame(bool silent);
    void countFrames(State& state, bool silent, std::int64_t frameCount) const;
    bool silenceCutDue(const State& state) const;
    bool forcedCutDue(const State& state) const;

    const int m_channelCount;
    const FrameWindows m_windows;
    const double m_silenceLevel;
    State m_state;
    QList<InternalSegment> m_segments;
    // The silence of the frames settle was offered and could not yet place, the latest first,
    // and the pause that runs from the first of them.
    struct Kept {
        std::int64_t from;
        std::int64_t frames;
        std::vector<std::uint64_t> silence;
    };
    std::vector<Kept> m_kept;
    std::int64_t m_keptRun = 0;
};

} // namespace brevane::detail
