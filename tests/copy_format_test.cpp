// --format copy through the built program and the real ffmpeg: over MP3s of each kind (CBR and
// VBR, mono and stereo, MPEG-1, 2 and 2.5, a low bit rate whose bit reservoir reaches further
// back than a gapless header can state), every piece decodes to exactly the whole input's
// decode over its range, the pieces tile the input, each piece is the input's ID3v2 tag, a
// header frame, at most one priming frame and then a contiguous run of the input's own bytes,
// and the one-pass mode writes the same files. Then what copy refuses and what it takes of
// damaged inputs, and the size limit.

#include "brevane.h"
#include "input/mp3_frames.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using brevane::detail::Mp3FrameHeader;
using brevane::detail::parseMp3FrameHeader;

namespace {

// 12 s of noisy tone bursts of a second between half-second pauses.
const QStringList burstsAndPauses { "-f", "lavfi", "-i",
    "aevalsrc='(0.4*sin(440*2*PI*t)+0.2*(random(0)-0.5))*lt(mod(t,1.5),1)':s=44100:c=stereo:d=12",
    "-metadata", "title=Bursts" };
const QStringList shortPieces { "--max", "3s", "--tolerance", "1s", "--format", "copy", "--json" };

using testsupport::fileBytes;

QByteArray decoded(const QString& path)
{
    return testsupport::runProcess(
        QStringLiteral("ffmpeg"), { "-v", "error", "-i", path, "-f", "f32le", "-" })
        .standardOutput;
}

qsizetype id3v2Size(const QByteArray& bytes)
{
    if (!bytes.startsWith("ID3") || bytes.size() < 10)
        return 0;
    qsizetype size = 0;
    for (int i = 6; i < 10; ++i)
        size = size << 7 | (std::uint8_t(bytes.at(i)) & 0x7F);
    return 10 + size;
}

qsizetype frameSizeAt(const QByteArray& bytes, qsizetype at)
{
    Mp3FrameHeader header;
    return parseMp3FrameHeader(reinterpret_cast<const unsigned char*>(bytes.constData()) + at,
               std::size_t(bytes.size() - at), &header)
        ? header.frameBytes
        : 0;
}

QJsonArray split(const QTemporaryDir& dir, const QString& input, const QString& out,
    const QStringList& more = {})
{
    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        QStringList { "--input", input, "--out", out } + shortPieces + more, dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
    return QJsonDocument::fromJson(run.standardOutput)["pieces"].toArray();
}

struct CopyRow {
    const char* name;
    QStringList encode;
    // Whether some piece needs a priming frame (a reservoir the header cannot state in frames),
    // or none does.
    bool primed;
};

void PrintTo(const CopyRow& row, std::ostream* out) { *out << row.name; }

class CopyFormatTest : public ::testing::TestWithParam<CopyRow> { };

TEST_P(CopyFormatTest, PiecesAreTheInputsFramesAndDecodeToTheirRanges)
{
    const CopyRow& row = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::runFfmpeg(
        burstsAndPauses + row.encode + QStringList { dir.filePath("in.mp3") }));
    const QJsonArray pieces = split(dir, "in.mp3", "out");
    ASSERT_GE(pieces.size(), 3);

    const QByteArray input = fileBytes(dir.filePath("in.mp3"));
    const QByteArray whole = decoded(dir.filePath("in.mp3"));
    const QByteArray inputTag = input.left(id3v2Size(input));
    ASSERT_FALSE(inputTag.isEmpty());
    const qsizetype frameBytes = 4 * (row.encode.contains("-ac") ? 1 : 2);
    qint64 start = 0;
    int primedPieces = 0;
    for (const QJsonValue piece : pieces) {
        const QString path = dir.filePath(piece["path"].toString());
        const qint64 from = piece["startFrame"].toInteger();
        const qint64 to = piece["endFrame"].toInteger();
        EXPECT_EQ(from, start);
        start = to;
        EXPECT_TRUE(decoded(path) == whole.mid(from * frameBytes, (to - from) * frameBytes))
            << path.toStdString();

        const QByteArray bytes = fileBytes(path);
        ASSERT_TRUE(bytes.startsWith(inputTag)) << path.toStdString();
        const qsizetype header = inputTag.size();
        ASSERT_GT(frameSizeAt(bytes, header), 0);
        const qsizetype afterHeader = header + frameSizeAt(bytes, header);
        QByteArray run = bytes.mid(afterHeader);
        if (!input.contains(run)) {
            ++primedPieces;
            run = bytes.mid(afterHeader + frameSizeAt(bytes, afterHeader));
        }
        EXPECT_TRUE(input.contains(run)) << path.toStdString();
    }
    EXPECT_EQ(start * frameBytes, whole.size());
    EXPECT_EQ(primedPieces > 0, row.primed);

