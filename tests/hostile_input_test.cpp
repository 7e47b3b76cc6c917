// Hostile and unusual inputs through the built program and the real ffmpeg. Every row ends
// either in status 0 with pieces that rejoin, sample for sample, to ffmpeg's own decoding of
// the input, or in status 1 with a reason on standard error and nothing on standard output;
// never in a signal, and the input file is never modified. tests/README.md lists the outcomes.

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>

namespace {

enum class SampleFormat { U8, S16, S24, F32 };

void appendSample(QByteArray& data, double value, SampleFormat format)
{
    char bytes[4];
    switch (format) {
    case SampleFormat::U8:
        data.append(char(std::uint8_t(128 + std::lround(value * 127))));
        return;
    case SampleFormat::S16:
        qToLittleEndian(std::int16_t(std::lround(value * 32767)), bytes);
        data.append(bytes, 2);
        return;
    case SampleFormat::S24:
        qToLittleEndian(std::int32_t(std::lround(value * 8388607)), bytes);
        data.append(bytes, 3);
        return;
    case SampleFormat::F32:
        qToLittleEndian(float(value), bytes);
        data.append(bytes, 4);
        return;
    }
}

// A tone, a different pitch on every channel, silent for the last 0.6 s of every second. With
// "--max 1s --tolerance 200ms" the pieces end in pauses and, where a pause comes too late, by
// force.
bool writeToneWav(const QString& path, int rate, int channels, SampleFormat format, int seconds = 3,
    int dataSizeFactor = 1)
{
    QByteArray data;
    const int frames = seconds * rate;
    for (int frame = 0; frame < frames; ++frame) {
        const bool pause = frame % rate >= rate * 2 / 5;
        for (int channel = 0; channel < channels; ++channel) {
            const double pitch = 220.0 + 110.0 * channel;
            appendSample(data,
                pause ? 0.0 : 0.4 * std::sin(2 * std::numbers::pi * pitch * frame / rate), format);
        }
    }
    const int bits = format == SampleFormat::U8 ? 8
        : format == SampleFormat::S16           ? 16
        : format == SampleFormat::S24           ? 24
                                                : 32;
    return testsupport::writeWavFile(path, rate, channels, bits,
        format == SampleFormat::F32 ? 3 : 1, data, qint64(data.size()) * dataSizeFactor);
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeTruncatedMp3(const QString& path)
{
    const QString wav = path + QStringLiteral(".source.wav");
    const QString mp3 = path + QStringLiteral(".whole.mp3");
    if (!writeToneWav(wav, 44100, 2, SampleFormat::S16, 9)
        || !testsupport::runFfmpeg({ QStringLiteral("-i"), wav, mp3 }))
        return false;
    const QByteArray whole = readBytes(mp3);
    return testsupport::writeFile(path, whole.left(whole.size() / 3));
}

bool writeRandomBytes(const QString& path)
{
    std::mt19937 generator(6);
    QByteArray bytes;
    for (int i = 0; i < 20000; ++i)
        bytes.append(char(generator() & 0xFF));
    return testsupport::writeFile(path, bytes);
}

// A Core Audio file, which libavformat recognises whatever its name, whose header declares
// 2^31 - 1 channels of 16-bit PCM.
bool writeCafWithHugeChannelCount(const QString& path)
{
    QByteArray bytes("caff\x00\x01\x00\x00", 8);
    auto appendBig = [&bytes](auto value) {
        char buffer[sizeof value];
        qToBigEndian(value, buffer);
        bytes.append(buffer, sizeof value);
    };
    bytes.append("desc");
    appendBig(std::int64_t(32));
    appendBig(8000.0);
    bytes.append("lpcm");
    appendBig(std::uint32_t(2)); // little-endian samples
    appendBig(std::uint32_t(4)); // bytes per packet
    appendBig(std::uint32_t(1)); // frames per packet
    appendBig(std::uint32_t(0x7FFFFFFF)); // channels
    appendBig(std::uint32_t(16)); // bits per channel
    bytes.append("data");
    appendBig(std::int64_t(204));
    bytes.append(QByteArray(204, '\x01'));
    return testsupport::writeFile(path, bytes);
}

struct HostileInput {
    std::string name;
    QString inputName; // relative to the working directory of the run
    std::function<bool(const QString&)> make;
    QString outArgument; // empty: the default beside the input
    QString printedOutputDir; // the directory as the result lines show it
    // Expected reason: the start of the last line on standard error. Empty: pieces expected.
    QString reason;
    int rate;
    int channels;
    // ffmpeg writes the extensible header (with a PCM sub-format) beyond two channels or 48 kHz.
    int formatTag;
};

// Every row that splits gives 4 pieces: the three 1 s pauses of its 3 s, or of the part of the
// file that decodes, and what follows the last cut.
constexpr qsizetype piecesPerInput = 4;

HostileInput pieces(const char* name, const QString& inputName,
    std::function<bool(const QString&)> make, int rate, int channels,
    const QString& printedOutputDir, const QString& outArgument = {})
{
    const int formatTag = channels > 2 || rate > 48000 ? 0xFFFE : 1;
    return { name, inputName, std::move(make), outArgument, printedOutputDir, {}, rate, channels,
        formatTag };
}

HostileInput refused(const char* name, const QString& inputName,
    std::function<bool(const QString&)> make, const QString& reason)
{
    return { name, inputName, std::move(make), {}, {}, reason, 0, 0, 0 };
}

void PrintTo(const HostileInput& row, std::ostream* out) { *out << row.name; }

auto toneWav(int rate, int channels, SampleFormat format, int dataSizeFactor = 1)
{
    return [=](const QString& path) {
        return writeToneWav(path, rate, channels, format, 3, dataSizeFactor);
    };
}

class HostileInputTest : public ::testing::TestWithParam<HostileInput> {
protected:
    // What ffmpeg itself decodes from the input, as 16-bit samples.
    QByteArray referenceDecoding(const QString& input) const
    {
        const QString raw = dir.filePath(QStringLiteral("reference.raw"));
        if (!testsupport::runFfmpeg(
                { QStringLiteral("-i"), input, QStringLiteral("-f"), QStringLiteral("s16le"),
                    QStringLiteral("-acodec"), QStringLiteral("pcm_s16le"), raw }))
            return {};
        return readBytes(raw);
    }

    QTemporaryDir dir;
};

TEST_P(HostileInputTest, EndsInWholePiecesOrInAReason)
{
    const HostileInput& row = GetParam();
    const QString input = dir.filePath(row.inputName);
    ASSERT_TRUE(row.make(input));
    const QByteArray original = readBytes(input);

    QStringList arguments { QStringLiteral("--input"), row.inputName, QStringLiteral("--max"),
        QStringLiteral("1s"), QStringLiteral("--tolerance"), QStringLiteral("200ms") };
    if (!row.outArgument.isEmpty())
        arguments << QStringLiteral("--out") << row.outArgument;
    const testsupport::ProcessResult run
        = testsupport::runProcess(testsupport::brevaneProgram(), arguments, dir.path());
    const std::string errorText = run.standardError.toStdString();

    ASSERT_TRUE(run.started);
    ASSERT_EQ(run.exitStatus, QProcess::NormalExit) << errorText;
    EXPECT_TRUE(readBytes(input) == original) << "the input was modified";

    if (!row.reason.isEmpty()) {
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.standardOutput.isEmpty()) << run.standardOutput.toStdString();
        // libavformat may log before the program's own message, which comes last.
        const QStringList lines
            = QString::fromUtf8(run.standardError).split(u'\n', Qt::SkipEmptyParts);
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines.last().startsWith(row.reason)) << errorText;
        return;
    }

