#include "folder/piece_names.h"

#include <QDir>

namespace brevane::detail {

QString partFileName(qsizetype index, const QString& suffix)
{
    return QStringLiteral("part_%1.").arg(index + 1, 3, 10, QLatin1Char('0')) + suffix;
}

QString piecePath(const QString& outputDir, qsizetype index, const QString& suffix)
{
    return QDir(outputDir).filePath(partFileName(index, suffix));
}

QString scratchPath(const QString& outputDir, qsizetype index, const QString& role)
{
    return QDir(outputDir).filePath(
        QLatin1Char('.') + partFileName(index, role) + QStringLiteral(".brevane-scratch"));
}

namespace {

    // libavformat takes the text before a path's first colon for the name of a protocol when
    // it holds nothing but these (a recorder's "2024-05-01T10:30.wav" included), and a path
    // beginning "subfile," with a colon anywhere for its subfile protocol.
    bool readAsProtocol(const QString& path)
    {
        const qsizetype colon = path.indexOf(u':');
        if (colon < 0)
            return false;
        for (qsizetype at = 0; at < colon; ++at) {
            const char16_t character = path.at(at).unicode();
            const bool schemeCharacter = (character >= u'a' && character <= u'z')
                || (character >= u'A' && character <= u'Z')
                || (character >= u'0' && character <= u'9') || character == u'+'
                || character == u'-' || character == u'.';
            if (!schemeCharacter)
                return path.startsWith(QStringLiteral("subfile,"));
        }
        return true;
    }

} // namespace

QString fileUrl(const QString& path)
{
    // The file protocol takes everything after "file:" as the path, colons included.
    return readAsProtocol(path) || path == QStringLiteral("-") ? QStringLiteral("file:") + path
                                                               : path;
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
    const QList<InternalSegment>& ranges, const QString& suffix)
{
    QList<Segment> pieces;
    pieces.reserve(ranges.size());
    for (qsizetype index = 0; index < ranges.size(); ++index)
        pieces.append(
            pieceRecord(piecePath(outputDir, index, suffix), sampleRate, ranges.at(index)));
    return pieces;
}

} // namespace brevane::detail
