#include "engine_internal.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace brevane::detail {

namespace {

    constexpr double silenceLevel = 0.005;

    // llround has no defined result outside the signed 64-bit range, so such a product is
    // refused before it is rounded.
    bool roundToFrames(double frames, std::int64_t* rounded)
    {
        if (!std::isfinite(frames) || frames < -9223372036854775808.0
            || frames >= 9223372036854775808.0)
            return false;
        *rounded = std::llround(frames);
        return true;
    }

    float loadSample(const char* bytes)
    {
        if constexpr (std::endian::native == std::endian::little) {
            float sample;
            std::memcpy(&sample, bytes, sizeof sample);
            return sample;
        } else {
            std::uint32_t bits = std::uint32_t(std::uint8_t(bytes[0]))
                | std::uint32_t(std::uint8_t(bytes[1])) << 8
                | std::uint32_t(std::uint8_t(bytes[2])) << 16
                | std::uint32_t(std::uint8_t(bytes[3])) << 24;
            return std::bit_cast<float>(bits);
        }
    }

} // namespace

bool computeFrameWindows(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds,
    FrameWindows* windows, QString* errorMessage)
{
    const double rate = double(sampleRate);
    FrameWindows derived;
    const bool representable = roundToFrames(rate * maxSeconds, &derived.targetFrames)
        && roundToFrames(rate * (maxSeconds - toleranceSeconds), &derived.minFrames)
        && roundToFrames(rate * (maxSeconds + toleranceSeconds), &derived.maxFrames);
    derived.minSilenceFrames = std::llround(rate * 0.5);

    if (!representable || derived.minFrames <= 0 || derived.maxFrames <= 0
        || derived.minFrames > derived.maxFrames)
        return fail(
            errorMessage, trText("Invalid duration window; ensure tolerance is less than max"));
    *windows = derived;
    return true;
}

BoundaryDetector::BoundaryDetector(int channelCount, const FrameWindows& windows)
    : m_channelCount(channelCount)
    , m_windows(windows)
{
}

void BoundaryDetector::processChunk(QByteArray& pcmBuffer)
{
    // Counted in 64 bits: a crafted file can declare up to 2^31 - 1 channels, and the frame
    // size of such a stream must not overflow.
    const std::int64_t frameBytes = std::int64_t(m_channelCount) * 4;
    if (frameBytes <= 0) {
        pcmBuffer.clear();
        return;
    }
    const std::int64_t frameCount = pcmBuffer.size() / frameBytes;
    if (frameCount == 0)
        return;
    analyseFrames(pcmBuffer.constData(), frameCount);
    pcmBuffer.remove(0, frameCount * frameBytes);
}

void BoundaryDetector::analyseFrames(const char* data, std::int64_t frameCount)
{
    const std::int64_t frameBytes = std::int64_t(m_channelCount) * 4;
    const double channels = double(m_channelCount);
    for (std::int64_t k = 0; k < frameCount; ++k) {
        const char* frame = data + k * frameBytes;
        double sum = 0.0;
        for (int c = 0; c < m_channelCount; ++c)
            sum += double(std::fabs(loadSample(frame + c * 4)));
        // NaN compares false, so a frame holding one counts as loud.
        const bool silent = sum / channels < silenceLevel;

        if (silent) {
            ++m_silentRun;
            if (!m_silentRunSpent && m_silentRun >= m_windows.minSilenceFrames)
                m_candidateFrame = m_framesProcessed - m_silentRun / 2;
        } else {
            // The candidate outlives its pause: a later cut may still use it.
            m_silentRun = 0;
            m_silentRunSpent = false;
        }

        ++m_framesProcessed;
        const std::int64_t length = m_framesProcessed - m_segmentStart;

        if (length >= m_windows.minFrames && m_candidateFrame > m_segmentStart
            && (length >= m_windows.targetFrames
                || m_framesProcessed - m_candidateFrame >= m_windows.minSilenceFrames)) {
            m_segments.append({ m_segmentStart, m_candidateFrame });
            // A pause that has been cut at is spent: were it to go on offering its middle,
            // every further frame of it would cut again, and the pieces would halve down to
            // single frames. A pause that only began after the cut point is a fresh one.
            if (m_silentRun > 0 && m_framesProcessed - m_silentRun <= m_candidateFrame)
                m_silentRunSpent = true;
            m_segmentStart = m_candidateFrame;
            m_candidateFrame = -1;
        } else if (length >= m_windows.maxFrames) {
            m_segments.append({ m_segmentStart, m_framesProcessed });
            m_segmentStart = m_framesProcessed;
            m_candidateFrame = -1;
            // The silence after a forced cut counts as a new pause.
            m_silentRun = 0;
            m_silentRunSpent = false;
        }
    }
}

bool BoundaryDetector::finishAnalysis(AnalysisResult* result, QString* errorMessage)
{
    if (m_segmentStart < m_framesProcessed)
        m_segments.append({ m_segmentStart, m_framesProcessed });
    if (m_segments.isEmpty())
        return fail(errorMessage, trText("Audio decoding produced no samples"));
    result->segments = m_segments;
    result->totalFrames = m_framesProcessed;
    return true;
}

} // namespace brevane::detail
