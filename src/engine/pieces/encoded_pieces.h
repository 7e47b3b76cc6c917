#pragma once

// One-pass pieces that need an encoder: the one-pass writer's WAV files are scratch, each
// encoded by an ffmpeg child of its own while the decode goes on.

#include "cuts/cut_finder.h"
#include "pieces/encoder_pool.h"
#include "pieces/one_pass.h"
#include "pieces/piece_output.h"

#include <QString>

namespace brevane::detail {

// The one-pass writer's files as scratch, each handed to an encoder once complete.
class EncodedPieces final : public PieceSink {
public:
    explicit EncodedPieces(const PieceJob& job);

    // ".part_NNN.samples.brevane-scratch" in the output folder.
    QString samplesPath(qsizetype index) override;
    // Hands the piece to an encoder; waits while the encoders are behind by a few pieces.
    bool pieceWritten(
        qsizetype index, const InternalSegment& range, QString* errorMessage) override;

    // Stops the encoders and removes the scratch files; the pieces that have their names are
    // the complete ones, and none is cut short.
    void reportStop(
        SplitStop* stop, const QList<InternalSegment>& complete, const QString& openFile) override;

    // After the decode: waits for the encoders, reporting the pieces of pieceCount as they are
    // done. Fails with the first encoder's failure.
    bool finish(qsizetype pieceCount, QString* errorMessage);

private:
    // The arguments of piece index's encoder, reading samplesPath(index).
    QStringList encoderCall(qsizetype index, const InternalSegment& range) const;

    const PieceJob m_job;
    // The ranges handed to the encoders, by piece.
    QList<InternalSegment> m_submitted;
    // Declared last: on every way out it stops the children and removes the scratch files
    // before anything else goes.
    EncoderPool m_pool;
};

} // namespace brevane::detail
