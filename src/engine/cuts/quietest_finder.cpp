#include "cuts/quietest_finder.h"

#include "cuts/float_frames.h"
#include "error_text.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace brevane::detail {

namespace {

    constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
    // Longer blocks or stretches than this never fit in a stream of signed 64-bit frame
    // numbers, and capping them keeps the block arithmetic from wrapping.
    constexpr double longestCount = 4611686018427387904.0; // 2^62
    // A chunk is analysed in slices of this many frames, and the pieces that can be cut are
    // cut after each: a caller that hands over its whole input at once gets the same bounded
    // memory as one that streams it.
    constexpr std::int64_t sliceFrames = 1 << 14;
    constexpr std::int64_t initialHeldBlocks = 1 << 10;

    // floor(scaled) for a level already multiplied by 2^24, capped at 2^32 - 1. The level is
    // never negative, and a level that is not a number fails the comparison and takes the cap.
    std::uint32_t quantise(double scaled)
    {
        return scaled < 4294967296.0 ? std::uint32_t(scaled) : 0xFFFFFFFFu;
    }

    // The sum of the quantised levels of frameCount frames. The level is the mean of the
    // absolute samples, summed in double in channel order. For one and two channels the mean
    // times 2^24 is formed without the division: halving and scaling by a power of two are
    // exact in double (a sum of two floats can neither overflow nor fall to a subnormal there),
    // so |a| * 2^24 and (|a| + |b|) * 2^23 are the very same numbers.
    template <int FixedChannels>
    std::uint64_t levelSum(const char* data, std::int64_t frameCount, int channelCount)
    {
        std::uint64_t sum = 0;
        if constexpr (FixedChannels == 1) {
            for (std::int64_t k = 0; k < frameCount; ++k)
                sum += quantise(double(std::fabs(loadFloatSample(data + k * 4))) * 0x1p24);
        } else if constexpr (FixedChannels == 2) {
            for (std::int64_t k = 0; k < frameCount; ++k) {
                const double left = std::fabs(loadFloatSample(data + k * 8));
                const double right = std::fabs(loadFloatSample(data + k * 8 + 4));
                sum += quantise((left + right) * 0x1p23);
            }
        } else {
            const std::int64_t channels = channelCount;
            const double divisor = double(channelCount);
            for (std::int64_t k = 0; k < frameCount; ++k) {
                const char* frame = data + k * channels * 4;
                double level = 0.0;
                for (std::int64_t c = 0; c < channels; ++c)
                    level += double(std::fabs(loadFloatSample(frame + c * 4)));
                sum += quantise(level / divisor * 0x1p24);
            }
        }
        return sum;
    }

    std::int64_t ceilDiv(std::int64_t value, std::int64_t divisor)
    {
        return value / divisor + (value % divisor != 0);
    }

} // namespace

std::int64_t QuietestCutFinder::blockFramesFor(std::int64_t sampleRate)
{
    const double frames = double(sampleRate) * 0.01;
    if (!(frames < longestCount))
        return std::int64_t(longestCount);
    return std::max<std::int64_t>(1, std::llround(frames));
}

std::int64_t QuietestCutFinder::windowBlocksFor(
    std::int64_t minSilenceFrames, std::int64_t blockFrames)
{
    const double blocks = double(minSilenceFrames) / double(blockFrames);
    if (!(blocks < longestCount))
        return std::int64_t(longestCount);
    return std::max<std::int64_t>(1, std::llround(blocks));
}

QuietestCutFinder::QuietestCutFinder(
    int channelCount, std::int64_t sampleRate, const FrameWindows& windows)
    : m_channelCount(channelCount)
    , m_windows(windows)
    , m_blockFrames(blockFramesFor(sampleRate))
    , m_windowBlocks(windowBlocksFor(windows.minSilenceFrames, m_blockFrames))
    , m_prefix(initialHeldBlocks, 0)
{
}

