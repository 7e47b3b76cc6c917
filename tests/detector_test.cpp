// The boundary detector: the frame windows, the cut rule on hand-made traces, the silence level
// (standard and chosen), and that the ranges depend only on the frames, however the bytes are
// chunked and however the detector walks them.

#include "cut_model.h"
#include "cuts/boundary_detector.h"
#include "cuts/frame_windows.h"
#include "finder_feed.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using brevane::detail::AnalysisResult;
using brevane::detail::BoundaryDetector;
using brevane::detail::FrameWindows;
using brevane::detail::InternalSegment;
// Tables state the frames of each range; the trace table also states why each ended.
using Ranges = QList<testsupport::Span>;
using testsupport::spans;

constexpr float loud = 0.5f;
constexpr float quiet = 0.0f;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

FrameWindows windowsFor(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds)
{
    FrameWindows windows;
    EXPECT_TRUE(brevane::detail::computeFrameWindows(
        sampleRate, maxSeconds, toleranceSeconds, &windows, nullptr));
    return windows;
}

using testsupport::framesFrom;
using Outcome = testsupport::FinderOutcome;

// Feeds bytes as the decode pipe does, in chunks of the given sizes.
Outcome analyse(const QByteArray& bytes, int channelCount, const FrameWindows& windows,
    const std::vector<qsizetype>& chunkSizes = {},
    double silenceLevel = BoundaryDetector::defaultSilenceLevel)
{
    BoundaryDetector detector(channelCount, windows, silenceLevel);
    return testsupport::feedFinder(detector, bytes, channelCount, chunkSizes);
}

Outcome analyse(const std::vector<float>& samples, int channelCount, const FrameWindows& windows)
{
    return analyse(testsupport::floatBytes(samples), channelCount, windows);
}

// --- Frame windows -------------------------------------------------------------------------

struct WindowCase {
    const char* name;
    std::int64_t sampleRate;
    double maxSeconds;
    double toleranceSeconds;
    bool accepted;
    FrameWindows expected;
    double minSilenceSeconds = 0.5;
};

void PrintTo(const WindowCase& row, std::ostream* out) { *out << row.name; }

class WindowTest : public ::testing::TestWithParam<WindowCase> { };

TEST_P(WindowTest, DerivesOrRefuses)
{
    const WindowCase& c = GetParam();
    FrameWindows windows { -1, -1, -1, -1 };
    QString error;
    ASSERT_EQ(brevane::detail::computeFrameWindows(c.sampleRate, c.maxSeconds, c.toleranceSeconds,
                  c.minSilenceSeconds, &windows, &error),
        c.accepted);
    if (!c.accepted) {
        EXPECT_EQ(error, "Invalid duration window; ensure tolerance is less than max");
        EXPECT_EQ(windows.minFrames, -1);
        return;
    }
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(windows.targetFrames, c.expected.targetFrames);
    EXPECT_EQ(windows.minFrames, c.expected.minFrames);
    EXPECT_EQ(windows.maxFrames, c.expected.maxFrames);
    EXPECT_EQ(windows.minSilenceFrames, c.expected.minSilenceFrames);
}

