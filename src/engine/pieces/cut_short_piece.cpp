#include "pieces/cut_short_piece.h"

#include "input/stream_probe.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>

#include <unistd.h>

namespace brevane::detail {

namespace {

    // The bytes of audio a WAV file holds, as far as its header states them (an RF64 header
    // states them elsewhere: then all that follows); -1 for a file that is no WAV.
    qint64 wavAudioBytes(const QString& path)
    {
        QFile file(path);
        const QByteArray magic = file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
        if (magic != "RIFF" && magic != "RF64")
            return -1;
        for (qint64 chunk = 12; file.seek(chunk);) {
            const QByteArray header = file.read(8);
            if (header.size() < 8)
                return -1;
            const quint32 size = qFromLittleEndian<quint32>(header.constData() + 4);
            const qint64 follows = file.size() - chunk - 8;
            if (header.startsWith("data"))
                return size == 0xFFFFFFFF ? follows : std::min<qint64>(size, follows);
            chunk += 8 + qint64(size) + (size & 1);
        }
        return -1;
    }

} // namespace

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
    const bool holdsAudio
        = format == PieceFormat::Wav ? wavAudioBytes(path) > 0 : holdsAudioPacket(path);
    if (!holdsAudio)
        ::unlink(QFile::encodeName(path).constData());
    return holdsAudio;
}

} // namespace brevane::detail
