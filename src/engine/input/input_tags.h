#pragma once

// What the input says about itself beside its audio, for the pieces' tags: its tags and its
// cover picture, as libavformat reads them.

#include <QByteArray>
#include <QList>
#include <QString>

struct AVFormatContext;

namespace brevane::detail {

// A tag as libavformat names it, its key in lower case ("title", "artist", "album_artist",
// "date", "comment", or a frame ID such as "tsrc" that it has no name for).
struct TagValue {
    QString key;
    QString value;

    bool operator==(const TagValue& other) const = default;
};

// The image the input shows as its cover, as it holds it (a PNG or JPEG file's bytes).
struct CoverPicture {
    QByteArray bytes;
    QString mimeType;
    int width = 0;
    int height = 0;
};

struct InputTags {
    // In the order the container gives them: the file's own tags, or, where it has none (Ogg
    // keeps them with its stream), those of the audio stream.
    QList<TagValue> entries;
    // Empty bytes when the input has no cover.
    CoverPicture cover;

    // The value of key, in any letter case; empty when there is none.
    QString value(const QString& key) const;
};

// The tags of an open input whose audio is stream audioStream, and its cover: the attached
// picture that says it is the front cover, or else the first attached picture of a type a
// tag can name (PNG, JPEG, GIF, BMP, WebP, TIFF).
InputTags readInputTags(const AVFormatContext* context, int audioStream);

} // namespace brevane::detail
