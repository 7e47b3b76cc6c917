#pragma once

// The quietest-stretch rule over the whole input at once, written step by step as the rule
// reads, with none of the finder's streaming, prefix sums or fast paths: the yardstick the tests
// hold the finder to. Header-only, like the silence rule's model.

#include "cuts/cut_finder.h"
#include "cuts/frame_windows.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace testsupport {

inline QList<brevane::detail::InternalSegment> quietestModelRanges(
    const std::vector<float>& samples, int channelCount, std::int64_t sampleRate,
    const brevane::detail::FrameWindows& windows)
{
    // 1. Each frame's level, quantised.
    std::vector<std::uint64_t> level;
    for (std::size_t k = 0; k + std::size_t(channelCount) <= samples.size();
         k += std::size_t(channelCount)) {
        double sum = 0.0;
        for (int c = 0; c < channelCount; ++c)
            sum += double(std::fabs(samples[k + std::size_t(c)]));
        const double scaled = sum / double(channelCount) * 16777216.0;
        level.push_back(std::isnan(scaled) || scaled >= 4294967295.0
                ? 4294967295u
                : std::uint64_t(std::floor(scaled)));
    }
    const std::int64_t frames = std::int64_t(level.size());

    // 2. Whole blocks of 10 ms.
    const std::int64_t b = std::max<std::int64_t>(1, std::llround(double(sampleRate) * 0.01));
    std::vector<std::uint64_t> block(std::size_t(frames / b), 0);
    for (std::int64_t f = 0; f < std::int64_t(block.size()) * b; ++f)
        block[std::size_t(f / b)] += level[std::size_t(f)];
    const std::int64_t blocks = std::int64_t(block.size());

    // 3. The stretch compared.
    const std::int64_t w
        = std::max<std::int64_t>(1, std::llround(double(windows.minSilenceFrames) / double(b)));

    // 4 to 6. Cut piece after piece.
    QList<brevane::detail::InternalSegment> ranges;
    std::int64_t start = 0;
    while (frames - start > windows.maxFrames) {
        std::int64_t cut = -1;
        std::uint64_t cutEnergy = 0;
        for (std::int64_t c = start + windows.minFrames; c <= start + windows.maxFrames; ++c) {
            if (c % b != 0)
                continue;
            const std::int64_t j = c / b;
            const std::int64_t from = j - w / 2;
            if (from < 0 || from + w > blocks)
                continue;
            std::uint64_t energy = 0;
            for (std::int64_t i = from; i < from + w; ++i)
                energy += block[std::size_t(i)];
            const std::int64_t target = start + windows.targetFrames;
            if (cut < 0 || energy < cutEnergy
                || (energy == cutEnergy && std::llabs(c - target) < std::llabs(cut - target))) {
                cut = c;
                cutEnergy = energy;
            }
        }
        if (cut <= start)
            ranges.append({ start, start + windows.maxFrames, brevane::CutKind::Forced });
        else
            ranges.append({ start, cut, brevane::CutKind::Quietest });
        start = ranges.last().endFrame;
    }
    if (start < frames)
        ranges.append({ start, frames, brevane::CutKind::End });
    return ranges;
}

} // namespace testsupport
