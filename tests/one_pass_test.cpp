// --one-pass through the built program: the same lines and, piece by piece, the same samples as
// one ffmpeg run per piece over inputs of every sample format and container, both rejoining to
// ffmpeg's own decode; cat-joined MP3s that rejoin to the full decode; and what a blocked
// piece, a full disk, a piece named as the input and a decoder that dies leave behind.

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <sys/mount.h>
#include <unistd.h>

namespace {

const QStringList shortPieces { "--max", "2s", "--tolerance", "1s" };

using testsupport::fileBytes;

// A header that states exactly what the file holds: the RIFF size and the data size (the data
// chunk being the last) agree with the file's length.
void expectHonestHeader(const QString& path)
{
    SCOPED_TRACE(path.toStdString());
    const QByteArray bytes = fileBytes(path);
    ASSERT_GE(bytes.size(), 44);
    EXPECT_EQ(bytes.left(4), "RIFF");
    EXPECT_EQ(qFromLittleEndian<std::uint32_t>(bytes.constData() + 4), bytes.size() - 8);
    const qsizetype data = bytes.lastIndexOf("data");
    ASSERT_GT(data, 0);
    EXPECT_EQ(
        qFromLittleEndian<std::uint32_t>(bytes.constData() + data + 4), bytes.size() - data - 8);
}

class OnePassTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    // brevane in the temporary directory, so that the printed paths are relative.
    testsupport::ProcessResult run(const QStringList& arguments) const
    {
        return testsupport::runProcess(testsupport::brevaneProgram(), arguments, dir.path());
    }
    QStringList pieces(const QString& outputDir) const
    {
        return QDir(path(outputDir)).entryList({ "part_*.wav" }, QDir::Files, QDir::Name);
    }
    QTemporaryDir dir;
};

struct Input {
    const char* name;
    QStringList encoder; // after the generated source
    QStringList options = {}; // of both runs
    // The file, named for --any-input, and the stream the probe takes from it.
    const char* file = "";
    int stream = 0;
};

void PrintTo(const Input& input, std::ostream* out) { *out << input.name; }

class SameAsDefaultTest : public OnePassTest, public ::testing::WithParamInterface<Input> { };

TEST_P(SameAsDefaultTest, PrintsTheSameLinesAndWritesTheSameSamples)
{
    const Input& input = GetParam();
    const QString name = *input.file
        ? QString::fromUtf8(input.file)
        : QStringLiteral("in.") + (input.encoder.contains("libmp3lame") ? "mp3" : "wav");
    // Noise broken by a 0.7 s pause every 2.5 s, so that pieces end both in silence and by
    // force, and every bit of a wide sample varies.
    ASSERT_TRUE(testsupport::runFfmpeg(
        QStringList { "-f", "lavfi", "-i",
            "anoisesrc=a=0.7:d=6.3:r=48000,volume=0:enable='between(mod(t,2.5),1.2,1.9)'" }
        + input.encoder + QStringList { path(name) }));

    const testsupport::ProcessResult standard
        = run(QStringList { "--input", name, "--out", "standard" } + shortPieces + input.options);
    ASSERT_EQ(standard.exitCode, 0) << standard.standardError.toStdString();
    const testsupport::ProcessResult onePass
        = run(QStringList { "--input", name, "--out", "one", "--one-pass" } + shortPieces
            + input.options);
    ASSERT_EQ(onePass.exitCode, 0) << onePass.standardError.toStdString();
    EXPECT_TRUE(onePass.standardError.isEmpty());
    EXPECT_EQ(QString::fromUtf8(onePass.standardOutput),
        QString::fromUtf8(standard.standardOutput).replace("standard/", "one/"));

    const QStringList written = pieces(QStringLiteral("one"));
    ASSERT_EQ(written, pieces(QStringLiteral("standard")));
    ASSERT_GE(written.size(), 3);
    QByteArray rejoined;
    int channels = 0;
    for (const QString& piece : written) {
        SCOPED_TRACE(piece.toStdString());
        testsupport::WavInfo expected;
        testsupport::WavInfo actual;
        ASSERT_TRUE(testsupport::readWav(path("standard/" + piece), &expected));
        ASSERT_TRUE(testsupport::readWav(path("one/" + piece), &actual));
        EXPECT_EQ(actual.format, expected.format);
        EXPECT_EQ(actual.channels, expected.channels);
        EXPECT_EQ(actual.sampleRate, expected.sampleRate);
        EXPECT_EQ(actual.bitsPerSample, 16);
        EXPECT_TRUE(actual.data == expected.data)
            << actual.data.size() << " bytes against " << expected.data.size();
        rejoined += actual.data;
        channels = actual.channels;
        expectHonestHeader(path("one/" + piece));
    }
    // Both modes exact: the pieces rejoin to ffmpeg's own 16-bit decode of the probed stream.
    const testsupport::ProcessResult full = testsupport::runProcess(QStringLiteral("ffmpeg"),
        { "-v", "error", "-i", path(name), "-map", QStringLiteral("0:%1").arg(input.stream), "-f",
            "s16le", "-ac", QString::number(channels), "-" });
    EXPECT_TRUE(rejoined == full.standardOutput);
}