    ASSERT_EQ(run.exitCode, 0) << errorText;
    const QStringList lines
        = QString::fromUtf8(run.standardOutput).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), piecesPerInput) << run.standardOutput.toStdString();
    const QDir printedDir(row.printedOutputDir);
    EXPECT_EQ(QDir(dir.filePath(row.printedOutputDir))
                  .entryList({ QStringLiteral("part_*.wav") }, QDir::Files)
                  .size(),
        lines.size());

    QByteArray joined;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString piecePath = printedDir.filePath(
            QStringLiteral("part_%1.wav").arg(i + 1, 3, 10, QLatin1Char('0')));
        EXPECT_TRUE(lines[i].startsWith(piecePath + u'\t')) << lines[i].toStdString();
        testsupport::WavInfo piece;
        ASSERT_TRUE(testsupport::readWav(dir.filePath(piecePath), &piece))
            << piecePath.toStdString();
        EXPECT_EQ(piece.format, row.formatTag);
        EXPECT_EQ(piece.bitsPerSample, 16);
        EXPECT_EQ(piece.sampleRate, row.rate);
        EXPECT_EQ(piece.channels, row.channels);
        joined += piece.data;
    }
    const QByteArray reference = referenceDecoding(input);
    ASSERT_FALSE(reference.isEmpty());
    EXPECT_TRUE(joined == reference)
        << "pieces hold " << joined.size() << " bytes, ffmpeg decodes " << reference.size();
}

