// Tagged pieces: the values every piece carries, the ID3v2.3 tag as ffprobe reads it back, and
// the pieces of each format in both modes through the built program and the real ffmpeg, named
// by a template, read back with ffprobe (title, track, album, a carried tag, the cover and its
// bytes), also within a size limit.

#include "pieces/id3_tag.h"
#include "pieces/piece_tags.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using brevane::detail::CoverPicture;
using brevane::detail::InputTags;
using brevane::detail::TagValue;

using testsupport::fileBytes;

// A PNG of random pixels, which does not compress: some 5 kB at 40 pixels a side.
bool makeCover(const QString& path, int side = 40)
{
    return testsupport::runFfmpeg({ "-f", "rawvideo", "-pixel_format", "rgb24", "-video_size",
        QStringLiteral("%1x%1").arg(side), "-i", "/dev/urandom", "-frames:v", "1", path });
}

// The tags ffprobe reads from a file, its own and its audio stream's (Ogg keeps them there),
// keys in lower case; and how many attached pictures it shows.
struct ReadTags {
    QJsonObject tags;
    int pictures = 0;
};

ReadTags probeTags(const QString& path)
{
    const testsupport::ProcessResult probe = testsupport::runProcess(QStringLiteral("ffprobe"),
        { "-v", "error", "-show_entries",
            "format_tags:stream_tags:stream=codec_type:stream_disposition=attached_pic", "-of",
            "json", path });
    const QJsonDocument document = QJsonDocument::fromJson(probe.standardOutput);
    ReadTags read;
    const auto add = [&](const QJsonObject& tags) {
        for (auto it = tags.begin(); it != tags.end(); ++it)
            read.tags.insert(it.key().toLower(), it.value());
    };
    add(document["format"]["tags"].toObject());
    for (const QJsonValue stream : document["streams"].toArray()) {
        if (stream["codec_type"] == "audio")
            add(stream["tags"].toObject());
        read.pictures += stream["disposition"]["attached_pic"].toInt();
    }
    return read;
}

// The picture as the file holds it.
QByteArray coverBytes(const QString& path)
{
    return testsupport::runProcess(QStringLiteral("ffmpeg"),
        { "-v", "error", "-i", path, "-map", "0:v", "-c", "copy", "-f", "data", "-" })
        .standardOutput;
}

struct ValuesRow {
    const char* name;
    QList<TagValue> input;
    qsizetype number;
    qsizetype count;
    QList<TagValue> expected;
};

void PrintTo(const ValuesRow& row, std::ostream* out) { *out << row.name; }

class PieceTagValuesTest : public ::testing::TestWithParam<ValuesRow> { };