    // The one-pass mode writes each piece as its cut is known: the same files.
    const QJsonArray onePass = split(dir, "in.mp3", "one-pass", { "--one-pass" });
    ASSERT_EQ(onePass.size(), pieces.size());
    for (qsizetype i = 0; i < pieces.size(); ++i)
        EXPECT_TRUE(fileBytes(dir.filePath(pieces[i]["path"].toString()))
            == fileBytes(dir.filePath(onePass[i]["path"].toString())));
}

INSTANTIATE_TEST_SUITE_P(Inputs, CopyFormatTest,
    ::testing::Values(CopyRow { "Cbr128", { "-c:a", "libmp3lame", "-b:a", "128k" }, false },
        CopyRow { "Cbr32", { "-c:a", "libmp3lame", "-b:a", "32k" }, true },
        CopyRow { "Vbr", { "-c:a", "libmp3lame", "-q:a", "7" }, true },
        CopyRow { "Mono64", { "-ac", "1", "-c:a", "libmp3lame", "-b:a", "64k" }, false },
        CopyRow { "Mpeg2At22k", { "-ar", "22050", "-ac", "1", "-c:a", "libmp3lame", "-b:a", "32k" },
            false },
        CopyRow { "Mpeg25At8k", { "-ar", "8000", "-ac", "1", "-c:a", "libmp3lame", "-b:a", "8k" },
            false }),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalRow {
    const char* name;
    const char* input;
    QStringList options;
    const char* message;
};

void PrintTo(const RefusalRow& row, std::ostream* out) { *out << row.name; }

// The inputs, made once: a WAV, an MP3 of it, the MP3 with junk between two frames, and two
// MP3s joined with cat.
class CopyRefusalTest : public ::testing::TestWithParam<RefusalRow> {
protected:
    static void SetUpTestSuite()
    {
        inputs = new QTemporaryDir;
        const QString wav = inputs->filePath("in.wav");
        const QString mp3 = inputs->filePath("in.mp3");
        ASSERT_TRUE(testsupport::runFfmpeg(burstsAndPauses + QStringList { wav }));
        ASSERT_TRUE(testsupport::runFfmpeg({ "-i", wav, mp3 }));
        const QByteArray bytes = fileBytes(mp3);
        const qsizetype middle = bytes.indexOf("\xff\xfb", bytes.size() / 2);
        ASSERT_TRUE(testsupport::writeFile(inputs->filePath("junk.mp3"),
            bytes.left(middle) + QByteArray(100, 'x') + bytes.mid(middle)));
        ASSERT_TRUE(testsupport::writeFile(inputs->filePath("joined.mp3"), bytes + bytes));
    }
    static void TearDownTestSuite() { delete inputs; }
    static inline QTemporaryDir* inputs = nullptr;
};

// Refused before any piece is written, each with its reason.
TEST_P(CopyRefusalTest, WritesNothing)
{
    const RefusalRow& row = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::copy(inputs->filePath(row.input), dir.filePath(row.input)));
    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        QStringList { "--input", row.input, "--out", "out" } + shortPieces + row.options,
        dir.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.standardError.contains(row.message)) << run.standardError.toStdString();
    EXPECT_TRUE(run.standardOutput.isEmpty());
    EXPECT_TRUE(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Inputs, CopyRefusalTest,
    ::testing::Values(
        RefusalRow { "Wav", "in.wav", {}, "--format copy needs MP3 audio; in.wav holds pcm_s16le" },
        RefusalRow { "Rate", "in.mp3", { "--rate", "22050" },
            "--format copy keeps the input's rate, channels and bit rate" },
        RefusalRow { "Channels", "in.mp3", { "--channels", "1" },
            "--format copy keeps the input's rate, channels and bit rate" },
        RefusalRow { "JunkBetweenFrames", "junk.mp3", {},
            "--format copy cannot cut junk.mp3 exactly: it holds something other than MP3 frames "
            "between its frames (try --format mp3)" },
        RefusalRow { "JoinedFiles", "joined.mp3", {}, "(try --format mp3)" }),
    [](const auto& info) { return std::string(info.param.name); });

