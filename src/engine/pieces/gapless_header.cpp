#include "pieces/gapless_header.h"

extern "C" {
#include <libavutil/crc.h>
}

#include <algorithm>

namespace brevane::detail {

namespace {

    // The Xing fields (the text, the flags, the frame and byte counts, the 100-entry seek table
    // and the quality) and the LAME tag after them.
    constexpr int xingBytes = 4 + 4 + 4 + 4 + 100 + 4;
    constexpr int lameTagBytes = 36;
    constexpr int tableEntries = 100;

    void putBigEndian(QByteArray& bytes, int at, std::uint32_t value, int width)
    {
        for (int i = width - 1; i >= 0; --i, value >>= 8)
            bytes[at + i] = char(value & 0xFF);
    }

    int xingOffset(const Mp3FrameHeader& shape) { return 4 + shape.sideInfoBytes; }

    int headerBitRateIndex(const Mp3FrameHeader& shape, int first)
    {
        const int needed = xingOffset(shape) + xingBytes + lameTagBytes;
        int index = std::clamp(first, 1, 14);
        while (index < 14 && mp3FrameBytes(shape, index) < needed)
            ++index;
        return index;
    }

} // namespace

std::uint16_t lameCrc(std::uint16_t crc, const unsigned char* bytes, std::size_t size)
{
    return std::uint16_t(av_crc(av_crc_get_table(AV_CRC_16_ANSI_LE), crc, bytes, size));
}

int gaplessHeaderBytes(const Mp3FrameHeader& shape, int firstBitRateIndex)
{
    return mp3FrameBytes(shape, headerBitRateIndex(shape, firstBitRateIndex));
}

QByteArray gaplessHeaderFrame(const GaplessHeader& header, int firstBitRateIndex)
{
    const Mp3FrameHeader& shape = header.shape;
    const int bitRateIndex = headerBitRateIndex(shape, firstBitRateIndex);
    QByteArray frame(mp3FrameBytes(shape, bitRateIndex), '\0');
    putBigEndian(frame, 0, mp3HeaderWord(shape, bitRateIndex), 4);

    std::int64_t totalBytes = frame.size();
    for (const std::int32_t bytes : header.frameBytes)
        totalBytes += bytes;
    const int at = xingOffset(shape);
    frame.replace(at, 4, header.variableBitRate ? "Xing" : "Info");
    putBigEndian(frame, at + 4, 0x0F, 4); // frames, bytes, seek table, quality
    putBigEndian(frame, at + 8, std::uint32_t(header.frameBytes.size()), 4);
    putBigEndian(frame, at + 12, std::uint32_t(totalBytes), 4);
    // Entry i: where i percent of the frames have passed, in 256ths of the bytes.
    std::int64_t passed = frame.size();
    std::size_t counted = 0;
    const std::size_t frames = header.frameBytes.size();
    for (int i = 0; i < tableEntries; ++i) {
        const std::size_t upTo = std::size_t(std::int64_t(i) * std::int64_t(frames) / tableEntries);
        for (; counted < upTo; ++counted)
            passed += header.frameBytes[counted];
        const std::int64_t entry
            = i == 0 ? 0 : 256 * passed / std::max<std::int64_t>(totalBytes, 1);
        frame[at + 16 + i] = char(std::min<std::int64_t>(entry, 255));
    }

    if (header.encoder.isEmpty())
        return frame;
    const int lame = at + xingBytes;
    frame.replace(lame, 9, header.encoder.leftJustified(9, '\0', true));
    putBigEndian(frame, lame + 21,
        std::uint32_t(std::clamp(header.delay, 0, mostGaplessSamples)) << 12
            | std::uint32_t(std::clamp(header.padding, 0, mostGaplessSamples)),
        3);
    putBigEndian(frame, lame + 28, std::uint32_t(totalBytes), 4);
    putBigEndian(frame, lame + 32, header.framesCrc, 2);
    // Readers check the tag by the CRC of the frame up to the CRC itself.
    const int crcAt = lame + 34;
    putBigEndian(frame, crcAt,
        lameCrc(0, reinterpret_cast<const unsigned char*>(frame.constData()), std::size_t(crcAt)),
        2);
    return frame;
}

QByteArray mp3PrimingFrame(
    const Mp3FrameHeader& shape, std::uint32_t headerWord, const QByteArray& reservoir)
{
    const int regionStart = 4 + shape.sideInfoBytes;
    int bitRateIndex = 1;
    while (
        bitRateIndex <= 14 && mp3FrameBytes(shape, bitRateIndex) - regionStart < reservoir.size())
        ++bitRateIndex;
    if (bitRateIndex > 14)
        return {};
    QByteArray frame(mp3FrameBytes(shape, bitRateIndex), '\0');
    // The next frame's header, so that a reader finds the two alike, but this frame's bit rate,
    // without padding and without a CRC; the side information stays zero: every granule uses
    // no bits, and the main data begins in this frame.
    const std::uint32_t word
        = (headerWord & ~(0xFu << 12) & ~(1u << 9)) | 1u << 16 | std::uint32_t(bitRateIndex) << 12;
    putBigEndian(frame, 0, word, 4);
    frame.replace(frame.size() - reservoir.size(), reservoir.size(), reservoir);
    return frame;
}

} // namespace brevane::detail
