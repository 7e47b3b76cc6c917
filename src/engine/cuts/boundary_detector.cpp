#include "cuts/boundary_detector.h"

#include "cuts/float_frames.h"
#include "error_text.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace brevane::detail {

namespace {

    // Frames are classified a block at a time before the cut rule walks them, one bit per
    // frame in 64-frame words. A block's samples are still in the cache from the read that
    // delivered them, and its words fit in the first-level cache with room to spare.
    constexpr int wordFrames = 64;
    constexpr std::int64_t blockWords = 64;

    // A frame is silent when the mean of its absolute samples is below the silence level. The
    // sum is formed in double and in channel order, so that a level on the edge is judged the
    // same way by every build; a sum that is not a number fails the comparison and counts as
    // loud. Frame k of a word is its bit k. FixedChannels, when not 0, lets the compiler
    // unroll the common layouts.
    template <int FixedChannels>
    void markSilentFrames(const char* data, std::int64_t frameCount, int channelCount,
        double silenceLevel, std::uint64_t* silentWords)
    {
        const int channels = FixedChannels > 0 ? FixedChannels : channelCount;
        const double divisor = double(channels);
        for (std::int64_t word = 0; word * wordFrames < frameCount; ++word) {
            const std::int64_t first = word * wordFrames;
            const int frames = int(std::min<std::int64_t>(wordFrames, frameCount - first));
            std::uint64_t silent = 0;
            for (int k = 0; k < frames; ++k) {
                const char* frame = data + (first + k) * channels * 4;
                double sum = 0.0;
                for (std::int64_t c = 0; c < channels; ++c)
                    sum += double(std::fabs(loadFloatSample(frame + c * 4)));
                silent |= std::uint64_t(sum / divisor < silenceLevel) << k;
            }
            silentWords[word] = silent;
        }
    }

} // namespace

BoundaryDetector::BoundaryDetector(
    int channelCount, const FrameWindows& windows, double silenceLevel)
    : m_channelCount(channelCount)
    , m_windows(windows)
    , m_silenceLevel(silenceLevel)
{
}

void BoundaryDetector::processChunk(QByteArray& pcmBuffer)
{
    const std::int64_t frameCount = wholeFramesIn(pcmBuffer, m_channelCount);
    if (frameCount == 0)
        return;
    analyseFrames(pcmBuffer.constData(), frameCount);
    pcmBuffer.remove(0, frameCount * std::int64_t(m_channelCount) * 4);
}

void BoundaryDetector::analyseFrames(const char* data, std::int64_t frameCount)
{
    const std::int64_t frameBytes = std::int64_t(m_channelCount) * 4;
    const std::int64_t blockFrames = blockWords * wordFrames;
    std::uint64_t silentWords[blockWords];
    for (std::int64_t done = 0; done < frameCount;) {
        const std::int64_t count = std::min(blockFrames, frameCount - done);
        const char* block = data + done * frameBytes;
        switch (m_channelCount) {
        case 1:
            markSilentFrames<1>(block, count, 1, m_silenceLevel, silentWords);
            break;
        case 2:
            markSilentFrames<2>(block, count, 2, m_silenceLevel, silentWords);
            break;
        default:
            markSilentFrames<0>(block, count, m_channelCount, m_silenceLevel, silentWords);
            break;
        }
        for (std::int64_t first = 0; first < count; first += wordFrames) {
            const int frames = int(std::min<std::int64_t>(wordFrames, count - first));
            const std::uint64_t silent = silentWords[first / wordFrames];
            if (frames < wordFrames || !countQuietWord(silent))
                walkWord(silent, frames);
        }
        done += count;
    }
}

// Most words decide nothing: no frame of theirs sets a candidate or cuts. Such a word is
// counted in one step; any other is left to the walk, and false is returned.
bool BoundaryDetector::countQuietWord(std::uint64_t silent)
{
    // The silent frames at the start of the word lengthen the current pause, which sets a
    // candidate once it reaches minSilenceFrames unless it is spent. A pause that begins
    // inside the word is too short to set one when minSilenceFrames exceeds the word.
    if (m_windows.minSilenceFrames <= wordFrames)
        return false;
    const int leadingSilent = std::countr_one(silent);
    if (leadingSilent > 0 && !m_state.silentRunSpent
        && m_state.silentRun + leadingSilent >= m_windows.minSilenceFrames)
        return false;

    // With the candidate fixed, the cut conditions depend on the frame count alone, and once
    // met they stay met: if no cut is due after the word, none was due inside it.
    State after = m_state;
    after.framesProcessed += wordFrames;
    if (silenceCutDue(after) || forcedCutDue(after))
        return false;
    if (~silent == 0) {
        after.silentRun += wordFrames;
    } else {
        after.silentRun = std::countl_one(silent);
        after.silentRunSpent = false;
    }
    m_state = after;
    return true;
}

// Audio comes in runs of sound and of pause, so the rule is applied run by run.
void BoundaryDetector::walkWord(std::uint64_t silent, int frameCount)
{
    for (int first = 0; first < frameCount;) {
        const std::uint64_t rest = silent >> first;
        const bool runSilent = (rest & 1) != 0;
        const int length = std::min(
            runSilent ? std::countr_one(rest) : std::countr_zero(rest), frameCount - first);
        walkRun(runSilent, length);
        first += length;
    }
}

