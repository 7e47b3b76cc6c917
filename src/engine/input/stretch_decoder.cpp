#include "input/stretch_decoder.h"

#include "error_text.h"
#include "file_io.h"
#include "file_url.h"
#include "input/av_owners.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace brevane::detail {

namespace {

    // Frames handed on at a time: large enough that the consumer's per-call cost vanishes,
    // small enough to stay in the cache.
    constexpr std::int64_t chunkFrames = 1 << 15;

    // One sample of a decoded frame as the float the ffmpeg program's conversion gives for it
    // (libswresample's: integers scaled by a power of two, doubles rounded to float).
    float sampleAsFloat(const AVFrame& frame, int channel, int index)
    {
        const auto format = AVSampleFormat(frame.format);
        const bool planar = av_sample_fmt_is_planar(format) != 0;
        const int channels = frame.ch_layout.nb_channels;
        const int plane = planar ? channel : 0;
        const int at = planar ? index : index * channels + channel;
        const std::uint8_t* data = frame.extended_data[plane];
        switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8:
            return float(int(data[at]) - 0x80) * (1.0f / 128);
        case AV_SAMPLE_FMT_S16:
            return float(reinterpret_cast<const std::int16_t*>(data)[at]) * (1.0f / 32768);
        case AV_SAMPLE_FMT_S32:
            return float(reinterpret_cast<const std::int32_t*>(data)[at]) * (1.0f / 2147483648.0f);
        case AV_SAMPLE_FMT_DBL:
            return float(reinterpret_cast<const double*>(data)[at]);
        default:
            return reinterpret_cast<const float*>(data)[at];
        }
    }

    bool convertible(int format)
    {
        switch (av_get_packed_sample_fmt(AVSampleFormat(format))) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_DBL:
            return true;
        default:
            return false;
        }
    }

    // Appends samples [first, first + count) of frame to floats, interleaved.
    void appendFloats(const AVFrame& frame, int first, int count, QByteArray& floats)
    {
        const int channels = frame.ch_layout.nb_channels;
        const qsizetype at = floats.size();
        floats.resize(at + qsizetype(count) * channels * 4);
        auto* out = reinterpret_cast<float*>(floats.data() + at);
        if (frame.format == AV_SAMPLE_FMT_FLTP) {
            for (int c = 0; c < channels; ++c) {
                const auto* plane = reinterpret_cast<const float*>(frame.extended_data[c]) + first;
                for (int i = 0; i < count; ++i)
                    out[i * channels + c] = plane[i];
            }
            return;
        }
        if (frame.format == AV_SAMPLE_FMT_FLT) {
            std::memcpy(out, frame.extended_data[0] + std::size_t(first) * channels * 4,
                std::size_t(count) * channels * 4);
            return;
        }
        for (int i = 0; i < count; ++i) {
            for (int c = 0; c < channels; ++c)
                out[i * channels + c] = sampleAsFloat(frame, c, first + i);
        }
    }

    // A decoder of one stream, fed packets in order, and the frames it gives back.
    class FrameDecoder {
    public:
        bool open(const AVCodecParameters* parameters)
        {
            const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
            m_context.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
            m_frame.reset(av_frame_alloc());
            return m_context && m_frame
                && avcodec_parameters_to_context(m_context.get(), parameters) >= 0
                && avcodec_open2(m_context.get(), codec, nullptr) >= 0;
        }

        // Sends one packet and hands each frame it gives to take. A packet the decoder rejects
        // gives nothing, as in the ffmpeg program, which goes on after it.
        template <typename Take> bool decode(AVPacket* packet, const Take& take)
        {
            if (avcodec_send_packet(m_context.get(), packet) < 0)
                return true;
            for (;;) {
                const int received = avcodec_receive_frame(m_context.get(), m_frame.get());
                if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                    return true;
                if (received < 0)
                    return true;
                const bool taken = take(*m_frame);
                av_frame_unref(m_frame.get());
                if (!taken)
                    return false;
            }
        }

    private:
        CodecContextOwner m_context;
        FrameOwner m_frame;
    };

    // Where a stretch's frames go: gathered into chunks, each handed on when full.
    class ChunkGatherer {
    public:
        ChunkGatherer(const FloatChunkConsumer& consume, int channels)
            : m_consume(consume)
            , m_frameBytes(qsizetype(channels) * 4)
        {
        }
        QByteArray& buffer() { return m_floats; }
        bool flushIfFull(bool force)
        {
            if (m_floats.isEmpty() || (!force && m_floats.size() < chunkFrames * m_frameBytes))
                return true;
            const bool go = m_consume(m_floats);
            // Emptied, not freed: the next chunk takes the same memory.
            m_floats.resize(0);
            return go;
        }

    private:
        const FloatChunkConsumer& m_consume;
        const qsizetype m_frameBytes;
        QByteArray m_floats;
    };

    // The frames a decode has reached: everything before `next` has been handed on, and the
    // samples of the last decoded frame that lie past the stretch wait for the next one, which
    // goes on from there.
    struct PendingFrames {
        std::int64_t next = -1;
        QByteArray floats;
        qsizetype frameBytes = 0;

        void restart(std::int64_t frame)
        {
            next = frame;
            floats.clear();
        }

        // Hands on the waiting frames that lie before `to`.
        void deliver(std::int64_t to, QByteArray& out)
        {
            if (floats.isEmpty())
                return;
            const qsizetype frames = std::min<qsizetype>(floats.size() / frameBytes, to - next);
            out.append(floats.constData(), frames * frameBytes);
            floats.remove(0, frames * frameBytes);
            next += frames;
        }

        // The decoded frame holds, after `head` samples dropped, samples [start, start + count)
        // of the whole decode: those from `next` to `to` are handed on, those after wait.
        void take(const AVFrame& frame, int head, std::int64_t start, std::int64_t count,
            std::int64_t to, QByteArray& out)
        {
            frameBytes = qsizetype(frame.ch_layout.nb_channels) * 4;
            const std::int64_t begin = std::max(start, next);
            const std::int64_t end = start + count;
            if (end <= begin)
                return;
            const std::int64_t handed = std::min(end, to);
            if (handed > begin)
                appendFloats(frame, int(head + begin - start), int(handed - begin), out);
            if (end > handed) {
                floats.resize(0);
                appendFloats(frame, int(head + std::max(handed, begin) - start),
                    int(end - std::max(handed, begin)), floats);
            }
            next = std::max(handed, begin);
        }
    };

    bool failReading(const QString& path, int errorNumber, QString* errorMessage)
    {
        return fail(errorMessage,
            trText("Failed to read %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(errorNumber))));
    }

    // MP3: the packets come from the file itself, at the places the index lists, and each
    // stretch starts its own decoder far enough before its first frame.
    class Mp3StretchDecoder final : public StretchDecoder {
    public:
        Mp3StretchDecoder(const QString& path, const Mp3Index& index, int channels)
            : m_path(path)
            , m_index(index)
            , m_channels(channels)
        {
            m_parameters.reset(avcodec_parameters_alloc());
            if (m_parameters) {
                m_parameters->codec_type = AVMEDIA_TYPE_AUDIO;
                m_parameters->codec_id = AV_CODEC_ID_MP3;
            }
            m_packet.reset(av_packet_alloc());
        }
        ~Mp3StretchDecoder() override
        {
            if (m_fd >= 0)
                ::close(m_fd);
        }

        std::int64_t totalFrames() const override { return m_index.totalFrames; }
        std::int64_t framesDecoded() const override { return m_decoded; }

        bool decode(std::int64_t from, std::int64_t to, const FloatChunkConsumer& consume,
            QString* errorMessage) override
        {
            to = std::min(to, m_index.totalFrames);
            if (from >= to)
                return true;
            if (m_fd < 0) {
                m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
                if (m_fd < 0)
                    return failReading(m_path, errno, errorMessage);
            }
            if (!m_decoder || from != m_pending.next) {
                m_decoder = std::make_unique<FrameDecoder>();
                if (!m_parameters || !m_packet || !m_decoder->open(m_parameters.get())) {
                    m_decoder.reset();
                    return fail(errorMessage, trText("Failed to start the MP3 decoder"));
                }
                m_nextPacket = mp3LeadInStart(m_index, m_index.packetAt(from));
                m_pending.restart(from);
            }
            ChunkGatherer chunks(consume, m_channels);
            m_pending.deliver(to, chunks.buffer());
            while (m_pending.next < to && m_nextPacket < m_index.packets.size()) {
                const Mp3Packet& entry = m_index.packets[m_nextPacket];
                if (!readPacket(entry, errorMessage))
                    return false;
                ++m_nextPacket;
                int frames = 0;
                bool fits = true;
                m_decoder->decode(m_packet.get(), [&](const AVFrame& frame) {
                    m_decoded += frame.nb_samples;
                    fits = frames == 0 && frame.nb_samples == m_index.samplesPerFrame()
                        && frame.ch_layout.nb_channels == m_channels;
                    ++frames;
                    if (fits)
                        m_pending.take(
                            frame, entry.head, entry.outputStart, entry.count, to, chunks.buffer());
                    return true;
                });
                // The index promised these samples; a decoder that does not give them would
                // put every later frame in the wrong place.
                if (entry.count > 0 && (frames == 0 || !fits)) {
                    m_decoder.reset();
                    return fail(errorMessage,
                        trText("Failed to read %1: %2")
                            .arg(m_path, trText("a frame did not decode to its samples")));
                }
                if (!chunks.flushIfFull(false))
                    return false;
            }
            return chunks.flushIfFull(true);
        }

    private:
        // The packet's bytes into m_packet, from a buffer read ahead in large blocks.
        bool readPacket(const Mp3Packet& entry, QString* errorMessage)
        {
            if (entry.position < m_bufferStart || entry.position + entry.bytes > m_bufferEnd) {
                const std::int64_t length = std::max<std::int64_t>(readAheadBytes, entry.bytes);
                m_buffer.resize(std::size_t(length));
                const std::int64_t got = readUpTo(
                    m_fd, reinterpret_cast<char*>(m_buffer.data()), length, entry.position);
                if (got < 0)
                    return failReading(m_path, int(-got), errorMessage);
                m_bufferStart = entry.position;
                m_bufferEnd = entry.position + got;
                if (got < entry.bytes)
                    return failReading(m_path, EIO, errorMessage);
            }
            m_packet->data = m_buffer.data() + (entry.position - m_bufferStart);
            m_packet->size = entry.bytes;
            return true;
        }

        static constexpr std::int64_t readAheadBytes = 1 << 20;

        const QString m_path;
        const Mp3Index& m_index;
        const int m_channels;
        struct ParametersFree {
            void operator()(AVCodecParameters* parameters) const
            {
                avcodec_parameters_free(&parameters);
            }
        };
        std::unique_ptr<AVCodecParameters, ParametersFree> m_parameters;
        PacketOwner m_packet;
        std::unique_ptr<FrameDecoder> m_decoder;
        int m_fd = -1;
        std::vector<std::uint8_t> m_buffer;
        std::int64_t m_bufferStart = 0;
        std::int64_t m_bufferEnd = 0;
        std::size_t m_nextPacket = 0;
        PendingFrames m_pending;
        std::int64_t m_decoded = 0;
    };

    // PCM in a WAV file: the demuxer reaches any frame exactly, and every packet says where its
    // frames lie.
    class PcmStretchDecoder final : public StretchDecoder {
    public:
        PcmStretchDecoder(const QString& path, int streamIndex, int channels)
            : m_path(path)
            , m_streamIndex(streamIndex)
            , m_channels(channels)
        {
        }

        // Opens the input and finds where its decode ends, by decoding its last frame.
        bool open(QString* why)
        {
            AVFormatContext* raw = nullptr;
            if (avformat_open_input(
                    &raw, QFile::encodeName(fileUrl(m_path)).constData(), nullptr, nullptr)
                    < 0
                || !raw)
                return setWhy(why, "the input cannot be opened");
            m_context.reset(raw);
            if (avformat_find_stream_info(m_context.get(), nullptr) < 0 || m_streamIndex < 0
                || m_streamIndex >= int(m_context->nb_streams))
                return setWhy(why, "the input's streams cannot be read");
            const AVStream* stream = m_context->streams[m_streamIndex];
            m_packet.reset(av_packet_alloc());
            if (!m_packet || !isPcm(stream->codecpar->codec_id))
                return setWhy(why, "its samples are not PCM");
            if (stream->duration <= 0 || stream->time_base.num != 1
                || stream->time_base.den != stream->codecpar->sample_rate)
                return setWhy(why, "the file does not state its length");
            m_total = stream->duration;
            // Where the file holds less than its header states, the decode ends earlier: its
            // last frame must be there.
            qsizetype last = 0;
            const bool read = decode(
                m_total - 1, m_total,
                [&](QByteArray& floats) {
                    last += floats.size();
                    return true;
                },
                nullptr);
            if (!read || last != qsizetype(m_channels) * 4)
                return setWhy(why, "the file holds fewer frames than it states");
            m_decoded = 0;
            return true;
        }

        std::int64_t totalFrames() const override { return m_total; }
        std::int64_t framesDecoded() const override { return m_decoded; }

        bool decode(std::int64_t from, std::int64_t to, const FloatChunkConsumer& consume,
            QString* errorMessage) override
        {
            to = std::min(to, m_total);
            if (from >= to)
                return true;
            if (!m_decoder || from != m_pending.next) {
                m_decoder = std::make_unique<FrameDecoder>();
                if (!m_decoder->open(m_context->streams[m_streamIndex]->codecpar)
                    || av_seek_frame(m_context.get(), m_streamIndex, from, AVSEEK_FLAG_BACKWARD)
                        < 0) {
                    m_decoder.reset();
                    return fail(errorMessage,
                        trText("Failed to read %1: %2").arg(m_path, trText("cannot seek")));
                }
                m_pending.restart(from);
            }
            ChunkGatherer chunks(consume, m_channels);
            m_pending.deliver(to, chunks.buffer());
            bool wrong = false;
            const auto take = [&](const AVFrame& frame) {
                m_decoded += frame.nb_samples;
                // Every frame must say where it lies, and follow on from the last.
                wrong = frame.pts == AV_NOPTS_VALUE || frame.pts > m_pending.next
                    || frame.ch_layout.nb_channels != m_channels || !convertible(frame.format);
                if (!wrong)
                    m_pending.take(frame, 0, frame.pts, frame.nb_samples, to, chunks.buffer());
                return !wrong;
            };
            while (m_pending.next < to) {
                const int read = av_read_frame(m_context.get(), m_packet.get());
                if (read < 0) {
                    m_decoder.reset();
                    return fail(errorMessage,
                        trText("Failed to read %1: %2").arg(m_path, ffmpegErrorToString(read)));
                }
                if (m_packet->stream_index == m_streamIndex)
                    m_decoder->decode(m_packet.get(), take);
                av_packet_unref(m_packet.get());
                if (wrong) {
                    m_decoder.reset();
                    return fail(errorMessage,
                        trText("Failed to read %1: %2").arg(m_path, trText("unexpected samples")));
                }
                if (!chunks.flushIfFull(false))
                    return false;
            }
            return chunks.flushIfFull(true);
        }

    private:
        static bool setWhy(QString* why, const char* text)
        {
            if (why)
                *why = QString::fromLatin1(text);
            return false;
        }

        static bool isPcm(AVCodecID codec)
        {
            switch (codec) {
            case AV_CODEC_ID_PCM_U8:
            case AV_CODEC_ID_PCM_S16LE:
            case AV_CODEC_ID_PCM_S24LE:
            case AV_CODEC_ID_PCM_S32LE:
            case AV_CODEC_ID_PCM_F32LE:
            case AV_CODEC_ID_PCM_F64LE:
                return true;
            default:
                return false;
            }
        }

        const QString m_path;
        const int m_streamIndex;
        const int m_channels;
        FormatContextOwner m_context;
        PacketOwner m_packet;
        std::unique_ptr<FrameDecoder> m_decoder;
        PendingFrames m_pending;
        std::int64_t m_total = 0;
        std::int64_t m_decoded = 0;
    };

} // namespace

Mp3LeadIn mp3LeadIn(const Mp3Index& index, std::size_t first)
{
    const std::vector<Mp3Packet>& packets = index.packets;
    if (first == 0 || first > packets.size())
        return {};
    // The synthesis of a granule's samples takes in the granule before it, whose own samples
    // overlap the one before that: the two granules before `first` must be decoded from
    // their full main data. An MPEG-1 frame holds two granules, an MPEG-2 or 2.5 frame one.
    const std::size_t overlapFrames = index.shape.version == 1 ? 1 : 2;
    Mp3LeadIn leadIn;
    leadIn.exact = first > overlapFrames ? first - overlapFrames : 0;
    // How many bytes before the region of that frame the earliest main data of the frames from
    // it to `first` begins.
    std::int64_t regionsBefore = 0;
    for (std::size_t frame = leadIn.exact; frame <= first && frame < packets.size(); ++frame) {
        leadIn.reservoirBytes = std::max<std::int64_t>(
            leadIn.reservoirBytes, packets[frame].mainDataBegin - regionsBefore);
        regionsBefore += packets[frame].regionBytes;
    }
    leadIn.start = leadIn.exact;
    for (std::int64_t reach = leadIn.reservoirBytes; reach > 0 && leadIn.start > 0;) {
        --leadIn.start;
        reach -= packets[leadIn.start].regionBytes;
    }
    return leadIn;
}

std::size_t mp3LeadInStart(const Mp3Index& index, std::size_t first)
{
    return mp3LeadIn(index, first).start;
}

std::unique_ptr<StretchDecoder> openStretchDecoder(
    const QString& inputPath, const StreamInfo& stream, const Mp3Index* mp3Index, QString* why)
{
    // The decoder child remixes a layout other than the default for its count; the frames
    // here would keep it.
    if (stream.layoutRemixed) {
        if (why)
            *why = QStringLiteral("its channels are remixed");
        return nullptr;
    }
    if (mp3Index) {
        if (!mp3Index->regular()) {
            if (why)
                *why = mp3Index->irregularity;
            return nullptr;
        }
        if (mp3Index->shape.sampleRate != stream.sampleRate
            || mp3Index->shape.channelCount() != stream.channelCount) {
            if (why)
                *why = QStringLiteral("its frames differ from its stream's description");
            return nullptr;
        }
        return std::make_unique<Mp3StretchDecoder>(inputPath, *mp3Index, stream.channelCount);
    }
    auto pcm
        = std::make_unique<PcmStretchDecoder>(inputPath, stream.streamIndex, stream.channelCount);
    if (!pcm->open(why))
        return nullptr;
    return pcm;
}

} // namespace brevane::detail
