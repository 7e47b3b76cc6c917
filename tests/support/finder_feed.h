#pragma once

// A cut finder fed as the decode pipe feeds it, and frames made from short patterns: shared by
// the tests of both cut rules.

#include "cuts/cut_finder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// The kinds of ranges as letters: E end, S silence, Q quietest, F forced (in the enum's order).
inline std::string kindLetters(const QList<brevane::detail::InternalSegment>& ranges)
{
    std::string letters;
    for (const brevane::detail::InternalSegment& range : ranges)
        letters += "ESQF"[int(range.kind)];
    return letters;
}

// A range's frames alone, for tables that state where the cuts fall and give why in a column
// of kind letters.
using Span = std::pair<std::int64_t, std::int64_t>;
inline QList<Span> spans(const QList<brevane::detail::InternalSegment>& ranges)
{
    QList<Span> frames;
    for (const brevane::detail::InternalSegment& range : ranges)
        frames.append({ range.startFrame, range.endFrame });
    return frames;
}

} // namespace testsupport

namespace brevane::detail {
inline void PrintTo(const InternalSegment& range, std::ostream* out)
{
    *out << "{" << range.startFrame << ", " << range.endFrame << ", "
         << testsupport::kindLetters({ range }) << "}";
}
} // namespace brevane::detail

namespace testsupport {

struct FinderOutcome {
    bool ok = false;
    QList<brevane::detail::InternalSegment> ranges;
    std::int64_t totalFrames = 0;
    QString error;
    // What a writer that follows the stream copies from piece to piece: at each cut, the frames
    // fed beyond it.
    std::int64_t framesMoved = 0;
};

// Appends the bytes chunk by chunk (all at once when chunkSizes is empty), analyses after each,
// and once more at the end. After every chunk only an unfinished frame may wait, and the
// frames of the ranges closed so far are never taken back; a writer that follows the stream
// relies on both. (Their kinds are checked with the finished ranges: the last may still turn
// out to end the input.)
inline FinderOutcome feedFinder(brevane::detail::CutFinder& finder, const QByteArray& bytes,
    int channelCount, const std::vector<qsizetype>& chunkSizes = {})
{
    QByteArray pcmBuffer;
    QList<brevane::detail::InternalSegment> seen;
    std::int64_t moved = 0;
    qsizetype offset = 0;
    for (std::size_t i = 0; offset < bytes.size(); ++i) {
        const qsizetype size
            = chunkSizes.empty() ? bytes.size() : chunkSizes[i % chunkSizes.size()];
        pcmBuffer.append(bytes.mid(offset, size));
        offset += size;
        finder.processChunk(pcmBuffer);
        EXPECT_LT(pcmBuffer.size(), channelCount * 4);
        EXPECT_EQ(spans(finder.closedRanges().mid(0, seen.size())), spans(seen));
        for (qsizetype k = seen.size(); k < finder.closedRanges().size(); ++k)
            moved += finder.framesProcessed() - finder.closedRanges().at(k).endFrame;
        seen = finder.closedRanges();
    }
    finder.processChunk(pcmBuffer);
    FinderOutcome outcome;
    brevane::detail::AnalysisResult result;
    outcome.ok = finder.finishAnalysis(&result, &outcome.error);
    outcome.ranges = result.segments;
    outcome.totalFrames = result.totalFrames;
    EXPECT_EQ(spans(outcome.ranges.mid(0, seen.size())), spans(seen));
    for (qsizetype k = seen.size(); k < outcome.ranges.size(); ++k)
        moved += result.totalFrames - outcome.ranges.at(k).endFrame;
    outcome.framesMoved = moved;
    if (outcome.ok) {
        EXPECT_EQ(finder.framesProcessed(), result.totalFrames);
    }
    return outcome;
}

// One-channel frames from a pattern such as "8L 6Q 4N": L is loud (0.5), Q silent (0.0), N not
// a number.
inline std::vector<float> framesFrom(const std::string& pattern)
{
    std::vector<float> samples;
    std::size_t pos = 0;
    while (pos < pattern.size()) {
        std::size_t used = 0;
        const int count = std::stoi(pattern.substr(pos), &used);
        const char kind = pattern.at(pos + used);
        samples.insert(samples.end(), count,
            kind == 'L'       ? 0.5f
                : kind == 'N' ? std::numeric_limits<float>::quiet_NaN()
                              : 0.0f);
        pos = pattern.find_first_not_of(' ', pos + used + 1);
    }
    return samples;
}

} // namespace testsupport
