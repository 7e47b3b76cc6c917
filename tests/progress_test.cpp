// The status line: its texts, that every new piece is drawn at once, and that it shows on a
// terminal and nowhere else; the same for the count of forced cuts after the result.

#include "progress_line.h"
#include "test_support.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

using brevane::SplitProgress;

namespace {

struct TextRow {
    SplitProgress progress;
    const char* expected;
};

void PrintTo(const TextRow& row, std::ostream* out) { *out << row.expected; }

class ProgressTextTest : public ::testing::TestWithParam<TextRow> { };

TEST_P(ProgressTextTest, Reads)
{
    EXPECT_EQ(progressText(GetParam().progress), QString::fromUtf8(GetParam().expected));
}

SplitProgress decoding(double position, double total)
{
    SplitProgress progress;
    progress.positionSeconds = position;
    progress.totalSeconds = total;
    return progress;
}

SplitProgress onePass(double position, double total, qsizetype part)
{
    SplitProgress progress = decoding(position, total);
    progress.part = part;
    return progress;
}

SplitProgress writing(qsizetype part, qsizetype count)
{
    SplitProgress progress;
    progress.stage = SplitProgress::Stage::Writing;
    progress.part = part;
    progress.partCount = count;
    return progress;
}

INSTANTIATE_TEST_SUITE_P(Lines, ProgressTextTest,
    ::testing::Values(TextRow { decoding(723.9, 7200), "decoding 12m3s of 2h0m0s (10%)" },
        // Fractions of a second and of a percent are cut, not rounded up to a finished run.
        TextRow { decoding(7199.99, 7200), "decoding 1h59m59s of 2h0m0s (99%)" },
        // The container's duration can be a little short of what decodes.
        TextRow { decoding(7230, 7200), "decoding 2h0m30s of 2h0m0s (100%)" },
        TextRow { decoding(0.4, -1), "decoding 0s" }, TextRow { decoding(95, 0), "decoding 1m35s" },
        TextRow { writing(3, 24), "writing part 3 of 24" },
        TextRow { onePass(723.9, 7200, 3), "decoding 12m3s of 2h0m0s (10%), writing part 3" }));

// A run's reports, each new piece once, faster than the redraw interval: every piece is drawn
// at once whatever the pace (the position in between may or may not be).
TEST(ProgressLineTest, DrawsEachNewPieceAtOnce)
{
    QStringList pieces;
    ProgressLine line(true, [&](const QString& text) {
        if (text.contains(QStringLiteral("part")))
            pieces << text.trimmed();
    });
    for (const SplitProgress& report : { decoding(1, 60), decoding(2, 60), onePass(3, 60, 1),
             onePass(3, 60, 2), writing(1, 2), writing(2, 2) })
        line.update(report);
    EXPECT_EQ(pieces,
        QStringList({ "decoding 3s of 1m0s (5%), writing part 1",
            "decoding 3s of 1m0s (5%), writing part 2", "writing part 1 of 2",
            "writing part 2 of 2" }));
}

class ProgressRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Ten seconds of tone, a second of silence, ten of tone: two pieces at --max 10s.
        ASSERT_TRUE(writeInput("talk.wav", { 10, 1, 10 }));
    }

    // 8 kHz mono, seconds of tone and of silence in turn.
    bool writeInput(const char* name, std::initializer_list<int> seconds) const
    {
        std::vector<std::int16_t> samples;
        bool tone = true;
        for (const int length : seconds) {
            for (int i = 0; i < length * 8000; ++i)
                samples.push_back(std::int16_t(!tone ? 0 : i % 20 < 10 ? 8000 : -8000));
            tone = !tone;
        }
        return testsupport::writeWav16(dir.filePath(name), 8000, 1, samples);
    }

    QStringList arguments() const
    {
        return { QStringLiteral("--input"), QStringLiteral("talk.wav"), QStringLiteral("--max"),
            QStringLiteral("10s"), QStringLiteral("--tolerance"), QStringLiteral("2s") };
    }

    // script gives the program a pseudo-terminal for all its streams and copies what it
    // shows to standard output.
    testsupport::ProcessResult runOnTerminal(const QStringList& arguments) const
    {
        QString command = testsupport::brevaneProgram();
        for (const QString& argument : arguments)
            command += QLatin1Char(' ') + argument;
        return testsupport::runProcess(QStringLiteral("script"),
            { QStringLiteral("-qec"), command, QStringLiteral("/dev/null") }, dir.path());
    }

    // What stays visible on each line is what follows its last carriage return; the terminal
    // turns each newline into CR LF.
    static QByteArray visibleLines(const QByteArray& screen)
    {
        QByteArray visible;
        for (QByteArray line : screen.split('\n')) {
            if (line.endsWith('\r'))
                line.chop(1);
            const qsizetype lastReturn = line.lastIndexOf('\r');
            const QByteArray shown = line.mid(lastReturn + 1);
            if (!shown.trimmed().isEmpty())
                visible += shown + '\n';
        }
        return visible;
    }

    const QByteArray expectedLines = "./talk_parts/part_001.wav\t0s - 10.249875s\n"
                                     "./talk_parts/part_002.wav\t10.249875s - 21s\n";
    QTemporaryDir dir;
};

