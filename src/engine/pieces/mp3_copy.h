#pragma once

// MP3 pieces made of the input's own frames, without decoding or encoding them again. Each cut
// moves to the frame boundary nearest to it, so that consecutive pieces share their boundary.
// Each piece starts with a header frame whose gapless fields make a decoder drop what lies
// outside the piece's range, and before its first frame it carries what the decoder needs to
// decode that frame exactly as in the whole input: the input's frames before it, or, where
// those are more than the header can state, one priming frame holding the bit reservoir they
// would have left.

#include "cuts/cut_finder.h"
#include "input/mp3_index.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace brevane::detail {

class Mp3CopyWriter {
public:
    // index must outlive the writer.
    Mp3CopyWriter(const QString& inputPath, const Mp3Index& index);
    ~Mp3CopyWriter();
    Mp3CopyWriter(const Mp3CopyWriter&) = delete;
    Mp3CopyWriter& operator=(const Mp3CopyWriter&) = delete;

    // Where a cut at decoded frame `frame` lands: the boundary of the frame nearest to it (the
    // earlier on a tie), -1 where no frame boundary lies strictly inside the stream there.
    std::int64_t frameBoundaryNear(std::int64_t frame) const;

    // The ranges moved to frame boundaries: they tile the stream as before, a range that comes
    // out empty is joined to the next, and each keeps the kind of its own end.
    QList<InternalSegment> snapped(const QList<InternalSegment>& ranges) const;

    // Writes the frames of `range` (whose ends lie on frame boundaries, from snapped) to
    // path, through a scratch file in its folder that takes the name only once whole. tag, when
    // not empty, replaces the input's own ID3v2 tag. Fails with "Failed to read %1: %2" or
    // "Failed to write %1: %2".
    bool write(const InternalSegment& range, const QString& path, const QString& scratchPath,
        QString* errorMessage, const QByteArray& tag = {});

    // The most bytes a piece of `frames` decoded frames can take, for a size limit; tagBytes is
    // the ID3v2 tag each piece carries.
    static std::int64_t mostBytes(
        const Mp3Index& index, std::int64_t frames, std::int64_t tagBytes);

private:
    bool readInput(std::int64_t position, char* data, std::int64_t size, QString* errorMessage);

    const QString m_inputPath;
    const Mp3Index& m_index;
    int m_fd = -1;
};

} // namespace brevane::detail
