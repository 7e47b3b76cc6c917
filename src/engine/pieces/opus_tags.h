#pragma once

// The tags of tagged Ogg Opus pieces: the comment header packet (OpusTags) made anew, and the
// Ogg pages that hold it.

#include <QByteArray>
#include <QList>
#include <QString>

namespace brevane::detail {

// What comments and picture (a FLAC picture, carried in base64 as METADATA_BLOCK_PICTURE) take
// in an OpusTags packet beside its magic and vendor string, their count included.
qsizetype opusCommentBytes(const QList<QByteArray>& comments, const QByteArray& picture);

// The bytes of the Ogg pages that hold an OpusTags packet with vendor string vendor and
// commentBytes of comments.
qsizetype opusTagPageBytes(const QByteArray& vendor, qsizetype commentBytes);

// Writes comments and picture into the Ogg Opus file at path as its OpusTags packet, after the
// file's own vendor string, padded with zeros to commentBytes (which the format allows after
// the comments) where they take less. The pages of the packet replace the old ones in place
// when they take as many bytes in as many pages, the audio pages staying as they are; otherwise
// the file is written anew at scratchPath, its later pages renumbered where the count of pages
// changed, and renamed onto path. Fails with "Failed to write %1: %2".
bool writeOpusTags(const QString& path, const QString& scratchPath,
    const QList<QByteArray>& comments, const QByteArray& picture, qsizetype commentBytes,
    QString* errorMessage);

} // namespace brevane::detail
