#pragma once

// The lines a finished run adds to a manifest (brevane::appendManifest appends them).

#include "brevane.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace brevane::detail {

// One JSON line per piece, each ending in a newline, with its fields in the order speech
// toolkits show them: {"audio_filepath": ..., "duration": ..., "offset": ..., "source": ...,
// "source_offset": ..., "cut": ...}.
QByteArray manifestLines(
    const QString& inputPath, std::int64_t sampleRate, const QList<Segment>& pieces, bool dryRun);

} // namespace brevane::detail
