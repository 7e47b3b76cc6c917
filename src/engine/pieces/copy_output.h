#pragma once

// MP3 pieces copied from the input's own frames (Mp3CopyWriter): after the analysis, or, with
// onePass, each as soon as the cut that ends it is known.

#include "input/mp3_index.h"
#include "input/stream_probe.h"
#include "pieces/piece_output.h"

#include <QString>

#include <memory>

namespace brevane::detail {

// Whether the input's audio can be copied frame by frame: MP3 in an MP3 file, whose frames
// follow one another regularly. Fails with "--format copy needs MP3 audio; %1 holds %2", or
// with a message that says why its frames cannot be cut exactly and suggests --format mp3.
bool checkCopyableInput(const QString& inputPath, const StreamInfo& stream, QString* errorMessage);
// The same for the frames as the index found them.
bool checkCopyableFrames(const QString& inputPath, const Mp3Index& index, QString* errorMessage);

// The job's mp3Index must be set.
std::unique_ptr<PieceOutput> makeCopyOutput(const PieceJob& job, bool onePass);

} // namespace brevane::detail
