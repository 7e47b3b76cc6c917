#pragma once

// What every cut rule offers the job: fed the decoded stream in chunks, it closes consecutive
// frame ranges, one per piece.

#include "brevane.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace brevane::detail {

struct InternalSegment {
    std::int64_t startFrame = 0; // inclusive
    std::int64_t endFrame = 0; // exclusive
    // Why the rule ended the range there, recorded where it decided it. Part of equality: the
    // reason depends on the frames alone, as the range does.
    CutKind kind = CutKind::End;

    friend bool operator==(const InternalSegment&, const InternalSegment&) = default;
};

struct AnalysisResult {
    QList<InternalSegment> segments;
    std::int64_t totalFrames = 0;
};

// A cut rule. It is fed the decoded stream as interleaved little-endian float frames, in chunks
// of any size, and closes consecutive frame ranges as it goes; the ranges depend only on the
// frames. It does no I/O.
class CutFinder {
public:
    virtual ~CutFinder() = default;

    // Analyses every whole frame at the front of pcmBuffer and removes those bytes; an
    // unfinished frame stays for the next append to complete.
    virtual void processChunk(QByteArray& pcmBuffer) = 0;

    // Closes the remaining ranges and fills result. Fails with "Audio decoding produced no
    // samples" when not one whole frame was analysed.
    virtual bool finishAnalysis(AnalysisResult* result, QString* errorMessage) = 0;

    virtual std::int64_t framesProcessed() const = 0;

    // The ranges closed so far, in order. A writer that follows the stream takes the new ones
    // after each chunk; finishAnalysis appends the last. Their frames are never taken back;
    // finishAnalysis marks the range that ends where the stream ends as CutKind::End, also one
    // that a cut closed on the very last frame.
    virtual const QList<InternalSegment>& closedRanges() const = 0;

    // For an analysis that decodes only where a cut can fall. Between two chunks it asks where
    // the rule next needs to see the stream: framesProcessed() while it needs every frame, or a
    // later frame when none before it can decide a cut. Those frames then matter only through
    // the state they leave the rule in at the needed frame, and the rule settles that state
    // from as few of them as it can: settle is offered the frames [from, nextFrameNeeded()) as
    // floats, each offer ending where the one before began (the first, perhaps empty, at the
    // needed frame itself), and says whether it now stands at the needed frame with exactly
    // the state that every frame before it would have left. Until then it keeps what it needs of
    // each offer. An offer from framesProcessed() always settles it.
    virtual std::int64_t nextFrameNeeded() const { return framesProcessed(); }
    virtual bool settle(std::int64_t from, QByteArray& floats)
    {
        Q_UNUSED(from);
        processChunk(floats);
        return true;
    }
    // The stream ends at `total`, and no frame from framesProcessed() on can decide a cut: the
    // rule stands at the end without seeing them.
    virtual void skipToEnd(std::int64_t total) { Q_UNUSED(total); }
};

} // namespace brevane::detail
