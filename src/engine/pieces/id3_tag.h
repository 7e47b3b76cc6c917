#pragma once

// The ID3v2 tag of a tagged MP3 piece: its bytes, made from the piece's tag values and the
// cover, and put in place of the tag that begins an MP3 file.
//
// Version 2.3: it is the version every player reads (Windows and many car and portable players
// do not read 2.4), and what only 2.4 can say, a date finer than the day or text in UTF-8, no
// player shows. Text is ISO-8859-1 where it is ASCII, UTF-16 with a byte order mark otherwise.

#include "input/input_tags.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace brevane::detail {

// The tag holding values (see pieceTagValues: title TIT2, album TALB, track TRCK, artist TPE1,
// album_artist TPE2, genre TCON, date TYER and TDAT, comment COMM, and others in their frames or
// as TXXX under their own name), and the cover, when it has bytes, as the front cover (APIC,
// with its mime type). When size is larger than the tag, zeros pad it to size bytes.
QByteArray id3v2Tag(const QList<TagValue>& values, const CoverPicture& cover, qsizetype size = 0);

// Writes tag over the ID3v2 tag that begins the MP3 file at path, in place, padded with zeros
// to the old tag's size, so that nothing after it moves: one write of the tag's bytes, however
// long the file. Fails with "Failed to write %1: %2" where the file has no ID3v2 tag or one
// smaller than tag.
bool replaceId3v2Tag(const QString& path, const QByteArray& tag, QString* errorMessage);

} // namespace brevane::detail
