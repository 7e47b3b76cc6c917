#pragma once

// Whether a piece that ffmpeg says it wrote is whole: its exit status alone does not tell.

#include "brevane.h"

#include <QByteArray>
#include <QString>

namespace brevane::detail {

// ffmpeg 5.1 ends with status 0 when its muxer fails only at the end (on the last buffered
// bytes, the trailer or the close, as on a disk that fills then), and says so on standard error
// of the output it was given as childPath. Fails with "Failed to write %1: %2", naming
// piecePath and ffmpeg's reason, where it did.
bool checkMuxerReport(const QByteArray& standardError, const QString& childPath,
    const QString& piecePath, QString* errorMessage);

// Fails with "Piece %1 holds %2 of the %3 asked for; ..." where the piece at path holds more
// than a tenth of a second less audio than askedSeconds: WAV by its data size, the other formats
// decoded.
bool checkPieceLength(
    const QString& path, PieceFormat format, double askedSeconds, QString* errorMessage);

} // namespace brevane::detail
