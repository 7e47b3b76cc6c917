#include "pieces/id3_tag.h"

#include "error_text.h"
#include "pieces/piece_file.h"

#include <QRegularExpression>

#include <array>
#include <cstring>

namespace brevane::detail {

namespace {

    constexpr int headerBytes = 10;
    constexpr char latin1Encoding = 0;
    constexpr char utf16Encoding = 1;
    constexpr char frontCover = 3;

    // libavformat's names for the text frames it reads, and the frames they go back into.
    struct FrameName {
        const char* key;
        const char* frame;
    };
    constexpr std::array<FrameName, 18> frameNames { { { "title", "TIT2" }, { "album", "TALB" },
        { "track", "TRCK" }, { "artist", "TPE1" }, { "album_artist", "TPE2" },
        { "performer", "TPE3" }, { "composer", "TCOM" }, { "genre", "TCON" },
        { "copyright", "TCOP" }, { "encoded_by", "TENC" }, { "language", "TLAN" },
        { "disc", "TPOS" }, { "publisher", "TPUB" }, { "grouping", "TIT1" },
        { "compilation", "TCMP" }, { "album-sort", "TSOA" }, { "artist-sort", "TSOP" },
        { "title-sort", "TSOT" } } };

    // Text frames of ID3v2.3 that libavformat passes on under their own ID.
    constexpr std::array<const char*, 17> ownNameFrames { "TBPM", "TDLY", "TEXT", "TFLT", "TIT3",
        "TKEY", "TMED", "TOAL", "TOFN", "TOLY", "TOPE", "TORY", "TOWN", "TPE4", "TRSN", "TRSO",
        "TSRC" };

    void appendBigEndian(QByteArray& bytes, quint32 value)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.append(char((value >> shift) & 0xFF));
    }

    QByteArray syncSafe(quint32 value)
    {
        QByteArray bytes;
        for (int shift = 21; shift >= 0; shift -= 7)
            bytes.append(char((value >> shift) & 0x7F));
        return bytes;
    }

    bool isAscii(const QString& text)
    {
        for (const QChar c : text) {
            if (c.unicode() > 0x7F)
                return false;
        }
        return true;
    }

    char encodingFor(const QString& text) { return isAscii(text) ? latin1Encoding : utf16Encoding; }

    // text in encoding, ended by the encoding's terminator when terminated.
    QByteArray encoded(const QString& text, char encoding, bool terminated)
    {
        QByteArray bytes;
        if (encoding == latin1Encoding) {
            bytes = text.toLatin1();
        } else {
            bytes = QByteArray("\xFF\xFE", 2);
            for (const QChar c : text) {
                bytes.append(char(c.unicode() & 0xFF));
                bytes.append(char(c.unicode() >> 8));
            }
        }
        if (terminated)
            bytes.append(encoding == latin1Encoding ? 1 : 2, '\0');
        return bytes;
    }

    QByteArray frame(const char* id, const QByteArray& body)
    {
        QByteArray bytes(id, 4);
        appendBigEndian(bytes, quint32(body.size()));
        bytes.append(2, '\0');
        return bytes + body;
    }

    QByteArray textFrame(const char* id, const QString& text)
    {
        const char encoding = encodingFor(text);
        return frame(id, encoding + encoded(text, encoding, false));
    }

    // TXXX with the tag's own name as its description, as libavformat reads it back.
    QByteArray userTextFrame(const QString& key, const QString& text)
    {
        const char encoding = isAscii(key) && isAscii(text) ? latin1Encoding : utf16Encoding;
        return frame(
            "TXXX", encoding + encoded(key, encoding, true) + encoded(text, encoding, false));
    }

    QByteArray commentFrame(const QString& text)
    {
        const char encoding = encodingFor(text);
        // Language unknown, no short description.
        return frame("COMM",
            encoding + QByteArray("XXX") + encoded(QString(), encoding, true)
                + encoded(text, encoding, false));
    }

    // A date of ID3v2.3: the year in TYER, day and month (DDMM) in TDAT; one it cannot state
    // goes whole into TXXX.
    QByteArray dateFrames(const QString& date)
    {
        static const QRegularExpression isoDate(QStringLiteral("^(\\d{4})(?:-(\\d{2})-(\\d{2}))?"));
        const QRegularExpressionMatch match = isoDate.match(date);
        if (!match.hasMatch())
            return userTextFrame(QStringLiteral("date"), date);
        QByteArray frames = textFrame("TYER", match.captured(1));
        if (match.hasCaptured(2))
            frames += textFrame("TDAT", match.captured(3) + match.captured(2));
        return frames;
    }

    QByteArray frameFor(const TagValue& value)
    {
        for (const FrameName& name : frameNames) {
            if (value.key == QLatin1String(name.key))
                return textFrame(name.frame, value.value);
        }
        if (value.key == QLatin1String("date"))
            return dateFrames(value.value);
        if (value.key == QLatin1String("comment"))
            return commentFrame(value.value);
        const QByteArray id = value.key.toUpper().toLatin1();
        for (const char* own : ownNameFrames) {
            if (id == own)
                return textFrame(own, value.value);
        }
        return userTextFrame(value.key, value.value);
    }

    QByteArray pictureFrame(const CoverPicture& cover)
    {
        return frame("APIC",
            latin1Encoding + cover.mimeType.toLatin1() + '\0' + frontCover + '\0' + cover.bytes);
    }

} // namespace

QByteArray id3v2Tag(const QList<TagValue>& values, const CoverPicture& cover, qsizetype size)
{
    QByteArray frames;
    for (const TagValue& value : values)
        frames += frameFor(value);
    if (!cover.bytes.isEmpty())
        frames += pictureFrame(cover);
    if (size > headerBytes + frames.size())
        frames.append(size - headerBytes - frames.size(), '\0');
    return QByteArray("ID3\x03\x00\x00", 6) + syncSafe(quint32(frames.size())) + frames;
}

bool replaceId3v2Tag(const QString& path, const QByteArray& tag, QString* errorMessage)
{
    PieceFile file(path);
    if (!file.ok())
        return file.fail(errorMessage);
    const QByteArray header = file.read(0, headerBytes);
    if (header.size() < headerBytes || !header.startsWith("ID3"))
        return file.fail(errorMessage, trText("it has no ID3v2 tag to replace"));
    quint32 body = 0;
    for (int i = 6; i < headerBytes; ++i)
        body = body << 7 | (quint8(header[i]) & 0x7F);
    // A footer, which ffmpeg never writes, becomes padding.
    const qsizetype room = headerBytes + qsizetype(body) + ((header[5] & 0x10) ? headerBytes : 0);
    if (tag.size() > room || !tag.startsWith("ID3"))
        return file.fail(errorMessage, trText("its ID3v2 tag leaves no room for the tags"));
    QByteArray padded = tag;
    padded.replace(6, 4, syncSafe(quint32(room - headerBytes)));
    padded.append(room - tag.size(), '\0');
    return file.write(0, padded) || file.fail(errorMessage);
}

} // namespace brevane::detail
