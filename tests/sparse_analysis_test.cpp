// The analysis that decodes only where a cut can fall, held to the analysis of every frame (and,
// for the silence rule, to its plain frame-by-frame model): for random patterns of sound and
// pauses of every length (pauses that straddle window edges, pauses longer than a whole window,
// none at all, one at the very start, pauses still going at a cut), both rules and a spread of
// windows and look-back steps, the cuts are the same, frame for frame and kind for kind. The
// frames come from memory, so that thousands of patterns take a moment.

#include "cut_model.h"
#include "cuts/boundary_detector.h"
#include "cuts/quietest_finder.h"
#include "cuts/stretch_analysis.h"
#include "finder_feed.h"
#include "quietest_model.h"
#include "test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

using namespace brevane::detail;

namespace {

// Decodes stretches of frames held in memory, counting what it decodes.
class MemoryDecoder final : public StretchDecoder {
public:
    MemoryDecoder(const std::vector<float>& samples, int channels)
        : m_bytes(reinterpret_cast<const char*>(samples.data()),
            qsizetype(samples.size() * sizeof(float)))
        , m_frameBytes(qsizetype(channels) * 4)
    {
    }
    std::int64_t totalFrames() const override { return m_bytes.size() / m_frameBytes; }
    std::int64_t framesDecoded() const override { return m_decoded; }
    bool decode(
        std::int64_t from, std::int64_t to, const FloatChunkConsumer& consume, QString*) override
    {
        to = std::min(to, totalFrames());
        // Handed on in uneven chunks, as a decoder gives its frames.
        for (std::int64_t at = from; at < to;) {
            const std::int64_t end = std::min(to, at + 1 + (at * 7919) % 3001);
            QByteArray chunk = m_bytes.mid(at * m_frameBytes, (end - at) * m_frameBytes);
            m_decoded += end - at;
            if (!consume(chunk))
                return false;
            at = end;
        }
        return true;
    }

private:
    const QByteArray m_bytes;
    const qsizetype m_frameBytes;
    std::int64_t m_decoded = 0;
};

// Runs of sound and of pauses with lengths drawn around the pause length and the window, so
// that pauses fall everywhere: inside and across the windows' edges, longer than a window,
// at the start, at the end. Loud frames are noise well above the level, silent ones noise
// well below it, and a few sit right at it.
std::vector<float> pattern(std::mt19937& random, int channels, std::int64_t frames,
    std::int64_t pause, std::int64_t window, double pauseShare)
{
    std::vector<float> samples;
    samples.reserve(std::size_t(frames * channels));
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    bool silent = pauseShare > 0 && std::bernoulli_distribution(0.3)(random);
    while (std::int64_t(samples.size()) < frames * channels) {
        const std::int64_t scale = std::bernoulli_distribution(0.1)(random) ? window : pause;
        std::int64_t length = std::uniform_int_distribution<std::int64_t>(1, 3 * scale)(random);
        const bool edgy = std::bernoulli_distribution(0.05)(random);
        for (; length > 0 && std::int64_t(samples.size()) < frames * channels; --length) {
            for (int c = 0; c < channels; ++c)
                samples.push_back(edgy ? 0.005f * (1.0f + noise(random) * 0.01f)
                        : silent       ? 0.001f * noise(random)
                                       : 0.3f * noise(random));
        }
        // After sound, a pause or more sound; after a pause, sound.
        silent = !silent && pauseShare > 0 && std::bernoulli_distribution(pauseShare)(random);
    }
    return samples;
}

struct Spread {
    int channels;
    std::int64_t rate;
    double max;
    double tolerance;
    double minSilence;
    double pauseShare; // 0: no pause at all
};

QList<InternalSegment> sparseRanges(CutFinder& finder, const std::vector<float>& samples,
    int channels, std::int64_t lookBack, std::int64_t* decoded)
{
    MemoryDecoder decoder(samples, channels);
    StretchAnalysisHooks hooks;
    hooks.stepFrames = 97;
    hooks.firstLookBack = lookBack;
    hooks.longestLookBack = lookBack * 8;
    AnalysisResult result;
    QString error;
    EXPECT_TRUE(analyseStretches(decoder, finder, &result, &error, hooks)) << error.toStdString();
    *decoded = decoder.framesDecoded();
    return result.segments;
}

QList<InternalSegment> modelRanges(
    const std::vector<float>& samples, int channels, const FrameWindows& windows)
{
    testsupport::CutModel model(channels, windows);
    for (std::size_t k = 0; k < samples.size(); k += std::size_t(channels))
        model.addFrame(&samples[k]);
    model.finish();
    QList<InternalSegment> ranges;
    for (const testsupport::ModelRange& range : model.ranges())
        ranges.append({ range.start, range.end, range.kind });
    return ranges;
}

TEST(SparseAnalysisTest, SameCutsAsEveryFrameForRandomPatterns)
{
    const Spread spreads[] = {
        { 1, 1000, 30, 10, 0.5, 0.5 }, { 2, 1000, 30, 10, 0.5, 0.5 }, { 1, 1000, 20, 2, 0.2, 0.3 },
        { 1, 1000, 20, 0, 0.1, 0.5 }, // no tolerance: every cut at the maximum
        { 1, 1000, 10, 9, 2, 0.5 }, // pauses longer than the shortest piece
        { 1, 100, 60, 20, 0.5, 0.1 }, // pauses rare: long looks back
        { 3, 1000, 25, 5, 0.5, 0.0 }, // no pause at all
        { 1, 1000, 5, 1, 40, 0.5 }, // a pause longer than any piece never qualifies
    };
    std::mt19937 random(2026);
    for (const Spread& spread : spreads) {
        FrameWindows windows;
        ASSERT_TRUE(computeFrameWindows(
            spread.rate, spread.max, spread.tolerance, spread.minSilence, &windows, nullptr));
        for (int round = 0; round < 20; ++round) {
            const std::int64_t frames = std::int64_t(spread.rate * spread.max * 8);
            const std::vector<float> samples = pattern(random, spread.channels, frames,
                windows.minSilenceFrames, windows.maxFrames, spread.pauseShare);
            const QByteArray bytes(reinterpret_cast<const char*>(samples.data()),
                qsizetype(samples.size() * sizeof(float)));
            const std::int64_t lookBack = std::int64_t(1) << (4 + round % 10);

            BoundaryDetector full(spread.channels, windows);
            const testsupport::FinderOutcome every
                = testsupport::feedFinder(full, bytes, spread.channels);
            EXPECT_EQ(every.ranges, modelRanges(samples, spread.channels, windows));
            BoundaryDetector sparse(spread.channels, windows);
            std::int64_t decoded = 0;
            ASSERT_EQ(
                sparseRanges(sparse, samples, spread.channels, lookBack, &decoded), every.ranges)
                << "silence, spread " << (&spread - spreads) << ", round " << round;

            QuietestCutFinder fullQuietest(spread.channels, spread.rate, windows);
            const testsupport::FinderOutcome quietest
                = testsupport::feedFinder(fullQuietest, bytes, spread.channels);
            EXPECT_EQ(quietest.ranges,
                testsupport::quietestModelRanges(samples, spread.channels, spread.rate, windows));
            QuietestCutFinder sparseQuietest(spread.channels, spread.rate, windows);
            ASSERT_EQ(sparseRanges(sparseQuietest, samples, spread.channels, lookBack, &decoded),
                quietest.ranges)
                << "quietest, spread " << (&spread - spreads) << ", round " << round;
            // The quietest rule needs only its windows and their stretches: where those leave
            // gaps, it skips them.
            if (spread.tolerance * 3 <= spread.max && spread.minSilence < spread.tolerance) {
                EXPECT_LT(decoded, frames - std::int64_t(spread.rate * spread.max));
            }
        }
    }
}

// Where pauses come often the silence rule looks back only to the latest one before each
// window; where none comes it decodes every frame, once.
TEST(SparseAnalysisTest, DecodesLittleWithPausesAndEverythingOnceWithout)
{
    FrameWindows windows;
    ASSERT_TRUE(computeFrameWindows(1000, 300, 60, 0.5, &windows, nullptr));
    // A second of sound, then a second of pause, for an hour.
    std::vector<float> speech;
    for (std::int64_t frame = 0; frame < 3600 * 1000; ++frame)
        speech.push_back((frame / 1000) % 2 == 0 ? 0.3f : 0.0f);
    const std::vector<float> noise(3600 * 1000, 0.3f);

    std::int64_t decoded = 0;
    BoundaryDetector speechRule(1, windows);
    sparseRanges(speechRule, speech, 1, 4096, &decoded);
    EXPECT_LT(decoded, std::int64_t(speech.size()) / 2);
    BoundaryDetector noiseRule(1, windows);
    sparseRanges(noiseRule, noise, 1, 4096, &decoded);
    EXPECT_EQ(decoded, std::int64_t(noise.size()));
}

} // namespace

