#pragma once

// The tags a run writes into its pieces (--tags). ffmpeg writes each piece with none of its own
// and with room before the audio; once the piece is complete, its tags are written into that
// room. Every piece's tags take the same bytes, those of the widest numbers (see
// widestPieceCount), so that a size limit counts them exactly before the cuts are known, and a
// piece's tags can be rewritten in place once the number of pieces is.

#include "brevane.h"
#include "input/input_tags.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace brevane::detail {

class PieceTagging {
public:
    // No tags: the pieces as ffmpeg writes them.
    PieceTagging() = default;
    // The tags of a Flac, Mp3, Opus or Copy piece of an input with these tags, whose file name
    // without its suffix is stem. A cover too large for the format's tags is left out.
    PieceTagging(PieceFormat format, const InputTags& input, const QString& stem);

    bool enabled() const { return m_enabled; }

    // What each piece's tags take (PieceEncoding::tagBytes): the ID3v2 tag of an MP3 piece, what
    // the comments and the PICTURE block add to ffmpeg's FLAC metadata, the pages of an Opus
    // piece's comment header (with ffmpeg's vendor string under a size limit, "ffmpeg").
    std::int64_t bytes() const { return m_bytes; }

    // Writes the tags of piece `number` (from 1) of `count` (0 while the count is not known)
    // into the file at path, which ffmpeg wrote with room for them. An Opus file is written anew
    // at scratchPath first where its pages change. Fails with "Failed to write %1: %2".
    bool write(const QString& path, const QString& scratchPath, qsizetype number, qsizetype count,
        QString* errorMessage) const;

    // The ID3v2 tag of MP3 piece `number` of `count`, padded to bytes(): what a copied piece,
    // which brevane writes itself, begins with.
    QByteArray id3v2Bytes(qsizetype number, qsizetype count) const;

private:
    PieceFormat m_format = PieceFormat::Wav;
    InputTags m_input;
    QString m_stem;
    bool m_enabled = false;
    std::int64_t m_bytes = 0;
    // The cover as a FLAC PICTURE block's body, for FLAC and Opus pieces.
    QByteArray m_picture;
    // What an Opus piece's comments are padded to.
    qsizetype m_opusCommentBytes = 0;
};

} // namespace brevane::detail
