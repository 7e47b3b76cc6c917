// The streaming piece writer through its own interface: frames appended in uneven chunks and
// cut far behind the last one, the headers ffprobe reads back, the open piece's header kept up
// to date, and RF64 past the size limit. What failures leave is checked through the program, in
// one_pass_test, and what a killed run leaves in interruption_test.

#include "pieces/wav_piece_writer.h"
#include "test_support.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

using brevane::detail::WavPieceWriter;

namespace {

// Frame f holds the samples f * 8 + channel, so that a frame out of place shows.
QByteArray frames(std::int64_t first, std::int64_t count, int channels)
{
    QByteArray bytes;
    for (std::int64_t frame = first; frame < first + count; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            char sample[2];
            qToLittleEndian(std::int16_t(frame * 8 + channel), sample);
            bytes.append(sample, 2);
        }
    }
    return bytes;
}

using testsupport::fileBytes;

std::uint32_t le32(const QByteArray& bytes, qsizetype offset)
{
    return qFromLittleEndian<std::uint32_t>(bytes.constData() + offset);
}

// What ffprobe makes of a file: "codec,channels,rate,samples".
QString probed(const QString& path)
{
    const testsupport::ProcessResult run = testsupport::runProcess(QStringLiteral("ffprobe"),
        { "-v", "error", "-count_packets", "-show_entries",
            "stream=codec_name,channels,sample_rate,duration_ts", "-of", "csv=p=0", path });
    return QString::fromUtf8(run.standardOutput).trimmed();
}

