#pragma once

// The engine's internals, shared between its sources and reachable by the tests. Nothing
// here is part of the public interface.

#include "brevane.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <bit>
#include <cstdint>
#include <cstring>
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

// The decoder's own sample format, reduced to the raw forms the one-pass decode asks for:
// each is the widest form ffmpeg converts from exactly, so that the finder's floats and the
// pieces' 16-bit samples can both be derived from it as ffmpeg itself would derive them.
enum class DecodedSamples {
    Int16, // 8- and 16-bit integer: the 16-bit stream already is ffmpeg's own conversion
    Int32,
    Float32,
    Float64,
    Other,
};

struct StreamInfo {
    std::int64_t sampleRate = 0;
    int channelCount = 0;
    // As the container states it, for progress reports only; negative when unknown.
    double durationSeconds = -1.0;
    DecodedSamples decodedSamples = DecodedSamples::Other;
    // The speaker mask of the layout "-ac" gives the pieces: the default one for the channel
    // count, or the input's own where the count has no default; 0 when the channels are not
    // named.
    std::uint64_t channelMask = 0;
    // Set when the decoder's own layout is not that default, so that "-ac" remixes.
    bool layoutRemixed = false;
    // An upper bound on what the input's tags add to the header of a piece that ffmpeg writes.
    std::int64_t tagBytes = 0;
};

bool probeAudioStream(const QString& inputPath, StreamInfo* info, QString* errorMessage);

// The probe's fallbacks for streams that leave their rate or layout unset.
std::int64_t chooseSampleRate(int codecSampleRate, int frameRateNum, int frameRateDen);
int chooseChannelCount(int codecChannels);

QString ffmpegErrorToString(int code);

// --- Boundary detection --------------------------------------------------------------------

// One sample of the decoder's little-endian float stream, from wherever it lies in the buffer.
inline float loadFloatSample(const char* bytes)
{
    if constexpr (std::endian::native == std::endian::little) {
        float sample;
        std::memcpy(&sample, bytes, sizeof sample);
        return sample;
    } else {
        const std::uint32_t bits = std::uint32_t(std::uint8_t(bytes[0]))
            | std::uint32_t(std::uint8_t(bytes[1])) << 8
            | std::uint32_t(std::uint8_t(bytes[2])) << 16
            | std::uint32_t(std::uint8_t(bytes[3])) << 24;
        return std::bit_cast<float>(bits);
    }
}

// The number of whole frames at the front of pcmBuffer. Counted in 64 bits: a crafted file can
// declare up to 2^31 - 1 channels, and the frame size of such a stream must not overflow. A
// frame size that is not positive cannot hold a frame, and its bytes are dropped.
inline std::int64_t wholeFramesIn(QByteArray& pcmBuffer, int channelCount)
{
    const std::int64_t frameBytes = std::int64_t(channelCount) * 4;
    if (frameBytes <= 0) {
        pcmBuffer.clear();
        return 0;
    }
    return pcmBuffer.size() / frameBytes;
}

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

// minSilenceSeconds sets minSilenceFrames (at least one frame).
bool computeFrameWindows(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds,
    double minSilenceSeconds, FrameWindows* windows, QString* errorMessage);
// With the standard half-second pause.
bool computeFrameWindows(std::int64_t sampleRate, double maxSeconds, double toleranceSeconds,
    FrameWindows* windows, QString* errorMessage);

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
    // after each chunk; finishAnalysis appends the last.
    virtual const QList<InternalSegment>& closedRanges() const = 0;
};

// The silence rule: cut in the middle of the latest pause once the piece is long enough,
// and where it stands at maxFrames.
class BoundaryDetector final : public CutFinder {
public:
    static constexpr double defaultSilenceLevel = 0.005;

    BoundaryDetector(
        int channelCount, const FrameWindows& windows, double silenceLevel = defaultSilenceLevel);

    void processChunk(QByteArray& pcmBuffer) override;
    bool finishAnalysis(AnalysisResult* result, QString* errorMessage) override;
    std::int64_t framesProcessed() const override { return m_state.framesProcessed; }
    const QList<InternalSegment>& closedRanges() const override { return m_segments; }

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
    const double m_silenceLevel;
    State m_state;
    QList<InternalSegment> m_segments;
};

// --- Decode pipe ---------------------------------------------------------------------------

