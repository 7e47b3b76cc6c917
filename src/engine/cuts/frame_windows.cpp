#include "cuts/frame_windows.h"

#include "error_text.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brevane::detail {

namespace {

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

} // namespace

bool computeFrameWindows(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds,
    FrameWindows* windows, QString* errorMessage)
{
    return computeFrameWindows(
        sampleRate, maxSeconds, toleranceSeconds, 0.5, windows, errorMessage);
}

bool computeFrameWindows(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds,
    double minSilenceSeconds, FrameWindows* windows, QString* errorMessage)
{
    const double rate = double(sampleRate);
    FrameWindows derived;
    const bool representable = roundToFrames(rate * maxSeconds, &derived.targetFrames)
        && roundToFrames(rate * (maxSeconds - toleranceSeconds), &derived.minFrames)
        && roundToFrames(rate * (maxSeconds + toleranceSeconds), &derived.maxFrames)
        && !std::isnan(minSilenceSeconds);
    // A pause longer than any count of frames is never reached: no silence offers a cut, which
    // is what the largest count gives. A pause shorter than one frame still takes one silent
    // frame.
    if (!roundToFrames(rate * minSilenceSeconds, &derived.minSilenceFrames))
        derived.minSilenceFrames
            = minSilenceSeconds > 0 ? std::numeric_limits<std::int64_t>::max() : 1;
    derived.minSilenceFrames = std::max<std::int64_t>(derived.minSilenceFrames, 1);

    if (!representable || derived.minFrames <= 0 || derived.maxFrames <= 0
        || derived.minFrames > derived.maxFrames)
        return fail(
            errorMessage, trText("Invalid duration window; ensure tolerance is less than max"));
    *windows = derived;
    return true;
}

FrameWindows capFrameWindows(const FrameWindows& windows, std::int64_t longestFrames)
{
    if (longestFrames >= windows.maxFrames || longestFrames < 1)
        return windows;
    // Products of two frame counts pass 64 bits on long windows.
    const auto scaled = [&](std::int64_t frames) {
        const __int128 twice = __int128(frames) * longestFrames * 2 + windows.maxFrames;
        return std::max<std::int64_t>(std::int64_t(twice / (__int128(windows.maxFrames) * 2)), 1);
    };
    FrameWindows capped = windows;
    capped.targetFrames = scaled(windows.targetFrames);
    capped.minFrames = scaled(windows.minFrames);
    capped.maxFrames = longestFrames;
    return capped;
}

} // namespace brevane::detail
