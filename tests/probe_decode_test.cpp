// The stream probe and the decode pipe: real files through libavformat and the real ffmpeg,
// and small fake ffmpeg scripts for the decoder's arguments, its pacing and its failures.

#include "brevane.h"
#include "cuts/analysis.h"
#include "cuts/frame_windows.h"
#include "finder_feed.h"
#include "input/stream_probe.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/error.h>
}

#include <cerrno>
#include <csignal>
#include <functional>

using namespace brevane::detail;
using testsupport::FakeFfmpeg;
using testsupport::ScopedPath;
using testsupport::Span;
using testsupport::spans;

namespace {

class ProbeDecodeTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }

    static FrameWindows windows(std::int64_t sampleRate, double maxSeconds, double tolerance)
    {
        FrameWindows result;
        EXPECT_TRUE(computeFrameWindows(sampleRate, maxSeconds, tolerance, &result, nullptr));
        return result;
    }

    QTemporaryDir dir;
};

// --- Real files ----------------------------------------------------------------------------

struct ChannelLayoutCase {
    const char* name;
    int channels;
    std::function<bool(const QString&)> make; // writes 0.25 s at 48000 Hz
};

void PrintTo(const ChannelLayoutCase& row, std::ostream* out) { *out << row.name; }

class ChannelLayoutTest : public ProbeDecodeTest,
                          public ::testing::WithParamInterface<ChannelLayoutCase> { };

TEST_P(ChannelLayoutTest, ProbesAndDecodesEveryFrame)
{
    const ChannelLayoutCase& row = GetParam();
    const QString input = path(QString::fromUtf8(row.name));
    ASSERT_TRUE(row.make(input));

    StreamInfo info;
    QString error;
    ASSERT_TRUE(probeAudioStream(input, &info, &error)) << error.toStdString();
    EXPECT_EQ(info.sampleRate, 48000);
    EXPECT_EQ(info.channelCount, row.channels);

    AnalysisResult result;
    ASSERT_TRUE(analyzeAudio(
        input, info.sampleRate, info.channelCount, windows(48000, 300, 60), &result, &error))
        << error.toStdString();
    EXPECT_EQ(result.totalFrames, 12000);
    EXPECT_EQ(spans(result.segments), (QList<Span> { { 0, 12000 } }));
}

INSTANTIATE_TEST_SUITE_P(Layouts, ChannelLayoutTest,
    ::testing::Values(ChannelLayoutCase { "mono.wav", 1,
                          [](const QString& file) {
                              return testsupport::writeWav16(
                                  file, 48000, 1, std::vector<std::int16_t>(12000));
                          } },
        // The MP3 encoder's priming and padding are trimmed by the decoder, so the frame count
        // comes out exact.
        ChannelLayoutCase { "stereo.mp3", 2,
            [](const QString& file) {
                return testsupport::runFfmpeg(
                    { "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=0.25",
                        "-ac", "2", "-c:a", "libmp3lame", file });
            } },
        ChannelLayoutCase { "surround.wav", 6,
            [](const QString& file) {
                return testsupport::runFfmpeg({ "-f", "lavfi", "-i", "anullsrc=r=48000:cl=5.1",
                    "-t", "0.25", "-c:a", "pcm_s16le", file });
            } }),
    [](const auto& info) {
        return QString::fromUtf8(info.param.name).section('.', 0, 0).toStdString();
    });