INSTANTIATE_TEST_SUITE_P(Windows, WindowTest,
    ::testing::Values(
        WindowCase { "Default", 44100, 300, 60, true, { 13230000, 10584000, 15876000, 22050 } },
        // 27562.5 and 38587.5 round away from zero.
        WindowCase { "Halves", 22050, 1.5, 0.25, true, { 33075, 27563, 38588, 11025 } },
        WindowCase { "HalfSecondHalf", 11025, 2, 1, true, { 22050, 11025, 33075, 5513 } },
        WindowCase { "ToleranceEqualsMax", 44100, 1, 1, false, {} },
        // About 0.441 of a frame rounds to none; 4.41 frames are enough.
        WindowCase { "TinyMinimumRefused", 44100, 1, 0.99999, false, {} },
        WindowCase { "TinyMinimumAccepted", 44100, 1, 0.9999, true, { 44100, 4, 88196, 22050 } },
        // Just inside and just outside the signed 64-bit range, then beyond any double.
        WindowCase { "LargestAccepted", 1, 9.2e18, 0, true,
            { 9200000000000000000, 9200000000000000000, 9200000000000000000, 1 } },
        WindowCase { "BeyondInt64", 1, 9.3e18, 0, false, {} },
        WindowCase { "SumBeyondInt64", 1, 9.2e18, 9e16, false, {} },
        WindowCase { "ProductInfinite", 44100, 1e305, 0, false, {} },
        WindowCase { "NotANumber", 44100, std::nan(""), 0, false, {} },
        // The shortest pause: 0.2 s, a quarter frame (one frame at least), 2.5 frames rounded
        // away from zero, and longer than any count, which no pause reaches.
        WindowCase {
            "ShortPause", 44100, 300, 60, true, { 13230000, 10584000, 15876000, 8820 }, 0.2 },
        WindowCase { "PauseBelowOneFrame", 10, 1, 0.4, true, { 10, 6, 14, 1 }, 0.025 },
        WindowCase { "PauseOfHalfFrames", 10, 1, 0.4, true, { 10, 6, 14, 3 }, 0.25 },
        WindowCase { "PauseBeyondAnyCount", 44100, 300, 60, true,
            { 13230000, 10584000, 15876000, std::numeric_limits<std::int64_t>::max() }, 1e300 }),
    [](const auto& info) { return std::string(info.param.name); });

// A size limit's longest piece: windows it does not shorten stay as they are; otherwise the
// target and the shortest cut shrink in proportion, to the nearest frame and at least one.
TEST(WindowTest, CapsTheLongestPiece)
{
    using Lengths = std::vector<std::int64_t>; // target, shortest, longest, shortest pause
    const auto capped = [](const FrameWindows& windows, std::int64_t longest) {
        const FrameWindows c = brevane::detail::capFrameWindows(windows, longest);
        return Lengths { c.targetFrames, c.minFrames, c.maxFrames, c.minSilenceFrames };
    };
    const FrameWindows tenMinutes = windowsFor(44100, 600, 60);
    EXPECT_EQ(capped(tenMinutes, 29106000), Lengths({ 26460000, 23814000, 29106000, 22050 }));
    // 25 MB of 44.1 kHz stereo WAV hold (25000000 - 44) / 4 frames, 2m21.7s; the target and
    // the shortest cut were 10/11 and 9/11 of the longest piece: 2m8.8s and 1m56s.
    EXPECT_EQ(capped(tenMinutes, 6249989), Lengths({ 5681808, 5113627, 6249989, 22050 }));
    EXPECT_EQ(capped(tenMinutes, 1), Lengths({ 1, 1, 1, 22050 }));
    // Products of two counts beyond 64 bits.
    EXPECT_EQ(capped({ 9200000000000000000, 9000000000000000000, 9200000000000000000, 1 },
                  4600000000000000000),
        Lengths({ 4600000000000000000, 4500000000000000000, 4600000000000000000, 1 }));
}

// --- The cut rule ----------------------------------------------------------------------------

struct TraceCase {
    const char* name;
    std::int64_t sampleRate;
    double maxSeconds;
    double toleranceSeconds;
    const char* pattern;
    Ranges expected;
    // What ended each range: S silence, F forced, E the end of the input.
    const char* kinds;
};

void PrintTo(const TraceCase& row, std::ostream* out) { *out << row.name; }

class TraceTest : public ::testing::TestWithParam<TraceCase> { };

TEST_P(TraceTest, CutsAsExpected)
{
    const TraceCase& c = GetParam();
    const std::vector<float> samples = framesFrom(c.pattern);
    const Outcome outcome
        = analyse(samples, 1, windowsFor(c.sampleRate, c.maxSeconds, c.toleranceSeconds));
    ASSERT_TRUE(outcome.ok) << outcome.error.toStdString();
    EXPECT_EQ(spans(outcome.ranges), c.expected);
    EXPECT_EQ(testsupport::kindLetters(outcome.ranges), c.kinds);
    EXPECT_EQ(outcome.totalFrames, std::int64_t(samples.size()));
}

