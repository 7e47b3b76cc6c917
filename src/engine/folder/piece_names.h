#pragma once

// What the pieces are called and where they lie: file names, paths and the records handed back.

#include "brevane.h"
#include "cuts/cut_finder.h"

#include <QList>
#include <QString>

#include <cstdint>

namespace brevane::detail {

// "part_001.wav" for index 0 (or another suffix); the number widens past 999.
QString partFileName(qsizetype index, const QString& suffix = QStringLiteral("wav"));

// The output path of piece index, as it is printed.
QString piecePath(
    const QString& outputDir, qsizetype index, const QString& suffix = QStringLiteral("wav"));

// A scratch file of piece index in outputDir, such as ".part_001.samples.brevane-scratch": in
// the pieces' folder, so that a rename onto the piece's name replaces it in one step, and named
// so that it can never be taken for a piece. role tells the scratch files of a piece apart.
QString scratchPath(const QString& outputDir, qsizetype index, const QString& role);

// The path as libavformat and every ffmpeg child are given it, so that it is read as a file:
// a path that would be read as a protocol ("pipe:1", "12:30/part_001.wav", and "-", which ffmpeg
// reads as its standard input) gets "file:" in front. Every other path stays as it is.
QString fileUrl(const QString& path);

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
    const QList<InternalSegment>& ranges, const QString& suffix = QStringLiteral("wav"));

} // namespace brevane::detail
