// The pieces' formats through the built program and the real ffmpeg, in both modes: FLAC pieces
// that hold the WAV pieces' samples, MP3 and Opus pieces of the right lengths, the rate and
// channel count asked for; what a format cannot hold; an encoder that fails during a one-pass
// run; and the MP3 padding repair on its own.

#include "brevane.h"
#include "pieces/mp3_padding.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>

#include <unistd.h>

namespace {

// One second of noise with no pause, so that every piece is forced at --max: 11540 frames at
// 44.1 kHz, which leave 20 samples over whole MP3 frames, where ffmpeg records the padding
// wrongly; the last piece has 9480.
const QStringList forcedPieces { "--max", "261678us", "--tolerance", "0s", "--json" };

using testsupport::fileBytes;

// The audio as ffmpeg decodes it to 16-bit samples (Opus always at 48 kHz).
QByteArray decoded(const QString& path)
{
    return testsupport::runProcess(QStringLiteral("ffmpeg"),
        { "-v", "error", "-i", path, "-map", "0:a", "-f", "s16le", "-acodec", "pcm_s16le", "-" })
        .standardOutput;
}

struct FormatRow {
    const char* name;
    const char* input; // noise24.wav (24-bit stereo) or art.mp3 (stereo, with cover art)
    const char* format;
    QStringList options;
    // What each piece holds: its codec and sample format as ffprobe names them, its rate
    // (Opus: the one in its header), its channels.
    const char* codec;
    int rate;
    int channels;
    bool onePass;
};

void PrintTo(const FormatRow& row, std::ostream* out) { *out << row.name; }

class FormatTest : public ::testing::TestWithParam<FormatRow> {
protected:
    QJsonArray run(const QString& format, const QString& outputDir)
    {
        const FormatRow& row = GetParam();
        QStringList arguments
            = QStringList { "--input", row.input, "--out", outputDir, "--format", format }
            + row.options + forcedPieces;
        if (row.onePass)
            arguments << "--one-pass";
        const testsupport::ProcessResult result
            = testsupport::runProcess(testsupport::brevaneProgram(), arguments, dir.path());
        EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
        return QJsonDocument::fromJson(result.standardOutput)["pieces"].toArray();
    }
    QTemporaryDir dir;
};

TEST_P(FormatTest, WritesEveryPieceWhole)
{
    const FormatRow& row = GetParam();
    ASSERT_TRUE(testsupport::runFfmpeg({ "-f", "lavfi", "-i", "anoisesrc=a=0.5:d=1:r=44100", "-ac",
        "2", "-c:a", "pcm_s24le", dir.filePath("noise24.wav") }));
    ASSERT_TRUE(testsupport::runFfmpeg({ "-f", "lavfi", "-i", "anoisesrc=a=0.5:d=1:r=44100", "-f",
        "lavfi", "-i", "color=c=red:s=32x32:d=1", "-map", "0:a", "-map", "1:v", "-frames:v", "1",
        "-ac", "2", "-c:a", "libmp3lame", "-c:v", "png", "-disposition:v", "attached_pic",
        dir.filePath("art.mp3") }));

    // The WAV pieces of the same options and mode: the same cuts, and FLAC's samples.
    const QJsonArray wav = run(QStringLiteral("wav"), QStringLiteral("wav"));
    const QJsonArray pieces = run(QString::fromUtf8(row.format), QStringLiteral("out"));
    ASSERT_EQ(pieces.size(), 4);
    ASSERT_EQ(wav.size(), pieces.size());
    QStringList names;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const QString path = pieces[i]["path"].toString();
        SCOPED_TRACE(path.toStdString());
        names << QStringLiteral("part_00%1.%2").arg(i + 1).arg(row.format);
        EXPECT_EQ(path, QStringLiteral("out/") + names.last());
        EXPECT_EQ(pieces[i]["endFrame"], wav[i]["endFrame"]);

        const QString file = dir.filePath(path);
        const testsupport::ProcessResult probe = testsupport::runProcess(QStringLiteral("ffprobe"),
            { "-v", "error", "-show_entries", "stream=codec_name,sample_fmt,sample_rate,channels",
                "-of", "csv=p=0", file });
        const bool opus = QByteArray(row.codec).startsWith("opus");
        if (opus) {
            const QByteArray bytes = fileBytes(file);
            EXPECT_EQ(qFromLittleEndian<std::int32_t>(
                          bytes.mid(bytes.indexOf("OpusHead") + 12, 4).constData()),
                row.rate);
        }
        EXPECT_EQ(probe.standardOutput.toStdString(),
            QStringLiteral("%1,%2,%3\n")
                .arg(row.codec)
                .arg(opus ? 48000 : row.rate)
                .arg(row.channels)
                .toStdString());

        const QByteArray samples = decoded(file);
        if (QByteArray(row.format) == "flac") {
            EXPECT_TRUE(samples == decoded(dir.filePath(wav[i]["path"].toString())));
        } else {
            // Lossy pieces decode to the piece's length, within one sample at the piece's rate
            // (Opus decodes at 48 kHz whatever its rate).
            const int decodedRate = opus ? 48000 : row.rate;
            const double expected
                = double(pieces[i]["endFrame"].toInteger() - pieces[i]["startFrame"].toInteger())
                * decodedRate / 44100;
            EXPECT_NEAR(double(samples.size() / (2 * row.channels)), expected,
                double(decodedRate) / row.rate);
        }
    }
    // No scratch file is left beside the pieces.
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden), names);
}

