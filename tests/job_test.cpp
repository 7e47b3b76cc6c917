// The job's contract: what the caller's list and error text hold after each early failure, and
// how the output directory is made.

#include "brevane.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using brevane::Segment;
using brevane::splitAudio;

namespace {

QList<Segment> staleList() { return { Segment { 1.0, 2.0, QStringLiteral("old.wav") } }; }

class JobTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QString existingWav()
    {
        const QString file = path(QStringLiteral("in.wav"));
        EXPECT_TRUE(testsupport::writeWav16(file, 8000, 1, std::vector<std::int16_t>(800, 0)));
        return file;
    }

    QTemporaryDir dir;
};

TEST_F(JobTest, NullListFailsWithoutTouchingTheErrorText)
{
    QString error = QStringLiteral("kept");
    EXPECT_FALSE(splitAudio(existingWav(), path("out"), 10, 1, nullptr, &error));
    EXPECT_EQ(error, QStringLiteral("kept"));
    EXPECT_FALSE(QDir(path("out")).exists());
}

struct EarlyFailure {
    const char* name;
    double maxSeconds;
    double toleranceSeconds;
    bool inputExists;
    const char* expectedPrefix; // the message up to the caller's text
    bool expectInputInMessage;
};

void PrintTo(const EarlyFailure& row, std::ostream* out) { *out << row.name; }

class EarlyFailureTest : public JobTest, public ::testing::WithParamInterface<EarlyFailure> { };

TEST_P(EarlyFailureTest, EmptiesTheListAndReportsTheFirstFailingCheck)
{
    const EarlyFailure& row = GetParam();
    const QString input = row.inputExists ? existingWav() : path(QStringLiteral("missing.wav"));
    const QString outputDir = path(QStringLiteral("new/nested"));
    QList<Segment> segments = staleList();
    QString error;

    EXPECT_FALSE(
        splitAudio(input, outputDir, row.maxSeconds, row.toleranceSeconds, &segments, &error));
    EXPECT_TRUE(segments.isEmpty());
    const QString expected
        = QString::fromUtf8(row.expectedPrefix) + (row.expectInputInMessage ? input : QString());
    EXPECT_EQ(error, expected);
    // Checks that fail before the directory step must not create it.
    EXPECT_FALSE(QDir(outputDir).exists());
}

INSTANTIATE_TEST_SUITE_P(Checks, EarlyFailureTest,
    ::testing::Values(
        EarlyFailure { "ZeroMax", 0, 1, true, "Invalid segment durations supplied", false },
        EarlyFailure {
            "NegativeTolerance", 10, -1, true, "Invalid segment durations supplied", false },
        EarlyFailure {
            "NaNMax", std::nan(""), 1, true, "Invalid segment durations supplied", false },
        // The duration check comes before the input check.
        EarlyFailure { "NegativeMaxAndMissingInput", -5, 1, false,
            "Invalid segment durations supplied", false },
        EarlyFailure { "MissingInput", 10, 0, false, "Input file does not exist: ", true }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JobTest, DirectoryAsInputIsReportedAsMissingWithThePathAsPassed)
{
    QList<Segment> segments;
    QString error;
    const QString input = path(QStringLiteral("folder.wav"));
    ASSERT_TRUE(QDir().mkpath(input));
    EXPECT_FALSE(splitAudio(input, path("out"), 10, 1, &segments, &error));
    EXPECT_EQ(error, QStringLiteral("Input file does not exist: ") + input);
}

TEST_F(JobTest, CreatesTheOutputDirectoryWithItsParentsAndKeepsItAfterALaterFailure)
{
    // Not audio: the job gets past the directory step and fails in the probe.
    const QString input = path(QStringLiteral("noise.wav"));
    ASSERT_TRUE(testsupport::writeFile(input, "this is not a wave file at all"));

    const QString outputDir = path(QStringLiteral("a/b/c"));
    QList<Segment> segments = staleList();
    QString error;
    EXPECT_FALSE(splitAudio(input, outputDir, 10, 1, &segments, &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unable to open audio file '") + input + "': "))
        << error.toStdString();
    EXPECT_TRUE(QDir(outputDir).exists());
    EXPECT_TRUE(segments.isEmpty());
}

TEST_F(JobTest, OutputDirectoryNameTakenByAFile)
{
    const QString taken = path(QStringLiteral("taken"));
    ASSERT_TRUE(testsupport::writeFile(taken, {}));

    QList<Segment> segments;
    QString error;
    EXPECT_FALSE(splitAudio(existingWav(), taken, 10, 1, &segments, &error));
    EXPECT_EQ(error, QStringLiteral("Failed to create output directory: ") + taken);
}

TEST_F(JobTest, SuccessLeavesTheErrorTextAloneAndNullErrorTextIsAllowed)
{
    const QString input = existingWav(); // 0.1 s of silence at 8000 Hz
    QList<Segment> segments = staleList();
    QString error = QStringLiteral("left by the caller");
    ASSERT_TRUE(splitAudio(input, path("out"), 10, 1, &segments, &error)) << error.toStdString();
    EXPECT_EQ(error, QStringLiteral("left by the caller"));
    ASSERT_EQ(segments.size(), 1);
    EXPECT_EQ(segments[0].startSeconds, 0.0);
    EXPECT_EQ(segments[0].endSeconds, 0.1);
    EXPECT_EQ(segments[0].filePath, QDir(path("out")).filePath(QStringLiteral("part_001.wav")));

    QList<Segment> again;
    EXPECT_FALSE(splitAudio(input, path("out"), 0, 1, &again, nullptr));
}

} // namespace