void QuietestCutFinder::processChunk(QByteArray& pcmBuffer)
{
    const std::int64_t frameCount = wholeFramesIn(pcmBuffer, m_channelCount);
    if (frameCount == 0)
        return;
    const std::int64_t frameBytes = std::int64_t(m_channelCount) * 4;
    for (std::int64_t done = 0; done < frameCount;) {
        const std::int64_t count = std::min(sliceFrames, frameCount - done);
        analyseFrames(pcmBuffer.constData() + done * frameBytes, count);
        done += count;
        cutDecidedPieces(false);
    }
    pcmBuffer.remove(0, frameCount * frameBytes);
}

void QuietestCutFinder::analyseFrames(const char* data, std::int64_t frameCount)
{
    const std::int64_t frameBytes = std::int64_t(m_channelCount) * 4;
    while (frameCount > 0) {
        const std::int64_t count = std::min(frameCount, m_blockFrames - m_blockFill);
        switch (m_channelCount) {
        case 1:
            m_blockSum += levelSum<1>(data, count, 1);
            break;
        case 2:
            m_blockSum += levelSum<2>(data, count, 2);
            break;
        default:
            m_blockSum += levelSum<0>(data, count, m_channelCount);
            break;
        }
        m_blockFill += count;
        m_frames += count;
        data += count * frameBytes;
        frameCount -= count;
        if (m_blockFill == m_blockFrames)
            closeBlock();
    }
}

void QuietestCutFinder::closeBlock()
{
    m_total += m_blockSum;
    m_blockSum = 0;
    m_blockFill = 0;
    ++m_blocks;

    const auto held = [this] { return std::uint64_t(m_blocks - m_firstHeld + 1); };
    if (held() > m_prefix.size()) {
        // The open piece's candidates, and those of every later piece, lie from its start plus
        // minFrames on, and their stretches reach half a stretch further back.
        const std::int64_t start = m_pieceStart;
        const std::int64_t earliest
            = m_windows.minFrames > int64Max - start ? int64Max : start + m_windows.minFrames;
        dropPrefixesBefore(ceilDiv(earliest, m_blockFrames) - m_windowBlocks / 2);
    }
    if (held() > m_prefix.size()) {
        std::vector<std::uint64_t> larger(m_prefix.size() * 2);
        for (std::int64_t block = m_firstHeld; block < m_blocks; ++block)
            larger[std::size_t(block) & (larger.size() - 1)] = prefixAt(block);
        m_prefix.swap(larger);
    }
    m_prefix[std::size_t(m_blocks) & (m_prefix.size() - 1)] = m_total;
}

void QuietestCutFinder::dropPrefixesBefore(std::int64_t block)
{
    m_firstHeld = std::clamp(block, m_firstHeld, m_blocks);
}

std::uint64_t QuietestCutFinder::prefixAt(std::int64_t block) const
{
    return m_prefix[std::size_t(block) & (m_prefix.size() - 1)];
}

// A piece is cut once it is known not to be the last, and every block that a counting
// candidate's stretch could take in has arrived. Until the stream ends, no stretch is cut off
// by its end, so the choice made here is the one the whole input would give. A candidate whose
// stretch would begin before the first block can never count, however long the stream goes
// on: a piece that has no other is cut at once, so that a stretch longer than the input does
// not hold every cut back to the end of the stream.
void QuietestCutFinder::cutDecidedPieces(bool streamEnded)
{
    while (m_frames - m_pieceStart > m_windows.maxFrames) {
        const std::int64_t start = m_pieceStart;
        const std::int64_t first
            = std::max(ceilDiv(start + m_windows.minFrames, m_blockFrames), m_windowBlocks / 2);
        const std::int64_t last = (start + m_windows.maxFrames) / m_blockFrames;
        const std::int64_t lastBlockNeeded = last - m_windowBlocks / 2 + m_windowBlocks;
        if (!streamEnded && first <= last && m_blocks < lastBlockNeeded)
            return;
        m_segments.append(quietestCut());
        m_pieceStart = m_segments.last().endFrame;
    }
}

