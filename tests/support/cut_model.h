#pragma once

// The cut rule applied one frame at a time, as plainly as it can be written: the yardstick
// against which the tests and the fuzzer hold the detector, whose walk skips over stretches
// where nothing can be decided. Header-only, so that the fuzz build can use it without the
// test helpers' GoogleTest dependency.

#include "cuts/boundary_detector.h"
#include "cuts/frame_windows.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace testsupport {

struct ModelRange {
    std::int64_t start;
    std::int64_t end;
    brevane::CutKind kind;
};

// The model also records which frames were silent, so that a cut in silence can be checked.
class CutModel {
public:
    CutModel(int channelCount, const brevane::detail::FrameWindows& windows,
        double silenceLevel = brevane::detail::BoundaryDetector::defaultSilenceLevel)
        : m_channelCount(channelCount)
        , m_windows(windows)
        , m_silenceLevel(silenceLevel)
    {
    }

    void addFrame(const float* samples)
    {
        double sum = 0.0;
        for (int c = 0; c < m_channelCount; ++c)
            sum += double(std::fabs(samples[c]));
        const bool silent = sum / double(m_channelCount) < m_silenceLevel;
        m_silent.push_back(silent);

        if (silent) {
            ++m_silentRun;
            if (!m_runSpent && m_silentRun >= m_windows.minSilenceFrames)
                m_candidate = m_frames - m_silentRun / 2;
        } else {
            m_silentRun = 0;
            m_runSpent = false;
        }
        ++m_frames;

        const std::int64_t length = m_frames - m_start;
        const bool candidateInPiece = m_candidate > m_start;
        const bool candidateOldEnough = m_frames - m_candidate >= m_windows.minSilenceFrames;
        if (length >= m_windows.minFrames && candidateInPiece
            && (length >= m_windows.targetFrames || candidateOldEnough)) {
            m_ranges.push_back({ m_start, m_candidate, brevane::CutKind::Silence });
            const std::int64_t runStart = m_frames - m_silentRun;
            if (m_silentRun > 0 && runStart <= m_candidate)
                m_runSpent = true;
            m_start = m_candidate;
            m_candidate = -1;
        } else if (length >= m_windows.maxFrames) {
            m_ranges.push_back({ m_start, m_frames, brevane::CutKind::Forced });
            m_start = m_frames;
            m_candidate = -1;
            m_silentRun = 0;
            m_runSpent = false;
        }
    }

    // The last range ends the input, whatever closed it.
    void finish()
    {
        if (m_start < m_frames)
            m_ranges.push_back({ m_start, m_frames, brevane::CutKind::End });
        else if (!m_ranges.empty())
            m_ranges.back().kind = brevane::CutKind::End;
    }

    const std::vector<ModelRange>& ranges() const { return m_ranges; }
    const std::vector<bool>& silentFrames() const { return m_silent; }
    std::int64_t frames() const { return m_frames; }

private:
    const int m_channelCount;
    const brevane::detail::FrameWindows m_windows;
    const double m_silenceLevel;
    std::int64_t m_silentRun = 0;
    std::int64_t m_candidate = -1;
    std::int64_t m_frames = 0;
    std::int64_t m_start = 0;
    bool m_runSpent = false;
    std::vector<ModelRange> m_ranges;
    std::vector<bool> m_silent;
};

} // namespace testsupport
