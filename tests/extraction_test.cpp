// Writing the pieces, against a fake ffmpeg: the arguments each piece's child receives, the
// records handed back, and what failing, repeated and self-overwriting runs leave on disk.

#include "brevane.h"
#include "folder/piece_names.h"
#include "pieces/extraction.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <memory>

using brevane::Segment;
using brevane::splitAudio;
using brevane::detail::extractSegment;
using brevane::detail::InternalSegment;

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The decode call (the one asking for raw "f32le") gets the bytes of pcm.raw beside the script.
// Every other call is a piece: its arguments are logged, and it writes "piece N" into its last
// argument, except that piece FAIL_AT writes FAIL_TEXT on standard error and exits 1. With
// VANISH set the script deletes itself after decoding, so no piece finds an ffmpeg.
QString dispatcherScript(int failAt, const QByteArray& failText, bool vanish)
{
    return QStringLiteral(R"(here=${0%/*}
case " $* " in *" f32le "*)
    /bin/cat "$here/pcm.raw"
    [ %3 = 1 ] && /bin/rm "$0"
    exit 0 ;;
esac
n=0; [ -f "$here/count" ] && read n < "$here/count"; n=$((n + 1)); echo $n > "$here/count"
printf '%s\n' "$@" >> "$FAKE_LOG"
if [ $n = %1 ]; then printf '%2' >&2; exit 1; fi
for last; do :; done
{ echo "piece $n" > "$last"; } 2>/dev/null
exit 0)")
        .arg(failAt)
        .arg(QString::fromUtf8(failText))
        .arg(vanish ? 1 : 0);
}

// The probe reads the real WAV header (10 Hz mono), while the fake decoder delivers loud frames.
// With a maximum of 1 s and no tolerance every piece is forced at 10 frames.
constexpr int fakeRate = 10;

class FakeRunTest : public ::testing::Test {
protected:
    void useFake(int pieces, int failAt = 0, const QByteArray& failText = {}, bool vanish = false)
    {
        fake
            = std::make_unique<testsupport::FakeFfmpeg>(dispatcherScript(failAt, failText, vanish));
        ASSERT_TRUE(
            testsupport::writeFile(QDir(fake->directory()).filePath(QStringLiteral("pcm.raw")),
                testsupport::floatBytes(std::vector<float>(pieces * fakeRate, 0.5f))));
        path = std::make_unique<testsupport::ScopedPath>(fake->directory());
    }
    void resetPieceCount() { QFile::remove(QDir(fake->directory()).filePath("count")); }
    QString file(const QString& name) const { return dir.filePath(name); }
    QString writeInput(const QString& name)
    {
        const QString input = file(name);
        EXPECT_TRUE(testsupport::writeWav16(input, fakeRate, 1, std::vector<std::int16_t>(10)));
        return input;
    }
    // The program itself, run in the temporary directory with only the fake on PATH.
    testsupport::ProcessResult runProgram(const QStringList& arguments) const
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), fake->directory());
        return testsupport::runProcess(testsupport::brevaneProgram(),
            arguments + QStringList { "--max", "1s", "--tolerance", "0s" }, dir.path(),
            environment);
    }

    QTemporaryDir dir;
    std::unique_ptr<testsupport::FakeFfmpeg> fake;
    std::unique_ptr<testsupport::ScopedPath> path;
};

struct ArgumentRow {
    const char* name;
    std::int64_t sampleRate;
    int channelCount;
    InternalSegment range;
    qsizetype index;
    const char* start;
    const char* duration;
    const char* outputPath;
    double endSeconds;
    bool rf64 = false; // "-rf64 auto" before the output path
};

void PrintTo(const ArgumentRow& row, std::ostream* out) { *out << row.name; }

class ArgumentTest : public FakeRunTest, public ::testing::WithParamInterface<ArgumentRow> {
protected:
    // Times must keep their full stop even where the user's locale writes a comma.
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
    void TearDown() override { QLocale::setDefault(savedLocale); }
    const QLocale savedLocale;
};