// 10 Hz, max 1 s, tolerance 0.4 s: target 10, minimum 6, maximum 14, shortest pause 5.
// 100 Hz, max 10 s, tolerance 2 s: target 1000, minimum 800, maximum 1200, shortest pause 50.
INSTANTIATE_TEST_SUITE_P(Traces, TraceTest,
    ::testing::Values(
        // The pause 8..13 reaches 5 frames at 12 (candidate 10) when the piece has 13 >= 10:
        // cut at once. Its frame 13 is spent; nothing replaces 10, so 24 is forced.
        TraceCase { "SilenceThenForced", 10, 1, 0.4, "8L 6Q 16L",
            { { 0, 10 }, { 10, 24 }, { 24, 30 } }, "SFE" },
        // Candidate 4 (pause 2..6) is cut once 5 frames old, at 9: a piece below the minimum.
        TraceCase { "AgedCandidate", 10, 1, 0.4, "2L 5Q 10L", { { 0, 4 }, { 4, 17 } }, "SE" },
        // The cut at 4 falls on a loud frame, so the pause 9..18 is fresh: its middle 11 is
        // cut when the piece reaches 10; the rest of that pause is spent.
        TraceCase { "LoudCutSpendsNothing", 10, 1, 0.4, "2L 5Q 2L 10Q 3L",
            { { 0, 4 }, { 4, 11 }, { 11, 22 } }, "SSE" },
        TraceCase {
            "ToleranceZero", 10, 1, 0, "3L 5Q 10L", { { 0, 5 }, { 5, 15 }, { 15, 18 } }, "SFE" },
        // The candidate 11 appears in frame 13, where the piece reaches 14: silence cut only.
        TraceCase { "CandidateAtMaximum", 10, 1, 0.4, "9L 5Q 3L", { { 0, 11 }, { 11, 17 } }, "SE" },
        // The second piece reaches its longest on the last frame: it ends the input, no cut.
        TraceCase { "ForcedOnLastFrame", 10, 1, 0.4, "28L", { { 0, 14 }, { 14, 28 } }, "FE" },
        TraceCase {
            "OneFrameTail", 10, 1, 0.4, "29L", { { 0, 14 }, { 14, 28 }, { 28, 29 } }, "FFE" },
        TraceCase { "ShortLoud", 10, 1, 0.4, "5L", { { 0, 5 } }, "E" },
        TraceCase { "ShortSilent", 10, 1, 0.4, "5Q", { { 0, 5 } }, "E" },
        TraceCase { "BelowMaximum", 10, 1, 0.4, "13L", { { 0, 13 } }, "E" },
        TraceCase {
            "PauseOneFrameShort", 10, 1, 0.4, "3L 4Q 20L", { { 0, 14 }, { 14, 27 } }, "FE" },
        // Candidate 1014 (pause 990..1189 at 50 frames) is spent with its pause; the next
        // piece runs to the maximum instead of closing on a stale candidate.
        TraceCase { "PauseSpentAfterCut", 100, 10, 2, "990L 200Q 2000L",
            { { 0, 1014 }, { 1014, 2214 }, { 2214, 3190 } }, "SFE" },
        // The pause cut at 649 gives no more cuts; the forced cut at 1849 starts a fresh pause,
        // too short here to close a piece.
        TraceCase { "LongPause", 100, 10, 2, "500L 1500Q",
            { { 0, 649 }, { 649, 1849 }, { 1849, 2000 } }, "SFE" },
        // Each forced cut starts a fresh pause whose middle is cut 800 frames later.
        TraceCase { "VeryLongPause", 100, 10, 2, "500L 5000Q",
            { { 0, 649 }, { 649, 1849 }, { 1849, 2248 }, { 2248, 3448 }, { 3448, 3847 },
                { 3847, 5047 }, { 5047, 5500 } },
            "SFSFSFE" }),
    [](const auto& info) { return std::string(info.param.name); });

// --- The silence level -----------------------------------------------------------------------

struct LevelCase {
    const char* name;
    std::vector<float> frame;
    bool silent;
    double level = BoundaryDetector::defaultSilenceLevel;
};

void PrintTo(const LevelCase& row, std::ostream* out) { *out << row.name; }

class LevelTest : public ::testing::TestWithParam<LevelCase> { };