QStringList decodeArguments(const QString& inputPath, std::int64_t sampleRate, int channelCount);
// The same arguments with another raw output format than "f32le".
QStringList decodeArguments(
    const QString& inputPath, const QString& rawFormat, std::int64_t sampleRate, int channelCount);

// How a decoder child ended, for the check that follows the analysis.
struct DecoderExit {
    bool normalExit = false;
    int exitCode = -1;
    // The end of what it wrote on standard error.
    QByteArray errorTail;

    bool succeeded() const { return normalExit && exitCode == 0; }
};

// Handed the bytes gathered so far after every read, and once more after the decoder has
// ended (decoderEnded). Returns false to stop at once: the decoder is then killed.
using DecodedChunkConsumer = std::function<bool(QByteArray& pcmBuffer, bool decoderEnded)>;

// Runs ffmpeg with arguments and feeds consume as its standard output arrives. Fails with
// "Failed to start ffmpeg: %1", or without a message of its own when consume stopped it.
bool runDecoder(const QStringList& arguments, const DecodedChunkConsumer& consume,
    DecoderExit* decoderExit, QString* errorMessage);

using FramesAnalysedCallback = std::function<void(std::int64_t framesAnalysed)>;

// Decodes inputPath through an ffmpeg child and feeds finder as the bytes arrive.
// framesAnalysed, when set, hears after every read how far the analysis has got.
bool analyzeAudio(const QString& inputPath, std::int64_t sampleRate, int channelCount,
    CutFinder& finder, AnalysisResult* result, QString* errorMessage,
    const FramesAnalysedCallback& framesAnalysed = {});
// The same with the silence rule at its standard level.
bool analyzeAudio(const QString& inputPath, std::int64_t sampleRate, int channelCount,
    const FrameWindows& windows, AnalysisResult* result, QString* errorMessage,
    const FramesAnalysedCallback& framesAnalysed = {});

// --- Segment extraction --------------------------------------------------------------------

QString partFileName(qsizetype index);

QStringList extractionArguments(const QString& inputPath, const QString& outputPath,
    std::int64_t sampleRate, int channelCount, const InternalSegment& range,
    std::int64_t tagBytes = 0);

// Fails when any piece's output path names the input file itself.
bool checkOutputsSpareInput(const QString& inputPath, const QString& outputDir,
    qsizetype pieceCount, QString* errorMessage);

// The pieces a run would write for these ranges, without writing them.
QList<Segment> plannedPieces(
    const QString& outputDir, std::int64_t sampleRate, const QList<InternalSegment>& ranges);

// Fails when an entry of outputDir named as any piece (part_001.wav, part_002.wav, ...) is the
// input file itself: for a writer that learns the number of pieces only as it writes them.
bool checkPieceNamesSpareInput(
    const QString& inputPath, const QString& outputDir, QString* errorMessage);

// The output path of piece index, as it is printed.
QString piecePath(const QString& outputDir, qsizetype index);

bool extractSegment(const QString& inputPath, const QString& outputDir, std::int64_t sampleRate,
    int channelCount, const InternalSegment& range, qsizetype index, Segment* segment,
    QString* errorMessage, std::int64_t tagBytes = 0);

// --- Raw decoded samples -----------------------------------------------------------------

// The raw format ("-f") the one-pass decode asks for, and the bytes of one of its samples.
QString rawFormatName(DecodedSamples form);
int rawSampleBytes(DecodedSamples form);

// Converts sampleCount raw little-endian samples of that format as ffmpeg would have: into
// 16-bit little-endian samples for the pieces, and into little-endian floats for the cut finder.
// Either destination may be null where the raw samples already are what it would receive:
// 16-bit samples for the pieces, floats for the finder.
void convertRawSamples(DecodedSamples form, const char* raw, qsizetype sampleCount,
    char* pieceSamples, char* finderSamples);

// --- One pass -------------------------------------------------------------------------------

using OnePassProgress = std::function<void(std::int64_t framesAnalysed, qsizetype part)>;

// Decodes inputPath once, feeds finder and writes every range it closes as a 16-bit WAV piece
// in outputDir while the decode goes on. Fails with the decoder's messages, the finder's, or
// "Failed to write %1: %2"; pieces finished before a failure stay complete.
bool splitInOnePass(const QString& inputPath, const QString& outputDir, const StreamInfo& stream,
    const FrameWindows& windows, CutFinder& finder, AnalysisResult* result, QString* errorMessage,
    const OnePassProgress& progress = {});

} // namespace brevane::detail