// Frames of one kind change the state alike, frame after frame, until one of them makes a cut.
// So a stretch of them is counted in one step when trying it on a copy shows that none of them
// cuts; otherwise the frame that cuts is found by bisection and goes through the frame rule.
// Bisection is sound because within such a stretch the cut conditions, once met, stay met: the
// running length only grows, and the candidate either stays where it is or moves forward one
// frame for every two while its age grows.
void BoundaryDetector::walkRun(bool silent, std::int64_t frameCount)
{
    while (frameCount > 0) {
        // A pause that is about to reach minSilenceFrames switches from a fixed candidate to a
        // moving one, so the stretch ends where the switch happens.
        std::int64_t stretch = frameCount;
        const std::int64_t framesBeforeCandidate
            = m_windows.minSilenceFrames - m_state.silentRun - 1;
        if (silent && !m_state.silentRunSpent && framesBeforeCandidate > 0)
            stretch = std::min(stretch, framesBeforeCandidate);

        State trial = m_state;
        countFrames(trial, silent, stretch);
        if (!silenceCutDue(trial) && !forcedCutDue(trial)) {
            m_state = trial;
            frameCount -= stretch;
            continue;
        }

        // The first frame that cuts lies in (clear, due].
        std::int64_t clear = 0;
        std::int64_t due = stretch;
        while (due - clear > 1) {
            const std::int64_t middle = clear + (due - clear) / 2;
            trial = m_state;
            countFrames(trial, silent, middle);
            if (silenceCutDue(trial) || forcedCutDue(trial))
                due = middle;
            else
                clear = middle;
        }
        if (due > 1)
            countFrames(m_state, silent, due - 1);
        analyseFrame(silent);
        frameCount -= due;
    }
}

// The rule for one frame: count it, then make at most one cut, a silence cut first.
void BoundaryDetector::analyseFrame(bool silent)
{
    countFrames(m_state, silent, 1);
    State& state = m_state;
    if (silenceCutDue(state)) {
        m_segments.append({ state.segmentStart, state.candidateFrame, CutKind::Silence });
        // A pause that has been cut at is spent: were it to go on offering its middle, every
        // further frame of it would cut again, and the pieces would halve down to single
        // frames. A pause that only began after the cut point is a fresh one.
        if (state.silentRun > 0 && state.framesProcessed - state.silentRun <= state.candidateFrame)
            state.silentRunSpent = true;
        state.segmentStart = state.candidateFrame;
        state.candidateFrame = -1;
    } else if (forcedCutDue(state)) {
        m_segments.append({ state.segmentStart, state.framesProcessed, CutKind::Forced });
        state.segmentStart = state.framesProcessed;
        state.candidateFrame = -1;
        // The silence after a forced cut counts as a new pause.
        state.silentRun = 0;
        state.silentRunSpent = false;
    }
}

// Counts frameCount frames of one kind into the state as that many single frames would,
// leaving out the cuts: the caller knows that none of them makes one.
void BoundaryDetector::countFrames(State& state, bool silent, std::int64_t frameCount) const
{
    if (silent) {
        state.silentRun += frameCount;
        // Each silent frame of a long enough pause replaces the candidate with the middle of
        // the pause so far, so only the last frame's middle remains.
        if (!state.silentRunSpent && state.silentRun >= m_windows.minSilenceFrames)
            state.candidateFrame = state.framesProcessed + frameCount - 1 - state.silentRun / 2;
    } else {
        // The candidate outlives its pause: a later cut may still use it.
        state.silentRun = 0;
        state.silentRunSpent = false;
    }
    state.framesProcessed += frameCount;
}

// Cut in the middle of the latest pause once the piece is long enough: at once from the target
// length on, before it only when that middle lies minSilenceFrames back.
bool BoundaryDetector::silenceCutDue(const State& state) const
{
    const std::int64_t length = state.framesProcessed - state.segmentStart;
    return length >= m_windows.minFrames && state.candidateFrame > state.segmentStart
        && (length >= m_windows.targetFrames
            || state.framesProcessed - state.candidateFrame >= m_windows.minSilenceFrames);
}

bool BoundaryDetector::forcedCutDue(const State& state) const
{
    return state.framesProcessed - state.segmentStart >= m_windows.maxFrames;
}

bool BoundaryDetector::finishAnalysis(AnalysisResult* result, QString* errorMessage)
{
    if (m_state.segmentStart < m_state.framesProcessed) {
        m_segments.append({ m_state.segmentStart, m_state.framesProcessed, CutKind::End });
    } else if (!m_segments.isEmpty()) {
        // A piece forced on the very last frame was not cut in sound after all: the input
        // ended there.
        m_segments.last().kind = CutKind::End;
    }
    if (m_segments.isEmpty())
        return fail(errorMessage, trText("Audio decoding produced no samples"));
    result->segments = m_segments;
    result->totalFrames = m_state.framesProcessed;
    return true;
}

} // namespace brevane::detail