// Five copies of the frame between loud ones (10 Hz windows): as a pause they give a
// candidate that is cut at 4, otherwise only the maximum cuts.
TEST_P(LevelTest, ClassifiesFrame)
{
    const LevelCase& c = GetParam();
    const int channels = int(c.frame.size());
    std::vector<float> samples;
    for (int k = 0; k < 17; ++k) {
        if (k >= 2 && k < 7)
            samples.insert(samples.end(), c.frame.begin(), c.frame.end());
        else
            samples.insert(samples.end(), channels, loud);
    }
    const Ranges expected
        = c.silent ? Ranges { { 0, 4 }, { 4, 17 } } : Ranges { { 0, 14 }, { 14, 17 } };
    EXPECT_EQ(spans(analyse(
                  testsupport::floatBytes(samples), channels, windowsFor(10, 1, 0.4), {}, c.level)
                        .ranges),
        expected);
}

INSTANTIATE_TEST_SUITE_P(Levels, LevelTest,
    ::testing::Values(LevelCase { "StereoJustBelow", { 0.004f, 0.0059f }, true },
        LevelCase { "StereoJustAbove", { 0.006f, 0.005f }, false },
        LevelCase { "NegativeSamples", { -0.004f, -0.0059f }, true },
        // 0.0099 alone is loud; shared by two channels its mean is not.
        LevelCase { "MeanOverChannels", { 0.0099f, 0.0f }, true },
        LevelCase { "SixChannelsBelow", { 0, 0, 0, 0, 0, 0.0299f }, true },
        // The float nearest 0.005 lies just below it; the next float up does not.
        LevelCase { "NearestFloat", { 0.005f }, true },
        LevelCase { "NextFloatUp", { std::nextafter(0.005f, 1.0f) }, false },
        // Summed in double the pair reaches 0.005; a float sum would round it below.
        LevelCase { "SumInDouble", { 0.005f, std::nextafter(0.005f, 1.0f) }, false },
        LevelCase { "NotANumber", { nan }, false },
        LevelCase { "NegativeInfinity", { 0.0f, -inf }, false },
        // A chosen level moves the edge (below the loud frames' 0.5 around the pause).
        LevelCase { "ChosenLevelBelow", { 0.09f, -0.1f }, true, 0.1 },
        LevelCase { "ChosenLevelReached", { 0.1f, -0.1f }, false, double(0.1f) },
        LevelCase { "LowLevelBelow", { 0.0f, 1e-6f }, true, 1e-6 },
        LevelCase { "LowLevelReached", { 2e-6f }, false, 1e-6 }),
    [](const auto& info) { return std::string(info.param.name); });

// --- No samples --------------------------------------------------------------------------------

TEST(DetectorTest, FailsWithoutOneWholeFrame)
{
    for (const qsizetype bytes : { 0, 4, 7 }) {
        SCOPED_TRACE(bytes);
        const Outcome outcome = analyse(QByteArray(bytes, '\0'), 2, windowsFor(10, 1, 0.4));
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, "Audio decoding produced no samples");
        EXPECT_TRUE(outcome.ranges.isEmpty());
    }
}

// --- Independence from chunking and from the walk ---------------------------------------------

// Runs of loud and silent frames of random lengths, from flickering single frames to pauses
// longer than a piece; sample values around the level, and not-a-number and infinity.
std::vector<float> randomFrames(
    std::mt19937_64& random, int channelCount, std::int64_t frames, std::int64_t longestRun)
{
    static const std::vector<float> quietValues { 0.0f, -0.0f, 1e-4f, -0.003f, 0.0049f, 0.005f };
    static const std::vector<float> loudValues { 0.5f, -0.8f, 0.0051f, -0.01f, inf, nan };
    std::vector<float> samples;
    while (std::int64_t(samples.size()) < frames * channelCount) {
        const bool silentRun = random() % 2;
        const std::int64_t run = random() % 3 == 0 ? 1 + random() % 4 : 1 + random() % longestRun;
        const auto& values = silentRun ? quietValues : loudValues;
        for (std::int64_t k = 0; k < run * channelCount; ++k)
            samples.push_back(values[random() % 8 == 0 ? random() % values.size() : 0]);
    }
    samples.resize(std::size_t(frames * channelCount));
    return samples;
}

std::vector<qsizetype> randomSplits(std::mt19937_64& random, qsizetype largest)
{
    std::vector<qsizetype> sizes(16);
    for (qsizetype& size : sizes)
        size = 1 + qsizetype(random() % std::uint64_t(largest));
    return sizes;
}