TEST_F(ProbeDecodeTest, CutsAKnownPatternOfTonesAndPauses)
{
    // 8000 Hz mono, max 2 s, tolerance 0.5 s: target 16000, min 12000, max 20000 frames, and a
    // pause needs 4000 silent frames. A tone alternates +-16384, which decodes to |0.5|.
    //   [0, 10000) tone, [10000, 15000) pause: the run reaches 4000 at frame 13999; the
    //     candidate then moves on to the pause's middle, 14999 - 5000 / 2 = 12499. Too young
    //     to cut below the target, it is cut when the piece reaches 16000 frames: {0, 12499}.
    //   [15000, 24000) tone, [24000, 27000) pause of 3000 frames, too short for a candidate,
    //     [27000, 42000) tone: nothing to cut at, so forced at 12499 + 20000: {12499, 32499}.
    //   [42000, 46000) pause of exactly 4000: candidate 45999 - 2000 = 43999 at a running
    //     length of 13501; it is cut once 4000 frames old, at 47999, still below the target:
    //     {32499, 43999}.
    //   [46000, 50000) tone, then the end: {43999, 50000}.
    struct Stretch {
        int frames;
        bool tone;
    };
    const Stretch pattern[] = { { 10000, true }, { 5000, false }, { 9000, true }, { 3000, false },
        { 15000, true }, { 4000, false }, { 4000, true } };
    std::vector<std::int16_t> samples;
    for (const Stretch& stretch : pattern)
        for (int i = 0; i < stretch.frames; ++i)
            samples.push_back(stretch.tone ? std::int16_t(i % 2 ? -16384 : 16384) : 0);
    const QString input = path(QStringLiteral("pattern.wav"));
    ASSERT_TRUE(testsupport::writeWav16(input, 8000, 1, samples));

    StreamInfo info;
    AnalysisResult result;
    QString error;
    ASSERT_TRUE(probeAudioStream(input, &info, &error)) << error.toStdString();
    ASSERT_TRUE(analyzeAudio(
        input, info.sampleRate, info.channelCount, windows(8000, 2.0, 0.5), &result, &error))
        << error.toStdString();
    EXPECT_EQ(spans(result.segments),
        (QList<Span> { { 0, 12499 }, { 12499, 32499 }, { 32499, 43999 }, { 43999, 50000 } }));
    EXPECT_EQ(result.totalFrames, 50000);
}

TEST_F(ProbeDecodeTest, UnrecognisableFileNamedMp3)
{
    // A "%2" in the name must come through as it is.
    const QString input = path(QStringLiteral("not audio %2.mp3"));
    ASSERT_TRUE(testsupport::writeFile(input, "these are words, not audio frames\n"));

    StreamInfo info;
    QString error;
    EXPECT_FALSE(probeAudioStream(input, &info, &error));
    // The MP3 demuxer takes the file on its name alone and then cannot find a frame in it.
    EXPECT_EQ(error,
        QStringLiteral("Unable to open audio file '") + input + QStringLiteral("': ")
            + ffmpegErrorToString(AVERROR(EINVAL)));
}

TEST_F(ProbeDecodeTest, VideoOnlyFileNamedMp3)
{
    const QString input = path(QStringLiteral("video.mp3"));
    ASSERT_TRUE(testsupport::runFfmpeg({ "-f", "lavfi", "-i", "testsrc=size=32x32:rate=5", "-t",
        "0.4", "-c:v", "ffv1", "-f", "matroska", input }));

    StreamInfo info;
    QString error;
    EXPECT_FALSE(probeAudioStream(input, &info, &error));
    EXPECT_EQ(error,
        QStringLiteral("No audio stream found: ") + ffmpegErrorToString(AVERROR_STREAM_NOT_FOUND));
}

