// The quietest-stretch cut finder: hand-made traces for the choices the rule makes, and the
// same ranges as a plain whole-input model of the rule, however the bytes are chunked.

#include "cuts/quietest_finder.h"
#include "finder_feed.h"
#include "quietest_model.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using brevane::detail::AnalysisResult;
using brevane::detail::FrameWindows;
using brevane::detail::InternalSegment;
using brevane::detail::QuietestCutFinder;
using Ranges = QList<testsupport::Span>;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

using testsupport::framesFrom;
using Outcome = testsupport::FinderOutcome;

Outcome analyse(const QByteArray& bytes, int channelCount, std::int64_t sampleRate,
    const FrameWindows& windows, const std::vector<qsizetype>& chunkSizes = {})
{
    QuietestCutFinder finder(channelCount, sampleRate, windows);
    return testsupport::feedFinder(finder, bytes, channelCount, chunkSizes);
}

// At 400 Hz a block is 4 frames. Windows {target, min, max, shortest pause}: with a pause of 8
// frames a stretch is 2 blocks, the one before the candidate and the one after it.
TEST(QuietestCutFinderTest, CutsHandMadeTraces)
{
    const struct {
        const char* name;
        FrameWindows windows;
        const char* pattern;
        Ranges expected;
        // What ended each range: Q the quietest stretch, F forced, E the end of the input.
        const char* kinds;
    } traces[] = {
        // Candidates 32..48; only 40 has silence on both sides. The next piece, all loud, is
        // cut nearest its target, 80.
        { "QuietSpot", { 40, 32, 48, 8 }, "36L 8Q 60L", { { 0, 40 }, { 40, 80 }, { 80, 104 } },
            "QQE" },
        // Target 42 lies between the equal candidates 40 and 44: the earlier one wins.
        { "TieGoesEarlier", { 42, 32, 48, 8 }, "100Q", { { 0, 40 }, { 40, 80 }, { 80, 100 } },
            "QQE" },
        // Tolerance 0 and a maximum off the block grid leave the first piece no candidate: it
        // is forced. The second piece's only point, 84, lies on the grid.
        { "NoCandidate", { 42, 42, 42, 8 }, "100Q", { { 0, 42 }, { 42, 84 }, { 84, 100 } }, "FQE" },
        // Stretches of 4 blocks. 44 would take in blocks 9 to 12, but the input holds 12 whole
        // blocks and a partial one: it does not count, and 40 (two loud blocks) is taken.
        { "StretchCutOffByEnd", { 40, 32, 48, 16 }, "40L 10Q", { { 0, 40 }, { 40, 50 } }, "QE" },
        // Not-a-number frames are the loudest: 32 and 48 avoid them, equally near 40, and the
        // earlier is taken.
        { "NotANumberIsLoudest", { 40, 32, 48, 8 }, "36L 8N 60L",
            { { 0, 32 }, { 32, 72 }, { 72, 104 } }, "QQE" },
    };
    for (const auto& trace : traces) {
        SCOPED_TRACE(trace.name);
        const Outcome outcome
            = analyse(testsupport::floatBytes(framesFrom(trace.pattern)), 1, 400, trace.windows);
        EXPECT_EQ(testsupport::spans(outcome.ranges), trace.expected);
        EXPECT_EQ(testsupport::kindLetters(outcome.ranges), trace.kinds);
    }
    // Not one whole frame.
    const Outcome empty = analyse(QByteArray(7, '\0'), 2, 400, { 40, 32, 48, 8 });
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.error, "Audio decoding produced no samples");
}

// Runs of one value from a palette around every edge of the quantised level: exact multiples of
// 2^-24 and their neighbours, the cap at 256, subnormals, infinities and not-a-number.
std::vector<float> randomFrames(std::mt19937_64& random, int channelCount, std::int64_t frames)
{
    static const float palette[] = { 0.0f, -0.0f, 0.0f, 0x1p-24f, 0x1.000002p-24f, 0x1.fffffep-25f,
        3 * 0x1p-25f, 1e-4f, -0.003f, 0.5f, -0.8f, 255.99998f, 256.0f, -256.0f, FLT_MAX,
        FLT_TRUE_MIN, inf, -inf, nan };
    std::vector<float> samples;
    while (std::int64_t(samples.size()) < frames * channelCount) {
        const float value = palette[random() % std::size(palette)];
        const std::int64_t run = 1 + std::int64_t(random() % (random() % 4 == 0 ? 400 : 8));
        for (std::int64_t k = 0; k < run * channelCount; ++k)
            samples.push_back(random() % 16 == 0 ? palette[random() % std::size(palette)] : value);
    }
    samples.resize(std::size_t(frames * channelCount));
    return samples;
}