const QStringList speech { "--rate", "16000", "--channels", "1" };

INSTANTIATE_TEST_SUITE_P(Formats, FormatTest,
    ::testing::Values(FormatRow { "Flac", "noise24.wav", "flac", {}, "flac,s16", 44100, 2, false },
        FormatRow { "FlacOnePass", "noise24.wav", "flac", {}, "flac,s16", 44100, 2, true },
        FormatRow { "Mp3", "noise24.wav", "mp3", {}, "mp3,fltp", 44100, 2, false },
        FormatRow { "Mp3OnePass", "noise24.wav", "mp3", {}, "mp3,fltp", 44100, 2, true },
        // Opus takes no 44.1 kHz: ffmpeg's choice for it is 48 kHz.
        FormatRow { "Opus", "noise24.wav", "opus", {}, "opus,fltp", 48000, 2, false },
        FormatRow { "OpusOnePass", "noise24.wav", "opus", {}, "opus,fltp", 48000, 2, true },
        FormatRow { "WavSpeech", "noise24.wav", "wav", speech, "pcm_s16le,s16", 16000, 1, false },
        FormatRow {
            "WavSpeechOnePass", "noise24.wav", "wav", speech, "pcm_s16le,s16", 16000, 1, true },
        FormatRow {
            "FlacSpeechOnePass", "noise24.wav", "flac", speech, "flac,s16", 16000, 1, true },
        FormatRow { "Mp3SpeechOnePass", "noise24.wav", "mp3", speech, "mp3,fltp", 16000, 1, true },
        FormatRow { "OpusSpeech", "noise24.wav", "opus", speech, "opus,fltp", 16000, 1, false },
        // libopus takes three channels only as 3.0, not as the 2.1 of "-ac 3".
        FormatRow { "OpusThreeChannelsOnePass", "noise24.wav", "opus", { "--channels", "3" },
            "opus,fltp", 48000, 3, true },
        // The cover art stays out of the pieces.
        FormatRow { "FlacFromCoverArt", "art.mp3", "flac", {}, "flac,s16", 44100, 2, false },
        FormatRow { "Mp3FromCoverArt", "art.mp3", "mp3", {}, "mp3,fltp", 44100, 2, false }),
    [](const auto& info) { return std::string(info.param.name); });

// The second piece's encoder fails once the first piece has its name: the run ends with the
// encoder's message, the first piece stays whole, and no scratch file is left.
TEST(EncoderFailureTest, EndsTheOnePassRunAndKeepsTheFinishedPiece)
{
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::runFfmpeg({ "-f", "lavfi", "-i", "anoisesrc=a=0.5:d=1:r=44100", "-ac",
        "2", "-c:a", "pcm_s16le", dir.filePath("in.wav") }));
    const testsupport::FakeFfmpeg fake(
        QStringLiteral("case \"$*\" in *part_002.samples*)\n"
                       "  while [ ! -e out/part_001.flac ]; do sleep 0.05; done\n"
                       "  echo 'encoder went down' >&2; exit 1;;\n"
                       "esac\n"
                       "exec '%1' \"$@\"")
            .arg(QStandardPaths::findExecutable(QStringLiteral("ffmpeg"))));
    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        QStringList { "--input", "in.wav", "--out", "out", "--format", "flac", "--one-pass" }
            + forcedPieces,
        dir.path(), fake.environment());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.standardOutput.isEmpty());
    EXPECT_EQ(run.standardError.toStdString(), "ffmpeg exited with code 1: encoder went down\n");
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden),
        QStringList { "part_001.flac" });
    testsupport::WavInfo input;
    ASSERT_TRUE(testsupport::readWav(dir.filePath("in.wav"), &input));
    EXPECT_TRUE(decoded(dir.filePath("out/part_001.flac")) == input.data.left(11540 * 4));
}

