#include "pieces/cut_short_piece.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>

#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

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

    // Whether a compressed file holds at least one packet of audio, as a player would read it.
    bool holdsAudioPacket(const QString& path)
    {
        AVFormatContext* context = nullptr;
        if (avformat_open_input(&context, QFile::encodeName(path).constData(), nullptr, nullptr)
            < 0)
            return false;
        AVPacket* packet = av_packet_alloc();
        bool found = false;
        while (!found && packet && av_read_frame(context, packet) >= 0) {
            const AVStream* stream = context->streams[packet->stream_index];
            found = stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && packet->size > 0;
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        avformat_close_input(&context);
        return found;
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
