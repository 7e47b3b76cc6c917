#include "input/mp3_frames.h"

namespace brevane::detail {

namespace {

    // kbit/s by bit rate index: MPEG-1 layer III, then MPEG-2 and 2.5 layer III.
    constexpr int bitRates[2][15] = {
        { 0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320 },
        { 0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160 },
    };
    constexpr int mpeg1SampleRates[3] = { 44100, 48000, 32000 };

    // Reads bits most significant first, and reads zeros past the end, as the decoder's own
    // reader gives what lies beyond a frame cut short.
    class BitReader {
    public:
        BitReader(const unsigned char* bytes, std::size_t size, std::size_t start)
            : m_bytes(bytes)
            , m_size(size)
            , m_bit(start * 8)
        {
        }
        unsigned read(int count)
        {
            unsigned value = 0;
            for (int i = 0; i < count; ++i, ++m_bit) {
                const std::size_t byte = m_bit / 8;
                const unsigned bit = byte < m_size ? (m_bytes[byte] >> (7 - m_bit % 8)) & 1 : 0;
                value = value << 1 | bit;
            }
            return value;
        }
        void skip(int count) { m_bit += std::size_t(count); }

    private:
        const unsigned char* m_bytes;
        std::size_t m_size;
        std::size_t m_bit;
    };

} // namespace

int mp3FrameBytes(const Mp3FrameHeader& shape, int bitRateIndex)
{
    const bool mpeg1 = shape.version == 1;
    const int bitRate = 1000 * bitRates[mpeg1 ? 0 : 1][bitRateIndex];
    return (mpeg1 ? 144 : 72) * bitRate / shape.sampleRate;
}

bool parseMp3FrameHeader(const unsigned char* bytes, std::size_t size, Mp3FrameHeader* header)
{
    if (size < 4)
        return false;
    const std::uint32_t word = std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16
        | std::uint32_t(bytes[2]) << 8 | bytes[3];
    const unsigned versionBits = (word >> 19) & 3;
    const unsigned layerBits = (word >> 17) & 3;
    const unsigned bitRateIndex = (word >> 12) & 15;
    const unsigned rateIndex = (word >> 10) & 3;
    // Sync, a version that is not reserved, layer III, and a bit rate and sample rate that are
    // not reserved.
    if ((word & 0xFFE00000u) != 0xFFE00000u || versionBits == 1 || layerBits != 1
        || bitRateIndex == 15 || rateIndex == 3)
        return false;

    Mp3FrameHeader parsed;
    parsed.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 3;
    parsed.crcProtected = ((word >> 16) & 1) == 0;
    parsed.bitRateIndex = int(bitRateIndex);
    parsed.sampleRateIndex = int(rateIndex);
    parsed.sampleRate = mpeg1SampleRates[rateIndex] >> (parsed.version - 1);
    parsed.padded = ((word >> 9) & 1) != 0;
    parsed.channelMode = int((word >> 6) & 3);
    const bool mpeg1 = parsed.version == 1;
    const bool mono = parsed.channelMode == 3;
    parsed.samplesPerFrame = mpeg1 ? 1152 : 576;
    parsed.sideInfoBytes = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    parsed.frameBytes = bitRateIndex == 0
        ? 0
        : mp3FrameBytes(parsed, int(bitRateIndex)) + (parsed.padded ? 1 : 0);
    *header = parsed;
    return true;
}

std::uint32_t mp3HeaderWord(const Mp3FrameHeader& shape, int bitRateIndex)
{
    const std::uint32_t versionBits = shape.version == 1 ? 3 : shape.version == 2 ? 2 : 0;
    // Layer III, no CRC, no padding, the shape's rate and channel mode, and none of the
    // copyright, original or emphasis flags.
    return 0xFFE00000u | versionBits << 19 | 1u << 17 | 1u << 16 | std::uint32_t(bitRateIndex) << 12
        | std::uint32_t(shape.sampleRateIndex) << 10 | std::uint32_t(shape.channelMode) << 6;
}

Mp3SideInfo parseMp3SideInfo(
    const unsigned char* bytes, std::size_t size, const Mp3FrameHeader& header)
{
    const bool mpeg1 = header.version == 1;
    const int channels = header.channelCount();
    BitReader side(bytes, size, 4 + (header.crcProtected ? 2 : 0));
    Mp3SideInfo info;
    info.mainDataBegin = int(side.read(mpeg1 ? 9 : 8));
    side.skip(mpeg1 ? (channels == 1 ? 5 : 3) : channels);
    if (mpeg1)
        side.skip(4 * channels);
    info.decodable = true;
    for (int granule = 0; granule < (mpeg1 ? 2 : 1); ++granule) {
        for (int channel = 0; channel < channels; ++channel) {
            side.skip(12); // part2_3_length
            if (side.read(9) > 288)
                info.decodable = false;
            side.skip(8 + (mpeg1 ? 4 : 9)); // global gain, scale factor compression
            if (side.read(1)) {
                if (side.read(2) == 0)
                    info.decodable = false;
                side.skip(1 + 2 * 5 + 3 * 3);
            } else {
                side.skip(3 * 5 + 4 + 3);
            }
            side.skip(mpeg1 ? 3 : 2);
        }
    }
    return info;
}

} // namespace brevane::detail