TEST_P(ArgumentTest, PassesTheSeventeenArgumentsAndReturnsTheRecord)
{
    const ArgumentRow& row = GetParam();
    useFake(0);
    const QString input = QStringLiteral("/data/my talk.mp3");
    Segment segment;
    QString error;
    ASSERT_TRUE(extractSegment(input, QStringLiteral("talk_parts"), row.sampleRate,
        row.channelCount, row.range, row.index, &segment, &error))
        << error.toStdString();

    QStringList expected { "-hide_banner", "-loglevel", "error", "-y", "-i", input, "-ss",
        row.start, "-t", row.duration, "-acodec", "pcm_s16le", "-ac",
        QString::number(row.channelCount), "-ar", QString::number(row.sampleRate) };
    if (row.rf64)
        expected << "-rf64"
                 << "auto";
    expected << row.outputPath;
    EXPECT_EQ(fake->loggedArguments(), expected);
    EXPECT_EQ(segment.startSeconds, double(row.range.startFrame) / double(row.sampleRate));
    EXPECT_EQ(segment.endSeconds, row.endSeconds);
    EXPECT_EQ(segment.filePath, QString::fromUtf8(row.outputPath));
}

INSTANTIATE_TEST_SUITE_P(Pieces, ArgumentTest,
    ::testing::Values(ArgumentRow { "SecondFiveMinutePiece", 44100, 2, { 13230000, 26460000 }, 1,
                          "300.000000", "300.000000", "talk_parts/part_002.wav", 600.0 },
        // The end is the sum start + duration, one ulp above 25575678 / 44100.
        ArgumentRow { "EndAsDoubleSum", 44100, 2, { 12345678, 25575678 }, 1, "279.947347",
            "300.000000", "talk_parts/part_002.wav", 579.9473469387756 },
        ArgumentRow { "OneFrameAtTheStart", 8000, 1, { 0, 1 }, 0, "0.000000", "0.000125",
            "talk_parts/part_001.wav", 0.000125 },
        // 25 minutes of 192 kHz 7.1 hold 4.6 GB of 16-bit samples: only RF64 can state them.
        ArgumentRow { "PiecePastFourGiB", 192000, 8, { 0, 288000000 }, 0, "0.000000", "1500.000000",
            "talk_parts/part_001.wav", 1500.0, true }),
    [](const auto& info) { return std::string(info.param.name); });

// The other formats: the codec and its settings in place of pcm_s16le, and the rate the
// encoder takes nearest to the one asked for (the first it lists on a tie). One piece of the
// 10 Hz mono input.
struct EncodingRow {
    const char* name;
    brevane::SplitOptions options;
    QStringList codecArguments;
};

void PrintTo(const EncodingRow& row, std::ostream* out) { *out << row.name; }

class EncodingArgumentTest : public FakeRunTest,
                             public ::testing::WithParamInterface<EncodingRow> { };

TEST_P(EncodingArgumentTest, PutsTheCodecInPlaceOfPcm)
{
    const EncodingRow& row = GetParam();
    useFake(1);
    const QString input = writeInput(QStringLiteral("in.wav"));
    QList<Segment> segments;
    QString error;
    ASSERT_TRUE(splitAudio(input, file("parts"), 1, 0, row.options, &segments, &error))
        << error.toStdString();
    const QString suffix = QString::fromLatin1(
        std::array { "wav", "flac", "mp3", "opus" }[std::size_t(row.options.format)]);
    EXPECT_EQ(fake->loggedArguments(),
        QStringList({ "-hide_banner", "-loglevel", "error", "-y", "-i", input, "-ss", "0.000000",
            "-t", "1.000000" })
            + row.codecArguments + QStringList { file("parts/part_001." + suffix) });
}

using brevane::PieceFormat;
using Options = brevane::SplitOptions;

