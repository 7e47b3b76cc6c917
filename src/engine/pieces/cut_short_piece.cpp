#include "pieces/cut_short_piece.h"

#include "input/stream_probe.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>

#include <unistd.h>

namespace brevane::detail {

namespace {

    constexpr std::uint32_t sizeUnstated = 0xFFFFFFFF;

    // The bytes of audio a WAV file holds; -1 for a file that is no WAV.
    qint64 wavAudioBytes(const QString& path)
    {
        WavLayout layout;
        return readWavLayout(path, &layout) ? layout.audioBytes() : -1;
    }

    // ffmpeg writes 0xFFFFFFFF in the RIFF and data sizes and states them only once the piece is
    // complete; where the disk filled, it may state them and then fail to write the last of
    // the audio. A piece whose ffmpeg failed could so claim more audio than it holds, up to
    // 4 GiB: it is given the sizes of the whole frames it holds, and a partial frame at its end
    // is cut off. Sizes past what a RIFF header states are left unstated, which readers take as
    // "up to the end".
    void stateWholeFrames(const QString& path)
    {
        WavLayout layout;
        if (!readWavLayout(path, &layout) || layout.rf64)
            return;
        const qint64 follows = layout.fileBytes - layout.dataOffset;
        if (layout.statedBytes != sizeUnstated && layout.statedBytes <= follows)
            return;
        const qint64 bytes = follows / layout.blockAlign * layout.blockAlign;
        const qint64 riffSize = layout.dataOffset - 8 + bytes;
        QFile file(path);
        if (riffSize > qint64(sizeUnstated) || !file.open(QIODevice::ReadWrite)
            || !file.resize(layout.dataOffset + bytes))
            return;
        char size[4];
        qToLittleEndian(std::uint32_t(riffSize), size);
        if (file.seek(4))
            file.write(size, 4);
        qToLittleEndian(std::uint32_t(bytes), size);
        if (file.seek(layout.dataOffset - 4))
            file.write(size, 4);
    }

} // namespace

std::int64_t WavLayout::audioBytes() const
{
    const std::int64_t follows = fileBytes - dataOffset;
    return rf64 || statedBytes == sizeUnstated ? follows
                                               : std::min<std::int64_t>(statedBytes, follows);
}

bool readWavLayout(const QString& path, WavLayout* layout)
{
    QFile file(path);
    const QByteArray magic = file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
    if (magic != "RIFF" && magic != "RF64")
        return false;
    WavLayout found;
    found.rf64 = magic == "RF64";
    found.fileBytes = file.size();
    for (qint64 chunk = 12; file.seek(chunk);) {
        const QByteArray header = file.read(8);
        if (header.size() < 8)
            return false;
        const quint32 size = qFromLittleEndian<quint32>(header.constData() + 4);
        if (header.startsWith("fmt ")) {
            char format[14];
            if (file.read(format, sizeof format) != sizeof format)
                return false;
            found.sampleRate = qFromLittleEndian<quint32>(format + 4);
            found.blockAlign = qFromLittleEndian<quint16>(format + 12);
        } else if (header.startsWith("data")) {
            found.dataOffset = chunk + 8;
            found.statedBytes = size;
            *layout = found;
            return found.blockAlign > 0;
        }
        chunk += 8 + qint64(size) + (size & 1);
    }
    return false;
}

bool FileState::sameAs(const FileState& other) const
{
    return regular == other.regular && device == other.device && inode == other.inode
        && size == other.size && modified.tv_sec == other.modified.tv_sec
        && modified.tv_nsec == other.modified.tv_nsec;
}

FileState fileState(const QString& path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    return { true, status.st_dev, status.st_ino, status.st_size, status.st_mtim };
}

// ffmpeg reaches the piece only after decoding the input up to it, which for a piece far into
// the input takes seconds; stopped before that, it leaves a file without audio.
bool keepCutShortPiece(const QString& path, const FileState& before, PieceFormat format)
{
    const FileState after = fileState(path);
    if (!after.regular || after.sameAs(before))
        return false;
    if (format == PieceFormat::Wav)
        stateWholeFrames(path);
    const bool holdsAudio
        = format == PieceFormat::Wav ? wavAudioBytes(path) > 0 : holdsAudioPacket(path);
    if (!holdsAudio)
        ::unlink(QFile::encodeName(path).constData());
    return holdsAudio;
}

} // namespace brevane::detail