const QStringList anyInput { "--any-input" };

// A stereo sine of 4 s before the noise, both tracks marked as the default: ffmpeg on its own
// would take the sine, for its channels, the probe the noise (stream 1), for its bit rate.
QStringList sineFirst(const char* sineCodec, const char* noiseCodec)
{
    return { "-f", "lavfi", "-i", "sine=frequency=500:duration=4:sample_rate=48000", "-map", "1:a",
        "-map", "0:a", "-c:a:0", sineCodec, "-c:a:1", noiseCodec, "-ac:a:0", "2", "-b:a:0", "64k",
        "-b:a:1", "160k", "-disposition:a", "default" };
}

INSTANTIATE_TEST_SUITE_P(Formats, SameAsDefaultTest,
    ::testing::Values(Input { "Int24Stereo", { "-ac", "2", "-c:a", "pcm_s24le" } },
        Input { "Int32Stereo", { "-ac", "2", "-c:a", "pcm_s32le" } },
        Input { "FloatStereo", { "-ac", "2", "-c:a", "pcm_f32le" } },
        Input { "DoubleMono", { "-c:a", "pcm_f64le" } },
        Input { "UnsignedByteMono8k", { "-ar", "8000", "-c:a", "pcm_u8" } },
        Input { "Int16Surround71", { "-ac", "8", "-c:a", "pcm_s16le" } },
        Input { "Float96kSixChannels", { "-ar", "96000", "-ac", "6", "-c:a", "pcm_f32le" } },
        // Layouts that "-ac" remixes to the default one for their channel count.
        Input { "Int24SideSurround",
            { "-af", "pan=5.1(side)|c0=c0|c1=0.8*c0|c2=0.6*c0|c3=0.4*c0|c4=0.3*c0|c5=0.2*c0",
                "-c:a", "pcm_s24le" } },
        Input { "Int16BackCentre",
            { "-af", "pan=3.0(back)|c0=c0|c1=0.5*c0|c2=0.3*c0", "-c:a", "pcm_s16le" } },
        Input { "Mp3Stereo", { "-ar", "44100", "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k" } },
        // The quietest rule closes a piece only once the stretches after its candidates have
        // arrived, so the frames of several pieces move between files.
        Input { "Int16StereoQuietest", { "-ac", "2", "-c:a", "pcm_s16le" },
            { "--cut-at", "quietest", "--min-silence", "300ms" } },
        Input {
            "Flac24Bit", { "-ac", "2", "-c:a", "flac", "-sample_fmt", "s32" }, anyInput, "a.flac" },
        // At 44.1 kHz a sample count divided by the rate and by the time base 1/44100 comes
        // out just below itself for about one count in eight, such as the 25th FLAC frame's
        // first, 115200: a timestamp made of it by truncation would move the cut of 300 ms
        // pieces at 119070 by a sample. The later --max and --tolerance are the ones taken.
        Input { "Flac44kHz", { "-ar", "44100", "-c:a", "flac" },
            { "--any-input", "--max", "300ms", "--tolerance", "0s" }, "talk.flac" },
        Input { "OggVorbis", { "-ac", "2", "-c:a", "libvorbis" }, anyInput, "memo.ogg" },
        Input { "OggOpus", { "-c:a", "libopus" }, anyInput, "message.opus" },
        // Starts 6.5 ms before 0, by the codec delay, which "-ss" would count.
        Input { "WebmOpus", { "-ac", "2", "-c:a", "libopus" }, anyInput, "browser.webm" },
        // The picture first, and the sound from 0.478 s on.
        Input { "Mp4WithVideo",
            { "-f", "lavfi", "-i", "testsrc=size=64x64:rate=25:d=6.3", "-map", "1:v", "-map", "0:a",
                "-c:v", "libx264", "-af", "asetpts=PTS+0.5/TB" },
            anyInput, "lecture.mp4", 1 },
        Input { "M4aTwoLanguages", sineFirst("aac", "aac"), anyInput, "two languages.m4a", 1 },
        // 64-bit samples, which --one-pass decodes twice.
        Input { "MkvTwoTracks64Bit", sineFirst("libopus", "pcm_s64le"), anyInput, "dub.mkv", 1 }),
    [](const auto& info) { return std::string(info.param.name); });

