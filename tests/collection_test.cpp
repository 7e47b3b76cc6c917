// Splitting whole collections: the manifest lines a run appends (alone and eight runs at once,
// and none from a run that fails or is stopped), and --skip-done, which takes a split recorded
// as finished instead of doing it again, through the built program and the real ffmpeg; and the
// record's list of options against SplitOptions itself.

#include "brevane.h"
#include "folder/manifest.h"
#include "folder/run_record.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>

namespace {

using brevane::SplitOptions;
using testsupport::ProcessResult;

// Converts to any field's type, so that braces full of it count an aggregate's fields.
struct AnyField {
    template <class T> operator T() const;
};
template <class T, class... Fields> constexpr std::size_t fieldCount()
{
    if constexpr (requires { T { Fields {}..., AnyField {} }; })
        return fieldCount<T, Fields..., AnyField>();
    else
        return sizeof...(Fields);
}

// Every field of SplitOptions, changed, and whether that changes the pieces. A re-run with
// --skip-done takes the pieces on disk for its own when the record matches, so an option that
// changes them but is missing from the record would pass one split's pieces off as another's:
// a new field fails the count until it is listed here, and recorded if it changes the pieces.
brevane::SplitStop aStop;
const std::vector<std::tuple<const char*, std::function<void(SplitOptions&)>, bool>> fields {
    { "cutRule", [](auto& o) { o.cutRule = brevane::CutRule::Quietest; }, true },
    { "silenceLevel", [](auto& o) { o.silenceLevel = 0.01; }, true },
    { "minSilenceSeconds", [](auto& o) { o.minSilenceSeconds = 0.25; }, true },
    { "onePass", [](auto& o) { o.onePass = true; }, true },
    { "dryRun", [](auto& o) { o.dryRun = true; }, false },
    { "anyInput", [](auto& o) { o.anyInput = true; }, true },
    { "format", [](auto& o) { o.format = brevane::PieceFormat::Copy; }, true },
    { "bitRate", [](auto& o) { o.bitRate = 64000; }, true },
    { "sampleRate", [](auto& o) { o.sampleRate = 16000; }, true },
    { "channelCount", [](auto& o) { o.channelCount = 1; }, true },
    { "maxPieceBytes", [](auto& o) { o.maxPieceBytes = 25'000'000; }, true },
    { "maxPieceSizeText", [](auto& o) { o.maxPieceSizeText = "25MB"; }, false },
    { "nameTemplate", [](auto& o) { o.nameTemplate = "{stem} - {n:2}"; }, true },
    { "tags", [](auto& o) { o.tags = true; }, true },
    { "stop", [](auto& o) { o.stop = &aStop; }, false },
    { "keepRunRecord", [](auto& o) { o.keepRunRecord = true; }, false },
};

TEST(RunRecord, KnowsEveryOptionThatChangesThePieces)
{
    ASSERT_EQ(fieldCount<SplitOptions>(), fields.size()) << "a field of SplitOptions is not listed";
    using brevane::detail::recordedOptions;
    const QJsonObject standard = recordedOptions(300, 60, SplitOptions());
    for (const auto& [name, change, changesPieces] : fields) {
        SplitOptions options;
        change(options);
        EXPECT_EQ(recordedOptions(300, 60, options) != standard, changesPieces) << name;
    }
    EXPECT_NE(recordedOptions(301, 60, SplitOptions()), standard);
    EXPECT_NE(recordedOptions(300, 59, SplitOptions()), standard);
}

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

using testsupport::fileBytes;

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
public:
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

struct Rerun {
    const char* name;
    // What happens to the folder or the input between the first run and the re-run.
    std::function<void(CollectionTest&)> between;
    // The re-run's options after the first run's, which were --skip-done --manifest m.jsonl.
    QStringList options;
    bool skipped;
};

void PrintTo(const Rerun& row, std::ostream* out) { *out << row.name; }

class RerunTest : public CollectionTest, public ::testing::WithParamInterface<Rerun> { };

// With every ffmpeg logged, a re-run with --skip-done: either nothing is decoded and the first
// run's result comes again (lines, JSON, manifest), or it is split anew.
TEST_P(RerunTest, SkipsOnlyWhatIsRecordedAsDone)
{
    const Rerun& row = GetParam();
    const QStringList first { "--skip-done", "--manifest", "m.jsonl" };
    const ProcessResult done
        = run(row.options.contains("--json") ? first + QStringList { "--json" } : first);
    ASSERT_EQ(done.exitCode, 0);
    ASSERT_TRUE(QFile::exists(path("out/.brevane-record.json")));
    row.between(*this);
    const QByteArray record = fileBytes(path("out/.brevane-record.json"));

    testsupport::FakeFfmpeg logger("echo \"$*\" >> \"$FAKE_LOG\"; exec \"$REAL_FFMPEG\" \"$@\"");
    environment = logger.environment();
    environment.insert("REAL_FFMPEG", QStandardPaths::findExecutable("ffmpeg"));
    const ProcessResult again = run(row.options + QStringList { "--manifest", "again.jsonl" });
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(logger.loggedArguments().isEmpty(), row.skipped);
    if (row.skipped) {
        EXPECT_EQ(again.standardOutput, done.standardOutput);
        EXPECT_EQ(again.standardError.toStdString(), "Already split: in.wav (recorded in out)\n");
        EXPECT_EQ(fileBytes(path("again.jsonl")) == fileBytes(path("m.jsonl")),
            !row.options.contains("--dry-run"));
    }
    // Rewritten by a split anew with --skip-done; read and left alone otherwise.
    EXPECT_EQ(fileBytes(path("out/.brevane-record.json")) == record,
        row.skipped || !row.options.contains("--skip-done"));
}

// A run killed after it began, with other options, leaves no record.
void killedRun(CollectionTest& test)
{
    testsupport::FakeFfmpeg killer("kill -KILL $PPID");
    test.environment = killer.environment();
    EXPECT_EQ(test.run({ "--skip-done", "--max", "1500ms" }).exitStatus, QProcess::CrashExit);
    EXPECT_FALSE(QFile::exists(test.path("out/.brevane-record.json")));
}

void touch(const QString& path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QDateTime time = file.fileTime(QFileDevice::FileModificationTime);
    ASSERT_TRUE(file.setFileTime(time.addSecs(1), QFileDevice::FileModificationTime));
}

INSTANTIATE_TEST_SUITE_P(SkipDone, RerunTest,
    ::testing::Values(Rerun { "Same", [](auto&) {}, { "--skip-done" }, true },
        Rerun { "SameAsJson", [](auto&) {}, { "--skip-done", "--json" }, true },
        Rerun { "SameAsDryRun", [](auto&) {}, { "--skip-done", "--dry-run" }, true },
        Rerun { "WithoutSkipDone", [](auto&) {}, {}, false },
        Rerun { "OtherMax", [](auto&) {}, { "--skip-done", "--max", "1200ms" }, false },
        Rerun {
            "InputTouched", [](auto& t) { touch(t.path("in.wav")); }, { "--skip-done" }, false },
        Rerun { "InputReplaced",
            [](auto& t) {
                QFile::remove(t.path("in.wav"));
                testsupport::writeWav16(t.path("in.wav"), 8000, 1, std::vector<std::int16_t>(900));
            },
            { "--skip-done" }, false },
        Rerun { "AnotherInput", [](auto& t) { QFile::rename(t.path("in.wav"), t.path("b.wav")); },
            { "--skip-done", "--input", "b.wav" }, false },
        Rerun { "PieceRemoved", [](auto& t) { QFile::remove(t.path("out/part_002.wav")); },
            { "--skip-done" }, false },
        Rerun { "PieceRewritten", [](auto& t) { touch(t.path("out/part_002.wav")); },
            { "--skip-done" }, false },
        Rerun { "AfterAKilledRun", killedRun, { "--skip-done" }, false }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