TEST_P(PieceTagValuesTest, TitleAlbumTrackAndWhatIsCarried)
{
    const ValuesRow& row = GetParam();
    InputTags input;
    input.entries = row.input;
    EXPECT_EQ(
        brevane::detail::pieceTagValues(input, "the stem", row.number, row.count), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Inputs, PieceTagValuesTest,
    ::testing::Values(
        ValuesRow { "TitleAndAlbum",
            { { "artist", "Ann" }, { "title", "Talk" }, { "album", "Series" } }, 2, 12,
            { { "title", "Talk (2/12)" }, { "album", "Series" }, { "track", "2/12" },
                { "artist", "Ann" } } },
        ValuesRow { "TitleIsTheAlbum", { { "title", "Talk" } }, 12, 12,
            { { "title", "Talk (12/12)" }, { "album", "Talk" }, { "track", "12/12" } } },
        ValuesRow { "StemWithoutATitle", {}, 1, 3,
            { { "title", "the stem (1/3)" }, { "album", "the stem" }, { "track", "1/3" } } },
        ValuesRow { "CountNotKnownYet", { { "title", "Talk" } }, 3, 0,
            { { "title", "Talk (3)" }, { "album", "Talk" }, { "track", "3" } } },
        // What is true of the input file and not of a piece stays behind; an empty tag too.
        ValuesRow { "InputFileTagsLeftOut",
            { { "track", "4/9" }, { "tracktotal", "9" }, { "tlen", "7200000" },
                { "encoder", "Lavf" }, { "itunsmpb", "00000000" }, { "genre", "Speech" },
                { "comment", "" } },
            1, 2,
            { { "title", "the stem (1/2)" }, { "album", "the stem" }, { "track", "1/2" },
                { "genre", "Speech" } } }),
    [](const auto& info) { return std::string(info.param.name); });

// The tag put into an MP3 that ffmpeg wrote with room for it: ffprobe reads every value back,
// text beyond ASCII, a date, a comment, a frame of its own name and a name of the tag's own
// among them, and the cover; nothing after the tag moves. A tag larger than the room is refused.
TEST(Id3TagTest, ReadsBackAsWrittenInPlace)
{
    QTemporaryDir dir;
    const QString mp3 = dir.filePath("in.mp3");
    ASSERT_TRUE(testsupport::runFfmpeg({ "-f", "lavfi", "-i", "sine=d=0.5", "-c:a", "libmp3lame",
        "-fflags", "+bitexact", "-id3v2_version", "3", "-metadata_header_padding", "8000", mp3 }));
    ASSERT_TRUE(makeCover(dir.filePath("cover.png")));
    const CoverPicture cover { fileBytes(dir.filePath("cover.png")), "image/png", 40, 40 };
    const QList<TagValue> values { { "title", "Über das Meer (2/7)" }, { "album", "Ωmega" },
        { "track", "2/7" }, { "artist", "Ann" }, { "album_artist", "Ann & Bo" },
        { "date", "2021-05-03" }, { "comment", "read twice" }, { "tsrc", "GBAYE0601498" },
        { "mood", "calm" }, { "genre", "Speech" } };
    const QByteArray tag = brevane::detail::id3v2Tag(values, cover);
    EXPECT_EQ(brevane::detail::id3v2Tag(values, cover, tag.size() + 99).size(), tag.size() + 99);

    const QByteArray before = fileBytes(mp3);
    QString error;
    ASSERT_TRUE(brevane::detail::replaceId3v2Tag(mp3, tag, &error)) << error.toStdString();
    const QByteArray after = fileBytes(mp3);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(after.mid(8010) == before.mid(8010));

    const ReadTags read = probeTags(mp3);
    const QJsonObject expected { { "title", "Über das Meer (2/7)" }, { "album", "Ωmega" },
        { "track", "2/7" }, { "artist", "Ann" }, { "album_artist", "Ann & Bo" },
        { "date", "2021-05-03" }, { "comment", "read twice" }, { "tsrc", "GBAYE0601498" },
        { "mood", "calm" }, { "genre", "Speech" } };
    EXPECT_EQ(read.tags, expected);
    EXPECT_EQ(read.pictures, 1);
    EXPECT_TRUE(coverBytes(mp3) == cover.bytes);

    EXPECT_FALSE(brevane::detail::replaceId3v2Tag(
        mp3, brevane::detail::id3v2Tag(values, cover, 8011), &error));
    EXPECT_EQ(error, "Failed to write " + mp3 + ": its ID3v2 tag leaves no room for the tags");
}

struct TaggedRow {
    const char* name;
    const char* format;
    bool onePass;
    // 0: no limit, and the input an MP3 with a title, an artist and a cover. Otherwise full-scale
    // white noise in FLAC with a cover, cut by the limit.
    qint64 maxSize = 0;
    // Pixels a side of the cover.
    int coverSide = 40;
};

void PrintTo(const TaggedRow& row, std::ostream* out) { *out << row.name; }

class TaggedPiecesTest : public ::testing::TestWithParam<TaggedRow> { };

TEST_P(TaggedPiecesTest, EveryPieceSaysItsPlaceAndShowsTheCover)
{
    const TaggedRow& row = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(makeCover(dir.filePath("cover.png"), row.coverSide));
    const QString input = row.maxSize > 0 ? "Noise.flac" : "Über Talk.mp3";
    const QStringList audio = row.maxSize > 0
        ? QStringList { "-f", "lavfi", "-i",
              "anoisesrc=a=1:d=4:r=44100:seed=1[l];anoisesrc=a=1:d=4:r=44100:seed=2[r];"
              "[l][r]amerge",
              "-c:a", "flac" }
        : QStringList { "-f", "lavfi", "-i",
              "sine=d=3:f=330,volume=0:enable='between(t,0.9,1.4)+between(t,1.9,2.4)'", "-ac", "2",
              "-c:a", "libmp3lame", "-metadata", "title=Über Talk", "-metadata", "artist=Ann" };
    ASSERT_TRUE(testsupport::runFfmpeg(QStringList { "-i", dir.filePath("cover.png") } + audio
        + QStringList { "-map", "1:a", "-map", "0:v", "-c:v", "copy", "-disposition:v",
            "attached_pic", dir.filePath(input) }));

    QStringList arguments { "--input", input, "--out", "out", "--format", row.format, "--tags",
        "--name", "{stem} - {n:2}", "--json", "--any-input" };
    if (row.onePass)
        arguments << "--one-pass";
    if (row.maxSize > 0)
        arguments << "--max-size" << QString::number(row.maxSize);
    else
        arguments << "--max"
                  << "1s"
                  << "--tolerance"
                  << "200ms"
                  << "--min-silence"
                  << "300ms";
    const testsupport::ProcessResult run
        = testsupport::runProcess(testsupport::brevaneProgram(), arguments, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();
    const QJsonArray pieces = QJsonDocument::fromJson(run.standardOutput)["pieces"].toArray();
    ASSERT_EQ(pieces.size(), 3);

    const QString stem = QFileInfo(input).completeBaseName();
    const QString title = row.maxSize > 0 ? stem : "Über Talk";
    const QByteArray cover = fileBytes(dir.filePath("cover.png"));
    QStringList names;
    qint64 largest = 0;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const QString suffix = QByteArray(row.format) == "copy" ? "mp3" : row.format;
        names << QStringLiteral("%1 - 0%2.%3").arg(stem).arg(i + 1).arg(suffix);
        const QString path = dir.filePath("out/" + names.last());
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(pieces[i]["path"].toString(), "out/" + names.last());
        const QString position = QStringLiteral("%1/3").arg(i + 1);
        const ReadTags read = probeTags(path);
        EXPECT_EQ(read.tags["title"].toString(), title + " (" + position + ")");
        EXPECT_EQ(read.tags["track"].toString(), position);
        EXPECT_EQ(read.tags["album"].toString(), title);
        EXPECT_EQ(read.tags["artist"].toString(), row.maxSize > 0 ? "" : "Ann");
        EXPECT_EQ(read.pictures, 1);
        // The same picture in every piece; one read back whole is enough.
        EXPECT_TRUE(i > 0 || coverBytes(path) == cover);
        const qint64 size = QFileInfo(path).size();
        EXPECT_TRUE(row.maxSize == 0 || size <= row.maxSize) << size;
        largest = std::max(largest, size);
    }
    // MP3 and Opus pieces under a limit are bounded exactly, the tags included, and white noise
    // fills the longest; FLAC's bound is looser.
    const double fill = QByteArray(row.format) == "flac" ? 0.90 : 0.99;
    EXPECT_TRUE(row.maxSize == 0 || largest >= fill * double(row.maxSize)) << largest;
    // No scratch file is left beside the pieces.
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden), names);
}

