#pragma once

// The analysis fed by a decoder of stretches in this process rather than by the decoder child,
// decoding only where a cut can fall: the stretches the cut rule needs to see, and before each
// as much as it needs to know its state there (CutFinder::nextFrameNeeded, settle). The same
// cuts, frame for frame, as from every frame.

#include "brevane.h"
#include "cuts/cut_finder.h"
#include "input/stretch_decoder.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace brevane::detail {

struct StretchAnalysisHooks {
    // Hears how far the analysis has got: the frames decoded so far, lead-ins included, and
    // the frame the cut rule has reached.
    std::function<void(std::int64_t framesDecoded, std::int64_t framesAnalysed)> progress;
    // Called after every chunk the rule has taken (not after the rule has closed its last
    // range); returns false to stop, with the message it stored.
    std::function<bool(QString* errorMessage)> afterChunk;
    // A stop ends the analysis between two chunks with "Split stopped".
    SplitStop* stop = nullptr;
    // Frames decoded between two looks at the rule; the first look back before a needed frame
    // and the longest (each goes twice as far back as the one before, and what one decodes is
    // held at once).
    std::int64_t stepFrames = 1 << 16;
    std::int64_t firstLookBack = 1 << 18;
    std::int64_t longestLookBack = 1 << 20;
};

// Decodes what finder needs of the input through decoder and feeds it; fails with the decoder's
// messages, the hooks', or the finder's when no frame arrived.
bool analyseStretches(StretchDecoder& decoder, CutFinder& finder, AnalysisResult* result,
    QString* errorMessage, const StretchAnalysisHooks& hooks = {});

} // namespace brevane::detail
