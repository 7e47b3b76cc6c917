#pragma once

// Reading the decoder's interleaved little-endian float frames, for the cut rules.

#include <QByteArray>

#include <bit>
#include <cstdint>
#include <cstring>

namespace brevane::detail {

// One sample of the decoder's little-endian float stream, from wherever it lies in the buffer.
inline float loadFloatSample(const char* bytes)
{
    if constexpr (std::endian::native == std::endian::little) {
        float sample;
        std::memcpy(&sample, bytes, sizeof sample);
        return sample;
    } else {
        const std::uint32_t bits = std::uint32_t(std::uint8_t(bytes[0]))
            | std::uint32_t(std::uint8_t(bytes[1])) << 8
            | std::uint32_t(std::uint8_t(bytes[2])) << 16
            | std::uint32_t(std::uint8_t(bytes[3])) << 24;
        return std::bit_cast<float>(bits);
    }
}

// The number of whole frames at the front of pcmBuffer. Counted in 64 bits: a crafted file can
// declare up to 2^31 - 1 channels, and the frame size of such a stream must not overflow. A
// frame size that is not positive cannot hold a frame, and its bytes are dropped.
inline std::int64_t wholeFramesIn(QByteArray& pcmBuffer, int channelCount)
{
    const std::int64_t frameBytes = std::int64_t(channelCount) * 4;
    if (frameBytes <= 0) {
        pcmBuffer.clear();
        return 0;
    }
    return pcmBuffer.size() / frameBytes;
}

} // namespace brevane::detail
