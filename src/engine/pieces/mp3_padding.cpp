#include "pieces/mp3_padding.h"

#include "error_text.h"
#include "pieces/gapless_header.h"
#include "pieces/piece_file.h"

#include <array>
#include <cstring>

namespace brevane::detail {

namespace {

    // The LAME tag after the "Info" (or "Xing") text: the 24-bit encoder delay and padding, 12
    // bits each, at 141; the 16-bit checksum at 154 over the first 190 bytes of the frame.
    constexpr int delayPaddingAt = 141;
    constexpr int tagChecksumAt = 154;
    constexpr int checksummedBytes = 190;
    // The longest side information, MPEG-1 stereo, before the "Info" text.
    constexpr int longestInfoOffset = 4 + 32;
    // What ffmpeg's MP3 writer adds to the samples its last packet discards, and so what it
    // records when that packet discards exactly one frame, as it does in the faulty case.
    constexpr std::int64_t writerPaddingOffset = 529;

    std::uint32_t bigEndian(const unsigned char* bytes, int width)
    {
        std::uint32_t value = 0;
        for (int i = 0; i < width; ++i)
            value = value << 8 | bytes[i];
        return value;
    }

    void putBigEndian(unsigned char* bytes, std::uint32_t value, int width)
    {
        for (int i = width - 1; i >= 0; --i, value >>= 8)
            bytes[i] = static_cast<unsigned char>(value & 0xFF);
    }

    // Where the first frame begins: after the ID3v2 tag ffmpeg writes first, whose size is
    // stated in 7-bit bytes, with a 10-byte footer when its flags say so.
    off_t firstFrameOffset(PieceFile& file)
    {
        const QByteArray id3 = file.read(0, 10);
        if (id3.size() < 10 || !id3.startsWith("ID3"))
            return 0;
        off_t size = 0;
        for (int i = 6; i < 10; ++i)
            size = size << 7 | (std::uint8_t(id3.at(i)) & 0x7F);
        return 10 + size + ((std::uint8_t(id3.at(5)) & 0x10) ? 10 : 0);
    }

} // namespace

bool repairMp3Padding(const QString& path, std::int64_t samples, QString* errorMessage)
{
    PieceFile file(path);
    if (!file.ok())
        return file.fail(errorMessage);
    const off_t frameStart = firstFrameOffset(file);
    std::array<unsigned char, longestInfoOffset + tagChecksumAt + 2> frame;
    const QByteArray start = file.read(frameStart, qsizetype(frame.size()));
    if (start.size() < qsizetype(frame.size()))
        return true;
    std::memcpy(frame.data(), start.constData(), frame.size());

    const std::uint32_t header = bigEndian(frame.data(), 4);
    const std::uint32_t version = (header >> 19) & 3; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    if ((header >> 21) != 0x7FF || version == 1)
        return true;
    const bool mpeg1 = version == 3;
    const bool mono = ((header >> 6) & 3) == 3;
    const int infoAt = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    unsigned char* info = frame.data() + infoAt;
    if ((std::memcmp(info, "Info", 4) != 0 && std::memcmp(info, "Xing", 4) != 0)
        || !(bigEndian(info + 4, 4) & 1)) // the frame count is present
        return true;

    const std::int64_t samplesPerFrame = mpeg1 ? 1152 : 576;
    const std::int64_t frames = bigEndian(info + 8, 4);
    const std::uint32_t delayPadding = bigEndian(info + delayPaddingAt, 3);
    const std::int64_t delay = delayPadding >> 12;
    const std::int64_t padding = delayPadding & 0xFFF;
    const std::int64_t rightPadding = frames * samplesPerFrame - delay - samples;
    // Only the faulty value is rewritten, and only with more padding, which 12 bits can state:
    // where the sample count is off by one (after resampling), a right value stays right.
    if (padding != samplesPerFrame + writerPaddingOffset || rightPadding <= padding
        || rightPadding > 0xFFF)
        return true;

    putBigEndian(info + delayPaddingAt, std::uint32_t(delay << 12 | rightPadding), 3);
    // ffmpeg sums the first 190 bytes of the frame as it built it: up to the checksum, then
    // zeros (the checksum's own bytes, the rest of a short frame, the tag's unused end).
    std::array<unsigned char, checksummedBytes> summed {};
    std::memcpy(summed.data(), frame.data(), std::size_t(infoAt + tagChecksumAt));
    const std::uint32_t checksum = lameCrc(0, summed.data(), summed.size());
    putBigEndian(info + tagChecksumAt, checksum, 2);

    const qsizetype changed = tagChecksumAt + 2 - delayPaddingAt;
    if (!file.write(frameStart + infoAt + delayPaddingAt,
            QByteArray(reinterpret_cast<const char*>(info + delayPaddingAt), changed)))
        return file.fail(errorMessage);
    return true;
}

} // namespace brevane::detail