TEST(DetectorTest, RangesDoNotDependOnChunking)
{
    std::mt19937_64 random(7);
    const int channels = 2;
    const std::vector<float> samples = randomFrames(random, channels, 6000, 400);
    // A trailing piece of a frame is ignored.
    const QByteArray bytes = testsupport::floatBytes(samples) + QByteArray(5, '\x7f');
    // Target 400, minimum 300, maximum 500, shortest pause 100 frames.
    const FrameWindows windows = windowsFor(200, 2, 0.5);

    const Outcome whole = analyse(bytes, channels, windows);
    ASSERT_TRUE(whole.ok);
    ASSERT_GE(whole.ranges.size(), 10);
    EXPECT_EQ(whole.totalFrames, 6000);

    std::vector<std::vector<qsizetype>> splits { { 1 }, { 3 }, { 7 }, { 4096 } };
    for (int i = 0; i < 5; ++i)
        splits.push_back(randomSplits(random, 300));
    for (const auto& split : splits) {
        SCOPED_TRACE(::testing::PrintToString(split));
        const Outcome chunked = analyse(bytes, channels, windows, split);
        EXPECT_EQ(chunked.ranges, whole.ranges);
        EXPECT_EQ(chunked.totalFrames, whole.totalFrames);
    }
}

// The plain frame-by-frame model of the cut rule, over the same frames.
Outcome referenceRanges(
    const std::vector<float>& samples, int channels, const FrameWindows& w, double silenceLevel)
{
    testsupport::CutModel model(channels, w, silenceLevel);
    for (std::size_t k = 0; k + std::size_t(channels) <= samples.size(); k += std::size_t(channels))
        model.addFrame(samples.data() + k);
    model.finish();
    Outcome outcome;
    for (const testsupport::ModelRange& range : model.ranges())
        outcome.ranges.append({ range.start, range.end, range.kind });
    outcome.totalFrames = model.frames();
    return outcome;
}

TEST(DetectorTest, MatchesPlainFrameByFrameRule)
{
    std::mt19937_64 random(2026);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(round);
        const int channels = 1 + int(random() % 8);
        FrameWindows windows;
        // Windows from a few frames to several hundred, the three lengths equal now and then;
        // pauses both shorter and longer than the detector's 64-frame words.
        windows.minSilenceFrames = 1 + std::int64_t(random() % 200);
        windows.minFrames = 1 + std::int64_t(random() % 600);
        windows.targetFrames
            = windows.minFrames + std::int64_t(random() % 3 == 0 ? 0 : random() % 400);
        windows.maxFrames
            = windows.targetFrames + std::int64_t(random() % 3 == 0 ? 0 : random() % 800);
        // Now and then a window at the top of the range, where no frame arithmetic may wrap.
        constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
        if (round % 8 == 0)
            windows.maxFrames = largest;
        if (round % 16 == 0)
            windows.targetFrames = largest;
        if (round % 24 == 0)
            windows.minSilenceFrames = largest;
        // Half the rounds at the standard level, the others at a level that turns some of
        // the quiet values loud, or some of the loud ones silent, up to full scale.
        static const std::vector<double> levels { 1e-4, 0.003, 0.0051, 0.01, 0.6, 1.0 };
        const double level = round % 2 == 0 ? BoundaryDetector::defaultSilenceLevel
                                            : levels[random() % levels.size()];
        const std::int64_t frames = 1 + std::int64_t(random() % 8000);
        const std::vector<float> samples
            = randomFrames(random, channels, frames, 1 + std::int64_t(random() % 2000));

        const Outcome expected = referenceRanges(samples, channels, windows, level);
        const Outcome actual = analyse(testsupport::floatBytes(samples), channels, windows,
            randomSplits(random, 70000), level);
        ASSERT_TRUE(actual.ok);
        ASSERT_EQ(actual.ranges, expected.ranges)
            << "channels " << channels << ", level " << level << ", windows "
            << windows.targetFrames << "/" << windows.minFrames << "/" << windows.maxFrames << "/"
            << windows.minSilenceFrames;
        ASSERT_EQ(actual.totalFrames, expected.totalFrames);
    }
}

} // namespace
