#include "pieces/flac_tags.h"

#include "error_text.h"
#include "pieces/piece_file.h"

#include <QtEndian>

#include <array>

namespace brevane::detail {

namespace {

    enum BlockType : int { Padding = 1, VorbisComment = 4, Picture = 6 };
    constexpr int blockHeaderBytes = 4;
    constexpr char frontCover = 3;
    // The comment in which ffmpeg names a channel layout that FLAC cannot state.
    const QByteArray channelMaskKey = QByteArrayLiteral("WAVEFORMATEXTENSIBLE_CHANNEL_MASK=");

    struct CommentName {
        const char* key;
        const char* name;
    };
    constexpr std::array<CommentName, 4> commentNames { { { "track", "TRACKNUMBER" },
        { "album_artist", "ALBUMARTIST" }, { "disc", "DISCNUMBER" }, { "comment", "COMMENT" } } };

    void appendLittleEndian(QByteArray& bytes, quint32 value)
    {
        for (int shift = 0; shift < 32; shift += 8)
            bytes.append(char((value >> shift) & 0xFF));
    }

    void appendBigEndian(QByteArray& bytes, quint32 value, int width = 4)
    {
        for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
            bytes.append(char((value >> shift) & 0xFF));
    }

    QByteArray block(int type, const QByteArray& body, bool last = false)
    {
        QByteArray bytes(1, char(type | (last ? 0x80 : 0)));
        appendBigEndian(bytes, quint32(body.size()), 3);
        return bytes + body;
    }

    // A Vorbis comment field name: printable ASCII without "=".
    bool validName(const QString& name)
    {
        for (const QChar c : name) {
            if (c.unicode() < 0x20 || c.unicode() > 0x7D || c == u'=')
                return false;
        }
        return !name.isEmpty();
    }

    // The vendor string of a VORBIS_COMMENT body, and its channel mask comment if it has one.
    bool readComments(const QByteArray& body, QByteArray* vendor, QByteArray* channelMask)
    {
        qsizetype at = 0;
        const auto field = [&](QByteArray* text) {
            if (at + 4 > body.size())
                return false;
            const quint32 size = qFromLittleEndian<quint32>(body.constData() + at);
            if (size > quint32(body.size() - at - 4))
                return false;
            *text = body.mid(at + 4, size);
            at += 4 + size;
            return true;
        };
        if (!field(vendor) || at + 4 > body.size())
            return false;
        const quint32 count = qFromLittleEndian<quint32>(body.constData() + at);
        at += 4;
        for (quint32 i = 0; i < count; ++i) {
            QByteArray comment;
            if (!field(&comment))
                return false;
            if (comment.toUpper().startsWith(channelMaskKey))
                *channelMask = comment;
        }
        return true;
    }

} // namespace

QList<QByteArray> vorbisComments(const QList<TagValue>& values)
{
    QList<QByteArray> comments;
    for (const TagValue& value : values) {
        QString name = value.key.toUpper();
        for (const CommentName& known : commentNames) {
            if (value.key == QLatin1String(known.key))
                name = QString::fromLatin1(known.name);
        }
        if (validName(name))
            comments.append(name.toLatin1() + '=' + value.value.toUtf8());
    }
    return comments;
}

QByteArray flacPicture(const CoverPicture& cover)
{
    if (cover.bytes.isEmpty())
        return {};
    const QByteArray mimeType = cover.mimeType.toLatin1();
    QByteArray body;
    appendBigEndian(body, quint32(frontCover));
    appendBigEndian(body, quint32(mimeType.size()));
    body += mimeType;
    // No description; the colour depth and palette size unknown, as ffmpeg writes them.
    appendBigEndian(body, 0);
    appendBigEndian(body, quint32(cover.width));
    appendBigEndian(body, quint32(cover.height));
    appendBigEndian(body, 0);
    appendBigEndian(body, 0);
    appendBigEndian(body, quint32(cover.bytes.size()));
    return body + cover.bytes;
}

qsizetype flacTagBytes(const QList<QByteArray>& comments, const QByteArray& picture)
{
    qsizetype bytes = picture.isEmpty() ? 0 : blockHeaderBytes + picture.size();
    for (const QByteArray& comment : comments)
        bytes += 4 + comment.size();
    return bytes;
}

bool writeFlacTags(const QString& path, const QList<QByteArray>& comments,
    const QByteArray& picture, QString* errorMessage)
{
    PieceFile file(path);
    if (!file.ok())
        return file.fail(errorMessage);
    if (file.read(0, 4) != "fLaC")
        return file.fail(errorMessage, trText("it is no FLAC file"));

    // The blocks up to the first frame: STREAMINFO first, those of other types kept as they
    // are, the comments, pictures and padding made anew within the same bytes.
    QByteArray kept;
    QByteArray vendor;
    QByteArray channelMask;
    off_t at = 4;
    for (bool last = false; !last;) {
        const QByteArray header = file.read(at, blockHeaderBytes);
        if (header.size() < blockHeaderBytes)
            return file.fail(errorMessage, trText("it is no FLAC file"));
        last = header[0] & 0x80;
        const int type = header[0] & 0x7F;
        const qsizetype size
            = qsizetype(quint8(header[1])) << 16 | quint8(header[2]) << 8 | quint8(header[3]);
        if (type != Padding && type != Picture) {
            const QByteArray body = file.read(at + blockHeaderBytes, size);
            if (body.size() < size
                || (type == VorbisComment && !readComments(body, &vendor, &channelMask)))
                return file.fail(errorMessage, trText("it is no FLAC file"));
            if (type != VorbisComment)
                kept += block(type, body);
        }
        at += blockHeaderBytes + size;
    }

    QByteArray commentBody;
    appendLittleEndian(commentBody, quint32(vendor.size()));
    commentBody += vendor;
    QList<QByteArray> all = comments;
    if (!channelMask.isEmpty())
        all.prepend(channelMask);
    appendLittleEndian(commentBody, quint32(all.size()));
    for (const QByteArray& comment : std::as_const(all)) {
        appendLittleEndian(commentBody, quint32(comment.size()));
        commentBody += comment;
    }
    QByteArray blocks = kept + block(VorbisComment, commentBody);
    if (!picture.isEmpty())
        blocks += block(Picture, picture);
    const qsizetype padding = qsizetype(at) - 4 - blocks.size() - blockHeaderBytes;
    if (padding < 0)
        return file.fail(errorMessage, trText("its padding leaves no room for the tags"));
    blocks += block(Padding, QByteArray(padding, '\0'), true);
    return file.write(4, blocks) || file.fail(errorMessage);
}

} // namespace brevane::detail
