#pragma once

// How every stage reports a failure: one translated message, stored where the caller asked for
// it, and false returned.

#include <QByteArray>
#include <QString>

namespace brevane::detail {

// Builds a user-visible message: the text goes through the translation call first, then its
// placeholders are filled by the caller with QString::arg.
QString trText(const char* sourceText);

// Stores message in *errorMessage when the caller asked for one, and returns false so that a
// failure can be reported in one statement.
bool fail(QString* errorMessage, const QString& message);

// "ffmpeg exited with code %1: %2", for every ffmpeg child that ends badly: the decoder and the
// pieces' writers.
QString ffmpegExitMessage(int exitCode, const QByteArray& standardError);

} // namespace brevane::detail