// The open piece, ended at its quietest candidate, or forced at its longest when none counts.
InternalSegment QuietestCutFinder::quietestCut() const
{
    const std::int64_t start = m_pieceStart;
    const std::int64_t half = m_windowBlocks / 2;
    // Candidates whose stretch would begin before the first block do not count.
    const std::int64_t first = std::max(ceilDiv(start + m_windows.minFrames, m_blockFrames), half);
    const std::int64_t last = (start + m_windows.maxFrames) / m_blockFrames;
    const std::int64_t target = start + m_windows.targetFrames;

    std::int64_t best = -1;
    std::uint64_t bestEnergy = 0;
    std::int64_t bestDistance = 0;
    for (std::int64_t block = first; block <= last; ++block) {
        const std::int64_t from = block - half;
        // Nor does one that runs past the last whole block, nor any after it. Before the end
        // of the stream no counting candidate can: the caller waits for their blocks.
        if (from + m_windowBlocks > m_blocks)
            break;
        const std::uint64_t energy = prefixAt(from + m_windowBlocks) - prefixAt(from);
        const std::int64_t candidate = block * m_blockFrames;
        const std::int64_t distance = candidate < target ? target - candidate : candidate - target;
        // Ascending order: an equal candidate found later is never nearer and earlier both.
        if (best < 0 || energy < bestEnergy || (energy == bestEnergy && distance < bestDistance)) {
            best = candidate;
            bestEnergy = energy;
            bestDistance = distance;
        }
    }
    if (best <= start)
        return { start, start + m_windows.maxFrames, CutKind::Forced };
    return { start, best, CutKind::Quietest };
}

// The first block a counting candidate of the open piece could take in, as in quietestCut.
std::int64_t QuietestCutFinder::nextFrameNeeded() const
{
    const std::int64_t start = m_pieceStart;
    const std::int64_t earliest
        = m_windows.minFrames > int64Max - start ? int64Max : start + m_windows.minFrames;
    const std::int64_t first = std::max(ceilDiv(earliest, m_blockFrames), m_windowBlocks / 2);
    const std::int64_t block = first - m_windowBlocks / 2;
    const std::int64_t frame = block > int64Max / m_blockFrames ? int64Max : block * m_blockFrames;
    return std::max(frame, m_frames);
}

bool QuietestCutFinder::settle(std::int64_t from, QByteArray& floats)
{
    if (from <= m_frames) {
        processChunk(floats);
        return true;
    }
    skipTo(nextFrameNeeded());
    return true;
}

void QuietestCutFinder::skipToEnd(std::int64_t total) { skipTo(std::max(total, m_frames)); }

// No stretch that counts reaches back before the frame skipped to: the block sums before it are
// dropped, and the running sum goes on from there as if the skipped blocks held nothing, which
// leaves every difference within the blocks to come as it would be.
void QuietestCutFinder::skipTo(std::int64_t frame)
{
    if (frame <= m_frames)
        return;
    m_frames = frame;
    m_blocks = frame / m_blockFrames;
    m_blockFill = frame % m_blockFrames;
    m_blockSum = 0;
    m_firstHeld = m_blocks;
    m_prefix[std::size_t(m_blocks) & (m_prefix.size() - 1)] = m_total;
}

bool QuietestCutFinder::finishAnalysis(AnalysisResult* result, QString* errorMessage)
{
    cutDecidedPieces(true);
    if (m_pieceStart < m_frames) {
        m_segments.append({ m_pieceStart, m_frames, CutKind::End });
        m_pieceStart = m_frames;
    }
    if (m_segments.isEmpty())
        return fail(errorMessage, trText("Audio decoding produced no samples"));
    result->segments = m_segments;
    result->totalFrames = m_frames;
    return true;
}

} // namespace brevane::detail
