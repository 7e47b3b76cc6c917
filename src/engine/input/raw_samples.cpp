#include "input/raw_samples.h"

#include <QtEndian>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Every conversion here is the one ffmpeg 5.1's libswresample makes, so that the 16-bit
// samples equal those of "-f s16le" and the floats those of "-f f32le" bit for bit.

namespace brevane::detail {

namespace {

    template <typename T> T load(const char* bytes) { return qFromLittleEndian<T>(bytes); }

    void storeFloat(float value, char* bytes)
    {
        qToLittleEndian(std::bit_cast<std::uint32_t>(value), bytes);
    }

    void storeInt16(std::int32_t value, char* bytes)
    {
        qToLittleEndian(std::int16_t(std::clamp(value, -32768, 32767)), bytes);
    }

    // ffmpeg converts floats with the x86 instruction that turns a product outside the 32-bit
    // range, NaN included, into INT32_MIN, and then saturates to 16 bits: so 2.0 gives 32767
    // but 65536.0, infinity and NaN give -32768. Its plain C path, used on other machines and
    // for the last few samples of a buffer that is not a multiple of its vector width, turns
    // such products into other values; only samples of 65536 and beyond, which no decoder
    // produces from real audio, are concerned, and they follow the vector path here.
    std::int32_t floatToWhole(float value)
    {
        const float scaled = value * 32768.0f;
        if (!(scaled >= -2147483648.0f && scaled < 2147483648.0f))
            return std::numeric_limits<std::int32_t>::min();
        return std::int32_t(std::lrintf(scaled));
    }

    // Doubles take ffmpeg's C path, whose lrint result is narrowed to int before the clip: the
    // low 32 bits count, and NaN or a product beyond 64 bits gives 0.
    std::int32_t doubleToWhole(double value)
    {
        const double scaled = value * 32768.0;
        if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0))
            return 0;
        return std::int32_t(std::uint32_t(std::uint64_t(std::llrint(scaled))));
    }

    void convertFloat32(const char* raw, qsizetype count, char* pieceSamples)
    {
        qsizetype i = 0;
#ifdef __SSE2__
        // The same instructions as ffmpeg's own conversion: round to nearest even, out of range
        // to INT32_MIN, then saturate.
        if constexpr (std::endian::native == std::endian::little) {
            const __m128 scale = _mm_set1_ps(32768.0f);
            for (; i + 8 <= count; i += 8) {
                const __m128i low = _mm_cvtps_epi32(
                    _mm_mul_ps(_mm_loadu_ps(reinterpret_cast<const float*>(raw + 4 * i)), scale));
                const __m128i high = _mm_cvtps_epi32(_mm_mul_ps(
                    _mm_loadu_ps(reinterpret_cast<const float*>(raw + 4 * i + 16)), scale));
                _mm_storeu_si128(
                    reinterpret_cast<__m128i*>(pieceSamples + 2 * i), _mm_packs_epi32(low, high));
            }
        }
#endif
        for (; i < count; ++i)
            storeInt16(floatToWhole(std::bit_cast<float>(load<std::uint32_t>(raw + 4 * i))),
                pieceSamples + 2 * i);
    }

} // namespace

QString rawFormatName(DecodedSamples form)
{
    switch (form) {
    case DecodedSamples::Int16:
        return QStringLiteral("s16le");
    case DecodedSamples::Int32:
        return QStringLiteral("s32le");
    case DecodedSamples::Float64:
        return QStringLiteral("f64le");
    case DecodedSamples::Float32:
    case DecodedSamples::Other:
        break;
    }
    return QStringLiteral("f32le");
}

int rawSampleBytes(DecodedSamples form)
{
    switch (form) {
    case DecodedSamples::Int16:
        return 2;
    case DecodedSamples::Float64:
        return 8;
    case DecodedSamples::Int32:
    case DecodedSamples::Float32:
    case DecodedSamples::Other:
        break;
    }
    return 4;
}

void convertRawSamples(DecodedSamples form, const char* raw, qsizetype sampleCount,
    char* pieceSamples, char* finderSamples)
{
    switch (form) {
    case DecodedSamples::Int16:
        // 8-bit samples arrive already widened as ffmpeg widens them, (x - 128) << 8, and
        // ffmpeg's float of a 16-bit sample is x / 32768, exact in single precision.
        if (pieceSamples)
            std::memcpy(pieceSamples, raw, std::size_t(sampleCount) * 2);
        for (qsizetype i = 0; i < sampleCount; ++i)
            storeFloat(
                float(load<std::int16_t>(raw + 2 * i)) * (1.0f / 32768), finderSamples + 4 * i);
        return;
    case DecodedSamples::Int32:
        // 24- and 32-bit integers: the 16-bit sample is the top half, as ffmpeg shifts it; the
        // float is the integer rounded to float, then scaled.
        for (qsizetype i = 0; i < sampleCount; ++i) {
            const std::int32_t sample = load<std::int32_t>(raw + 4 * i);
            storeInt16(sample >> 16, pieceSamples + 2 * i);
            storeFloat(float(sample) * (1.0f / 2147483648.0f), finderSamples + 4 * i);
        }
        return;
    case DecodedSamples::Float64:
        for (qsizetype i = 0; i < sampleCount; ++i) {
            const double sample = std::bit_cast<double>(load<std::uint64_t>(raw + 8 * i));
            storeInt16(doubleToWhole(sample), pieceSamples + 2 * i);
            storeFloat(float(sample), finderSamples + 4 * i);
        }
        return;
    case DecodedSamples::Float32:
    case DecodedSamples::Other:
        convertFloat32(raw, sampleCount, pieceSamples);
        if (finderSamples)
            std::memcpy(finderSamples, raw, std::size_t(sampleCount) * 4);
        return;
    }
}

} // namespace brevane::detail
