#pragma once

// The pieces written from the analysis decode itself, as the stream passes each cut.

#include "cuts/cut_finder.h"
#include "cuts/frame_windows.h"
#include "input/stream_probe.h"
#include "pieces/piece_output.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace brevane::detail {

using OnePassProgress = std::function<void(std::int64_t framesAnalysed, qsizetype part)>;

// Decodes inputPath once, feeds finder and writes every range it closes as a 16-bit WAV piece
// in outputDir while the decode goes on. Fails with the decoder's messages, the finder's, or
// "Failed to write %1: %2"; pieces finished before a failure stay complete. Once stop was asked
// to stop the split, fails with "Split stopped", having filled its report.
bool splitInOnePass(const QString& inputPath, const QString& outputDir, const StreamInfo& stream,
    const FrameWindows& windows, CutFinder& finder, AnalysisResult* result, QString* errorMessage,
    const OnePassProgress& progress = {}, SplitStop* stop = nullptr);

std::unique_ptr<PieceOutput> makeOnePassOutput(const PieceJob& job);

} // namespace brevane::detail