// An input that ends exactly at a forced cut: the cut rule closes the last piece during the
// decode, and that piece is encoded once, not by a second encoder racing the first for its
// scratch files.
TEST(EncoderFailureTest, EncodesThePieceThatEndsTheInputOnce)
{
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::writeWav16(
        dir.filePath("in.wav"), 8000, 1, std::vector<std::int16_t>(8000, 9000)));
    const testsupport::FakeFfmpeg fake(
        QStringLiteral("echo \"$*\" >> \"$FAKE_LOG\"\nexec '%1' \"$@\"")
            .arg(QStandardPaths::findExecutable(QStringLiteral("ffmpeg"))));
    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        { "--input", "in.wav", "--out", "out", "--format", "flac", "--one-pass", "--max", "500ms",
            "--tolerance", "0s" },
        dir.path(), fake.environment());
    EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
    EXPECT_EQ(fake.loggedArguments().filter("samples.brevane-scratch").size(), 2);
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden),
        QStringList({ "part_001.flac", "part_002.flac" }));
}

// A piece name in the chosen format that is another name of the input is refused, in both
// modes, before anything is written.
TEST(FormatGuardTest, RefusesAPieceNamedAsTheInput)
{
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::writeWav16(
        dir.filePath("in.wav"), 8000, 1, std::vector<std::int16_t>(24000, 9000)));
    ASSERT_TRUE(QDir(dir.path()).mkdir("out"));
    ASSERT_EQ(::link(QFile::encodeName(dir.filePath("in.wav")).constData(),
                  QFile::encodeName(dir.filePath("out/part_002.mp3")).constData()),
        0);
    for (const QStringList& mode : { QStringList {}, QStringList { "--one-pass" } }) {
        const testsupport::ProcessResult run
            = testsupport::runProcess(testsupport::brevaneProgram(),
                QStringList { "--input", "in.wav", "--out", "out", "--format", "mp3", "--max", "1s",
                    "--tolerance", "0s" }
                    + mode,
                dir.path());
        EXPECT_EQ(run.exitCode, 1) << mode.join(' ').toStdString();
        EXPECT_EQ(run.standardError.toStdString(),
            "Output file would overwrite the input: out/part_002.mp3\n");
        EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden),
            QStringList { "part_002.mp3" });
    }
}

using brevane::PieceFormat;

// What a format cannot hold ends the job after the probe, before any piece is written, and the
// folders the run made (a and b of new/a/b, new being there before) are removed again; so are
// they after any failure with --any-input.
struct LimitRow {
    const char* name;
    int inputChannels;
    brevane::SplitOptions options;
    const char* message;
    int frames = 800;
};

void PrintTo(const LimitRow& row, std::ostream* out) { *out << row.name; }

class LimitTest : public ::testing::TestWithParam<LimitRow> { };

TEST_P(LimitTest, RefusesBeforeWritingAnything)
{
    const LimitRow& row = GetParam();
    QTemporaryDir dir;
    const QString input = dir.filePath("in.wav");
    ASSERT_TRUE(testsupport::writeWav16(
        input, 8000, row.inputChannels, std::vector<std::int16_t>(row.frames * row.inputChannels)));
    ASSERT_TRUE(QDir(dir.path()).mkdir("new"));
    QList<brevane::Segment> segments;
    QString error;
    EXPECT_FALSE(
        brevane::splitAudio(input, dir.filePath("new/a/b"), 1, 0, row.options, &segments, &error));
    EXPECT_EQ(error.toStdString(), row.message);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList({ "in.wav", "new" }));
    EXPECT_TRUE(QDir(dir.filePath("new")).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Formats, LimitTest,
    ::testing::Values(
        LimitRow { "Mp3FromSixChannels", 6, brevane::SplitOptions { .format = PieceFormat::Mp3 },
            "MP3 pieces hold at most 2 channels; the input has 6 (try --channels 2)" },
        LimitRow { "FlacFromNineChannels", 9, brevane::SplitOptions { .format = PieceFormat::Flac },
            "FLAC pieces hold at most 8 channels; the input has 9 (try --channels 8)" },
        LimitRow { "OpusAskedForNineChannels", 1,
            brevane::SplitOptions { .format = PieceFormat::Opus, .channelCount = 9 },
            "Opus pieces hold at most 8 channels; --channels asks for 9 (try --channels 8)" },
        // FLAC states a rate above 65535 Hz only in tens of hertz.
        LimitRow { "FlacRateBetweenTens", 1,
            brevane::SplitOptions { .format = PieceFormat::Flac, .sampleRate = 100001 },
            "FLAC pieces cannot have a sample rate of 100001 Hz (try --rate 100000)" },
        LimitRow { "OpusBitRateForTwoChannels", 2,
            brevane::SplitOptions { .format = PieceFormat::Opus, .bitRate = 600000 },
            "Opus pieces take at most 256k per channel; these have 2 (try --bitrate 512k)" },
        // The Info frame at the 128k asked for (1152 bytes at 8 kHz), and 3 frames at 64k; the
        // size as typed.
        LimitRow { "SizeBelowOneMp3Frame", 1,
            brevane::SplitOptions {
                .format = PieceFormat::Mp3, .maxPieceBytes = 2879, .maxPieceSizeText = "2879 " },
            "--max-size 2879  holds no audio in this format" },
        // An audio stream without samples, found only by the decode.
        LimitRow { "NoSamplesWithAnyInput", 1, brevane::SplitOptions { .anyInput = true },
            "Audio decoding produced no samples", 0 },
        // A caller other than the front end is held to the options' ranges too.
        LimitRow { "BitRateForWav", 1,
            brevane::SplitOptions { .format = PieceFormat::Wav, .bitRate = 64000 },
            "Invalid piece format options" }),
    [](const auto& info) { return std::string(info.param.name); });