TEST_F(ProgressRunTest, PipesReceiveOnlyTheResultLines)
{
    const auto result
        = testsupport::runProcess(testsupport::brevaneProgram(), arguments(), dir.path());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardOutput, expectedLines);
    EXPECT_EQ(result.standardError, QByteArray());
}

TEST_F(ProgressRunTest, ATerminalSeesTheLineAndThenTheCleanResult)
{
    const auto result = runOnTerminal(arguments());
    ASSERT_TRUE(result.started);
    ASSERT_EQ(result.exitCode, 0) << result.standardOutput.constData();

    const QByteArray screen = result.standardOutput;
    EXPECT_TRUE(screen.contains("decoding ")) << screen.constData();
    EXPECT_TRUE(screen.contains("writing part 2 of 2")) << screen.constData();
    EXPECT_EQ(visibleLines(screen), expectedLines);
}

// Cuts made where the piece reached its longest are counted on a terminal, after the result,
// with what would help under the rule used; pipes receive what they did before. At --max 10s
// --tolerance 2s a piece is forced at 96000 frames (12 s).
TEST_F(ProgressRunTest, ATerminalHearsOfForcedCuts)
{
    // Cut in the pause at 81999 as talk.wav, then forced at 81999 + 96000 = 177999, 22001
    // frames before the end.
    ASSERT_TRUE(writeInput("mixed.wav", { 10, 1, 14 }));
    const struct {
        QStringList options;
        const char* hint;
    } rows[] = {
        { { "--input", "mixed.wav" },
            "1 of 2 cuts found no pause and was made where the piece reached its longest; try "
            "--cut-at quietest, or a higher --silence-level" },
        // No stretch of 30 s fits in 25 s: both cuts are forced.
        { { "--input", "mixed.wav", "--cut-at", "quietest", "--min-silence", "30s", "--dry-run" },
            "2 of 2 cuts found no stretch to compare and were made where the piece reached its "
            "longest; try a shorter --min-silence, or a larger --tolerance" },
    };
    for (const auto& row : rows) {
        const QStringList arguments
            = row.options + QStringList { "--max", "10s", "--tolerance", "2s" };
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const auto piped
            = testsupport::runProcess(testsupport::brevaneProgram(), arguments, dir.path());
        ASSERT_EQ(piped.exitCode, 0);
        EXPECT_EQ(piped.standardError, QByteArray());
        const auto shown = runOnTerminal(arguments);
        ASSERT_EQ(shown.exitCode, 0);
        EXPECT_EQ(visibleLines(shown.standardOutput), piped.standardOutput + row.hint + '\n');
    }
}

} // namespace
