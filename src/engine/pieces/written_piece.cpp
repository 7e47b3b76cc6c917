#include "pieces/written_piece.h"

#include "error_text.h"
#include "file_url.h"
#include "input/av_owners.h"
#include "pieces/cut_short_piece.h"
#include "pieces/piece_format.h"

#include <QFile>
#include <QStringList>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <memory>

namespace brevane::detail {

namespace {

    // Well beyond the few samples by which a resampled or re-encoded piece may differ from its
    // range, and far below what a stream that starts its count afresh loses.
    constexpr double allowedShortfallSeconds = 0.1;

    // The seconds of audio a compressed file decodes to, as ffmpeg decodes it. Its packets alone
    // do not tell: the encoder's delay and padding are stated in side data that one container
    // counts in the last packet's duration (Ogg) and another does not (MP3). Negative when the
    // file cannot be decoded.
    double decodedSeconds(const QString& path, PieceFormat format)
    {
        // The container is known: a short piece gives libavformat too little to tell it by, and
        // it would say so on standard error.
        const AVInputFormat* demuxer = av_find_input_format(
            format == PieceFormat::Opus ? "ogg" : pieceSuffix(format).toLatin1().constData());
        AVFormatContext* rawFormat = nullptr;
        if (avformat_open_input(
                &rawFormat, QFile::encodeName(fileUrl(path)).constData(), demuxer, nullptr)
            < 0)
            return -1.0;
        const FormatContextOwner container(rawFormat);
        const AVCodec* decoder = nullptr;
        const int audio = avformat_find_stream_info(container.get(), nullptr) < 0
            ? -1
            : av_find_best_stream(container.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (audio < 0 || !decoder)
            return -1.0;
        const CodecContextOwner codec(avcodec_alloc_context3(decoder));
        const PacketOwner packet(av_packet_alloc());
        const FrameOwner frame(av_frame_alloc());
        if (!codec || !packet || !frame
            || avcodec_parameters_to_context(codec.get(), container->streams[audio]->codecpar) < 0)
            return -1.0;
        // Without it the decoder warns on standard error for every delay it drops.
        codec->pkt_timebase = container->streams[audio]->time_base;
        if (avcodec_open2(codec.get(), decoder, nullptr) < 0)
            return -1.0;
        std::int64_t samples = 0;
        const auto takeFrames = [&] {
            while (avcodec_receive_frame(codec.get(), frame.get()) >= 0) {
                samples += frame->nb_samples;
                av_frame_unref(frame.get());
            }
        };
        while (av_read_frame(container.get(), packet.get()) >= 0) {
            // A packet the decoder refuses adds nothing, as in ffmpeg's own decode.
            if (packet->stream_index == audio)
                avcodec_send_packet(codec.get(), packet.get());
            av_packet_unref(packet.get());
            takeFrames();
        }
        avcodec_send_packet(codec.get(), nullptr);
        takeFrames();
        return codec->sample_rate > 0 ? double(samples) / codec->sample_rate : -1.0;
    }

    // The seconds of audio a piece file holds; negative when it cannot be read.
    double secondsHeld(const QString& path, PieceFormat format)
    {
        if (format != PieceFormat::Wav)
            return decodedSeconds(path, format);
        WavLayout layout;
        if (!readWavLayout(path, &layout) || layout.sampleRate <= 0)
            return -1.0;
        return double(layout.audioBytes() / layout.blockAlign) / double(layout.sampleRate);
    }

} // namespace

bool checkMuxerReport(const QByteArray& standardError, const QString& childPath,
    const QString& piecePath, QString* errorMessage)
{
    // The lines that name the output exactly as it was given, so that nothing the input's
    // decoder says can be taken for them.
    const QStringList failures {
        QStringLiteral("Error writing trailer of ") + childPath + QStringLiteral(": "),
        QStringLiteral("Error closing file ") + childPath + QStringLiteral(": "),
    };
    const QStringList lines = QString::fromUtf8(standardError).split(u'\n');
    for (const QString& failure : failures) {
        for (const QString& line : lines) {
            if (line.startsWith(failure))
                return fail(errorMessage,
                    trText("Failed to write %1: %2")
                        .arg(piecePath, line.mid(failure.size()).trimmed()));
        }
    }
    return true;
}

bool checkPieceLength(
    const QString& path, PieceFormat format, double askedSeconds, QString* errorMessage)
{
    const double held = std::max(secondsHeld(path, format), 0.0);
    if (askedSeconds - held <= allowedShortfallSeconds)
        return true;
    return fail(errorMessage,
        trText("Piece %1 holds %2 of the %3 asked for; this input's timing cannot be cut "
               "exactly in the default mode (try --one-pass)")
            .arg(path, formatDuration(held), formatDuration(askedSeconds)));
}

} // namespace brevane::detail