// Every channel count, from an input whose speakers are named (stereo; nine named speakers in
// 32-bit floats) or not (9, 16 and 64 plain PCM channels; ffmpeg takes 16 as its default
// layout): the pieces have the count asked for, in both modes, or the run is refused before
// anything is decoded or made. ffmpeg names speakers for 1 to 8, 16 and 24 channels.
struct ChannelRow {
    const char* name;
    const char* input;
    PieceFormat format;
    int channels; // --channels; 0 for the input's
    int written; // the pieces' channels, or 0 with the refusal
    const char* refusal = "";
};

void PrintTo(const ChannelRow& row, std::ostream* out) { *out << row.name; }

class ChannelTest : public ::testing::TestWithParam<ChannelRow> {
protected:
    static void SetUpTestSuite()
    {
        for (const int channels : { 2, 9, 16, 64 }) {
            ASSERT_TRUE(testsupport::writeWav16(
                inputs.filePath(QStringLiteral("plain%1.wav").arg(channels)), 8000, channels,
                std::vector<std::int16_t>(2000 * channels, 3000)));
        }
        ASSERT_TRUE(testsupport::runFfmpeg({ "-f", "lavfi", "-i",
            "aevalsrc=0.3*sin(2*PI*440*t):c=FL+FR+FC+LFE+BL+BR+FLC+FRC+BC:d=0.25:s=8000", "-c:a",
            "pcm_f32le", inputs.filePath("named9.wav") }));
    }
    static inline QTemporaryDir inputs;
};

