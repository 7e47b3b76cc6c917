#include "pieces/opus_tags.h"

#include "error_text.h"

extern "C" {
#include <libavutil/crc.h>
}

#include <QFile>
#include <QtEndian>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace brevane::detail {

namespace {

    constexpr int pageHeaderBytes = 27;
    constexpr int mostLacingValues = 255;
    constexpr char continuedPacket = 0x01;
    const QByteArray pictureKey = QByteArrayLiteral("METADATA_BLOCK_PICTURE=");

    void appendLittleEndian(QByteArray& bytes, quint64 value, int width)
    {
        for (int i = 0; i < width; ++i, value >>= 8)
            bytes.append(char(value & 0xFF));
    }

    // The Ogg checksum of a page, over the page with its own checksum field zeroed. libavutil
    // computes this unreflected CRC with its bytes in reverse order (as ffmpeg's Ogg writer
    // stores it, big-endian), which puts them in the order Ogg stores them.
    void sealPage(QByteArray& page)
    {
        std::memset(page.data() + 22, 0, 4);
        const quint32 crc = av_crc(av_crc_get_table(AV_CRC_32_IEEE), 0,
            reinterpret_cast<const uint8_t*>(page.constData()), std::size_t(page.size()));
        qToBigEndian<quint32>(crc, page.data() + 22);
    }

    // The pages of one packet that starts a page, numbered from sequence. A page on which the
    // packet does not end has no granule position (-1); the one on which it ends has 0, as a
    // header page must.
    QList<QByteArray> pagesOf(const QByteArray& packet, quint32 serial, quint32 sequence)
    {
        QList<QByteArray> pages;
        qsizetype lacing = packet.size() / 255 + 1;
        qsizetype at = 0;
        for (bool first = true; lacing > 0; first = false) {
            const qsizetype values = std::min<qsizetype>(lacing, mostLacingValues);
            lacing -= values;
            QByteArray page("OggS\0", 5);
            page.append(first ? '\0' : continuedPacket);
            appendLittleEndian(page, lacing > 0 ? ~quint64(0) : 0, 8);
            appendLittleEndian(page, serial, 4);
            appendLittleEndian(page, sequence++, 4);
            appendLittleEndian(page, 0, 4);
            page.append(char(values));
            qsizetype body = 0;
            for (qsizetype i = 0; i < values; ++i) {
                const qsizetype segment = std::min<qsizetype>(packet.size() - at - body, 255);
                page.append(char(segment));
                body += segment;
            }
            page += packet.mid(at, body);
            at += body;
            sealPage(page);
            pages.append(page);
        }
        return pages;
    }

    // One whole page from file; empty at its end or on a page that is not whole.
    QByteArray readPage(QFile& file)
    {
        QByteArray page = file.read(pageHeaderBytes);
        if (page.size() < pageHeaderBytes || !page.startsWith("OggS"))
            return {};
        const int segments = quint8(page[26]);
        const QByteArray table = file.read(segments);
        if (table.size() < segments)
            return {};
        qsizetype body = 0;
        for (const char value : table)
            body += quint8(value);
        page += table + file.read(body);
        return page.size() == pageHeaderBytes + segments + body ? page : QByteArray();
    }

    // Where a page's body begins.
    qsizetype bodyOffset(const QByteArray& page) { return pageHeaderBytes + quint8(page[26]); }

    // Removes a scratch copy on every way out but its rename.
    struct ScratchCopy {
        explicit ScratchCopy(const QString& path)
            : file(path)
        {
        }
        QFile file;
        bool renamed = false;
        ~ScratchCopy()
        {
            if (!renamed)
                file.remove();
        }
    };

    bool failWith(const QString& path, const QString& reason, QString* errorMessage)
    {
        return fail(errorMessage, trText("Failed to write %1: %2").arg(path, reason));
    }

    QString systemReason() { return QString::fromLocal8Bit(std::strerror(errno)); }

} // namespace

qsizetype opusCommentBytes(const QList<QByteArray>& comments, const QByteArray& picture)
{
    qsizetype bytes = 4;
    for (const QByteArray& comment : comments)
        bytes += 4 + comment.size();
    if (!picture.isEmpty())
        bytes += 4 + pictureKey.size() + (picture.size() + 2) / 3 * 4;
    return bytes;
}