// MP3s joined with cat carry timestamps that start again in every part, so a piece cut out by
// time comes out short; pieces cut from the one decode rejoin to it exactly.
TEST_F(OnePassTest, CatJoinedMp3RejoinsToTheFullDecode)
{
    QByteArray joined;
    for (int part = 0; part < 4; ++part) {
        const QString mp3 = path(QStringLiteral("part%1.mp3").arg(part));
        ASSERT_TRUE(testsupport::runFfmpeg({ "-f", "lavfi", "-i",
            QStringLiteral("sine=frequency=%1:duration=13.5,volume=0:enable='between(t,6,7)'")
                .arg(300 + 100 * part),
            "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k", mp3 }));
        joined += fileBytes(mp3);
    }
    ASSERT_TRUE(testsupport::writeFile(path("joined.mp3"), joined));

    const testsupport::ProcessResult onePass = run({ "--input", "joined.mp3", "--out", "one",
        "--one-pass", "--max", "10s", "--tolerance", "3s" });
    ASSERT_EQ(onePass.exitCode, 0) << onePass.standardError.toStdString();

    QByteArray rejoined;
    for (const QString& piece : pieces(QStringLiteral("one"))) {
        testsupport::WavInfo info;
        ASSERT_TRUE(testsupport::readWav(path("one/" + piece), &info));
        rejoined += info.data;
    }
    const testsupport::ProcessResult full = testsupport::runProcess(QStringLiteral("ffmpeg"),
        { "-v", "error", "-i", path("joined.mp3"), "-f", "s16le", "-ac", "2", "-ar", "44100",
            "-" });
    ASSERT_EQ(full.exitCode, 0);
    ASSERT_EQ(rejoined.size(), full.standardOutput.size());
    EXPECT_TRUE(rejoined == full.standardOutput);
}

TEST_F(OnePassTest, PieceBlockedByADirectoryEndsTheRunAndLeavesTheFirstComplete)
{
    std::vector<std::int16_t> samples(600, 8000);
    std::fill(samples.begin() + 100, samples.begin() + 150, 0);
    ASSERT_TRUE(testsupport::writeWav16(path("in.wav"), 100, 1, samples));
    ASSERT_TRUE(QDir().mkpath(path("out/part_002.wav")));

    const testsupport::ProcessResult onePass = run({ "--input", "in.wav", "--out", "out",
        "--one-pass", "--max", "1s", "--tolerance", "400ms" });
    EXPECT_EQ(onePass.exitCode, 1);
    EXPECT_TRUE(onePass.standardOutput.isEmpty());
    EXPECT_EQ(QString::fromUtf8(onePass.standardError),
        QStringLiteral("Failed to write out/part_002.wav: Is a directory\n"));
    EXPECT_EQ(pieces(QStringLiteral("out")), QStringList { "part_001.wav" });
    testsupport::WavInfo first;
    ASSERT_TRUE(testsupport::readWav(path("out/part_001.wav"), &first));
    // Forced at 1.4 s, before the pause from 1 s has lasted half a second.
    QByteArray expected;
    for (int frame = 0; frame < 140; ++frame)
        expected += frame < 100 ? QByteArray("\x40\x1f", 2) : QByteArray(2, '\0');
    EXPECT_EQ(first.data, expected);
    expectHonestHeader(path("out/part_001.wav"));
}

