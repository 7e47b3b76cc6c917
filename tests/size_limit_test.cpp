// --max-size through the built program and the real ffmpeg, over the formats and both modes: on
// full-scale white noise (no pause, and the most bytes any audio takes) no piece file passes
// the size and the longest come within a few percent of it; on speech-like bursts between
// pauses no file passes it and the pieces are cut in the pauses of the smaller window.

#include "test_support.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct SizeRow {
    const char* name;
    qint64 bytes;
    QStringList options;
    int channels; // of the input, each its own noise
    int rate;
    int seconds; // of input: more than two of the longest pieces
    bool speech;
};

void PrintTo(const SizeRow& row, std::ostream* out) { *out << row.name; }

class SizeLimitTest : public ::testing::TestWithParam<SizeRow> { };

TEST_P(SizeLimitTest, NoPieceIsLargerAndNoiseFillsIt)
{
    const SizeRow& row = GetParam();
    QTemporaryDir dir;
    const QString source = row.speech
        ? "anoisesrc=a=0.3:c=pink:r=%1:d=%2:seed=%3,volume=0:enable='gt(mod(t,2.5),1.8)'"
        : "anoisesrc=a=1:c=white:r=%1:d=%2:seed=%3";
    QStringList generate;
    for (int channel = 1; channel <= row.channels; ++channel)
        generate += { "-f", "lavfi", "-i", source.arg(row.rate).arg(row.seconds).arg(channel) };
    ASSERT_TRUE(testsupport::runFfmpeg(generate
        + QStringList { "-filter_complex", QStringLiteral("amerge=inputs=%1").arg(row.channels),
            dir.filePath("in.wav") }));

    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        QStringList { "--input", "in.wav", "--out", "out", "--max", "10m", "--tolerance", "2m",
            "--max-size", QString::number(row.bytes), "--json" }
            + row.options,
        dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();
    const QJsonArray pieces = QJsonDocument::fromJson(run.standardOutput)["pieces"].toArray();
    ASSERT_GE(pieces.size(), 3);
    qint64 largest = 0;
    bool cutInSilence = false;
    for (const QJsonValue piece : pieces) {
        const qint64 bytes = QFileInfo(dir.filePath(piece["path"].toString())).size();
        EXPECT_LE(bytes, row.bytes) << piece["path"].toString().toStdString();
        largest = std::max(largest, bytes);
        cutInSilence = cutInSilence || piece["cut"] == "silence";
    }
    EXPECT_EQ(cutInSilence, row.speech);
    const double fill = row.options.contains("flac") ? 0.90 : 0.97;
    EXPECT_TRUE(row.speech || double(largest) >= fill * double(row.bytes)) << largest;
}

const QStringList onePass { "--one-pass" };

INSTANTIATE_TEST_SUITE_P(Formats, SizeLimitTest,
    ::testing::Values(SizeRow { "Wav", 200000, {}, 2, 44100, 3, false },
        // Resampled by an encoder child, which may give one sample more than the nearest count.
        SizeRow { "WavResampledOnePass", 100000,
            QStringList { "--rate", "16000", "--channels", "1" } + onePass, 2, 44100, 8, false },
        // The extensible header, and the program's own writer.
        SizeRow { "WavSixChannels96kHzOnePass", 1048576, onePass, 6, 96000, 3, false },
        SizeRow { "Flac", 300000, { "--format", "flac" }, 2, 44100, 5, false },
        // LAME takes the standard rate nearest the one asked for, 112k, not 96k; below 16 kHz
        // none above 64k.
        SizeRow { "Mp3Asking110k", 150000, { "--format", "mp3", "--bitrate", "110k" }, 2, 44100, 25,
            false },
        SizeRow { "Mp3At8kHzAsking100kOnePass", 100000,
            QStringList { "--format", "mp3", "--bitrate", "100k", "--rate", "8000" } + onePass, 1,
            8000, 28, false },
        SizeRow { "OpusFrom44kHz", 100000, { "--format", "opus" }, 2, 44100, 19, false },
        // Packets above 1275 bytes, whose pages close by their count of lacing values.
        SizeRow { "OpusThreeChannels512kOnePass", 1000000,
            QStringList { "--format", "opus", "--channels", "3", "--bitrate", "512k" } + onePass, 1,
            48000, 34, false },
        SizeRow { "WavSpeech", 200000, {}, 1, 16000, 20, true },
        SizeRow { "FlacSpeechOnePass", 150000, QStringList { "--format", "flac" } + onePass, 1,
            22050, 20, true }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
