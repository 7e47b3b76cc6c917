// The built program, run as a user would: exact standard streams and exit status for every
// way a run can end, with relative paths in a scratch working directory so that the messages
// can be compared word for word.

#include "brevane.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using testsupport::brevaneProgram;
using testsupport::ProcessResult;
using testsupport::runProcess;

const char usageLine[]
    = "Usage: brevane --input AUDIO.(wav|mp3) [--out DIR] [--max 5m] [--tolerance 1m]\n";
const char invalidDuration[] = "Invalid duration supplied for --max or --tolerance\n";
const char helpMarker[] = "<the --help text>";
const char invalidMinSilence[] = "Invalid duration supplied for --min-silence\n";
const char oneShortPiece[] = "./in_parts/part_001.wav\t0s - 100ms\n";

// 0.1 s of silence at 8000 Hz: one piece, 0s - 100ms, whatever the maximum.
std::vector<std::int16_t> shortSilence() { return std::vector<std::int16_t>(800, 0); }

// 2.5 s of steady sound: no silence to cut in, so with --max 1s --tolerance 200ms the pieces
// are forced at 1.2 s and 2.4 s, and the rest closes the last one.
std::vector<std::int16_t> steadySound()
{
    std::vector<std::int16_t> samples(20000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = i % 2 ? 10000 : -10000;
    return samples;
}

struct CliCase {
    const char* name;
    std::vector<const char*> arguments;
    // Entries made in the working directory before the run: a name ending in "/" is a
    // directory, anything else a WAV file of shortSilence(), whatever its suffix says.
    std::vector<const char*> setup;
    int status;
    const char* standardError;
    const char* standardOutput; // helpMarker: exactly what --help prints
    // False when the run must leave no trace on disk: it ends before the engine, or it is a
    // dry run.
    bool reachesEngine;
};

void PrintTo(const CliCase& row, std::ostream* out) { *out << row.name; }

class CliTest : public ::testing::TestWithParam<CliCase> {
protected:
    ProcessResult run(const std::vector<const char*>& arguments)
    {
        QStringList list;
        for (const char* argument : arguments)
            list << QString::fromUtf8(argument);
        return runProcess(brevaneProgram(), list, workDir.path());
    }

    QStringList entries() const
    {
        return QDir(workDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QTemporaryDir workDir;
};

TEST_P(CliTest, PrintsExactlyWhatTheRunCallsFor)
{
    const CliCase& row = GetParam();
    ASSERT_TRUE(workDir.isValid());
    for (const char* entry : row.setup) {
        const QString name = QString::fromUtf8(entry);
        const bool made = name.endsWith(QLatin1Char('/'))
            ? QDir(workDir.path()).mkpath(name)
            : testsupport::writeWav16(workDir.filePath(name), 8000, 1, shortSilence());
        ASSERT_TRUE(made) << entry;
    }
    const QStringList before = entries();

    const ProcessResult result = run(row.arguments);
    ASSERT_TRUE(result.started);
    ASSERT_EQ(result.exitStatus, QProcess::NormalExit);
    EXPECT_EQ(result.exitCode, row.status);
    EXPECT_EQ(result.standardError.toStdString(), row.standardError);
    if (std::string(row.standardOutput) == helpMarker) {
        const ProcessResult help = run({ "--help" });
        ASSERT_EQ(help.exitCode, 0);
        EXPECT_EQ(result.standardOutput, help.standardOutput);
    } else {
        EXPECT_EQ(result.standardOutput.toStdString(), row.standardOutput);
    }
    if (!row.reachesEngine) {
        EXPECT_EQ(entries(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(ParserAndInput, CliTest,
    ::testing::Values(CliCase { "UndeclaredOption", { "--bogus" }, {}, 1,
                          "brevane: Unknown option 'bogus'.\n", "", false },
        CliCase { "NoArguments", {}, {}, 1, usageLine, helpMarker, false },
        CliCase {
            "EmptyInput", { "--input", "", "--max", "5" }, {}, 1, usageLine, helpMarker, false },
        CliCase { "MissingFile", { "--input", "missing.wav" }, {}, 1,
            "Input file does not exist: missing.wav\n", "", false },
        // The path is quoted as typed, not made absolute or cleaned; the invalid maximum shows
        // that the front end, not the engine, turned the directory down.
        CliCase { "Directory", { "--input", "./media/../folder.wav", "--max", "0s" },
            { "media/", "folder.wav/" }, 1, "Input file does not exist: ./media/../folder.wav\n",
            "", false },
        CliCase { "Flac", { "--input", "notes.flac" }, { "notes.flac" }, 1,
            "Unsupported audio format: flac\n", "", false },
        CliCase { "FlacUpperCase", { "--input", "NOTES.FLAC" }, { "NOTES.FLAC" }, 1,
            "Unsupported audio format: FLAC\n", "", false },
        CliCase { "NoSuffix", { "--input", "notes" }, { "notes" }, 1,
            "Unsupported audio format: \n", "", false },
        CliCase { "SuffixOfTheLastPointOnly", { "--input", "show.wav.txt" }, { "show.wav.txt" }, 1,
            "Unsupported audio format: txt\n", "", false }),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(OrderOfChecks, CliTest,
    ::testing::Values(CliCase { "MissingFileBeforeSuffix", { "--input", "missing.flac" }, {}, 1,
                          "Input file does not exist: missing.flac\n", "", false },
        CliCase { "MissingFileBeforeDurations", { "--input", "missing.wav", "--max", "0s" }, {}, 1,
            "Input file does not exist: missing.wav\n", "", false },
        CliCase { "SuffixBeforeDurations", { "--input", "notes.flac", "--max", "5" },
            { "notes.flac" }, 1, "Unsupported audio format: flac\n", "", false }),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Durations, CliTest,
    ::testing::Values(CliCase { "ZeroMax", { "--input", "in.wav", "--max", "0s" }, { "in.wav" }, 1,
                          invalidDuration, "", false },
        CliCase { "NegativeMax", { "--input", "in.wav", "--max", "-5m" }, { "in.wav" }, 1,
            invalidDuration, "", false },
        CliCase { "MaxWithoutUnit", { "--input", "in.wav", "--max", "5" }, { "in.wav" }, 1,
            invalidDuration, "", false },
        CliCase { "EmptyMax", { "--input", "in.wav", "--max", "" }, { "in.wav" }, 1,
            invalidDuration, "", false },
        CliCase { "NegativeTolerance", { "--input", "in.wav", "--tolerance", "-1s" }, { "in.wav" },
            1, invalidDuration, "", false },
        // A zero tolerance is accepted, negative zero from a lone minus sign included.
        CliCase { "ZeroTolerance", { "--input", "in.wav", "--max", "1s", "--tolerance", "0s" },
            { "in.wav" }, 0, "", "./in_parts/part_001.wav\t0s - 100ms\n", true },
        CliCase { "LoneMinusTolerance", { "--input", "in.wav", "--max", "1s", "--tolerance", "-" },
            { "in.wav" }, 0, "", "./in_parts/part_001.wav\t0s - 100ms\n", true },
        // Tolerance not below the maximum passes here and is refused by the engine.
        CliCase { "ToleranceAboveMax", { "--input", "in.wav", "--max", "1m", "--tolerance", "2m" },
            { "in.wav" }, 1, "Invalid duration window; ensure tolerance is less than max\n", "",
            true }),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Success, CliTest,
    ::testing::Values(CliCase { "Defaults", { "--input", "in.wav" }, { "in.wav" }, 0, "",
                          "./in_parts/part_001.wav\t0s - 100ms\n", true },
        CliCase { "UpperCaseSuffix", { "--input", "Talk.Wav" }, { "Talk.Wav" }, 0, "",
            "./Talk_parts/part_001.wav\t0s - 100ms\n", true },
        // Only the last suffix is dropped from the directory name.
        CliCase { "PointsInTheName", { "--input", "show.ep1.wav" }, { "show.ep1.wav" }, 0, "",
            "./show.ep1_parts/part_001.wav\t0s - 100ms\n", true },
        CliCase { "OutputDirectoryAsGiven", { "--input", "in.wav", "--out", "pieces/" },
            { "in.wav" }, 0, "", "pieces/part_001.wav\t0s - 100ms\n", true }),
    [](const auto& info) { return std::string(info.param.name); });

// The level and the pause are checked after the durations, in that order, and before the
// cut rule; the level is quoted as typed.
INSTANTIATE_TEST_SUITE_P(Controls, CliTest,
    ::testing::Values(
        CliCase { "LevelNotANumber", { "--input", "in.wav", "--silence-level", "abc" },
            { "in.wav" }, 1, "Invalid value for --silence-level: abc\n", "", false },
        CliCase { "LevelAsTyped", { "--input", "in.wav", "--silence-level", " -46 dB" },
            { "in.wav" }, 1, "Invalid value for --silence-level:  -46 dB\n", "", false },
        CliCase { "ZeroMinSilence", { "--input", "in.wav", "--min-silence", "0s" }, { "in.wav" }, 1,
            invalidMinSilence, "", false },
        CliCase { "MinSilenceWithoutUnit", { "--input", "in.wav", "--min-silence", "500" },
            { "in.wav" }, 1, invalidMinSilence, "", false },
        CliCase { "DurationsBeforeLevel",
            { "--input", "in.wav", "--max", "0s", "--silence-level", "0" }, { "in.wav" }, 1,
            invalidDuration, "", false },
        CliCase { "LevelBeforeMinSilence",
            { "--input", "in.wav", "--min-silence", "0s", "--silence-level", "0" }, { "in.wav" }, 1,
            "Invalid value for --silence-level: 0\n", "", false },
        CliCase { "MinSilenceBeforeCutAt",
            { "--input", "in.wav", "--cut-at", "nowhere", "--min-silence", "0s" }, { "in.wav" }, 1,
            invalidMinSilence, "", false },
        CliCase { "DecibelsAndShortPause",
            { "--input", "in.wav", "--silence-level", "-46dB", "--min-silence", "1ns" },
            { "in.wav" }, 0, "", oneShortPiece, true },
        // A dry run prints the lines of a real run and leaves the disk as it was; the folder
        // is not made, the guard against overwriting the input does not apply, but a name
        // taken by a file fails it as it would fail a real run.
        CliCase { "DryRun", { "--input", "in.wav", "--dry-run" }, { "in.wav" }, 0, "",
            oneShortPiece, false },
        CliCase { "DryRunOverTheInput",
            { "--input", "pieces/part_001.wav", "--out", "pieces", "--dry-run" },
            { "pieces/", "pieces/part_001.wav" }, 0, "", "pieces/part_001.wav\t0s - 100ms\n",
            false },
        // With --any-input the folder is made only after the probe, and never in a dry run.
        CliCase { "AnyInputDryRun", { "--input", "memo.m4a", "--any-input", "--dry-run" },
            { "memo.m4a" }, 0, "", "./memo_parts/part_001.wav\t0s - 100ms\n", false },
        CliCase { "DryRunUnderAFile",
            { "--input", "in.wav", "--out", "in.wav/pieces", "--dry-run" }, { "in.wav" }, 1,
            "Failed to create output directory: in.wav/pieces\n", "", false }),
    [](const auto& info) { return std::string(info.param.name); });

// The cut rule is checked after the shortest pause, and the quietest rule takes no level.
INSTANTIATE_TEST_SUITE_P(CutRule, CliTest,
    ::testing::Values(CliCase { "UnknownRule", { "--input", "in.wav", "--cut-at", "loudest" },
                          { "in.wav" }, 1, "Invalid value for --cut-at: loudest\n", "", false },
        CliCase { "LevelWithQuietest",
            { "--input", "in.wav", "--cut-at", "quietest", "--silence-level", "0.01" },
            { "in.wav" }, 1, "--silence-level cannot be combined with --cut-at quietest\n", "",
            false }),
    [](const auto& info) { return std::string(info.param.name); });

// A text named as Ogg gets the probe's message, and with --any-input leaves no folder either.
TEST_F(CliTest, AnyInputTextLeavesNothing)
{
    ASSERT_TRUE(testsupport::writeFile(workDir.filePath("notes.ogg"), "words, not audio\n"));
    const ProcessResult result = run({ "--any-input", "--input", "notes.ogg" });
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.standardError.contains("\nUnable to open audio file 'notes.ogg': "));
    EXPECT_EQ(entries(), QStringList { "notes.ogg" });
}

// The pieces' options are checked after the cut rule, in the order format, bit rate (whether
// the format takes one first), rate, channels, each value quoted as typed; a dry run names the
// pieces with the format's suffix.
INSTANTIATE_TEST_SUITE_P(PieceFormats, CliTest,
    ::testing::Values(CliCase { "UnknownFormat", { "--input", "in.wav", "--format", "aac" },
                          { "in.wav" }, 1, "Invalid value for --format: aac\n", "", false },
        CliCase { "CutAtBeforeFormat",
            { "--input", "in.wav", "--format", "aac", "--cut-at", "loudest" }, { "in.wav" }, 1,
            "Invalid value for --cut-at: loudest\n", "", false },
        CliCase { "BitRateWithFlac", { "--input", "in.wav", "--format", "flac", "--bitrate", "x" },
            { "in.wav" }, 1, "--bitrate applies only to --format mp3 or opus\n", "", false },
        CliCase { "BitRateAboveMp3",
            { "--input", "in.wav", "--format", "mp3", "--bitrate", "330k" }, { "in.wav" }, 1,
            "Invalid value for --bitrate: 330k\n", "", false },
        CliCase { "BitRateBelowOpus",
            { "--input", "in.wav", "--format", "opus", "--bitrate", "499" }, { "in.wav" }, 1,
            "Invalid value for --bitrate: 499\n", "", false },
        CliCase { "BitRateBeforeRate",
            { "--input", "in.wav", "--format", "opus", "--bitrate", "-1", "--rate", "1" },
            { "in.wav" }, 1, "Invalid value for --bitrate: -1\n", "", false },
        CliCase { "RateBelowRange", { "--input", "in.wav", "--rate", "7999" }, { "in.wav" }, 1,
            "Invalid value for --rate: 7999\n", "", false },
        CliCase { "RateBeforeChannels", { "--input", "in.wav", "--channels", "0", "--rate", "1.5" },
            { "in.wav" }, 1, "Invalid value for --rate: 1.5\n", "", false },
        CliCase { "NoChannels", { "--input", "in.wav", "--channels", "0" }, { "in.wav" }, 1,
            "Invalid value for --channels: 0\n", "", false },
        CliCase { "ChannelsAboveRange", { "--input", "in.wav", "--channels", "65" }, { "in.wav" },
            1, "Invalid value for --channels: 65\n", "", false },
        CliCase { "OpusNamesInADryRun",
            { "--input", "in.wav", "--format", "opus", "--bitrate", " 24000 ", "--dry-run" },
            { "in.wav" }, 0, "", "./in_parts/part_001.opus\t0s - 100ms\n", false }),
    [](const auto& info) { return std::string(info.param.name); });

// The size limit is checked after the pieces' options and quoted as typed. 800 frames of 8 kHz
// mono: 844 bytes hold 400 of them.
INSTANTIATE_TEST_SUITE_P(MaxSize, CliTest,
    ::testing::Values(CliCase { "SizeAsTyped", { "--input", "in.wav", "--max-size", "25 MB" },
                          { "in.wav" }, 1, "Invalid value for --max-size: 25 MB\n", "", false },
        CliCase { "ChannelsBeforeSize",
            { "--input", "in.wav", "--max-size", "0", "--channels", "0" }, { "in.wav" }, 1,
            "Invalid value for --channels: 0\n", "", false },
        CliCase { "SizeInADryRun", { "--input", "in.wav", "--max-size", "844", "--dry-run" },
            { "in.wav" }, 0, "",
            "./in_parts/part_001.wav\t0s - 50ms\n./in_parts/part_002.wav\t50ms - 100ms\n", false }),
    [](const auto& info) { return std::string(info.param.name); });

// --tags is checked with the format, the name template after the pieces' other options; a dry
// run prints the names the template gives.
INSTANTIATE_TEST_SUITE_P(NamesAndTags, CliTest,
    ::testing::Values(
        CliCase { "NameWithoutNumber", { "--input", "in.wav", "--name", "part" }, { "in.wav" }, 1,
            "Invalid value for --name: part: the name needs {n}\n", "", false },
        CliCase { "SizeBeforeName", { "--input", "in.wav", "--name", "{x}", "--max-size", "1x" },
            { "in.wav" }, 1, "Invalid value for --max-size: 1x\n", "", false },
        CliCase { "TagsWithWav", { "--input", "in.wav", "--tags" }, { "in.wav" }, 1,
            "--tags needs --format flac, mp3, opus or copy\n", "", false },
        CliCase { "TagsBeforeName", { "--input", "in.wav", "--name", "part", "--tags" },
            { "in.wav" }, 1, "--tags needs --format flac, mp3, opus or copy\n", "", false },
        CliCase { "BitRateBeforeTags",
            { "--input", "in.wav", "--format", "wav", "--tags", "--bitrate", "8k" }, { "in.wav" },
            1, "--bitrate applies only to --format mp3 or opus\n", "", false },
        CliCase { "NamesInADryRun",
            { "--input", "in.wav", "--name", "{{{stem}}} {n:1}", "--format", "mp3", "--tags",
                "--dry-run" },
            { "in.wav" }, 0, "", "./in_parts/{in} 1.mp3\t0s - 100ms\n", false }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, PrintsOneLinePerPieceInOrder)
{
    ASSERT_TRUE(testsupport::writeWav16(workDir.filePath("tone.wav"), 8000, 1, steadySound()));
    const ProcessResult result
        = run({ "--input", "tone.wav", "--max", "1s", "--tolerance", "200ms" });
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardError.toStdString(), "");
    EXPECT_EQ(result.standardOutput.toStdString(),
        "./tone_parts/part_001.wav\t0s - 1.2s\n"
        "./tone_parts/part_002.wav\t1.2s - 2.4s\n"
        "./tone_parts/part_003.wav\t2.4s - 2.5s\n");
}

// Pauses whose middles fall on frames that no short decimal or binary fraction of 44.1 kHz
// hits, so that the times printed and the seconds in the JSON document are all long fractions.
TEST_F(CliTest, DryRunAndJsonReportThePiecesOfARealRun)
{
    std::vector<std::int16_t> samples;
    for (const int pause : { 30011, 22277, 40009 }) {
        for (int i = 0; i < 50021; ++i)
            samples.push_back(std::int16_t(i % 50 < 25 ? 9000 : -9000));
        samples.insert(samples.end(), pause, 0);
    }
    ASSERT_TRUE(testsupport::writeWav16(workDir.filePath("talk.wav"), 44100, 1, samples));
    const std::vector<const char*> arguments { "--input", "talk.wav", "--max", "1500ms",
        "--tolerance", "400ms", "--min-silence", "300ms", "--silence-level", "-60dB" };
    auto runWith = [&](std::vector<const char*> extra) {
        extra.insert(extra.begin(), arguments.begin(), arguments.end());
        const ProcessResult result = run(extra);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.standardError.toStdString(), "");
        return result.standardOutput;
    };

    const QByteArray dryLines = runWith({ "--dry-run" });
    const QByteArray dryJson = runWith({ "--dry-run", "--json" });
    EXPECT_FALSE(QFileInfo::exists(workDir.filePath("talk_parts")));
    const QByteArray lines = runWith({});
    EXPECT_EQ(dryLines, lines);
    const QByteArray json = runWith({ "--json" });
    EXPECT_EQ(dryJson, json);

    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(json, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(document.value("input").toString(), "talk.wav");
    EXPECT_EQ(document.value("sampleRate").toInteger(), 44100);
    EXPECT_EQ(document.value("channels").toInteger(), 1);
    const QJsonArray pieces = document.value("pieces").toArray();
    const QStringList printed = QString::fromUtf8(lines).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(pieces.size(), printed.size());
    ASSERT_GE(pieces.size(), 3);
    qint64 expectedStart = 0;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        const QJsonObject piece = pieces.at(i).toObject();
        const qint64 startFrame = piece.value("startFrame").toInteger();
        const qint64 endFrame = piece.value("endFrame").toInteger();
        const double start = piece.value("start").toDouble();
        const double end = piece.value("end").toDouble();
        EXPECT_EQ(startFrame, expectedStart);
        EXPECT_GT(endFrame, startFrame);
        expectedStart = endFrame;
        // The seconds read back to exactly frame / rate.
        EXPECT_EQ(start, double(startFrame) / 44100.0);
        EXPECT_EQ(end, double(endFrame) / 44100.0);
        EXPECT_EQ(piece.value("path").toString() + u'\t' + brevane::formatDuration(start)
                + QStringLiteral(" - ") + brevane::formatDuration(end),
            printed.at(i));
        EXPECT_TRUE(QFileInfo(workDir.filePath(piece.value("path").toString())).isFile());
    }
    EXPECT_EQ(expectedStart, qint64(samples.size()));
}

// 3 s at 8 kHz of a square wave at half scale, with a stretch [from, to) in seconds at
// amplitude `level` (0: a true pause).
std::vector<std::int16_t> soundWithStretch(double from, double to, double level)
{
    std::vector<std::int16_t> samples = steadySound();
    samples.resize(24000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const bool inStretch = i >= std::size_t(from * 8000) && i < std::size_t(to * 8000);
        const double amplitude = inStretch ? level : 0.5;
        samples[i] = std::int16_t((i % 2 ? 1 : -1) * std::lround(amplitude * 32767));
    }
    return samples;
}

// The level and the shortest pause change where the cuts fall. With --max 1s --tolerance 200ms
// at 8 kHz a piece may be cut from 6400 frames, at once from 8000, and is forced at 9600.
TEST_F(CliTest, LevelAndShortestPauseMoveTheCuts)
{
    // 0.7-1.5 s at 0.01, between the default level and 0.02. At 0.02 that stretch is a pause
    // from frame 5600; it lasts half a second (4000 frames) at frame 9599, when the piece is
    // past its target, so it is cut at once at the pause's middle so far, 9599 - 2000 = 7599.
    // The rest of the pause is spent, and the next piece is forced at 7599 + 9600 = 17199.
    ASSERT_TRUE(testsupport::writeWav16(
        workDir.filePath("hum.wav"), 8000, 1, soundWithStretch(0.7, 1.5, 0.01)));
    // 0.8-1.1 s of silence, too short for the default half second. A pause of 200 ms (1600
    // frames) is reached at frame 7999, when the piece has run 8000 frames, its target: cut at
    // 7999 - 800 = 7199, and the next forced at 7199 + 9600 = 16799.
    ASSERT_TRUE(testsupport::writeWav16(
        workDir.filePath("gap.wav"), 8000, 1, soundWithStretch(0.8, 1.1, 0.0)));
    const struct {
        const char* input;
        std::vector<const char*> options;
        std::vector<std::int64_t> cuts;
    } rows[] = {
        { "hum.wav", {}, { 9600, 19200 } },
        { "hum.wav", { "--silence-level", "0.02" }, { 7599, 17199 } },
        { "gap.wav", {}, { 9600, 19200 } },
        { "gap.wav", { "--min-silence", "200ms" }, { 7199, 16799 } },
    };
    for (const auto& row : rows) {
        std::vector<const char*> arguments { "--input", row.input, "--max", "1s", "--tolerance",
            "200ms", "--dry-run" };
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        std::string expected;
        std::int64_t start = 0;
        for (qsizetype i = 0; i <= qsizetype(row.cuts.size()); ++i) {
            const std::int64_t end = i < qsizetype(row.cuts.size()) ? row.cuts[i] : 24000;
            expected += QStringLiteral("./%1_parts/part_00%2.wav\t%3 - %4\n")
                            .arg(QString::fromUtf8(row.input).chopped(4))
                            .arg(i + 1)
                            .arg(brevane::formatDuration(double(start) / 8000),
                                brevane::formatDuration(double(end) / 8000))
                            .toStdString();
            start = end;
        }
        const ProcessResult result = run(arguments);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.standardOutput.toStdString(), expected) << row.input;
    }
}

// How each piece's end was chosen, under both rules, for an input with a pause and one without,
// the same in every way of writing. At 8 kHz with --max 1s --tolerance 200ms a piece may be
// cut from 6400 frames, at once from 8000, and is forced at 9600; 3 s are 24000 frames.
TEST_F(CliTest, JsonSaysHowEachEndWasChosen)
{
    // A pause over frames 4000 to 8800, and sound throughout.
    ASSERT_TRUE(testsupport::writeWav16(
        workDir.filePath("pause.wav"), 8000, 1, soundWithStretch(0.5, 1.1, 0.0)));
    ASSERT_TRUE(testsupport::writeWav16(
        workDir.filePath("steady.wav"), 8000, 1, soundWithStretch(0, 0, 0.5)));
    using Ends = std::vector<std::pair<qint64, QString>>;
    const struct {
        const char* input;
        std::vector<const char*> options;
        Ends ends;
    } rows[] = {
        // The pause lasts half a second at frame 7999, the piece's target: cut at its middle
        // so far, 7999 - 2000. It is spent, and the next piece is forced at 5999 + 9600.
        { "pause.wav", {}, { { 5999, "silence" }, { 15599, "forced" }, { 24000, "end" } } },
        { "steady.wav", {}, { { 9600, "forced" }, { 19200, "forced" }, { 24000, "end" } } },
        // Blocks of 80 frames, stretches of 50 blocks, 25 each side of a boundary. Wholly in
        // the pause (blocks 50 to 109) are the stretches of boundaries 75 to 85; of those in
        // the window (80 to 120) 85, frame 6800, is nearest the target, 100. Beyond the pause
        // all stretches are alike, and the one at the target, 6800 + 8000, is taken.
        { "pause.wav", { "--cut-at", "quietest" },
            { { 6800, "quietest" }, { 14800, "quietest" }, { 24000, "end" } } },
        { "steady.wav", { "--cut-at", "quietest" },
            { { 8000, "quietest" }, { 16000, "quietest" }, { 24000, "end" } } },
    };
    for (const auto& row : rows) {
        for (const char* mode : { "", "--one-pass", "--dry-run" }) {
            std::vector<const char*> arguments { "--input", row.input, "--max", "1s", "--tolerance",
                "200ms", "--json" };
            arguments.insert(arguments.end(), row.options.begin(), row.options.end());
            if (*mode)
                arguments.push_back(mode);
            SCOPED_TRACE(::testing::PrintToString(arguments));
            const ProcessResult result = run(arguments);
            ASSERT_EQ(result.exitCode, 0) << result.standardError.constData();
            Ends ends;
            for (const QJsonValue piece :
                QJsonDocument::fromJson(result.standardOutput)["pieces"].toArray())
                ends.emplace_back(piece["endFrame"].toInteger(), piece["cut"].toString());
            EXPECT_EQ(ends, row.ends);
        }
    }
}

// A result that cannot be written is a failed run, whatever the form of the result and
// wherever it goes: a full disk, or a pipe whose reader has gone, as in `brevane … | true`,
// which must not end the program by SIGPIPE. The pieces written stay.
TEST_F(CliTest, ResultThatCannotBeWrittenFailsTheRun)
{
    ASSERT_TRUE(testsupport::writeWav16(workDir.filePath("in.wav"), 8000, 1, shortSilence()));
    const struct {
        const char* form;
        bool closedPipe;
        const char* reason;
    } rows[] = {
        { "--dry-run", false, "No space left on device" },
        { "--json", false, "No space left on device" },
        { "--one-pass", true, "Broken pipe" },
        { "--json", true, "Broken pipe" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.form) + (row.closedPipe ? " into a closed pipe" : ""));
        QDir(workDir.filePath("in_parts")).removeRecursively();
        QProcess run;
        run.setWorkingDirectory(workDir.path());
        if (row.closedPipe) {
            // As a shell starts it: SIGPIPE as the system sets it, the pipe's reader gone.
            run.setChildProcessModifier([] {
                int ends[2];
                if (::pipe(ends) == 0) {
                    ::close(ends[0]);
                    ::dup2(ends[1], STDOUT_FILENO);
                }
                ::signal(SIGPIPE, SIG_DFL);
            });
        } else {
            run.setStandardOutputFile(QStringLiteral("/dev/full"));
        }
        run.start(brevaneProgram(), { "--input", "in.wav", row.form });
        ASSERT_TRUE(run.waitForFinished(-1));
        EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(run.exitCode(), 1);
        EXPECT_EQ(run.readAllStandardError().toStdString(),
            std::string("Failed to write the result to standard output: ") + row.reason + "\n");
        EXPECT_EQ(QFileInfo::exists(workDir.filePath("in_parts/part_001.wav")),
            QByteArray(row.form) != "--dry-run");
    }
}

TEST_F(CliTest, HelpListsTheOptionsInOrderAndSucceeds)
{
    const ProcessResult result = run({ "--help" });
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardError.toStdString(), "");
    // The column the descriptions start in depends on the longest option, so blanks are folded.
    const QString help = QString::fromUtf8(result.standardOutput).simplified();
    qsizetype position
        = help.indexOf(QStringLiteral("Split audio files into silence-aware segments"));
    EXPECT_GE(position, 0) << help.toStdString();
    for (const char* line : { "--input <file> Audio file to split",
             "--out <dir> Directory for output segments", "--max <duration> Maximum segment length",
             "--tolerance <duration> Tolerance window" }) {
        const qsizetype next = help.indexOf(QString::fromUtf8(line));
        EXPECT_GT(next, position) << line << " in\n" << help.toStdString();
        position = next;
    }
}

} // namespace