// An entry the run did not make stays when its piece cannot be written, whatever it is.
TEST_F(OnePassTest, PieceNameTakenByALinkToADeviceLeavesTheLink)
{
    ASSERT_TRUE(testsupport::writeWav16(path("in.wav"), 100, 1, std::vector<std::int16_t>(300)));
    ASSERT_TRUE(QDir().mkpath(path("out")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), path("out/part_001.wav")));
    const testsupport::ProcessResult onePass = run(
        { "--input", "in.wav", "--out", "out", "--one-pass", "--max", "1s", "--tolerance", "0s" });
    EXPECT_EQ(onePass.exitCode, 1);
    EXPECT_EQ(QString::fromUtf8(onePass.standardError),
        QStringLiteral("Failed to write out/part_001.wav: Invalid argument\n"));
    EXPECT_EQ(QFileInfo(path("out/part_001.wav")).symLinkTarget(), QStringLiteral("/dev/null"));
}

// The one-pass header's format chunk is the one ffmpeg writes for the same pieces: the plain
// or the extensible format, and the speaker mask, for layouts named and unnamed. Above 48 kHz
// ffmpeg writes the extensible format whatever the layout: mono and stereo are tried at both
// rates, every count ffmpeg names a layout for (3 to 8, 16, 24) and two it names none for (9
// and 10) at one rate each, alternately.
class FormatChunkTest : public OnePassTest,
                        public ::testing::WithParamInterface<std::pair<int, int>> {
protected:
    static QByteArray formatChunk(const QString& file)
    {
        const QByteArray bytes = fileBytes(file);
        for (qsizetype at = 12; at + 8 <= bytes.size();) {
            const qsizetype size = qFromLittleEndian<std::uint32_t>(bytes.constData() + at + 4);
            if (bytes.mid(at, 4) == "fmt ")
                return bytes.mid(at, 8 + size);
            at += 8 + size + (size & 1);
        }
        return {};
    }
};

