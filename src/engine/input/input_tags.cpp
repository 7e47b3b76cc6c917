#include "input/input_tags.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace brevane::detail {

namespace {

    QList<TagValue> entriesOf(const AVDictionary* metadata)
    {
        QList<TagValue> entries;
        const AVDictionaryEntry* entry = nullptr;
        while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX)))
            entries.append(
                { QString::fromUtf8(entry->key).toLower(), QString::fromUtf8(entry->value) });
        return entries;
    }

    const char* mimeTypeOf(AVCodecID codec)
    {
        switch (codec) {
        case AV_CODEC_ID_PNG:
            return "image/png";
        case AV_CODEC_ID_MJPEG:
            return "image/jpeg";
        case AV_CODEC_ID_GIF:
            return "image/gif";
        case AV_CODEC_ID_BMP:
            return "image/bmp";
        case AV_CODEC_ID_WEBP:
            return "image/webp";
        case AV_CODEC_ID_TIFF:
            return "image/tiff";
        default:
            return nullptr;
        }
    }

} // namespace

QString InputTags::value(const QString& key) const
{
    for (const TagValue& entry : entries) {
        if (entry.key.compare(key, Qt::CaseInsensitive) == 0)
            return entry.value;
    }
    return {};
}

InputTags readInputTags(const AVFormatContext* context, int audioStream)
{
    InputTags tags;
    tags.entries = entriesOf(context->metadata);
    if (tags.entries.isEmpty() && audioStream >= 0)
        tags.entries = entriesOf(context->streams[audioStream]->metadata);

    // libavformat names the picture type of ID3 and FLAC pictures in the stream's comment.
    const AVStream* chosen = nullptr;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (!(stream->disposition & AV_DISPOSITION_ATTACHED_PIC) || stream->attached_pic.size <= 0
            || !mimeTypeOf(stream->codecpar->codec_id))
            continue;
        const AVDictionaryEntry* type = av_dict_get(stream->metadata, "comment", nullptr, 0);
        const bool front = type && QByteArray(type->value) == "Cover (front)";
        if (!chosen || front)
            chosen = stream;
        if (front)
            break;
    }
    if (chosen) {
        tags.cover.bytes = QByteArray(
            reinterpret_cast<const char*>(chosen->attached_pic.data), chosen->attached_pic.size);
        tags.cover.mimeType = QString::fromLatin1(mimeTypeOf(chosen->codecpar->codec_id));
        tags.cover.width = chosen->codecpar->width;
        tags.cover.height = chosen->codecpar->height;
    }
    return tags;
}

} // namespace brevane::detail