// A file cut off in its last frame decodes that frame from what is there, in the pieces as in
// the whole file. It is named as recorders name files, with a colon that libavformat would
// otherwise take for a protocol's.
TEST(CopyDamagedTest, LastFrameCutShortStaysExact)
{
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::runFfmpeg(burstsAndPauses
        + QStringList { "-c:a", "libmp3lame", "-b:a", "128k", dir.filePath("full.mp3") }));
    const QByteArray full = fileBytes(dir.filePath("full.mp3"));
    const QString input = "2024-05-01T10:30.mp3";
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(input), full.left(full.size() - 200)));
    const QJsonArray pieces = split(dir, input, "out");
    ASSERT_FALSE(pieces.isEmpty());
    const QByteArray whole = decoded(dir.filePath(input));
    const QJsonValue last = pieces.last();
    EXPECT_EQ(last["endFrame"].toInteger() * 8, whole.size());
    EXPECT_TRUE(decoded(dir.filePath(last["path"].toString()))
        == whole.mid(last["startFrame"].toInteger() * 8));
}

// Under a size limit every piece stays within it, at a constant and a variable bit rate.
TEST(CopySizeLimitTest, NoPieceIsLarger)
{
    QTemporaryDir dir;
    for (const QStringList& encode :
        { QStringList { "-b:a", "320k" }, QStringList { "-q:a", "0" } }) {
        ASSERT_TRUE(testsupport::runFfmpeg(
            QStringList { "-f", "lavfi", "-i",
                "anoisesrc=a=1:c=white:r=44100:d=12,aformat=channel_layouts=stereo" }
            + QStringList { "-c:a", "libmp3lame" } + encode
            + QStringList { dir.filePath("in.mp3") }));
        const QJsonArray pieces
            = split(dir, "in.mp3", "out", { "--max-size", "150k", "--max", "1m" });
        ASSERT_GE(pieces.size(), 3);
        for (const QJsonValue piece : pieces)
            EXPECT_LE(QFileInfo(dir.filePath(piece["path"].toString())).size(), 150000);
        QDir(dir.filePath("out")).removeRecursively();
    }
}

} // namespace

namespace {

// A stop asked for while the analysis runs in this process ends it between two stretches: a
// one-pass copy keeps the pieces it finished, leaves no scratch file and names them; a dry run
// writes nothing.
TEST(CopyStopTest, EndsBetweenStretchesWithThePiecesWhole)
{
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::runFfmpeg(burstsAndPauses + QStringList { dir.filePath("in.mp3") }));
    for (const bool dryRun : { false, true }) {
        brevane::SplitStop stop;
        brevane::SplitOptions options;
        options.format = brevane::PieceFormat::Copy;
        options.onePass = true;
        options.dryRun = dryRun;
        options.stop = &stop;
        QList<brevane::Segment> pieces;
        QString error;
        const QString out = dir.filePath(dryRun ? "dry" : "out");
        EXPECT_FALSE(brevane::splitAudio(dir.filePath("in.mp3"), out, 3, 1, options, &pieces,
            &error, [&](const brevane::SplitProgress& progress) {
                if (progress.positionSeconds > 7)
                    stop.request();
            }));
        EXPECT_EQ(error, "Split stopped");
        QStringList complete;
        for (const brevane::Segment& piece : stop.completePieces)
            complete << QFileInfo(piece.filePath).fileName();
        EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden), complete);
        EXPECT_EQ(complete.isEmpty(), dryRun);
    }
}

} // namespace