INSTANTIATE_TEST_SUITE_P(Matrix, HostileInputTest,
    ::testing::Values(refused(
                          "ZeroLengthWav", QStringLiteral("empty.wav"),
                          [](const QString& path) { return testsupport::writeFile(path, {}); },
                          QStringLiteral("Unable to open audio file 'empty.wav': ")),
        refused("RandomBytesNamedMp3", QStringLiteral("random.mp3"), writeRandomBytes,
            QStringLiteral("Unable to open audio file 'random.mp3': ")),
        pieces("Mp3CutToAThird", QStringLiteral("third.mp3"), writeTruncatedMp3, 44100, 2,
            QStringLiteral("./third_parts")),
        pieces("WavClaimingTenTimesItsData", QStringLiteral("claims.wav"),
            toneWav(8000, 1, SampleFormat::S16, 10), 8000, 1, QStringLiteral("./claims_parts")),
        pieces("Unsigned8Bit", QStringLiteral("u8.wav"), toneWav(22050, 1, SampleFormat::U8), 22050,
            1, QStringLiteral("./u8_parts")),
        pieces("Signed24Bit", QStringLiteral("s24.wav"), toneWav(48000, 2, SampleFormat::S24),
            48000, 2, QStringLiteral("./s24_parts")),
        pieces("Float32", QStringLiteral("f32.wav"), toneWav(44100, 2, SampleFormat::F32), 44100, 2,
            QStringLiteral("./f32_parts")),
        pieces("Rate8000Mono", QStringLiteral("low.wav"), toneWav(8000, 1, SampleFormat::S16), 8000,
            1, QStringLiteral("./low_parts")),
        pieces("Rate192000", QStringLiteral("high.wav"), toneWav(192000, 2, SampleFormat::S16),
            192000, 2, QStringLiteral("./high_parts")),
        pieces("EightChannels", QStringLiteral("wide.wav"), toneWav(48000, 8, SampleFormat::S16),
            48000, 8, QStringLiteral("./wide_parts")),
        refused("HugeChannelCountDeclared", QStringLiteral("crafted.wav"),
            writeCafWithHugeChannelCount, QStringLiteral("Audio decoding produced no samples")),
        pieces("Blanks", QStringLiteral("my recording.wav"), toneWav(8000, 2, SampleFormat::S16),
            8000, 2, QStringLiteral("my pieces"), QStringLiteral("my pieces")),
        pieces("NonAsciiLetters", QStringLiteral("Stra\u00dfe \u00e9t\u00e9 \u6771\u4eac.wav"),
            toneWav(8000, 2, SampleFormat::S16), 8000, 2, QStringLiteral("\u00c5rhus \u0416"),
            QStringLiteral("\u00c5rhus \u0416")),
        pieces("Placeholders", QStringLiteral("take %1 of %2.wav"),
            toneWav(8000, 1, SampleFormat::S16), 8000, 1, QStringLiteral("out %2%1"),
            QStringLiteral("out %2%1")),
        refused(
            "PlaceholdersInARefusedName", QStringLiteral("not audio %2 %1.mp3"),
            [](const QString& path) { return testsupport::writeFile(path, "hello there\n"); },
            QStringLiteral("Unable to open audio file 'not audio %2 %1.mp3': ")),
        pieces("NameBeginningWithDash", QStringLiteral("-take.wav"),
            toneWav(8000, 1, SampleFormat::S16), 8000, 1, QStringLiteral("./-take_parts")),
        // ffmpeg would read "-pieces/part_001.wav" as an option; the lines show it as typed.
        pieces("OutputFolderBeginningWithDash", QStringLiteral("take.wav"),
            toneWav(8000, 1, SampleFormat::S16), 8000, 1, QStringLiteral("-pieces"),
            QStringLiteral("-pieces"))),
    [](const auto& info) { return info.param.name; });

} // namespace
