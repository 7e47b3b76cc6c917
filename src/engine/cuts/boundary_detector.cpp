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

    std::int64_t wordsFor(std::int64_t frames) { return (frames + wordFrames - 1) / wordFrames; }

    // Bits [offset, offset + count) of words, as words of their own from bit 0 on.
    std::vector<std::uint64_t> bitsFrom(
        const std::vector<std::uint64_t>& words, std::int64_t offset, std::int64_t count)
    {
        std::vector<std::uint64_t> out(std::size_t(wordsFor(count)));
        const std::size_t word = std::size_t(offset / wordFrames);
        const int shift = int(offset % wordFrames);
        for (std::size_t i = 0; i < out.size(); ++i) {
            std::uint64_t value = words[word + i] >> shift;
            if (shift != 0 && word + i + 1 < words.size())
                value |= words[word + i + 1] << (wordFrames - shift);
            out[i] = value;
        }
        if (count % wordFrames != 0)
            out.back() &= ~std::uint64_t(0) >> (wordFrames - count % wordFrames);
        return out;
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

void BoundaryDetector::markSilence(
    const char* data, std::int64_t frameCount, std::uint64_t* words) const
{
    switch (m_channelCount) {
    case 1:
        markSilentFrames<1>(data, frameCount, 1, m_silenceLevel, words);
        break;
    case 2:
        markSilentFrames<2>(data, frameCount, 2, m_silenceLevel, words);
        break;
    default:
        markSilentFrames<0>(data, frameCount, m_channelCount, m_silenceLevel, words);
        break;
    }
}

void BoundaryDetector::walkWords(const std::uint64_t* words, std::int64_t frameCount)
{
    for (std::int64_t first = 0; first < frameCount; first += wordFrames) {
        const int frames = int(std::min<std::int64_t>(wordFrames, frameCount - first));
        const std::uint64_t silent = words[first / wordFrames];
        if (frames < wordFrames || !countQuietWord(silent))
            walkWord(silent, frames);
    }
}

void BoundaryDetector::analyseFrames(const char* data, std::int64_t frameCount)
{
    const std::int64_t frameBytes = std::int64_t(m_channelCount) * 4;
    const std::int64_t blockFrames = blockWords * wordFrames;
    std::uint64_t silentWords[blockWords];
    for (std::int64_t done = 0; done < frameCount;) {
        const std::int64_t count = std::min(blockFrames, frameCount - done);
        markSilence(data + done * frameBytes, count, silentWords);
        walkWords(silentWords, count);
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

std::int64_t BoundaryDetector::nextFrameNeeded() const
{
    std::int64_t firstCut = 0;
    if (__builtin_add_overflow(m_state.segmentStart, m_windows.minFrames - 1, &firstCut))
        firstCut = std::numeric_limits<std::int64_t>::max();
    return std::max(firstCut, m_state.framesProcessed);
}

// Before the needed frame no cut falls, so the rule's state there is the one its frames leave
// whatever state they start from, once they hold a loud frame followed by a pause of
// minSilenceFrames: after the loud frame no pause runs and none is spent (only a cut spends
// one), and that pause, or a later one, sets the candidate, which outlives nothing before it.
// The offers are scanned back from the needed frame for that loud frame, each where the one
// after it left off.
bool BoundaryDetector::settle(std::int64_t from, QByteArray& floats)
{
    const std::int64_t frames = wholeFramesIn(floats, m_channelCount);
    if (from <= m_state.framesProcessed) {
        processChunk(floats);
        feedKept(m_kept.size());
        return true;
    }
    Kept offer { from, frames, std::vector<std::uint64_t>(std::size_t(wordsFor(frames))) };
    markSilence(floats.constData(), frames, offer.silence.data());
    // Back from the offer's last frame, the pause that reaches its end going on from the one
    // at the front of the later offers.
    for (std::int64_t frame = frames - 1; frame >= 0;) {
        const std::uint64_t below = offer.silence[std::size_t(frame / wordFrames)]
            << (wordFrames - 1 - frame % wordFrames);
        const std::int64_t inWord = frame % wordFrames + 1;
        if (below >> (wordFrames - 1)) {
            const std::int64_t run = std::min<std::int64_t>(std::countl_one(below), inWord);
            m_keptRun += run;
            frame -= run;
        } else if (m_keptRun >= m_windows.minSilenceFrames) {
            m_state.framesProcessed = from + frame;
            m_state.silentRun = 0;
            m_state.silentRunSpent = false;
            m_state.candidateFrame = -1;
            const std::vector<std::uint64_t> rest = bitsFrom(offer.silence, frame, frames - frame);
            walkWords(rest.data(), frames - frame);
            feedKept(m_kept.size());
            return true;
        } else {
            m_keptRun = 0;
            frame -= std::min<std::int64_t>(std::countl_zero(below), inWord);
        }
    }
    m_kept.push_back(std::move(offer));
    return false;
}

// The kept offers, in the order of their frames, the last first offered.
void BoundaryDetector::feedKept(std::size_t count)
{
    for (std::size_t i = count; i > 0; --i)
        walkWords(m_kept[i - 1].silence.data(), m_kept[i - 1].frames);
    m_kept.clear();
    m_keptRun = 0;
}

void BoundaryDetector::skipToEnd(std::int64_t total)
{
    m_state.framesProcessed = std::max(m_state.framesProcessed, total);
    m_state.silentRun = 0;
    m_state.silentRunSpent = false;
    m_state.candidateFrame = -1;
    m_kept.clear();
    m_keptRun = 0;
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
