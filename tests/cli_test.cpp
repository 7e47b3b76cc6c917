// The built program, run as a user would: exact standard streams and exit status for every
// way a run can end, with relative paths in a scratch working directory so that the messages
// can be compared word for word.

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using testsupport::brevaneProgram;
using testsupport::ProcessResult;
using testsupport::runProcess;

const char usageLine[]
    = "Usage: brevane --input AUDIO.(wav|mp3) [--out DIR] [--max 5m] [--tolerance 1m]\n";
const char invalidDuration[] = "Invalid duration supplied for --max or --tolerance\n";
const char helpMarker[] = "<the --help text>";

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
    // False when the run must end before the engine, which then leaves no trace on disk.
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

// The cut rule is checked after the shortest pause, and the quietest rule takes no level.
INSTANTIATE_TEST_SUITE_P(CutRule, CliTest,
    ::testing::Values(CliCase { "UnknownRule", { "--input", "in.wav", "--cut-at", "loudest" },
                          { "in.wav" }, 1, "Invalid value for --cut-at: loudest\n", "", false },
        CliCase { "LevelWithQuietest",
            { "--input", "in.wav", "--cut-at", "quietest", "--silence-level", "0.01" },
            { "in.wav" }, 1, "--silence-level cannot be combined with --cut-at quietest\n", "",
            false },
        CliCase { "PauseCheckedBeforeRule",
            { "--input", "in.wav", "--cut-at", "loudest", "--min-silence", "0s" }, { "in.wav" }, 1,
            "Invalid duration supplied for --min-silence\n", "", false }),
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
