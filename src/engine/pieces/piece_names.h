#pragma once

// What the pieces are called and where they lie: file names, paths and the records handed back.

#include "brevane.h"
#include "cuts/cut_finder.h"

#include <QList>
#include <QString>

#include <cstdint>

namespace brevane::detail {

// "part_001.wav" for index 0; the number widens past 999.
QString partFileName(qsizetype index);

// The output path of piece index, as it is printed.
QString piecePath(const QString& outputDir, qsizetype index);

// Where a range lies in the input, in seconds.
struct PieceTimes {
    double start;
    double duration;
};
PieceTimes pieceTimes(const InternalSegment& range, std::int64_t sampleRate);

// The record of one piece at outputPath: its end is start + duration, summed in double, and
// its cut as the rule recorded it.
Segment pieceRecord(
    const QString& outputPath, std::int64_t sampleRate, const InternalSegment& range);

// The records of the pieces a run writes for these ranges.
QList<Segment> plannedPieces(
    const QString& outputDir, std::int64_t sampleRate, const QList<InternalSegment>& ranges);

} // namespace brevane::detail
