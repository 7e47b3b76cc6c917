#pragma once

// The lengths a cut rule works with, in frames of the decoded stream, derived once per job
// from the sample rate and the user's durations.

#include <QString>

#include <cstdint>

namespace brevane::detail {

struct FrameWindows {
    std::int64_t targetFrames = 0;
    std::int64_t minFrames = 0;
    std::int64_t maxFrames = 0;
    std::int64_t minSilenceFrames = 0;
};

// minSilenceSeconds sets minSilenceFrames (at least one frame). Fails with "Invalid duration
// window; ensure tolerance is less than max" when the windows cannot be used.
bool computeFrameWindows(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds,
    double minSilenceSeconds, FrameWindows* windows, QString* errorMessage);
// With the standard half-second pause.
bool computeFrameWindows(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds,
    FrameWindows* windows, QString* errorMessage);

// The windows with the longest piece brought down to longestFrames (at least one frame), and
// the target and the shortest cut scaled in the same proportion, to the nearest frame and at
// least one; the shortest pause stays. Windows whose longest piece is no longer come back as
// they are.
FrameWindows capFrameWindows(const FrameWindows& windows, std::int64_t longestFrames);

} // namespace brevane::detail
