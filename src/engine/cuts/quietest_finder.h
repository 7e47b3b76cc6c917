#pragma once

// The quietest-stretch cut rule: cut where the stretch around the cut is the quietest.

#include "cuts/cut_finder.h"
#include "cuts/frame_windows.h"

#include <cstdint>
#include <vector>

namespace brevane::detail {

// Cuts each piece but the last at the 10 ms block boundary within [minFrames, maxFrames] of its
// start whose surrounding stretch of about minSilenceFrames is the quietest, with no level to
// choose. A frame's loudness is its mean absolute sample value as a fixed-point integer, so that
// sums are exact and two stretches compare alike whatever order they were added in.
class QuietestCutFinder final : public CutFinder {
public:
    QuietestCutFinder(int channelCount, std::int64_t sampleRate, const FrameWindows& windows);

    void processChunk(QByteArray& pcmBuffer) override;
    bool finishAnalysis(AnalysisResult* result, QString* errorMessage) override;
    std::int64_t framesProcessed() const override { return m_frames; }
    const QList<InternalSegment>& closedRanges() const override { return m_segments; }

    // A piece's cut depends only on the blocks of its window and half a stretch on either
    // side: the frames before them are skipped without being seen.
    std::int64_t nextFrameNeeded() const override;
    bool settle(std::int64_t from, QByteArray& floats) override;
    void skipToEnd(std::int64_t total) override;

    // The block sums held for pieces not yet cut, in bytes: bounded by the windows, not by the
    // length of the input.
    std::size_t heldBytes() const { return m_prefix.capacity() * sizeof(std::uint64_t); }

    // Frames per block, and blocks per compared stretch.
    static std::int64_t blockFramesFor(std::int64_t sampleRate);
    static std::int64_t windowBlocksFor(std::int64_t minSilenceFrames, std::int64_t blockFrames);

private:
    void analyseFrames(const char* data, std::int64_t frameCount);
    void closeBlock();
    void cutDecidedPieces(bool streamEnded);
    InternalSegment quietestCut() const;
    std::uint64_t prefixAt(std::int64_t block) const;
    void dropPrefixesBefore(std::int64_t block);
    // Goes on at `frame` without the frames before it: at a block boundary, or at the end.
    void skipTo(std::int64_t frame);

    const int m_channelCount;
    const FrameWindows m_windows;
    const std::int64_t m_blockFrames;
    const std::int64_t m_windowBlocks;

    std::int64_t m_frames = 0;
    std::int64_t m_pieceStart = 0;
    // The block being filled.
    std::int64_t m_blockFill = 0;
    std::uint64_t m_blockSum = 0;
    // The running sum of all whole blocks, kept at every block boundary from m_firstHeld to
    // m_blocks in a ring indexed by block number: a stretch's energy is the difference of two.
    // The sums wrap modulo 2^64, and so do the differences, exactly as a plain sum would.
    std::int64_t m_blocks = 0;
    std::int64_t m_firstHeld = 0;
    std::uint64_t m_total = 0;
    std::vector<std::uint64_t> m_prefix;
    QList<InternalSegment> m_segments;
};

} // namespace brevane::detail
