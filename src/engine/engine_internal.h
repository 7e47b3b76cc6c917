#pragma once

// The engine's internals, shared between its sources and reachable by the tests. Nothing
// here is part of the public interface.

#include "brevane.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace brevane::detail {

// Builds a user-visible message: the text goes through the translation call first, then its
// placeholders are filled by the caller with QString::arg.
QString trText(const char* sourceText);

// Stores message in *errorMessage when the caller asked for one, and returns false so that a
// failure can be reported in one statement.
bool fail(QString* errorMessage, const QString& message);

// "ffmpeg exited with code %1: %2", shared by the decoder and the piece writer.
QString ffmpegExitMessage(int exitCode, const QByteArray& standardError);

// --- Stream probe --------------------------------------------------------------------------

struct StreamInfo {
    std::int64_t sampleRate = 0;
    int channelCount = 0;
    // As the container states it, for progress reports only; negative when unknown.
    double durationSeconds = -1.0;
};

bool probeAudioStream(const QString& inputPath, StreamInfo* info, QString* errorMessage);

// The probe's fallbacks for streams that leave their rate or layout unset.
std::int64_t chooseSampleRate(int codecSampleRate, int frameRateNum, int frameRateDen);
int chooseChannelCount(int codecChannels);

QString ffmpegErrorToString(int code);

// --- Boundary detection --------------------------------------------------------------------

struct InternalSegment {
    std::int64_t startFrame = 0; // inclusive
    std::int64_t endFrame = 0; // exclusive

    friend bool operator==(const InternalSegment&, const InternalSegment&) = default;
};

struct AnalysisResult {
    QList<InternalSegment> segments;
    std::int64_t totalFrames = 0;
};

struct FrameWindows {
    std::int64_t targetFrames = 0;
    std::int64_t minFrames = 0;
    std::int64_t maxFrames = 0;
    std::int64_t minSilenceFrames = 0;
};

bool computeFrameWindows(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds,
    FrameWindows* windows, QString* errorMessage);

// Turns a stream of interleaved little-endian float frames into consecutive frame ranges.
// Bytes may arrive in chunks of any size; the ranges depend only on the frames.
class BoundaryDetector {
public:
    BoundaryDetector(int channelCount, const FrameWindows& windows);

    // Analyses every whole frame at the front of pcmBuffer and removes those bytes; an
    // unfinished frame stays for the next append to complete.
    void processChunk(QByteArray& pcmBuffer);

    // Closes the open range. Fails when not one whole frame was analysed.
    bool finishAnalysis(AnalysisResult* result, QString* errorMessage);

    std::int64_t framesProcessed() const { return m_state.framesProcessed; }

private:
    // What the cut rule reads and writes for each frame. Kept as one value so that a stretch
    // of frames can be tried on a copy before it is taken.
    struct State {
        std::int64_t silentRun = 0;
        std::int64_t candidateFrame = -1;
        std::int64_t framesProcessed = 0;
        std::int64_t segmentStart = 0;
        // Set when a silence cut was made inside the current silent run: that pause has been
        // used, and it must not offer further cut points.
        bool silentRunSpent = false;
    };

    void analyseFrames(const char* data, std::int64_t frameCount);
    bool countQuietWord(std::uint64_t silent);
    void walkWord(std::uint64_t silent, int frameCount);
    void walkRun(bool silent, std::int64_t frameCount);
    void analyseFrame(bool silent);
    void countFrames(State& state, bool silent, std::int64_t frameCount) const;
    bool silenceCutDue(const State& state) const;
    bool forcedCutDue(const State& state) const;

    const int m_channelCount;
    const FrameWindows m_windows;
    State m_state;
    QList<InternalSegment> m_segments;
};

// --- Decode pipe ---------------------------------------------------------------------------

QStringList decodeArguments(const QString& inputPath, std::int64_t sampleRate, int channelCount);

using FramesAnalysedCallback = std::function<void(std::int64_t framesAnalysed)>;

// Decodes inputPath through an ffmpeg child and feeds the detector as the bytes arrive.
// framesAnalysed, when set, hears after every read how far the analysis has got.
bool analyzeAudio(const QString& inputPath, std::int64_t sampleRate, int channelCount,
    const FrameWindows& windows, AnalysisResult* result, QString* errorMessage,
    const FramesAnalysedCallback& framesAnalysed = {});

// --- Segment extraction --------------------------------------------------------------------

QString partFileName(qsizetype index);

QStringList extractionArguments(const QString& inputPath, const QString& outputPath,
    std::int64_t sampleRate, int channelCount, const InternalSegment& range);

// Fails when any piece's output path names the input file itself.
bool checkOutputsSpareInput(const QString& inputPath, const QString& outputDir,
    qsizetype pieceCount, QString* errorMessage);

bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t sampleRate,
    int channelCount, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage);

} // namespace brevane::detail