TEST(QuietestCutFinderTest, MatchesWholeInputModelHoweverChunked)
{
    // Rates for blocks of 1 frame (50 Hz rounds 0.5 up), 2, 4 and 44 frames.
    const std::int64_t rates[] = { 1, 50, 100, 150, 400, 4410 };
    std::mt19937_64 random(20261208);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const int channels = round % 3 == 0 ? 1 + int(random() % 6) : 1 + round % 2;
        const std::int64_t rate = rates[random() % std::size(rates)];
        FrameWindows windows;
        windows.minFrames = 1 + std::int64_t(random() % 300);
        windows.targetFrames
            = windows.minFrames + std::int64_t(random() % 3 == 0 ? 0 : random() % 200);
        windows.maxFrames
            = windows.targetFrames + std::int64_t(random() % 3 == 0 ? 0 : random() % 200);
        // Stretches from one block to longer than a piece.
        windows.minSilenceFrames = 1 + std::int64_t(random() % 300);
        if (round % 16 == 0)
            windows.maxFrames = std::numeric_limits<std::int64_t>::max();
        if (round % 24 == 0)
            windows.minSilenceFrames = 1000000000000000;
        const std::vector<float> samples
            = randomFrames(random, channels, 1 + std::int64_t(random() % 5000));
        // A trailing piece of a frame is ignored.
        const QByteArray bytes = testsupport::floatBytes(samples) + QByteArray(3, '\x7f');

        std::vector<qsizetype> chunks(1 + random() % 8);
        for (qsizetype& size : chunks)
            size = 1 + qsizetype(random() % (random() % 2 ? 13 : 70000));
        const Outcome outcome = analyse(bytes, channels, rate, windows, chunks);
        ASSERT_TRUE(outcome.ok);
        ASSERT_EQ(
            outcome.ranges, testsupport::quietestModelRanges(samples, channels, rate, windows))
            << channels << " channels at " << rate << " Hz, windows " << windows.targetFrames << "/"
            << windows.minFrames << "/" << windows.maxFrames << "/" << windows.minSilenceFrames;
    }
}

// A stretch longer than the input can never count, so every piece is forced at its longest and
// cut as soon as the stream passes that point: a writer that follows the stream moves at most
// a chunk per cut, not the rest of the input at every cut.
TEST(QuietestCutFinderTest, CutsAsSoonAsNoLaterFrameCanCount)
{
    // 100 Hz, blocks of one frame; pieces of 90 to 110 frames, stretches of 1000 s, 300 s of
    // sound fed 500 frames at a time.
    QuietestCutFinder finder(1, 100, { 100, 90, 110, 100000 });
    const QByteArray bytes = testsupport::floatBytes(std::vector<float>(30000, 0.5f));
    const Outcome outcome = testsupport::feedFinder(finder, bytes, 1, { 500 * 4 });
    ASSERT_TRUE(outcome.ok);
    ASSERT_EQ(outcome.ranges.size(), 273);
    EXPECT_EQ(outcome.ranges.at(1), (InternalSegment { 110, 220, brevane::CutKind::Forced }));
    EXPECT_LE(outcome.framesMoved, outcome.ranges.size() * 500);
}

// The block sums held do not grow with the input, even when it comes in one chunk: ten times as
// many pieces, the same memory.
TEST(QuietestCutFinderTest, HoldsNoMoreForALongerInput)
{
    auto heldAfter = [](qsizetype pieces) {
        // At 10 kHz, blocks of 100 frames; silence, so every piece is cut at its target.
        QuietestCutFinder finder(1, 10000, { 3000, 2400, 3600, 500 });
        QByteArray chunk(pieces * 3000 * 4, '\0');
        finder.processChunk(chunk);
        EXPECT_EQ(finder.closedRanges().size(), pieces - 1);
        return finder.heldBytes();
    };
    EXPECT_EQ(heldAfter(50), heldAfter(500));
}

} // namespace
