#include "input/mp3_index.h"

#include "error_text.h"
#include "file_url.h"
#include "input/av_owners.h"
#include "input/stream_probe.h"

#include <QFile>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
}

#include <algorithm>
#include <memory>

namespace brevane::detail {

namespace {

    // The size of the ID3v2 tag at the start of the file: its 7-bit size bytes, and a footer
    // when its flags say so.
    std::int64_t id3v2Size(const QByteArray& start)
    {
        if (start.size() < 10 || !start.startsWith("ID3"))
            return 0;
        std::int64_t size = 0;
        for (int i = 6; i < 10; ++i)
            size = size << 7 | (std::uint8_t(start.at(i)) & 0x7F);
        return 10 + size + ((std::uint8_t(start.at(5)) & 0x10) ? 10 : 0);
    }

    // The encoder named in the gapless (LAME) header of the frame at the start of bytes: after
    // "Xing" or "Info", its flags and the fields they announce.
    QByteArray gaplessEncoder(const QByteArray& bytes)
    {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
        Mp3FrameHeader header;
        if (!parseMp3FrameHeader(data, std::size_t(bytes.size()), &header))
            return {};
        qsizetype at = 4 + header.sideInfoBytes;
        if (bytes.size() < at + 8
            || (bytes.mid(at, 4) != QByteArrayLiteral("Xing")
                && bytes.mid(at, 4) != QByteArrayLiteral("Info")))
            return {};
        const std::uint32_t flags = AV_RB32(data + at + 4);
        at += 8 + ((flags & 1) ? 4 : 0) + ((flags & 2) ? 4 : 0) + ((flags & 4) ? 100 : 0)
            + ((flags & 8) ? 4 : 0);
        return bytes.size() >= at + 9 ? bytes.mid(at, 9) : QByteArray();
    }

} // namespace

std::size_t Mp3Index::packetAt(std::int64_t frame) const
{
    // The last packet whose output starts at or before the frame.
    const auto after = std::upper_bound(packets.begin(), packets.end(), frame,
        [](std::int64_t value, const Mp3Packet& packet) { return value < packet.outputStart; });
    return after == packets.begin() ? 0 : std::size_t(after - packets.begin()) - 1;
}

bool indexMp3Stream(
    const QString& inputPath, int streamIndex, Mp3Index* index, QString* errorMessage)
{
    Mp3Index built;
    {
        QFile file(inputPath);
        if (!file.open(QIODevice::ReadOnly))
            return fail(
                errorMessage, trText("Failed to read %1: %2").arg(inputPath, file.errorString()));
        built.id3v2Bytes = id3v2Size(file.read(10));
        if (file.seek(built.id3v2Bytes))
            built.encoderVersion = gaplessEncoder(file.read(4096));
    }

    AVFormatContext* rawContext = nullptr;
    const int opened = avformat_open_input(
        &rawContext, QFile::encodeName(fileUrl(inputPath)).constData(), nullptr, nullptr);
    if (opened < 0 || !rawContext)
        return fail(errorMessage,
            trText("Unable to open audio file '%1': %2")
                .arg(inputPath, ffmpegErrorToString(opened)));
    const FormatContextOwner context(rawContext);
    if (streamIndex < 0 || streamIndex >= int(context->nb_streams))
        streamIndex = av_find_best_stream(context.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    const PacketOwner packet(av_packet_alloc());
    if (streamIndex < 0 || !packet)
        return fail(errorMessage, trText("No audio stream found: %1").arg(inputPath));

    // What the decoder does with the demuxer's gapless information: a count of samples to drop
    // that carries over into the next packets, and samples to drop at the end of one packet.
    std::int64_t skipping = 0;
    std::int64_t output = 0;
    bool trailingOnly = false;
    const auto irregular = [&](const QString& why) {
        if (built.irregularity.isEmpty())
            built.irregularity = why;
    };
    int result = 0;
    while ((result = av_read_frame(context.get(), packet.get())) >= 0) {
        if (packet->stream_index != streamIndex) {
            av_packet_unref(packet.get());
            continue;
        }
        Mp3Packet entry;
        entry.position = packet->pos;
        entry.bytes = packet->size;
        Mp3FrameHeader header;
        const auto* data = packet->data;
        const bool frame = parseMp3FrameHeader(data, std::size_t(packet->size), &header)
            && header.frameBytes > 0;
        if (built.packets.empty() && frame)
            built.shape = header;
        std::int64_t made = 0;
        if (!frame) {
            // An ID3v1 tag or junk after the last frame gives no samples; anything else does
            // not belong in a stream of frames.
            trailingOnly = true;
        } else {
            if (trailingOnly)
                irregular(trText("it holds something other than MP3 frames between its frames"));
            if (header.version != built.shape.version || header.sampleRate != built.shape.sampleRate
                || header.channelCount() != built.shape.channelCount())
                irregular(trText("its sample rate or channels change part-way"));
            const Mp3SideInfo side = parseMp3SideInfo(data, std::size_t(packet->size), header);
            if (!side.decodable)
                irregular(trText("it holds damaged frames"));
            if (!built.packets.empty() && entry.position >= 0) {
                const Mp3Packet& previous = built.packets.back();
                if (previous.position + previous.bytes != entry.position)
                    irregular(
                        trText("it holds something other than MP3 frames between its frames"));
            }
            if (header.bitRateIndex != built.shape.bitRateIndex)
                built.constantBitRate = false;
            built.largestFrameBytes = std::max(built.largestFrameBytes, header.frameBytes);
            entry.mainDataBegin = std::int16_t(side.mainDataBegin);
            entry.regionBytes = std::int16_t(header.frameBytes - header.mainDataOffset());
            made = header.samplesPerFrame;
        }

        std::size_t sideSize = 0;
        const std::uint8_t* gapless
            = av_packet_get_side_data(packet.get(), AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
        std::int64_t discard = 0;
        if (gapless && sideSize >= 10) {
            skipping = std::max<std::int64_t>(0, std::int64_t(AV_RL32(gapless)));
            discard = AV_RL32(gapless + 4);
        }
        if (made > 0) {
            entry.head = std::int32_t(std::min(skipping, made));
            skipping -= entry.head;
            const std::int64_t left = made - entry.head;
            // As the decoder does: padding that is not more than what is left is dropped.
            entry.count = std::int32_t(discard > 0 && discard <= left ? left - discard : left);
        }
        entry.outputStart = output;
        output += entry.count;
        built.packets.push_back(entry);
        av_packet_unref(packet.get());
    }
    if (result != AVERROR_EOF)
        return fail(errorMessage,
            trText("Failed to read %1: %2").arg(inputPath, ffmpegErrorToString(result)));

    // Trimming may end the stream, and begin it, but a packet cut at its end followed by one
    // that gives samples, or cut at its start after one that gave some, is a hole in the
    // timeline that no piece's gapless header can state.
    bool ended = false;
    for (const Mp3Packet& entry : built.packets) {
        const std::int64_t made = entry.count + entry.head;
        if (made == 0)
            continue;
        if (ended && entry.count > 0)
            irregular(trText("it holds gapless trimming in the middle (joined files)"));
        if (entry.head > 0 && entry.outputStart > 0)
            irregular(trText("it holds gapless trimming in the middle (joined files)"));
        if (entry.count + entry.head < built.shape.samplesPerFrame)
            ended = true;
    }
    if (built.packets.empty() || built.shape.samplesPerFrame == 0)
        irregular(trText("it holds no MP3 frames"));
    built.totalFrames = output;
    *index = std::move(built);
    return true;
}

} // namespace brevane::detail
