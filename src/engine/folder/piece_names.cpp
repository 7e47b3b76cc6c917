#include "folder/piece_names.h"

#include "file_url.h"

#include <QDir>

namespace brevane::detail {

QString partFileName(qsizetype index, const QString& suffix, const NameTemplate& names)
{
    return names.name(index) + QLatin1Char('.') + suffix;
}

QString piecePath(
    const QString& outputDir, qsizetype index, const QString& suffix, const NameTemplate& names)
{
    return QDir(outputDir).filePath(partFileName(index, suffix, names));
}

QString scratchPath(
    const QString& outputDir, qsizetype index, const QString& role, const NameTemplate& names)
{
    return QDir(outputDir).filePath(
        QLatin1Char('.') + partFileName(index, role, names) + QStringLiteral(".brevane-scratch"));
}

QString childOutputPath(const QString& outputPath)
{
    // Such a path is relative (an absolute one begins with "/"), and "./" in front names the
    // same file; the printed path stays as given.
    const QString url = fileUrl(outputPath);
    return url.startsWith(u'-') ? QStringLiteral("./") + url : url;
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

QList<Segment> plannedPieces(const QString& outputDir, std::int64_t sampleRate,
    const QList<InternalSegment>& ranges, const QString& suffix, const NameTemplate& names)
{
    QList<Segment> pieces;
    pieces.reserve(ranges.size());
    for (qsizetype index = 0; index < ranges.size(); ++index)
        pieces.append(
            pieceRecord(piecePath(outputDir, index, suffix, names), sampleRate, ranges.at(index)));
    return pieces;
}

} // namespace brevane::detail
