// Splitting whole collections: the manifest lines a run appends (alone and eight runs at once,
// and none from a run that fails or is stopped), through the built program and the real ffmpeg.

#include "brevane.h"
#include "folder/manifest.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>

namespace {

using testsupport::ProcessResult;

TEST(ManifestLines, HoldTheFieldsInTheirOrderEscapedAndTheSecondsOfTheJsonDocument)
{
    const QList<brevane::Segment> piece { { 0, 0, "o\"ut/part_002.wav", 13163850, 13230001,
        brevane::CutKind::End } };
    using brevane::detail::manifestLines;
    EXPECT_EQ((manifestLines("Straße \\ 1.wav", 44100, piece, false)
                  + manifestLines("Straße \\ 1.wav", 44100, piece, true))
                  .toStdString(),
        "{\"audio_filepath\": \"o\\\"ut/part_002.wav\", \"duration\": 1.5000226757369615, "
        "\"offset\": 0, \"source\": \"Straße \\\\ 1.wav\", \"source_offset\": 298.5, \"cut\": "
        "\"end\"}\n"
        "{\"audio_filepath\": \"Straße \\\\ 1.wav\", \"duration\": 1.5000226757369615, "
        "\"offset\": 298.5, \"source\": \"Straße \\\\ 1.wav\", \"source_offset\": 298.5, \"cut\": "
        "\"end\"}\n");
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QJsonObject> jsonLines(const QByteArray& text)
{
    QList<QJsonObject> objects;
    for (const QByteArray& line : text.split('\n')) {
        QJsonParseError error;
        objects.append(QJsonDocument::fromJson(line, &error).object());
        EXPECT_TRUE(line.isEmpty() || error.error == QJsonParseError::NoError) << line.data();
    }
    objects.removeLast();
    return objects;
}

class CollectionTest : public ::testing::Test {
protected:
    // 8000 Hz mono: tone, 0.6 s pauses at 0.8 and 2.6 s, tone to 4 s; a few pieces.
    void SetUp() override
    {
        std::vector<std::int16_t> samples(32000);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const bool pause = (i >= 6400 && i < 11200) || (i >= 20800 && i < 25600);
            samples[i] = pause ? 0 : std::int16_t(i % 16 < 8 ? 6000 : -6000);
        }
        ASSERT_TRUE(testsupport::writeWav16(path("in.wav"), 8000, 1, samples));
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    ProcessResult run(const QStringList& options, const QString& standardOutputFile = {})
    {
        return testsupport::runProcess(testsupport::brevaneProgram(), cut + options, dir.path(),
            environment, standardOutputFile);
    }

    QTemporaryDir dir;
    QProcessEnvironment environment;
    // One ffmpeg a run.
    const QStringList cut { "--input", "in.wav", "--out", "out", "--max", "1s", "--tolerance",
        "500ms", "--one-pass" };
};

// A real run and a dry run append to one manifest: the real run's lines name the pieces, the
// dry run's the input at each piece's offset, with the seconds of the --json document.
TEST_F(CollectionTest, ManifestLinesMatchTheJsonDocument)
{
    const ProcessResult real = run({ "--json", "--manifest", "m.jsonl" });
    const ProcessResult dry = run({ "--json", "--manifest", "m.jsonl", "--dry-run" });
    ASSERT_EQ(real.exitCode + dry.exitCode, 0);
    EXPECT_EQ(dry.standardOutput, real.standardOutput);
    EXPECT_FALSE(QFile::exists(path("out/.brevane-record.json")));
    const QJsonObject document = QJsonDocument::fromJson(real.standardOutput).object();
    const QJsonArray pieces = document["pieces"].toArray();
    const QList<QJsonObject> lines = jsonLines(fileBytes(path("m.jsonl")));
    const qsizetype count = pieces.size();
    ASSERT_GE(count, 3);
    ASSERT_EQ(lines.size(), 2 * count);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QJsonObject piece = pieces[i % count].toObject();
        const bool dryRun = i >= count;
        const QJsonObject expected { { "audio_filepath", dryRun ? "in.wav" : piece["path"] },
            { "duration",
                (piece["endFrame"].toDouble() - piece["startFrame"].toDouble())
                    / document["sampleRate"].toDouble() },
            { "offset", dryRun ? piece["start"] : 0 }, { "source", "in.wav" },
            { "source_offset", piece["start"] }, { "cut", piece["cut"] } };
        EXPECT_EQ(lines[i], expected) << i;
    }
}

// Each run's lines arrive whole and together, however the runs' ends fall.
TEST_F(CollectionTest, EightRunsAtOnceAppendEveryLineOnce)
{
    std::vector<std::unique_ptr<QProcess>> runs;
    for (int i = 0; i < 8; ++i) {
        const QString input = QStringLiteral("in%1.wav").arg(i);
        ASSERT_TRUE(QFile::copy(path("in.wav"), path(input)));
        runs.push_back(std::make_unique<QProcess>());
        runs.back()->setWorkingDirectory(dir.path());
        runs.back()->start(testsupport::brevaneProgram(),
            { "--input", input, "--dry-run", "--max", "200ms", "--tolerance", "100ms", "--manifest",
                "m.jsonl" });
    }
    for (const auto& run : runs)
        ASSERT_TRUE(run->waitForFinished(-1) && run->exitCode() == 0);
    const QList<QJsonObject> lines = jsonLines(fileBytes(path("m.jsonl")));
    const qsizetype perRun = lines.size() / 8;
    ASSERT_GE(perRun, 13);
    ASSERT_EQ(lines.size(), perRun * 8);
    QStringList sources;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i % perRun == 0)
            sources << lines[i]["source"].toString();
        EXPECT_EQ(lines[i]["source"], sources.last()) << i;
        EXPECT_EQ(lines[i]["offset"].toDouble() > 0, i % perRun > 0) << i;
    }
    sources.removeDuplicates();
    EXPECT_EQ(sources.size(), 8);
}

