#include "pieces/piece_tagging.h"

#include "pieces/flac_tags.h"
#include "pieces/id3_tag.h"
#include "pieces/opus_tags.h"
#include "pieces/piece_format.h"
#include "pieces/piece_tags.h"

namespace brevane::detail {

namespace {

    // ID3v2 states its size in 28 bits; FLAC a block's in 24, and ffmpeg's padding, which holds
    // the tags, as well.
    constexpr std::int64_t mostId3Bytes = (std::int64_t(1) << 28) - 1;
    constexpr std::int64_t mostFlacBlockBytes = (std::int64_t(1) << 24) - 1;

} // namespace

PieceTagging::PieceTagging(PieceFormat format, const InputTags& input, const QString& stem)
    : m_format(format)
    , m_input(input)
    , m_stem(stem)
    , m_enabled(format != PieceFormat::Wav)
{
    const QList<TagValue> widest
        = pieceTagValues(m_input, m_stem, widestPieceCount, widestPieceCount);
    switch (format) {
    case PieceFormat::Mp3:
    case PieceFormat::Copy:
        m_bytes = id3v2Tag(widest, m_input.cover).size();
        if (m_bytes > mostId3Bytes) {
            m_input.cover = {};
            m_bytes = id3v2Tag(widest, m_input.cover).size();
        }
        break;
    case PieceFormat::Flac:
        m_picture = flacPicture(m_input.cover);
        m_bytes = flacTagBytes(vorbisComments(widest), m_picture);
        if (flacPaddingBytes + m_bytes > mostFlacBlockBytes) {
            m_picture.clear();
            m_bytes = flacTagBytes(vorbisComments(widest), m_picture);
        }
        break;
    case PieceFormat::Opus:
        m_picture = flacPicture(m_input.cover);
        m_opusCommentBytes = opusCommentBytes(vorbisComments(widest), m_picture);
        m_bytes = opusTagPageBytes(QByteArrayLiteral("ffmpeg"), m_opusCommentBytes);
        break;
    case PieceFormat::Wav:
        break;
    }
}

bool PieceTagging::write(const QString& path, const QString& scratchPath, qsizetype number,
    qsizetype count, QString* errorMessage) const
{
    const QList<TagValue> values = pieceTagValues(m_input, m_stem, number, count);
    switch (m_format) {
    case PieceFormat::Mp3:
    case PieceFormat::Copy:
        return replaceId3v2Tag(path, id3v2Tag(values, m_input.cover), errorMessage);
    case PieceFormat::Flac:
        return writeFlacTags(path, vorbisComments(values), m_picture, errorMessage);
    case PieceFormat::Opus:
        return writeOpusTags(
            path, scratchPath, vorbisComments(values), m_picture, m_opusCommentBytes, errorMessage);
    case PieceFormat::Wav:
        break;
    }
    return true;
}

QByteArray PieceTagging::id3v2Bytes(qsizetype number, qsizetype count) const
{
    return id3v2Tag(pieceTagValues(m_input, m_stem, number, count), m_input.cover, m_bytes);
}

} // namespace brevane::detail