INSTANTIATE_TEST_SUITE_P(Formats, TaggedPiecesTest,
    ::testing::Values(TaggedRow { "Mp3", "mp3", false }, TaggedRow { "Mp3OnePass", "mp3", true },
        TaggedRow { "Flac", "flac", false }, TaggedRow { "FlacOnePass", "flac", true },
        TaggedRow { "Opus", "opus", false }, TaggedRow { "OpusOnePass", "opus", true },
        // The input's own frames, the tag written by brevane in place of the input's.
        TaggedRow { "Copy", "copy", false }, TaggedRow { "CopyOnePass", "copy", true },
        // A cover of 120 kB, whose comment header spans three Ogg pages where ffmpeg wrote one:
        // the audio pages are renumbered, and the count rewritten over the three in place.
        TaggedRow { "OpusLargeCoverOnePass", "opus", true, 0, 200 },
        // Noise at 128 kbit/s: 16 kB a second, so pieces of about 1.3 s.
        TaggedRow { "Mp3UnderALimitOnePass", "mp3", true, 30000 },
        // Stereo FLAC of noise: up to 182 kB a second.
        TaggedRow { "FlacUnderALimit", "flac", false, 270000 },
        // 96 kbit/s at a constant rate: 12 kB a second.
        TaggedRow { "OpusUnderALimit", "opus", false, 25000 }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