// A run that fails, a result that cannot be written and a stopped run add nothing.
TEST_F(CollectionTest, RunsThatDoNotSucceedAppendNothing)
{
    ASSERT_TRUE(testsupport::writeFile(path("text.wav"), "not audio\n"));
    EXPECT_EQ(run({ "--input", "text.wav", "--manifest", "m.jsonl" }).exitCode, 1);
    EXPECT_EQ(run({ "--manifest", "m.jsonl" }, "/dev/full").exitCode, 1);

    testsupport::FakeFfmpeg decoder(": > \"$FAKE_LOG.held\"; exec sleep 600");
    QProcess stopped;
    stopped.setProcessEnvironment(decoder.environment());
    stopped.setWorkingDirectory(dir.path());
    stopped.start(testsupport::brevaneProgram(), cut + QStringList { "--manifest", "m.jsonl" });
    for (int poll = 0; poll < 24000 && !QFile::exists(decoder.logPath() + ".held"); ++poll)
        QThread::msleep(5);
    ::kill(pid_t(stopped.processId()), SIGTERM);
    ASSERT_TRUE(stopped.waitForFinished(-1));
    EXPECT_EQ(stopped.exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(QFile::exists(path("m.jsonl")));
}

TEST_F(CollectionTest, UnwritableManifestFailsTheRunAfterItsResult)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    for (const auto& [manifest, reason] : { std::pair { "folder", "Is a directory" },
             { "missing/m.jsonl", "No such file or directory" },
             { "/dev/full", "No space left on device" } }) {
        const ProcessResult result = run({ "--manifest", manifest });
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError.toStdString(),
            std::string("Failed to write the manifest ") + manifest + ": " + reason + "\n");
        EXPECT_TRUE(result.standardOutput.startsWith("out/part_001.wav\t0s - ")) << manifest;
        EXPECT_TRUE(QFile::exists(path("out/part_003.wav"))) << manifest;
    }
}

} // namespace
