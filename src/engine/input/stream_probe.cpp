#include "input/stream_probe.h"

#include "error_text.h"
#include "file_url.h"
#include "input/av_owners.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
}

#include <cstring>
#include <memory>

namespace brevane::detail {

namespace {

    constexpr std::int64_t fallbackSampleRate = 44100;

    // After avformat_find_stream_info the parameters hold the format the decoder itself
    // produces, which is the one the ffmpeg program starts from as well.
    DecodedSamples decodedSamplesOf(int format)
    {
        switch (av_get_packed_sample_fmt(AVSampleFormat(format))) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_S16:
            return DecodedSamples::Int16;
        case AV_SAMPLE_FMT_S32:
            return DecodedSamples::Int32;
        case AV_SAMPLE_FMT_FLT:
            return DecodedSamples::Float32;
        case AV_SAMPLE_FMT_DBL:
            return DecodedSamples::Float64;
        default:
            return DecodedSamples::Other;
        }
    }

    // The layout "-ac" gives the decoded stream: the default one for the channel count where
    // there is one, otherwise the input's own, which ffmpeg keeps. Its speaker mask, or 0 when
    // the channels are not named.
    std::uint64_t layoutMaskFor(const AVChannelLayout& input)
    {
        AVChannelLayout layout;
        av_channel_layout_default(&layout, input.nb_channels);
        std::uint64_t mask = 0;
        if (layout.order == AV_CHANNEL_ORDER_NATIVE)
            mask = layout.u.mask;
        else if (input.order == AV_CHANNEL_ORDER_NATIVE)
            mask = input.u.mask;
        av_channel_layout_uninit(&layout);
        return mask;
    }

    // A known layout other than the default for its count, such as 5.1 with side channels, is
    // remixed to the default. An unspecified order is taken as the default, and a count without
    // a default keeps its layout.
    bool remixedByChannelCount(const AVChannelLayout& layout)
    {
        if (layout.order == AV_CHANNEL_ORDER_UNSPEC)
            return false;
        AVChannelLayout standard;
        av_channel_layout_default(&standard, layout.nb_channels);
        const bool remixed = standard.order == AV_CHANNEL_ORDER_NATIVE
            && av_channel_layout_compare(&layout, &standard) != 0;
        av_channel_layout_uninit(&standard);
        return remixed;
    }

    // Room for the input's tags, which ffmpeg copies into the header of every piece it writes.
    std::int64_t tagBytesOf(const AVDictionary* metadata)
    {
        std::int64_t bytes = 0;
        const AVDictionaryEntry* entry = nullptr;
        while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX)))
            bytes += std::int64_t(std::strlen(entry->key) + std::strlen(entry->value)) + 16;
        return bytes;
    }

} // namespace

QString ffmpegErrorToString(int code)
{
    char buffer[64] = {};
    if (av_strerror(code, buffer, sizeof buffer) != 0)
        return QString::number(code);
    return QString::fromUtf8(buffer, qstrnlen(buffer, sizeof buffer)).trimmed();
}

std::int64_t chooseSampleRate(int codecSampleRate, int frameRateNum, int frameRateDen)
{
    if (codecSampleRate >= 1)
        return codecSampleRate;
    if (frameRateNum > 0 && frameRateDen > 0) {
        const int quotient = frameRateNum / frameRateDen;
        return quotient != 0 ? quotient : fallbackSampleRate;
    }
    return fallbackSampleRate;
}

int chooseChannelCount(int codecChannels) { return codecChannels >= 1 ? codecChannels : 1; }

bool probeAudioStream(const QString& inputPath, StreamInfo* info, QString* errorMessage)
{
    AVFormatContext* rawContext = nullptr;
    const int openResult = avformat_open_input(
        &rawContext, QFile::encodeName(fileUrl(inputPath)).constData(), nullptr, nullptr);
    if (openResult < 0 || !rawContext) {
        // Both placeholders in one call, so that a "%2" inside the path stays as it is.
        return fail(errorMessage,
            trText("Unable to open audio file '%1': %2")
                .arg(inputPath, ffmpegErrorToString(openResult)));
    }
    const FormatContextOwner context(rawContext);

    const int infoResult = avformat_find_stream_info(context.get(), nullptr);
    if (infoResult < 0)
        return fail(errorMessage,
            trText("Unable to read audio stream info: %1").arg(ffmpegErrorToString(infoResult)));

    const int streamIndex
        = av_find_best_stream(context.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (streamIndex < 0)
        return fail(errorMessage,
            trText("No audio stream found: %1").arg(ffmpegErrorToString(streamIndex)));

    const AVStream* stream = context->streams[streamIndex];
    if (!stream || !stream->codecpar)
        return fail(errorMessage, trText("Audio stream is missing codec parameters"));

    info->sampleRate = chooseSampleRate(
        stream->codecpar->sample_rate, stream->avg_frame_rate.num, stream->avg_frame_rate.den);
    info->channelCount = chooseChannelCount(stream->codecpar->ch_layout.nb_channels);
    info->decodedSamples = decodedSamplesOf(stream->codecpar->format);
    info->channelMask = layoutMaskFor(stream->codecpar->ch_layout);
    info->layoutRemixed = remixedByChannelCount(stream->codecpar->ch_layout);
    info->tagBytes = tagBytesOf(context->metadata);
    info->streamIndex = streamIndex;
    info->codecName = QString::fromLatin1(avcodec_get_name(stream->codecpar->codec_id));
    info->containerName = QString::fromLatin1(context->iformat ? context->iformat->name : "");
    info->tags = readInputTags(context.get(), streamIndex);
    if (context->duration != AV_NOPTS_VALUE && context->duration > 0)
        info->durationSeconds = double(context->duration) / AV_TIME_BASE;
    return true;
}

bool holdsAudioPacket(const QString& path)
{
    AVFormatContext* rawContext = nullptr;
    if (avformat_open_input(
            &rawContext, QFile::encodeName(fileUrl(path)).constData(), nullptr, nullptr)
        < 0)
        return false;
    const FormatContextOwner context(rawContext);
    AVPacket* packet = av_packet_alloc();
    bool found = false;
    while (!found && packet && av_read_frame(context.get(), packet) >= 0) {
        found = context->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO
            && packet->size > 0;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return found;
}

} // namespace brevane::detail