TEST_P(ChannelTest, WritesTheCountOrRefusesBeforeDecoding)
{
    const ChannelRow& row = GetParam();
    for (const bool onePass : { false, true }) {
        SCOPED_TRACE(onePass ? "one pass" : "default mode");
        QTemporaryDir dir;
        const brevane::SplitOptions options {
            .onePass = onePass, .format = row.format, .channelCount = row.channels
        };
        QList<brevane::Segment> segments;
        QString error;
        const bool split = brevane::splitAudio(
            inputs.filePath(row.input), dir.filePath("out"), 1, 0, options, &segments, &error);
        EXPECT_EQ(error.toStdString(), row.refusal);
        if (!row.written) {
            EXPECT_FALSE(split);
            EXPECT_FALSE(QFileInfo::exists(dir.filePath("out")));
            continue;
        }
        ASSERT_TRUE(split);
        ASSERT_EQ(segments.size(), 1);
        testsupport::WavInfo piece;
        if (row.format == PieceFormat::Wav) {
            ASSERT_TRUE(testsupport::readWav(segments[0].filePath, &piece));
            // The whole quarter of a second.
            EXPECT_EQ(piece.data.size(), 2000 * 2 * row.written);
        } else {
            piece.channels = testsupport::runProcess(QStringLiteral("ffprobe"),
                { "-v", "error", "-show_entries", "stream=channels", "-of", "csv=p=0",
                    segments[0].filePath })
                                 .standardOutput.trimmed()
                                 .toInt();
        }
        EXPECT_EQ(piece.channels, row.written);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ChannelTest,
    ::testing::Values(
        ChannelRow { "StereoToNine", "plain2.wav", PieceFormat::Wav, 9, 0,
            "Cannot remix 2 channels into 9: ffmpeg names no speakers for 9 channels (try "
            "--channels 8)" },
        ChannelRow { "StereoToTwentyThree", "plain2.wav", PieceFormat::Wav, 23, 0,
            "Cannot remix 2 channels into 23: ffmpeg names no speakers for 23 channels (try "
            "--channels 16)" },
        ChannelRow { "StereoToTwentyFour", "plain2.wav", PieceFormat::Wav, 24, 24 },
        ChannelRow { "StereoToSixtyFour", "plain2.wav", PieceFormat::Wav, 64, 0,
            "Cannot remix 2 channels into 64: ffmpeg names no speakers for 64 channels (try "
            "--channels 24)" },
        ChannelRow { "StereoToOpusSix", "plain2.wav", PieceFormat::Opus, 6, 6 },
        ChannelRow { "SixteenToMp3Stereo", "plain16.wav", PieceFormat::Mp3, 2, 2 },
        // ffmpeg's "-ac 9" would unname the nine speakers, and then fail to convert them.
        ChannelRow { "NamedNine", "named9.wav", PieceFormat::Wav, 0, 9 },
        ChannelRow { "NamedNineToStereo", "named9.wav", PieceFormat::Wav, 2, 2 },
        ChannelRow { "NamedNineToTwelve", "named9.wav", PieceFormat::Wav, 12, 0,
            "Cannot remix 9 channels into 12: ffmpeg names no speakers for 12 channels (try "
            "--channels 8)" },
        ChannelRow { "PlainNineKept", "plain9.wav", PieceFormat::Wav, 9, 9 },
        ChannelRow { "PlainNineToStereo", "plain9.wav", PieceFormat::Wav, 2, 0,
            "Cannot remix 9 channels into 2: the input does not name its speakers (try "
            "--channels 9)" },
        ChannelRow { "PlainNineToFlacStereo", "plain9.wav", PieceFormat::Flac, 2, 0,
            "Cannot remix 9 channels into 2: the input does not name its speakers (try --format "
            "wav)" },
        ChannelRow { "PlainSixtyFourToTwentyFour", "plain64.wav", PieceFormat::Wav, 24, 0,
            "Cannot remix 64 channels into 24: the input does not name its speakers (try "
            "--channels 64)" }),
    [](const auto& info) { return std::string(info.param.name); });

// MP3s that ffmpeg writes with the wrong end padding decode to their length once repaired; an
// MP3 without the fault (47 samples over a whole frame) is left as it is.
struct PaddingRow {
    const char* name;
    int rate;
    int channels;
    int samples;
    bool faulty; // samples mod the frame length (1152, or 576 below 32 kHz) is 1 to 46
};

void PrintTo(const PaddingRow& row, std::ostream* out) { *out << row.name; }

class PaddingTest : public ::testing::TestWithParam<PaddingRow> { };

TEST_P(PaddingTest, DecodesToTheSamplesGiven)
{
    const PaddingRow& row = GetParam();
    QTemporaryDir dir;
    const QString mp3 = dir.filePath("piece.mp3");
    ASSERT_TRUE(testsupport::runFfmpeg(
        { "-f", "lavfi", "-i", QStringLiteral("anoisesrc=a=0.5:r=%1").arg(row.rate), "-af",
            QStringLiteral("atrim=end_sample=%1").arg(row.samples), "-ac",
            QString::number(row.channels), "-c:a", "libmp3lame", mp3 }));
    const auto decodedSamples = [&] { return decoded(mp3).size() / (2 * row.channels); };
    const QByteArray before = fileBytes(mp3);
    EXPECT_EQ(decodedSamples() != row.samples, row.faulty);

    QString error;
    ASSERT_TRUE(brevane::detail::repairMp3Padding(mp3, row.samples, &error)) << error.toStdString();
    EXPECT_EQ(decodedSamples(), row.samples);
    // Only the padding (3 bytes) and the tag's checksum (2) change.
    const QByteArray after = fileBytes(mp3);
    ASSERT_EQ(after.size(), before.size());
    qsizetype changed = 0;
    for (qsizetype i = 0; i < after.size(); ++i)
        changed += after[i] != before[i];
    EXPECT_LE(changed, row.faulty ? 5 : 0);
}

INSTANTIATE_TEST_SUITE_P(Mp3, PaddingTest,
    ::testing::Values(PaddingRow { "Mpeg1Stereo", 44100, 2, 11540, true },
        PaddingRow { "Mpeg1Mono", 48000, 1, 1153, true },
        PaddingRow { "Mpeg2Mono", 22050, 1, 5770, true },
        PaddingRow { "Mpeg25Stereo", 8000, 2, 5806, true },
        PaddingRow { "OneFrameAndFortySeven", 44100, 2, 1199, false }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