INSTANTIATE_TEST_SUITE_P(Formats, EncodingArgumentTest,
    ::testing::Values(
        EncodingRow { "Flac", Options { .format = PieceFormat::Flac },
            { "-acodec", "flac", "-sample_fmt", "s16", "-ac", "1", "-ar", "10", "-vn" } },
        EncodingRow { "Mp3From96kHz",
            Options { .format = PieceFormat::Mp3, .sampleRate = 96000, .channelCount = 2 },
            { "-acodec", "libmp3lame", "-b:a", "128k", "-ac", "2", "-ar", "48000", "-vn" } },
        EncodingRow { "Mp3SpeechAtEightKilobits",
            Options { .format = PieceFormat::Mp3, .bitRate = 8000, .sampleRate = 8000 },
            { "-acodec", "libmp3lame", "-b:a", "8k", "-ac", "1", "-ar", "8000", "-vn" } },
        EncodingRow { "OpusTieBetween24And48kHz",
            Options { .format = PieceFormat::Opus, .bitRate = 6500, .sampleRate = 36000 },
            { "-acodec", "libopus", "-b:a", "6500", "-ac", "1", "-ar", "48000" } },
        EncodingRow { "OpusFrom32000", Options { .format = PieceFormat::Opus, .sampleRate = 32000 },
            { "-acodec", "libopus", "-b:a", "96k", "-ac", "1", "-ar", "24000" } },
        EncodingRow { "OpusFourChannels",
            Options { .format = PieceFormat::Opus, .channelCount = 4 },
            { "-acodec", "libopus", "-b:a", "96k", "-af",
                "aformat=channel_layouts=4.0,channelmap=channel_layout=quad", "-ar", "8000" } }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeRunTest, EmptyOrReversedRangeStartsNoChild)
{
    useFake(0);
    for (const InternalSegment range : { InternalSegment { 5, 5 }, InternalSegment { 6, 5 } }) {
        Segment segment;
        QString error;
        EXPECT_FALSE(
            extractSegment(file("in.wav"), dir.path(), 44100, 2, range, 0, &segment, &error));
        EXPECT_EQ(error, QStringLiteral("Invalid segment boundaries"));
    }
    EXPECT_FALSE(QFile::exists(fake->logPath()));
}

struct FailureRow {
    const char* name;
    int failAt;
    QByteArray failText;
    bool vanish;
    const char* message; // whole message, or its start when the rest is the system's wording
    bool wholeMessage;
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

class FailureTest : public FakeRunTest, public ::testing::WithParamInterface<FailureRow> { };

TEST_P(FailureTest, StopsAtTheFailingPieceAndKeepsTheEarlierOnes)
{
    const FailureRow& row = GetParam();
    useFake(5, row.failAt, row.failText, row.vanish);
    const QString input = writeInput(QStringLiteral("in.wav"));
    const QString outputDir = file(QStringLiteral("parts"));

    QList<Segment> segments { Segment { 1, 2, QStringLiteral("stale.wav") } };
    QString error;
    EXPECT_FALSE(splitAudio(input, outputDir, 1, 0, &segments, &error));
    EXPECT_TRUE(segments.isEmpty());
    const QString message = QString::fromUtf8(row.message);
    if (row.wholeMessage) {
        EXPECT_EQ(error, message);
    } else {
        EXPECT_TRUE(error.startsWith(message)) << error.toStdString();
        EXPECT_GT(error.size(), message.size());
    }
    const int firstFailing = row.vanish ? 1 : row.failAt;
    for (int piece = 1; piece <= 5; ++piece) {
        const QString part = QDir(outputDir).filePath(brevane::detail::partFileName(piece - 1));
        EXPECT_EQ(QFile::exists(part), piece < firstFailing) << piece;
    }
    if (row.vanish)
        return; // the fake is gone; the program would fail in its decode step instead

    resetPieceCount();
    const testsupport::ProcessResult run = runProgram({ "--input", "in.wav", "--out", "parts" });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardOutput, QByteArray());
    EXPECT_EQ(run.standardError, QByteArray(row.message) + '\n');
}

INSTANTIATE_TEST_SUITE_P(Pieces, FailureTest,
    ::testing::Values(FailureRow { "ThirdPieceWithAnErrorLine", 3, "Conversion failed!\n", false,
                          "ffmpeg exited with code 1: Conversion failed!", true },
        FailureRow { "FirstPieceSilent", 1, "", false, "ffmpeg exited with code 1: ", true },
        FailureRow { "FfmpegGoneAfterDecoding", 0, "", true, "Failed to run ffmpeg: ", false }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeRunTest, OverwritesItsOwnNumbersAndLeavesHigherOnesFromAnEarlierRun)
{
    useFake(3);
    const QString input = writeInput(QStringLiteral("in.wav"));
    const QDir parts(file(QStringLiteral("parts")));
    ASSERT_TRUE(parts.mkpath(QStringLiteral(".")));
    for (const char* name : { "part_001.wav", "part_004.wav" }) {
        ASSERT_TRUE(testsupport::writeFile(parts.filePath(name), "earlier run\n"));
    }

    QList<Segment> segments;
    QString error;
    ASSERT_TRUE(splitAudio(input, parts.path(), 1, 0, &segments, &error)) << error.toStdString();
    ASSERT_EQ(segments.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(segments[i].startSeconds, double(i));
        EXPECT_EQ(segments[i].endSeconds, double(i + 1));
        EXPECT_EQ(segments[i].filePath, parts.filePath(brevane::detail::partFileName(i)));
    }
    EXPECT_EQ(fileBytes(parts.filePath("part_001.wav")), QByteArray("piece 1\n"));
    EXPECT_EQ(fileBytes(parts.filePath("part_004.wav")), QByteArray("earlier run\n"));
}

TEST_F(FakeRunTest, NamesWidenAfterPiece999)
{
    useFake(1001);
    const QString input = writeInput(QStringLiteral("in.wav"));
    const QDir parts(file(QStringLiteral("parts")));

    QList<Segment> segments;
    QString error;
    ASSERT_TRUE(splitAudio(input, parts.path(), 1, 0, &segments, &error)) << error.toStdString();
    ASSERT_EQ(segments.size(), 1001);
    EXPECT_EQ(segments[998].filePath, parts.filePath("part_999.wav"));
    EXPECT_EQ(segments[999].filePath, parts.filePath("part_1000.wav"));
    EXPECT_EQ(segments[1000].filePath, parts.filePath("part_1001.wav"));
    EXPECT_EQ(segments[1000].startSeconds, 1000.0);
    EXPECT_EQ(fileBytes(parts.filePath("part_1000.wav")), QByteArray("piece 1000\n"));
}

struct GuardRow {
    const char* name;
    enum class Setup { SameFile, HardLink, SymbolicLink } setup;
    const char* inputArgument;
    const char* victim; // the output path named in the message
};

void PrintTo(const GuardRow& row, std::ostream* out) { *out << row.name; }

class OverwriteGuardTest : public FakeRunTest, public ::testing::WithParamInterface<GuardRow> { };

TEST_P(OverwriteGuardTest, RefusesBeforeWritingAnything)
{
    const GuardRow& row = GetParam();
    useFake(3);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("parts")));
    const QString recording
        = writeInput(row.setup == GuardRow::Setup::SameFile ? QStringLiteral("parts/part_001.wav")
                                                            : QStringLiteral("in.wav"));
    const QByteArray recordingBytes = fileBytes(recording);
    if (row.setup == GuardRow::Setup::HardLink) {
        ASSERT_EQ(::link(QFile::encodeName(recording).constData(),
                      QFile::encodeName(file(row.victim)).constData()),
            0);
    }
    if (row.setup == GuardRow::Setup::SymbolicLink) {
        ASSERT_TRUE(QFile::link(QStringLiteral("../in.wav"), file(row.victim)));
    }
    const QStringList before = QDir(file("parts")).entryList(QDir::Files | QDir::System);

    const testsupport::ProcessResult run
        = runProgram({ "--input", row.inputArgument, "--out", "parts" });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardOutput, QByteArray());
    EXPECT_EQ(run.standardError,
        QByteArray("Output file would overwrite the input: ") + row.victim + '\n');
    EXPECT_FALSE(QFile::exists(fake->logPath())) << "a piece was started";
    EXPECT_EQ(QDir(file("parts")).entryList(QDir::Files | QDir::System), before);
    EXPECT_EQ(fileBytes(recording), recordingBytes);
}

INSTANTIATE_TEST_SUITE_P(Links, OverwriteGuardTest,
    ::testing::Values(GuardRow { "SameFileAnotherText", GuardRow::Setup::SameFile,
                          "./parts/part_001.wav", "parts/part_001.wav" },
        GuardRow {
            "HardLinkAsSecondPiece", GuardRow::Setup::HardLink, "in.wav", "parts/part_002.wav" },
        GuardRow { "SymbolicLinkAsFirstPiece", GuardRow::Setup::SymbolicLink, "in.wav",
            "parts/part_001.wav" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
