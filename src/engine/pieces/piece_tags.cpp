#include "pieces/piece_tags.h"

#include <array>

namespace brevane::detail {

namespace {

    // Replaced for each piece, or true of the input file and false of a piece of it.
    bool carried(const QString& key)
    {
        static const std::array<const char*, 16> notCarried { "title", "album", "track",
            "tracktotal", "totaltracks", "tlen", "encoder", "itunsmpb", "itunnorm", "major_brand",
            "minor_version", "compatible_brands", "duration", "waveformatextensible_channel_mask",
            "metadata_block_picture", "coverart" };
        for (const char* name : notCarried) {
            if (key == QLatin1String(name))
                return false;
        }
        return true;
    }

} // namespace

QList<TagValue> pieceTagValues(
    const InputTags& input, const QString& stem, qsizetype number, qsizetype count)
{
    const QString inputTitle = input.value(QStringLiteral("title"));
    const QString title = inputTitle.isEmpty() ? stem : inputTitle;
    const QString inputAlbum = input.value(QStringLiteral("album"));
    const QString position
        = count > 0 ? QStringLiteral("%1/%2").arg(number).arg(count) : QString::number(number);

    QList<TagValue> values {
        { QStringLiteral("title"), title + QStringLiteral(" (") + position + QLatin1Char(')') },
        { QStringLiteral("album"), inputAlbum.isEmpty() ? title : inputAlbum },
        { QStringLiteral("track"), position },
    };
    for (const TagValue& entry : input.entries) {
        if (carried(entry.key) && !entry.value.isEmpty())
            values.append(entry);
    }
    return values;
}

} // namespace brevane::detail
