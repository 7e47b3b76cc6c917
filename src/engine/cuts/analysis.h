#pragma once

// The analysis pass: the decoder's float stream fed to a cut rule as it arrives.

#include "brevane.h"
#include "cuts/cut_finder.h"
#include "cuts/frame_windows.h"
#include "input/stream_probe.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace brevane::detail {

using FramesAnalysedCallback = std::function<void(std::int64_t framesAnalysed)>;

// Decodes the probed stream of inputPath through an ffmpeg child and feeds finder as the bytes
// arrive. Fails with the decoder's messages, or with the finder's when no frame arrived.
// framesAnalysed, when set, hears after every read how far the analysis has got; stop, when
// set, can end it early.
bool analyzeAudio(const QString& inputPath, const StreamInfo& stream, CutFinder& finder,
    AnalysisResult* result, QString* errorMessage,
    const FramesAnalysedCallback& framesAnalysed = {}, SplitStop* stop = nullptr);
// The same with the silence rule at its standard level, on the stream ffmpeg chooses.
bool analyzeAudio(const QString& inputPath, std::int64_t sampleRate, int channelCount,
    const FrameWindows& windows, AnalysisResult* result, QString* errorMessage,
    const FramesAnalysedCallback& framesAnalysed = {});

} // namespace brevane::detail