TEST_P(FormatChunkTest, EqualsFfmpegs)
{
    // A plain header leaves the channels unnamed, and ffmpeg gives them its default layout for
    // their count where it has one.
    const auto [channels, rate] = GetParam();
    ASSERT_TRUE(testsupport::writeWav16(path("in.wav"), rate, channels,
        std::vector<std::int16_t>(std::size_t(rate / 20 * channels), 3000)));
    for (const char* mode : { "standard", "one" }) {
        QStringList arguments { "--input", "in.wav", "--out", mode, "--max", "1s", "--tolerance",
            "0s" };
        if (QByteArray(mode) == "one")
            arguments << "--one-pass";
        const testsupport::ProcessResult result = run(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    }
    const QByteArray expected = formatChunk(path("standard/part_001.wav"));
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(formatChunk(path("one/part_001.wav")).toHex(' ').toStdString(),
        expected.toHex(' ').toStdString());
}

std::vector<std::pair<int, int>> formatChunkRows()
{
    std::vector<std::pair<int, int>> rows { { 1, 96000 }, { 2, 44100 } };
    for (const int channels : { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 24 })
        rows.emplace_back(channels, channels % 2 ? 44100 : 96000);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Channels, FormatChunkTest, ::testing::ValuesIn(formatChunkRows()), [](const auto& info) {
        return std::to_string(info.param.first) + "At" + std::to_string(info.param.second);
    });

TEST_F(OnePassTest, PieceNamedAsTheInputIsRefusedBeforeAnyIsWritten)
{
    ASSERT_TRUE(QDir().mkpath(path("out")));
    ASSERT_TRUE(testsupport::writeWav16(
        path("out/part_007.wav"), 100, 1, std::vector<std::int16_t>(600, 8000)));
    const testsupport::ProcessResult onePass = run({ "--input", "out/part_007.wav", "--out",
        "./out", "--one-pass", "--max", "1s", "--tolerance", "0s" });
    EXPECT_EQ(onePass.exitCode, 1);
    EXPECT_EQ(QString::fromUtf8(onePass.standardError),
        QStringLiteral("Output file would overwrite the input: ./out/part_007.wav\n"));
    EXPECT_EQ(pieces(QStringLiteral("out")), QStringList { "part_007.wav" });
}

// The decoder dies after 26 of 30 frames (10 Hz mono, a piece forced every 10 frames): the
// same message as without --one-pass, and the pieces so far, the last with the six frames it
// got.
TEST_F(OnePassTest, DecoderDyingAfterSomePiecesLeavesThemWithHonestHeaders)
{
    ASSERT_TRUE(testsupport::writeWav16(path("in.wav"), 10, 1, std::vector<std::int16_t>(30, 0)));
    std::vector<std::int16_t> decoded(26, 9000);
    ASSERT_TRUE(testsupport::writeWav16(path("decoded.wav"), 10, 1, decoded));
    const testsupport::FakeFfmpeg fake(QStringLiteral("printf '%s\\n' \"$@\" > \"$FAKE_LOG\"\n"
                                                      "tail -c 52 '%1'\n"
                                                      "echo 'decoder went down' >&2; kill -KILL $$")
                                           .arg(path("decoded.wav")));
    const testsupport::ProcessResult onePass = testsupport::runProcess(
        testsupport::brevaneProgram(),
        { "--input", "in.wav", "--out", "out", "--one-pass", "--max", "1s", "--tolerance", "0s" },
        dir.path(), fake.environment());
    EXPECT_EQ(onePass.exitCode, 1);
    EXPECT_TRUE(onePass.standardOutput.isEmpty());
    EXPECT_EQ(QString::fromUtf8(onePass.standardError),
        QStringLiteral("ffmpeg exited with code 9: decoder went down\n"));
    EXPECT_EQ(fake.loggedArguments(),
        QStringList({ "-hide_banner", "-loglevel", "error", "-i", "in.wav", "-f", "s16le", "-ac",
            "1", "-ar", "10", "-" }));
    const QStringList left = pieces(QStringLiteral("out"));
    ASSERT_EQ(left, QStringList({ "part_001.wav", "part_002.wav", "part_003.wav" }));
    const qsizetype frames[] = { 10, 10, 6 };
    for (qsizetype i = 0; i < left.size(); ++i) {
        testsupport::WavInfo info;
        ASSERT_TRUE(testsupport::readWav(path("out/" + left[i]), &info));
        EXPECT_EQ(info.data.size(), frames[i] * 2);
        expectHonestHeader(path("out/" + left[i]));
    }
}

// A full disk: a small tmpfs as the output folder (mounting needs root; skipped otherwise).
class FullDiskTest : public OnePassTest {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "mounting a tmpfs needs root";
        ASSERT_TRUE(QDir().mkpath(path("full")));
        if (::mount("tmpfs", QFile::encodeName(path("full")).constData(), "tmpfs", 0, "size=1700k")
            != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounted = true;
    }
    void TearDown() override
    {
        if (mounted)
            ::umount(QFile::encodeName(path("full")).constData());
    }
    bool mounted = false;
};

TEST_F(FullDiskTest, EndsWithTheSystemsReasonAndLeavesOnlyHonestFiles)
{
    // Ten seconds of stereo noise, 1,764,000 bytes as 16-bit pieces forced every 3 s, more
    // than the 1,740,800 bytes of the folder. The first piece holds at most its 3 s and one
    // read of the decoder (1 MiB) before it is cut, which fits.
    ASSERT_TRUE(testsupport::runFfmpeg({ "-f", "lavfi", "-i", "anoisesrc=a=0.5:d=10:r=44100", "-ac",
        "2", "-c:a", "pcm_s16le", path("in.wav") }));
    const testsupport::ProcessResult reference = run(
        QStringList { "--input", "in.wav", "--out", "reference", "--one-pass" } + shortPieces);
    ASSERT_EQ(reference.exitCode, 0);

    const testsupport::ProcessResult onePass
        = run(QStringList { "--input", "in.wav", "--out", "full", "--one-pass" } + shortPieces);
    EXPECT_EQ(onePass.exitCode, 1);
    EXPECT_TRUE(onePass.standardOutput.isEmpty());
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("^Failed to write full/part_(\\d+).wav: "
                                            "No space left on device\n$"))
              .match(QString::fromUtf8(onePass.standardError));
    ASSERT_TRUE(match.hasMatch()) << onePass.standardError.toStdString();
    const int failed = match.captured(1).toInt();
    ASSERT_GE(failed, 2);
    const QStringList left = pieces(QStringLiteral("full"));
    ASSERT_GE(left.size(), failed - 1);
    for (const QString& piece : left) {
        expectHonestHeader(path("full/" + piece));
        // Pieces before the one that failed are complete.
        if (piece.mid(5, 3).toInt() < failed) {
            EXPECT_TRUE(fileBytes(path("full/" + piece)) == fileBytes(path("reference/" + piece)))
                << piece.toStdString();
        }
    }
}

} // namespace