qsizetype opusTagPageBytes(const QByteArray& vendor, qsizetype commentBytes)
{
    const qsizetype packet = 8 + 4 + vendor.size() + commentBytes;
    const qsizetype lacing = packet / 255 + 1;
    const qsizetype pages = (lacing + mostLacingValues - 1) / mostLacingValues;
    return packet + lacing + pageHeaderBytes * pages;
}

bool writeOpusTags(const QString& path, const QString& scratchPath,
    const QList<QByteArray>& comments, const QByteArray& picture, qsizetype commentBytes,
    QString* errorMessage)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return failWith(path, file.errorString(), errorMessage);
    const QString notOpus = trText("it is no Ogg Opus file");
    const QByteArray head = readPage(file);
    if (head.isEmpty() || head.mid(bodyOffset(head), 8) != "OpusHead")
        return failWith(path, notOpus, errorMessage);

    // The old comment header: its pages, up to the one on which it ends, which it must fill.
    QByteArray oldPacket;
    qsizetype oldPages = 0;
    qsizetype oldBytes = 0;
    for (bool ended = false; !ended;) {
        const QByteArray page = readPage(file);
        if (page.isEmpty())
            return failWith(path, notOpus, errorMessage);
        const int segments = quint8(page[26]);
        ended = segments > 0 && quint8(page[pageHeaderBytes + segments - 1]) < 255;
        oldPacket += page.mid(bodyOffset(page));
        oldBytes += page.size();
        ++oldPages;
    }
    if (!oldPacket.startsWith("OpusTags") || oldPacket.size() < 12)
        return failWith(path, notOpus, errorMessage);
    const quint32 vendorSize = qFromLittleEndian<quint32>(oldPacket.constData() + 8);
    if (vendorSize > quint32(oldPacket.size() - 12))
        return failWith(path, notOpus, errorMessage);

    QByteArray packet = oldPacket.left(12 + vendorSize);
    appendLittleEndian(packet, quint32(comments.size() + (picture.isEmpty() ? 0 : 1)), 4);
    for (const QByteArray& comment : comments) {
        appendLittleEndian(packet, quint32(comment.size()), 4);
        packet += comment;
    }
    if (!picture.isEmpty()) {
        const QByteArray value = pictureKey + picture.toBase64();
        appendLittleEndian(packet, quint32(value.size()), 4);
        packet += value;
    }
    const qsizetype size = 12 + qsizetype(vendorSize) + commentBytes;
    if (packet.size() < size)
        packet.append(size - packet.size(), '\0');
    const quint32 serial = qFromLittleEndian<quint32>(head.constData() + 14);
    const QList<QByteArray> pages = pagesOf(packet, serial, 1);
    const QByteArray tagPages = pages.join();

    if (pages.size() == oldPages && tagPages.size() == oldBytes) {
        if (!file.seek(head.size()) || file.write(tagPages) != tagPages.size())
            return failWith(path, file.errorString(), errorMessage);
        return true;
    }

    // The audio pages follow at new places, and where the count of header pages changed,
    // with new numbers.
    ScratchCopy copy(scratchPath);
    if (!copy.file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return failWith(scratchPath, copy.file.errorString(), errorMessage);
    const qint64 renumber = qint64(pages.size()) - oldPages;
    bool written
        = copy.file.write(head) == head.size() && copy.file.write(tagPages) == tagPages.size();
    for (QByteArray page = readPage(file); written && !page.isEmpty(); page = readPage(file)) {
        if (renumber != 0) {
            const quint32 sequence = qFromLittleEndian<quint32>(page.constData() + 18);
            qToLittleEndian<quint32>(quint32(sequence + renumber), page.data() + 18);
            sealPage(page);
        }
        written = copy.file.write(page) == page.size();
    }
    if (!written || !file.atEnd())
        return failWith(scratchPath, written ? notOpus : copy.file.errorString(), errorMessage);
    if (!copy.file.flush())
        return failWith(scratchPath, copy.file.errorString(), errorMessage);
    copy.file.close();
    if (std::rename(QFile::encodeName(scratchPath).constData(), QFile::encodeName(path).constData())
        != 0)
        return failWith(path, systemReason(), errorMessage);
    copy.renamed = true;
    return true;
}

} // namespace brevane::detail
