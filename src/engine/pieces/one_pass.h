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

// Where the one-pass writer's 16-bit WAV files go: the pieces themselves, or an encoder's input.
class PieceSink {
public:
    virtual ~PieceSink() = default;
    // The file that receives the samples of piece index.
    virtual QString samplesPath(qsizetype index) = 0;
    // Piece index, of range, is complete in samplesPath(index). Not called for the pieces that
    // a failure leaves.
    virtual bool pieceWritten(qsizetype index, const InternalSegment& range, QString* errorMessage)
        = 0;
    // After a stop: the files of the ranges in `complete` are whole, and openFile (empty when
    // there is none) is closed with what it holds. Fills stop's report of the pieces.
    virtual void reportStop(
        SplitStop* stop, const QList<InternalSegment>& complete, const QString& openFile)
        = 0;
};

// Decodes inputPath once, feeds finder and writes every range it closes as a 16-bit WAV file of
// sink while the decode goes on. Fails with the decoder's messages, the finder's, the sink's,
// or "Failed to write %1: %2"; files finished before a failure stay complete. Once stop was
// asked to stop the split, fails with "Split stopped", having had the sink fill its report.
bool splitInOnePass(const QString& inputPath, PieceSink& sink, const StreamInfo& stream,
    const FrameWindows& windows, CutFinder& finder, AnalysisResult* result, QString* errorMessage,
    const OnePassProgress& progress = {}, SplitStop* stop = nullptr);

std::unique_ptr<PieceOutput> makeOnePassOutput(const PieceJob& job);

} // namespace brevane::detail
