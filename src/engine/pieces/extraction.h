#pragma once

// The default way of writing the pieces: after the analysis, one ffmpeg run per piece, each
// cutting its range out of the input.

#include "brevane.h"
#include "cuts/cut_finder.h"
#include "folder/name_template.h"
#include "pieces/piece_format.h"
#include "pieces/piece_output.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

namespace brevane::detail {

// The arguments of the piece's ffmpeg for a range of the input at inputRate; tagBytes bounds
// what the input's tags add to a WAV piece's header, for the choice of RF64. mappedStream, when
// not -1, is the stream the piece is cut from, by its sample count.
QStringList extractionArguments(const QString& inputPath, const QString& outputPath,
    std::int64_t inputRate, const InternalSegment& range, const PieceEncoding& encoding,
    std::int64_t tagBytes = 0, int mappedStream = -1);

// A step that finishes a piece's file once its ffmpeg has written it (its tags).
using PieceFinishing = std::function<bool(const QString& piecePath, QString* errorMessage)>;

// Writes range as piece index, named by names, through its own ffmpeg run, in encoding (an MP3
// with its end padding put right), then has finishing (when set) finish the file. Fails with
// "Invalid segment boundaries", "Failed to run ffmpeg: %1", "ffmpeg exited with code %1: %2" or
// "Failed to write %1: %2" (also where ffmpeg's muxer failed and it still ended with status 0),
// leaving the piece as a stop would; with a mappedStream, also where the piece comes out more
// than a tenth of a second short ("Piece %1 holds %2 of the %3 asked for; ..."); or with
// finishing's message. Once stop was asked to stop the split, fails with "Split stopped", having
// named in stop->cutShortPath the piece left cut short, if ffmpeg had begun it (and finished it).
bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t inputRate,
    const PieceEncoding& encoding, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes = 0, int mappedStream = -1,
    SplitStop* stop = nullptr, const NameTemplate& names = NameTemplate(),
    const PieceFinishing& finishing = {});
// The same as a 16-bit WAV piece at the input's rate and channel count.
bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t sampleRate,
    int channelCount, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes = 0);

std::unique_ptr<PieceOutput> makePieceByPieceOutput(const PieceJob& job);

} // namespace brevane::detail
