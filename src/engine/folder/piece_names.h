#pragma once

// What the pieces are called and where they lie: file names, paths and the records handed back.

#include "brevane.h"
#include "cuts/cut_finder.h"
#include "folder/name_template.h"

#include <QList>
#include <QString>

#include <cstdint>

namespace brevane::detail {

// "part_001.wav" for index 0 (or another suffix, or the name of another template); the number
// widens past 999.
QString partFileName(qsizetype index, const QString& suffix = QStringLiteral("wav"),
    const NameTemplate& names = NameTemplate());

// The output path of piece index, as it is printed.
QString piecePath(const QString& outputDir, qsizetype index,
    const QString& suffix = QStringLiteral("wav"), const NameTemplate& names = NameTemplate());

// A scratch file of piece index in outputDir, such as ".part_001.samples.brevane-scratch": in
// the pieces' folder, so that a rename onto the piece's name replaces it in one step, and named
// so that it can never be taken for a piece. role tells the scratch files of a piece apart.
QString scratchPath(const QString& outputDir, qsizetype index, const QString& role,
    const NameTemplate& names = NameTemplate());

// fileUrl for an ffmpeg child's output, where ffmpeg would also read a path beginning with "-"
// as an option.
QString childOutputPath(const QString& outputPath);

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
QList<Segment> plannedPieces(const QString& outputDir, std::int64_t sampleRate,
    const QList<InternalSegment>& ranges, const QString& suffix = QStringLiteral("wav"),
    const NameTemplate& names = NameTemplate());

} // namespace brevane::detail
