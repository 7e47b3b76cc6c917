// The whole program with the real ffmpeg, on a generated recording with pauses at known places:
// the printed cuts, the format of every piece, and that the pieces rejoin to the input exactly.

#include "brevane.h"
#include "test_support.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

constexpr int rate = 44100;
constexpr std::int64_t totalFrames = 150 * rate;

std::int64_t frameAt(double seconds) { return std::llround(seconds * rate); }

struct Pause {
    double from;
    double to;
};
constexpr Pause pauses[] = { { 33.0, 35.0 }, { 60.0, 60.3 }, { 123.2, 125.2 } };

// With --max 40s --tolerance 10s the windows are 30 s (cuts considered), 40 s (cut at once)
// and 50 s (forced), and a pause must last half a second (22050 frames) to offer a cut at its
// middle so far:
// - 33-35 s: the piece is past 30 s but short of 40 s, so the cut waits until its candidate is
//   itself half a second old, which is the case after 44098 silent frames, when the middle of
//   the silence so far is the pause start + 22048 frames;
// - the rest of that pause has been used, and the 0.3 s pause at 60 s is too short, so the
//   next piece is forced at 50 s;
// - 123.2-125.2 s: the piece has passed 40 s when the pause first reaches half a second, so it
//   is cut at once at that first candidate, the pause start + 11024 frames;
// - the last piece runs to the end.
const std::int64_t firstCut = frameAt(33.0) + 22048;
const std::int64_t cuts[]
    = { 0, firstCut, firstCut + 50 * rate, frameAt(123.2) + 11024, totalFrames };

std::vector<std::int16_t> recording()
{
    std::vector<std::int16_t> samples(std::size_t(totalFrames) * 2);
    for (std::int64_t frame = 0; frame < totalFrames; ++frame) {
        bool silent = false;
        for (const Pause& pause : pauses)
            silent = silent || (frame >= frameAt(pause.from) && frame < frameAt(pause.to));
        if (silent)
            continue;
        // Different tones left and right, so that a swapped or mixed channel shows.
        const double t = double(frame) / rate;
        samples[std::size_t(frame) * 2]
            = std::int16_t(8000 * std::sin(2 * std::numbers::pi * 440 * t));
        samples[std::size_t(frame) * 2 + 1]
            = std::int16_t(6000 * std::sin(2 * std::numbers::pi * 660 * t));
    }
    return samples;
}

struct Format {
    const char* suffix;
    QStringList encoderArguments; // empty: the generated WAV itself
};

void PrintTo(const Format& format, std::ostream* out) { *out << format.suffix; }

class EndToEndTest : public ::testing::TestWithParam<Format> {
protected:
    QTemporaryDir dir;
};