namespace {

struct ProgramRow {
    const char* name;
    QStringList encode; // ffmpeg output options for the input
    const char* input;
    QStringList rule;
};

void PrintTo(const ProgramRow& row, std::ostream* out) { *out << row.name; }

class SparseProgramTest : public ::testing::TestWithParam<ProgramRow> { };

// Through the program: a dry run, which decodes only where a cut can fall for an MP3 or PCM WAV,
// reports the frames of a one-pass run, which decodes every frame through the decoder child;
// and a WAV whose channels ffmpeg remixes, which the dry run decodes whole the same way.
TEST_P(SparseProgramTest, DryRunCutsWhereEveryFrameIsDecoded)
{
    const ProgramRow& row = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::runFfmpeg(QStringList { "-f", "lavfi", "-i",
                                           "aevalsrc='(0.4*sin(440*2*PI*t)+0.2*(random(0)-0.5))"
                                           "*lt(mod(t,1.7),1.2)':s=44100:c=stereo:d=20" }
        + row.encode + QStringList { dir.filePath(row.input) }));
    const auto frames = [&](const QStringList& mode) {
        const testsupport::ProcessResult run
            = testsupport::runProcess(testsupport::brevaneProgram(),
                QStringList { "--input", row.input, "--any-input", "--max", "4s", "--tolerance",
                    "1500ms", "--json" }
                    + row.rule + mode,
                dir.path());
        EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
        QList<std::pair<qint64, qint64>> spans;
        for (const QJsonValue piece :
            QJsonDocument::fromJson(run.standardOutput)["pieces"].toArray())
            spans.append({ piece["startFrame"].toInteger(), piece["endFrame"].toInteger() });
        return spans;
    };
    const auto every = frames({ "--one-pass", "--out", "out" });
    EXPECT_GE(every.size(), 4);
    EXPECT_EQ(frames({ "--dry-run" }), every);
}

INSTANTIATE_TEST_SUITE_P(Inputs, SparseProgramTest,
    ::testing::Values(
        ProgramRow { "Mp3Cbr", { "-c:a", "libmp3lame", "-b:a", "96k" }, "in.mp3", {} },
        ProgramRow { "Mp3VbrQuietest", { "-c:a", "libmp3lame", "-q:a", "6" }, "in.mp3",
            { "--cut-at", "quietest" } },
        ProgramRow { "Wav24", { "-c:a", "pcm_s24le" }, "in.wav", {} },
        ProgramRow { "RemixedWavFallsBack",
            { "-af", "channelmap=channel_layout=FC+LFE", "-c:a", "pcm_s16le" }, "in.wav", {} }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
