#pragma once

// Paths as libavformat and the ffmpeg program are given them, by every stage.

#include <QString>

namespace brevane::detail {

// The path as libavformat and every ffmpeg child are given it, so that it is read as a file:
// a path that would be read as a protocol ("pipe:1", "12:30/part_001.wav", and "-", which ffmpeg
// reads as its standard input) gets "file:" in front. Every other path stays as it is.
QString fileUrl(const QString& path);

} // namespace brevane::detail
