#include "pieces/piece_names.h"

#include <QDir>

namespace brevane::detail {

QString partFileName(qsizetype index)
{
    return QStringLiteral("part_%1.wav").arg(index + 1, 3, 10, QLatin1Char('0'));
}

QString piecePath(const QString& outputDir, qsizetype index)
{
    return QDir(outputDir).filePath(partFileName(index));
}

PieceTimes pieceTimes(const InternalSegment& range, std::int64_t sampleRate)
{
    const double rate = double(sampleRate);
    return { double(range.startFrame) / rate, double(range.endFrame - range.startFrame) / rate };
}

Segment pieceRecord(
    const QString& outputPath, std::int64_t sampleRate, const InternalSegment& range)
{
    const PieceTimes times = pieceTimes(range, sampleRate);
    Segment segment;
    segment.startSeconds = times.start;
    segment.endSeconds = times.start + times.duration;
    segment.filePath = outputPath;
    segment.startFrame = range.startFrame;
    segment.endFrame = range.endFrame;
    segment.cut = range.kind;
    return segment;
}

QList<Segment> plannedPieces(
    const QString& outputDir, std::int64_t sampleRate, const QList<InternalSegment>& ranges)
{
    QList<Segment> pieces;
    pieces.reserve(ranges.size());
    for (qsizetype index = 0; index < ranges.size(); ++index)
        pieces.append(pieceRecord(piecePath(outputDir, index), sampleRate, ranges.at(index)));
    return pieces;
}

} // namespace brevane::detail