TEST_P(EndToEndTest, CutsInThePausesAndLosesNothing)
{
    const Format& format = GetParam();
    const QString wav = dir.filePath(QStringLiteral("talk_source.wav"));
    ASSERT_TRUE(testsupport::writeWav16(wav, rate, 2, recording()));
    const QString input = dir.filePath(QStringLiteral("talk.") + format.suffix);
    if (format.encoderArguments.isEmpty())
        ASSERT_TRUE(QFile::rename(wav, input));
    else
        ASSERT_TRUE(testsupport::runFfmpeg(
            QStringList { "-i", wav } + format.encoderArguments + QStringList { input }));

    const testsupport::ProcessResult run = testsupport::runProcess(
        testsupport::brevaneProgram(), { "--input", input, "--max", "40s", "--tolerance", "10s" });
    ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();

    const QString outputDir = dir.filePath(QStringLiteral("talk_parts"));
    const QStringList lines = QString::fromUtf8(run.standardOutput).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), std::size(cuts) - 1) << run.standardOutput.toStdString();
    QByteArray rejoined;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i].toStdString());
        const QStringList fields = lines[i].split('\t');
        ASSERT_EQ(fields.size(), 2);
        const QString path = QDir(outputDir).filePath(QStringLiteral("part_00%1.wav").arg(i + 1));
        EXPECT_EQ(fields[0], path);
        const QStringList times = fields[1].split(QStringLiteral(" - "));
        ASSERT_EQ(times.size(), 2);
        EXPECT_EQ(times[0], brevane::formatDuration(double(cuts[i]) / rate));
        EXPECT_EQ(times[1], brevane::formatDuration(double(cuts[i + 1]) / rate));

        testsupport::WavInfo piece;
        ASSERT_TRUE(testsupport::readWav(path, &piece));
        EXPECT_EQ(piece.format, 1);
        EXPECT_EQ(piece.bitsPerSample, 16);
        EXPECT_EQ(piece.sampleRate, rate);
        EXPECT_EQ(piece.channels, 2);
        rejoined += piece.data;
    }

    const QString whole = dir.filePath(QStringLiteral("whole.wav"));
    ASSERT_TRUE(testsupport::runFfmpeg({ "-i", input, "-acodec", "pcm_s16le", whole }));
    testsupport::WavInfo reference;
    ASSERT_TRUE(testsupport::readWav(whole, &reference));
    ASSERT_EQ(rejoined.size(), reference.data.size());
    qsizetype firstDifference = 0;
    while (firstDifference < rejoined.size()
        && rejoined[firstDifference] == reference.data[firstDifference])
        ++firstDifference;
    EXPECT_EQ(firstDifference, rejoined.size()) << "first differing byte";
}

INSTANTIATE_TEST_SUITE_P(Formats, EndToEndTest,
    ::testing::Values(Format { "wav", {} },
        // The encoder's ringing at the edges of a pause stays below the silence level, and the
        // decoder drops the encoder's delay, so the MP3 is cut at the very same frames.
        Format { "mp3", { "-acodec", "libmp3lame", "-b:a", "128k" } }),
    [](const auto& info) { return std::string(info.param.suffix); });

// The quietest rule on the same recording, --max 40s --tolerance 10s: the first piece may end
// from 30 s to 50 s on a 10 ms boundary, and the half-second stretches that lie wholly inside
// the pause 33-35 s are silent. Of those, the one centred nearest 40 s is centred on 34.75 s.
// The later cuts fall in steady tone, where only the bounds of every piece are certain.
TEST(QuietestEndToEndTest, CutsInTheQuietestStretchWithinTheWindow)
{
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("talk.wav"));
    const std::vector<std::int16_t> samples = recording();
    ASSERT_TRUE(testsupport::writeWav16(input, rate, 2, samples));

    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        { "--input", input, "--max", "40s", "--tolerance", "10s", "--cut-at", "quietest",
            "--json" });
    ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();
    const QJsonArray pieces = QJsonDocument::fromJson(run.standardOutput)["pieces"].toArray();
    ASSERT_GE(pieces.size(), 3) << run.standardOutput.toStdString();
    EXPECT_EQ(pieces[0]["endFrame"].toInteger(), frameAt(34.75));

    QByteArray rejoined;
    std::int64_t start = 0;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        const std::int64_t from = pieces[i]["startFrame"].toInteger();
        const std::int64_t to = pieces[i]["endFrame"].toInteger();
        EXPECT_EQ(from, start);
        EXPECT_LE(to - from, 50 * rate);
        if (i + 1 < pieces.size()) {
            EXPECT_GE(to - from, 30 * rate);
            EXPECT_EQ(to % (rate / 100), 0);
        }
        start = to;
        testsupport::WavInfo piece;
        ASSERT_TRUE(testsupport::readWav(pieces[i]["path"].toString(), &piece));
        rejoined += piece.data;
    }
    EXPECT_EQ(start, totalFrames);
    EXPECT_TRUE(rejoined
        == QByteArray(
            reinterpret_cast<const char*>(samples.data()), qsizetype(samples.size() * 2)));
}

} // namespace
