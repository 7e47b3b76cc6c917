#pragma once

// How the pieces are written: the last stage of a job, behind one interface, so that the job
// chooses a way of writing as it chooses a cut rule.

#include "brevane.h"
#include "cuts/cut_finder.h"
#include "cuts/frame_windows.h"
#include "cuts/stretch_analysis.h"
#include "folder/name_template.h"
#include "input/mp3_index.h"
#include "input/stream_probe.h"
#include "pieces/piece_format.h"
#include "pieces/piece_tagging.h"

#include <QList>
#include <QString>

#include <cstdint>

namespace brevane::detail {

// What a way of writing the pieces works from: the input as probed, the windows, the folder,
// what the pieces are written as, the caller's progress callback (which may be empty) and its
// stop (which may be null), the pieces' names and their tags (which may be none).
struct PieceJob {
    QString inputPath;
    QString outputDir;
    StreamInfo stream;
    FrameWindows windows;
    PieceEncoding encoding;
    ProgressCallback progress;
    SplitStop* stop = nullptr;
    NameTemplate names;
    PieceTagging tagging;
    // The input's MP3 frames, where the job read them (MP3 pieces copied from them).
    const Mp3Index* mp3Index = nullptr;

    // Progress reports: frames analysed so far (and, while a one-pass run decodes, the piece
    // being written), and the piece about to be written of partCount.
    void reportDecoding(std::int64_t framesAnalysed, qsizetype part = 0) const;
    void reportWriting(qsizetype part, qsizetype partCount) const;

    // The analysis pass alone, reporting progress: the decoder feeding finder.
    bool analyse(CutFinder& finder, AnalysisResult* analysis, QString* errorMessage) const;
    // The same from stretches decoded in this process; afterChunk, when set, is called after
    // every chunk the rule has taken.
    bool analyse(StretchDecoder& decoder, CutFinder& finder, AnalysisResult* analysis,
        QString* errorMessage,
        const std::function<bool(QString* errorMessage)>& afterChunk = {}) const;

    // After a stop: complete named in the stop's report, and "Split stopped".
    bool stopped(const QList<Segment>& complete, QString* errorMessage) const;
};

// A way of writing the pieces. It runs the decode (or decodes), feeds the cut rule, writes
// every range the rule closes, and hands back one record per piece in order. A failure stops
// it with one message; pieces written before it stay. A stop ends it as a failure does
// ("Split stopped"), each child it runs going through FfmpegChild, after it has filled the
// stop's report: the pieces complete, and the one left cut short.
class PieceOutput {
public:
    explicit PieceOutput(const PieceJob& job)
        : m_job(job)
    {
    }
    virtual ~PieceOutput() = default;
    virtual bool write(CutFinder& finder, QList<Segment>* pieces, QString* errorMessage) = 0;

protected:
    const PieceJob m_job;
};

} // namespace brevane::detail
