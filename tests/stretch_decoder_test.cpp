// Stretches of an input decoded in this process: the whole decode equals the decoder child's
// bytes, and any stretch, decoded on its own or after another, equals the same frames of it.
// MP3s of every kind the bit reservoir reaches differently (bit rates, VBR, mono, MPEG-2), and
// PCM WAV files of each sample width.

#include "input/decode_pipe.h"
#include "input/mp3_index.h"
#include "input/stream_probe.h"
#include "input/stretch_decoder.h"
#include "test_support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

using namespace brevane::detail;

namespace {

struct InputRow {
    const char* name;
    QStringList encode; // ffmpeg output options for 6 s of tone bursts and pauses
    const char* suffix;
};

void PrintTo(const InputRow& row, std::ostream* out) { *out << row.name; }

class StretchDecoderTest : public ::testing::TestWithParam<InputRow> {
protected:
    void SetUp() override
    {
        const InputRow& row = GetParam();
        input = dir.filePath(QStringLiteral("input.") + row.suffix);
        ASSERT_TRUE(testsupport::runFfmpeg(QStringList { "-f", "lavfi", "-i",
                                               "aevalsrc='(0.4*sin(440*2*PI*t)+0.2*(random(0)-0.5))"
                                               "*lt(mod(t,1.5),1)':s=44100:c=stereo:d=6" }
            + row.encode + QStringList { input }));
        ASSERT_TRUE(probeAudioStream(input, &stream, nullptr));
        if (QString::fromLatin1(row.suffix) == QLatin1String("mp3")) {
            ASSERT_TRUE(indexMp3Stream(input, stream.streamIndex, &index, nullptr));
            ASSERT_TRUE(index.regular()) << index.irregularity.toStdString();
        }
        QString why;
        decoder = openStretchDecoder(input, stream, index.packets.empty() ? nullptr : &index, &why);
        ASSERT_TRUE(decoder) << why.toStdString();
    }

    QByteArray stretch(std::int64_t from, std::int64_t to)
    {
        QByteArray floats;
        EXPECT_TRUE(decoder->decode(
            from, to,
            [&](QByteArray& chunk) {
                floats.append(chunk);
                return true;
            },
            nullptr));
        return floats;
    }

    QTemporaryDir dir;
    QString input;
    StreamInfo stream;
    Mp3Index index;
    std::unique_ptr<StretchDecoder> decoder;
};

TEST_P(StretchDecoderTest, EveryStretchEqualsTheDecoderChildsFrames)
{
    const QByteArray whole
        = testsupport::runProcess(QStringLiteral("ffmpeg"), decodeArguments(input, stream))
              .standardOutput;
    const qsizetype frameBytes = qsizetype(stream.channelCount) * 4;
    ASSERT_EQ(decoder->totalFrames() * frameBytes, whole.size());
    EXPECT_TRUE(stretch(0, decoder->totalFrames()) == whole);

    // Stretches anywhere, of any length, some going on from the one before.
    std::mt19937 random(7);
    std::int64_t from = 0;
    for (int i = 0; i < 40; ++i) {
        if (i % 3 != 0)
            from = std::uniform_int_distribution<std::int64_t>(0, decoder->totalFrames() - 1)(
                random);
        const std::int64_t to = std::min(decoder->totalFrames(),
            from + std::uniform_int_distribution<std::int64_t>(1, 30000)(random));
        ASSERT_TRUE(stretch(from, to) == whole.mid(from * frameBytes, (to - from) * frameBytes))
            << "frames " << from << " to " << to;
        from = to == decoder->totalFrames() ? 0 : to;
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, StretchDecoderTest,
    ::testing::Values(InputRow { "Mp3Cbr128", { "-c:a", "libmp3lame", "-b:a", "128k" }, "mp3" },
        InputRow { "Mp3Cbr32", { "-c:a", "libmp3lame", "-b:a", "32k" }, "mp3" },
        InputRow { "Mp3Vbr", { "-c:a", "libmp3lame", "-q:a", "6" }, "mp3" },
        InputRow { "Mp3Mono22k",
            { "-ac", "1", "-ar", "22050", "-c:a", "libmp3lame", "-b:a", "24k" }, "mp3" },
        InputRow { "Wav16", { "-c:a", "pcm_s16le" }, "wav" },
        InputRow { "Wav24", { "-c:a", "pcm_s24le" }, "wav" },
        InputRow { "WavFloat", { "-c:a", "pcm_f32le" }, "wav" },
        InputRow { "Wav8", { "-ac", "1", "-c:a", "pcm_u8" }, "wav" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