TEST(FfmpegErrorToStringTest, DescribesKnownCodesAndNumbersTheRest)
{
    const struct {
        int code;
        const char* expected;
    } rows[] = {
        { AVERROR_INVALIDDATA, "Invalid data found when processing input" },
        { AVERROR(ENOENT), "No such file or directory" },
        { -123456789, "-123456789" },
        { 77777, "77777" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(ffmpegErrorToString(row.code), QString::fromUtf8(row.expected)) << row.code;
}

TEST(StreamFallbackTest, SampleRateAndChannelCount)
{
    const struct {
        int codecRate;
        int num;
        int den;
        std::int64_t expected;
    } rates[] = {
        { 0, 0, 0, 44100 },
        { 0, 48000, 1, 48000 },
        { 0, 1, 2, 44100 }, // quotient 0
        { 0, 48000, 0, 44100 },
        { 0, 48000, -1, 44100 },
        { -5, -48000, -1, 44100 },
        { 22050, 48000, 1, 22050 },
        { 1, 0, 0, 1 },
    };
    for (const auto& row : rates)
        EXPECT_EQ(chooseSampleRate(row.codecRate, row.num, row.den), row.expected)
            << row.codecRate << " " << row.num << "/" << row.den;

    EXPECT_EQ(chooseChannelCount(-2), 1);
    EXPECT_EQ(chooseChannelCount(0), 1);
    EXPECT_EQ(chooseChannelCount(1), 1);
    EXPECT_EQ(chooseChannelCount(6), 6);
}

// --- Fake decoders -------------------------------------------------------------------------

// 8 loud, 6 silent, 16 loud stereo frames, and 5 bytes of an unfinished frame. At 10 Hz with
// max 1 s and tolerance 0.4 s (target 10, min 6, max 14, pause 5 frames), the pause yields its
// candidate at frame 12, 12 - 5 / 2 = 10, and the running length 13 is past the target:
// {0, 10}. Nothing usable follows, so the next cut is forced at 10 + 14: {10, 24}; the end
// closes {24, 30}, and the unfinished frame is dropped.
class FakeDecoderTest : public ProbeDecodeTest {
protected:
    void SetUp() override
    {
        std::vector<float> samples;
        for (int frame = 0; frame < 30; ++frame) {
            const bool silent = frame >= 8 && frame < 14;
            samples.push_back(silent ? 0.0f : 0.5f);
            samples.push_back(silent ? 0.0f : -0.5f);
        }
        ASSERT_TRUE(testsupport::writeFile(framesPath(),
            testsupport::floatBytes(samples) + QByteArray("\x01\x02\x03\x04\x05", 5)));
    }

    QString framesPath() const { return path(QStringLiteral("frames.raw")); }

    // The script finds the prepared bytes in $FRAMES.
    bool runDecoder(const QString& script, AnalysisResult* result, QString* error)
    {
        FakeFfmpeg fake(QStringLiteral("FRAMES='%1'\n").arg(framesPath()) + script);
        ScopedPath scopedPath(fake.directory() + QLatin1Char(':') + qEnvironmentVariable("PATH"));
        return analyzeAudio(QStringLiteral("in.wav"), 10, 2, windows(10, 1.0, 0.4), result, error);
    }

    const QList<Span> expectedRanges { { 0, 10 }, { 10, 24 }, { 24, 30 } };
};

TEST_F(FakeDecoderTest, JoinsOutputWrittenInPiecesThatSplitSamplesAndFrames)
{
    // Cuts after byte 3 (inside a sample) and after byte 13 (inside the second frame).
    AnalysisResult result;
    QString error;
    ASSERT_TRUE(runDecoder(QStringLiteral("head -c 3 \"$FRAMES\"; sleep 0.2\n"
                                          "tail -c +4 \"$FRAMES\" | head -c 10; sleep 0.2\n"
                                          "tail -c +14 \"$FRAMES\"\n"),
        &result, &error))
        << error.toStdString();
    EXPECT_EQ(spans(result.segments), expectedRanges);
    EXPECT_EQ(result.totalFrames, 30);
}

struct DecoderExit {
    const char* name;
    const char* script;
    QString expectedError; // empty: success
};

void PrintTo(const DecoderExit& row, std::ostream* out) { *out << row.name; }

class DecoderExitTest : public FakeDecoderTest,
                        public ::testing::WithParamInterface<DecoderExit> { };

TEST_P(DecoderExitTest, ReportsWhatTheDecoderLeftBehind)
{
    const DecoderExit& row = GetParam();
    AnalysisResult result;
    QString error;
    const bool ok = runDecoder(QString::fromUtf8(row.script), &result, &error);
    EXPECT_EQ(error, row.expectedError);
    EXPECT_EQ(ok, row.expectedError.isEmpty());
    if (ok) {
        EXPECT_EQ(spans(result.segments), expectedRanges);
    }
}

INSTANTIATE_TEST_SUITE_P(Exits, DecoderExitTest,
    ::testing::Values(DecoderExit { "ErrorTextOnlyThenExit1",
                          "echo 'in.wav: Invalid data found when processing input' >&2; exit 1",
                          QStringLiteral("Audio decoding produced no samples") },
        DecoderExit { "PartialAudioThenExit3",
            "head -c 100 \"$FRAMES\"; printf '  Error while decoding stream #0:0\\n\\n' >&2; "
            "exit 3",
            QStringLiteral("ffmpeg exited with code 3: Error while decoding stream #0:0") },
        // After a crash Qt reports the signal number as the exit code.
        DecoderExit { "CrashAfterPartialAudio",
            "head -c 100 \"$FRAMES\"; echo 'about to fall over' >&2; ulimit -c 0; kill -SEGV $$",
            QStringLiteral("ffmpeg exited with code %1: about to fall over").arg(SIGSEGV) },
        // Complaints about damaged frames do not make a decoder that finished a failure.
        DecoderExit { "ComplaintsThenExit0",
            "cat \"$FRAMES\"; echo '[mp3float] Header missing' >&2; exit 0", QString() }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeDecoderTest, KeepsOnlyTheTailOfALongErrorOutput)
{
    // 40000 lines of "é" put 120000 bytes between the first and the last words; the kept 64 KiB
    // begin inside that run, where a cut can fall between the two bytes of an "é".
    AnalysisResult result;
    QString error;
    EXPECT_FALSE(runDecoder(QStringLiteral("head -c 100 \"$FRAMES\"; echo 'first words' >&2\n"
                                           "yes é | head -n 40000 >&2; echo 'last words' >&2\n"
                                           "exit 3\n"),
        &result, &error));
    const QString prefix = QStringLiteral("ffmpeg exited with code 3: ");
    EXPECT_TRUE(error.startsWith(prefix + QStringLiteral("é\n"))) << error.left(40).toStdString();
    EXPECT_TRUE(error.endsWith(QStringLiteral("é\nlast words")));
    EXPECT_FALSE(error.contains(QStringLiteral("first words")));
    EXPECT_FALSE(error.contains(QChar::ReplacementCharacter));
    EXPECT_LE(error.toUtf8().size(), prefix.size() + 64 * 1024);
    EXPECT_GT(error.toUtf8().size(), prefix.size() + 60 * 1024);
}

TEST_F(FakeDecoderTest, PassesTheTwelveArgumentsWithThePathUnchanged)
{
    const struct {
        QString input;
        std::int64_t sampleRate;
        int channels;
    } rows[] = {
        { path(QStringLiteral("a file with spaces.wav")), 48000, 6 },
        { QStringLiteral("-looks like an option.mp3"), 8000, 1 },
    };
    for (const auto& row : rows) {
        FakeFfmpeg fake(
            QStringLiteral("for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$FAKE_LOG\"; "
                           "done\nhead -c 24 /dev/zero\n"));
        ScopedPath scopedPath(fake.directory() + QLatin1Char(':') + qEnvironmentVariable("PATH"));
        AnalysisResult result;
        QString error;
        ASSERT_TRUE(analyzeAudio(row.input, row.sampleRate, row.channels,
            windows(row.sampleRate, 10, 1), &result, &error))
            << error.toStdString();
        EXPECT_EQ(fake.loggedArguments(),
            (QStringList { "-hide_banner", "-loglevel", "error", "-i", row.input, "-f", "f32le",
                "-ac", QString::number(row.channels), "-ar", QString::number(row.sampleRate),
                "-" }));
        EXPECT_EQ(result.totalFrames, 24 / (4 * row.channels));
    }
}

TEST_F(ProbeDecodeTest, MissingFfmpegFailsToStartAndWritesNothing)
{
    const QString input = path(QStringLiteral("in.wav"));
    ASSERT_TRUE(testsupport::writeWav16(input, 8000, 1, std::vector<std::int16_t>(800)));
    const QString emptyDirectory = path(QStringLiteral("no-programs"));
    ASSERT_TRUE(QDir().mkpath(emptyDirectory));
    ScopedPath scopedPath(emptyDirectory);

    // The process error text, as the same start reports it.
    QProcess probe;
    probe.start(QStringLiteral("ffmpeg"), {});
    ASSERT_FALSE(probe.waitForStarted());

    const QString outputDir = path(QStringLiteral("out"));
    QList<brevane::Segment> segments;
    QString error;
    EXPECT_FALSE(brevane::splitAudio(input, outputDir, 10, 1, &segments, &error));
    EXPECT_EQ(error, QStringLiteral("Failed to start ffmpeg: ") + probe.errorString());
    EXPECT_TRUE(QDir(outputDir).entryList(QDir::Files | QDir::NoDotAndDotDot).isEmpty());
}

} // namespace
