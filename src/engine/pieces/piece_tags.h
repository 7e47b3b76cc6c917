#pragma once

// What a tagged piece says about itself, the same in every format and every way of writing it:
// the input's own tags carried over, and the track, title and album that make a player list
// the pieces as one album in their order.

#include "input/input_tags.h"

#include <QList>
#include <QString>

namespace brevane::detail {

// The largest piece number and count that tags leave room for. A piece's tags are written at
// the size they take for this number of this many pieces, so that every piece's tags take the
// same bytes, known before the cuts (which a size limit counts), and can be rewritten in place
// once the number of pieces is known.
constexpr qsizetype widestPieceCount = 999999999;

// The tags of piece `number` (from 1) of `count` pieces, or of an unknown count when count is 0:
// title "TITLE (n/N)" (TITLE being the input's title, or else stem, the input's file name
// without its suffix; "TITLE (n)" while the count is unknown), album (the input's album, or
// else TITLE), track "n/N" ("n"), then the input's own tags but those that describe the input
// file rather than what it holds (its length, its encoder, its gapless data, its track count).
QList<TagValue> pieceTagValues(
    const InputTags& input, const QString& stem, qsizetype number, qsizetype count);

} // namespace brevane::detail
