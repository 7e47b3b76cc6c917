#pragma once

// The default way of writing the pieces: after the analysis, one ffmpeg run per piece, each
// cutting its range out of the input.

#include "brevane.h"
#include "cuts/cut_finder.h"
#include "pieces/piece_output.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace brevane::detail {

// The arguments of the piece's ffmpeg; tagBytes bounds what the input's tags add to the
// piece's header, for the choice of RF64.
QStringList extractionArguments(const QString& inputPath, const QString& outputPath,
    std::int64_t sampleRate, int channelCount, const InternalSegment& range,
    std::int64_t tagBytes = 0);

// Writes range as piece index through its own ffmpeg run. Fails with "Invalid segment
// boundaries", "Failed to run ffmpeg: %1" or "ffmpeg exited with code %1: %2"; or, once stop
// was asked to stop the split, with "Split stopped", having named in stop->cutShortPath the
// piece left cut short, if ffmpeg had begun it.
bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t sampleRate,
    int channelCount, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes = 0, SplitStop* stop = nullptr);

std::unique_ptr<PieceOutput> makePieceByPieceOutput(const PieceJob& job);

} // namespace brevane::detail
