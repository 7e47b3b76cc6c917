#pragma once

// The tags of tagged FLAC pieces, and the Vorbis comments and picture they share with Ogg Opus
// pieces.

#include "input/input_tags.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace brevane::detail {

// Each value as a Vorbis comment ("TITLE=...", "TRACKNUMBER=3/12", "ALBUMARTIST=...", and the
// others under their name in capitals), in UTF-8. A key that a comment cannot name is left out.
QList<QByteArray> vorbisComments(const QList<TagValue>& values);

// The body of a FLAC PICTURE block that shows cover as the front cover; empty for a cover
// without bytes. Ogg Opus carries the same in base64, as METADATA_BLOCK_PICTURE.
QByteArray flacPicture(const CoverPicture& cover);

// The bytes that comments and picture add to the metadata of a FLAC file beside ffmpeg's own:
// the comments in its VORBIS_COMMENT block and the PICTURE block.
qsizetype flacTagBytes(const QList<QByteArray>& comments, const QByteArray& picture);

// Writes comments and picture into the FLAC file at path, in place: its VORBIS_COMMENT block
// keeps its vendor and what ffmpeg says of the channels and takes comments instead of the rest,
// a PICTURE block follows, and the padding shrinks by as much, so that no audio moves. Fails
// with "Failed to write %1: %2" where the padding is too small or the file is no FLAC.
bool writeFlacTags(const QString& path, const QList<QByteArray>& comments,
    const QByteArray& picture, QString* errorMessage);

} // namespace brevane::detail