struct Layout {
    const char* name;
    int channels;
    int rate;
    std::uint64_t mask;
    int formatTag;
    int headerBytes;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class WavPieceWriterTest : public ::testing::TestWithParam<Layout> {
protected:
    QString path(int piece) const { return dir.filePath(QStringLiteral("part_%1.wav").arg(piece)); }
    QTemporaryDir dir;
};

TEST_P(WavPieceWriterTest, CutsBehindTheLastFramesAndMovesThemOn)
{
    const Layout& layout = GetParam();
    WavPieceWriter writer({ layout.rate, layout.channels, layout.mask, 5000 });
    writer.begin(path(1));
    QString error;
    // 3000 frames in chunks of 1, 999 and 2000; the first cut lies 2990 frames back, the
    // second at the very end of what has arrived, which leaves the third piece to come.
    const std::int64_t chunks[][2] = { { 0, 1 }, { 1, 999 }, { 1000, 2000 } };
    for (const auto& chunk : chunks) {
        const QByteArray bytes = frames(chunk[0], chunk[1], layout.channels);
        ASSERT_TRUE(writer.append(bytes.constData(), chunk[1], &error)) << error.toStdString();
    }
    ASSERT_TRUE(writer.cutAt(10, path(2), &error)) << error.toStdString();
    ASSERT_TRUE(writer.cutAt(3000, path(3), &error)) << error.toStdString();
    EXPECT_EQ(writer.pieceNumber(), 3);
    EXPECT_FALSE(QFile::exists(path(3))) << "made before its first frame";
    const QByteArray tail = frames(3000, 7, layout.channels);
    ASSERT_TRUE(writer.append(tail.constData(), 7, &error));
    ASSERT_TRUE(writer.finish(&error)) << error.toStdString();

    const std::int64_t cuts[] = { 0, 10, 3000, 3007 };
    for (int piece = 1; piece <= 3; ++piece) {
        SCOPED_TRACE(piece);
        const std::int64_t count = cuts[piece] - cuts[piece - 1];
        const QByteArray bytes = fileBytes(path(piece));
        ASSERT_EQ(bytes.size(), layout.headerBytes + count * 2 * layout.channels);
        EXPECT_EQ(bytes.left(4), "RIFF");
        EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);
        EXPECT_EQ(le32(bytes, layout.headerBytes - 4), bytes.size() - layout.headerBytes);
        if (layout.formatTag == 0xFFFE) {
            EXPECT_EQ(le32(bytes, 40), layout.mask);
        }
        testsupport::WavInfo info;
        ASSERT_TRUE(testsupport::readWav(path(piece), &info));
        EXPECT_EQ(info.format, layout.formatTag);
        EXPECT_EQ(info.bitsPerSample, 16);
        EXPECT_EQ(info.data, frames(cuts[piece - 1], count, layout.channels));
        EXPECT_EQ(probed(path(piece)),
            QStringLiteral("pcm_s16le,%1,%2,%3").arg(layout.rate).arg(layout.channels).arg(count));
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, WavPieceWriterTest,
    ::testing::Values(Layout { "Mono8k", 1, 8000, 0x4, 1, 44 },
        Layout { "Stereo48k", 2, 48000, 0x3, 1, 44 },
        // Beyond two channels or 48 kHz, as ffmpeg writes them: the extensible format.
        Layout { "Stereo96k", 2, 96000, 0x3, 0xFFFE, 68 },
        Layout { "Surround71", 8, 44100, 0x63F, 0xFFFE, 68 }),
    [](const auto& info) { return std::string(info.param.name); });

// The open piece's header follows the frames as they arrive and never gets ahead of them: after
// each call less than a second is left unstated, and frames moved on by a cut are stated at once.
// (Within a call, the audio goes out in slices of four seconds, each stated once written.)
TEST(WavPieceWriterHeaderTest, StatesTheOpenPieceAsItGrows)
{
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.wav"));
    const QString second = dir.filePath(QStringLiteral("second.wav"));
    // 100 Hz mono: a second is 100 frames of 2 bytes.
    WavPieceWriter writer({ 100, 1, 0x4, 10000 });
    writer.begin(first);
    const auto statedAndHeld = [](const QString& path) {
        const QByteArray bytes = fileBytes(path);
        return std::pair<qint64, qint64>(le32(bytes, 40) / 2, (bytes.size() - 44) / 2);
    };
    QString error;
    std::int64_t appended = 0;
    for (const std::int64_t count : { 1, 99, 37, 250, 3, 1000 }) {
        const QByteArray bytes = frames(appended, count, 1);
        ASSERT_TRUE(writer.append(bytes.constData(), count, &error)) << error.toStdString();
        appended += count;
        const auto [stated, held] = statedAndHeld(first);
        EXPECT_EQ(held, appended);
        EXPECT_TRUE(stated <= held && stated > held - 100) << stated << " of " << held;
    }
    ASSERT_TRUE(writer.cutAt(10, second, &error)) << error.toStdString();
    const auto moved = statedAndHeld(second);
    EXPECT_TRUE(moved.first == appended - 10 && moved.second == appended - 10);
}

// With a limit of 10,000 bytes in place of 4 GiB: pieces that might pass it keep room for the
// 64-bit sizes, and one that does pass it becomes RF64, which ffprobe reads in full.
TEST(WavPieceWriterRf64Test, BecomesRf64OnlyPastTheLimit)
{
    QTemporaryDir dir;
    WavPieceWriter::Format format { 8000, 2, 0x3, 4000, 10000 };
    WavPieceWriter writer(format);
    const QString small = dir.filePath(QStringLiteral("small.wav"));
    const QString large = dir.filePath(QStringLiteral("large.wav"));
    writer.begin(small);
    const QByteArray bytes = frames(0, 3000, 2);
    QString error;
    ASSERT_TRUE(writer.append(bytes.constData(), 3000, &error));
    ASSERT_TRUE(writer.cutAt(100, large, &error)) << error.toStdString();
    ASSERT_TRUE(writer.finish(&error)) << error.toStdString();

    const QByteArray smallBytes = fileBytes(small);
    EXPECT_EQ(smallBytes.left(4), "RIFF");
    EXPECT_EQ(smallBytes.mid(12, 4), "JUNK");
    EXPECT_EQ(le32(smallBytes, 4), smallBytes.size() - 8);
    EXPECT_EQ(probed(small), QStringLiteral("pcm_s16le,8000,2,100"));

    const QByteArray largeBytes = fileBytes(large);
    ASSERT_EQ(largeBytes.size(), 80 + 2900 * 4);
    EXPECT_EQ(largeBytes.left(4), "RF64");
    EXPECT_EQ(le32(largeBytes, 4), 0xFFFFFFFFu);
    EXPECT_EQ(largeBytes.mid(12, 4), "ds64");
    EXPECT_EQ(qFromLittleEndian<std::uint64_t>(largeBytes.constData() + 20), 80 - 8 + 2900 * 4);
    EXPECT_EQ(qFromLittleEndian<std::uint64_t>(largeBytes.constData() + 28), 2900 * 4);
    EXPECT_EQ(le32(largeBytes, 76), 0xFFFFFFFFu);
    EXPECT_EQ(probed(large), QStringLiteral("pcm_s16le,8000,2,2900"));
}

// Sizes are counted without wrapping: a longest piece of 2^62 stereo frames is 2^64 bytes,
// which must keep room for RF64, and a frame wider than the header's 16-bit fields can state
// is refused before a file is made.
TEST(WavPieceWriterRf64Test, CountsSizesWithoutWrapping)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("part_001.wav"));
    QString error;
    {
        WavPieceWriter writer({ 8000, 2, 0x3, std::int64_t(1) << 62 });
        writer.begin(path);
        const QByteArray bytes = frames(0, 10, 2);
        ASSERT_TRUE(writer.append(bytes.constData(), 10, &error)) << error.toStdString();
        ASSERT_TRUE(writer.finish(&error)) << error.toStdString();
    }
    EXPECT_EQ(fileBytes(path).mid(12, 4), "JUNK");

    WavPieceWriter wide({ 8000, 40000, 0, 100 });
    const QString widePath = dir.filePath(QStringLiteral("wide.wav"));
    wide.begin(widePath);
    const QByteArray frame(80000, '\0');
    EXPECT_FALSE(wide.append(frame.constData(), 1, &error));
    EXPECT_EQ(error,
        QStringLiteral("Failed to write %1: Value too large for defined data type").arg(widePath));
    EXPECT_FALSE(QFile::exists(widePath));
}

} // namespace
