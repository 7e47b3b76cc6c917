#pragma once

#include <QList>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

namespace brevane {

// How a piece's end was chosen.
enum class CutKind {
    // The end of the input: the last piece.
    End,
    // The middle of a pause (CutRule::Silence).
    Silence,
    // The quietest stretch (CutRule::Quietest).
    Quietest,
    // No pause, or no stretch that fits, within the tolerance: the piece was cut where it
    // reached its longest, in whatever was playing.
    Forced,
};
namespace detail {
    class FfmpegChild;
}

// One piece written to disk: where it lies in the input, in seconds from the first decoded
// frame, and the path of its file.
struct Segment {
    double startSeconds = 0.0;
    // startSeconds plus the piece's length, summed in double precision, so it may differ in
    // the last digit from the next piece's startSeconds.
    double endSeconds = 0.0;
    QString filePath;
    // The same piece as frames of the decoded stream: [startFrame, endFrame).
    std::int64_t startFrame = 0;
    std::int64_t endFrame = 0;
    // How the cut rule chose endFrame.
    CutKind cut = CutKind::End;
};

// Stops a split while it runs. Hand one to splitAudio in SplitOptions::stop; request() and
// signalChildren() may then be called from a signal handler or from another thread. One object
// serves one split at a time, and a request stays made.
class SplitStop {
public:
    SplitStop() = default;
    SplitStop(const SplitStop&) = delete;
    SplitStop& operator=(const SplitStop&) = delete;

    // Asks for a clean stop: a piece's ffmpeg gets its own quit command ("q" on its standard
    // input) and closes its file with a header that states what it holds; every other ffmpeg
    // child gets SIGTERM; and each gets SIGCONT, should it be stopped. splitAudio then returns
    // false soon after, with the report below filled in. Async-signal-safe.
    void request() noexcept;
    bool requested() const noexcept;
    // Sends signal to every ffmpeg child of the split, each with whatever it started: SIGKILL
    // for a caller that cannot wait for the clean stop, SIGSTOP and SIGCONT to pause and resume
    // them with the caller (a child started between the two is paused as it starts).
    // Async-signal-safe.
    void signalChildren(int signal) noexcept;

    // Set when splitAudio returns after a request: the pieces complete on disk, in order, and the
    // path of the piece that was being written and is left cut short, closed with what it holds
    // (empty when there is none). A dry run leaves both empty.
    QList<Segment> completePieces;
    QString cutShortPath;

private:
    friend class detail::FfmpegChild;
    static constexpr int childSlots = 16;
    void stopChild(int slot) noexcept;
    // One word for each child running now, 0 for a free slot, so that a slot is taken, marked
    // and given up in one step each: the child's process group, the socket on which it takes a
    // quit command (0: none), and whether it has been stopped.
    std::atomic<std::uint64_t> m_children[childSlots] {};
    // Set while the caller has the children paused (SIGSTOP), so that a child started
    // meanwhile is paused too.
    std::atomic<bool> m_paused { false };
    std::atomic<bool> m_requested { false };
};

// Where the cuts go.
enum class CutRule {
    // In the middle of the latest pause below the silence level, once the piece is long enough.
    Silence,
    // At the quietest stretch of minSilenceSeconds within [max - tolerance, max + tolerance],
    // with no level to choose.
    Quietest,
};

// The file format of the pieces.
enum class PieceFormat {
    // 16-bit PCM WAV.
    Wav,
    // The same 16-bit samples, compressed without loss.
    Flac,
    // MP3 at a constant bit rate, through libmp3lame.
    Mp3,
    // Ogg Opus, through libopus.
    Opus,
    // MP3 made of the input's own MP3 frames, neither decoded nor encoded again; for an MP3
    // input only. Each cut moves to the nearest frame boundary, and each piece's gapless header
    // makes it decode to exactly the samples of its range.
    Copy,
};

// The bit rates, in bits per second, that a format's encoder takes at some sample rate and
// channel count; both 0 for a format without a bit rate.
struct BitRateRange {
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
};
BitRateRange bitRateRange(PieceFormat format);

// The choices beyond the input, the output folder and the two lengths. The defaults give the
// program's standard behaviour.
struct SplitOptions {
    CutRule cutRule = CutRule::Silence;
    // Mean absolute sample level below which a frame is silent (the Silence rule only).
    double silenceLevel = 0.005;
    // The shortest pause that offers a cut, and the age a candidate must reach before a cut
    // below the target length; under Quietest, the length of the stretch compared.
    double minSilenceSeconds = 0.5;
    // Write the pieces from the analysis decode itself, instead of one ffmpeg run per piece.
    bool onePass = false;
    // Find the cuts and report the pieces a real run would write, but write nothing and create
    // no folder.
    bool dryRun = false;
    // The input may be any file whose audio ffmpeg decodes (--any-input): every ffmpeg child
    // then takes exactly the stream the probe chose, and the output folder is made only once
    // the probe has found one, and removed again (while empty) when the split fails.
    bool anyInput = false;
    PieceFormat format = PieceFormat::Wav;
    // The bit rate of Mp3 and Opus pieces, within bitRateRange; 0 for the format's default
    // (128k for Mp3, 96k for Opus).
    std::int64_t bitRate = 0;
    // The pieces' sample rate (8000 to 384000 Hz) and channel count (1 to 64); 0 for the
    // input's. The cuts are found on the input as it is either way.
    std::int64_t sampleRate = 0;
    int channelCount = 0;
    // No piece file may be larger than this many bytes, whatever the audio holds; 0 for no
    // limit. Where the longest piece the lengths allow could be larger in the pieces' format,
    // the lengths are scaled down until it cannot. The pieces then carry no tags.
    std::int64_t maxPieceBytes = 0;
    // maxPieceBytes as the user wrote it, for the message when it cannot hold a single frame;
    // when empty, the message gives the number.
    QString maxPieceSizeText = {};
    // The pieces' file names without their suffix: "{n}" is the piece number padded with zeros
    // to 3 digits (widening past 999), "{n:W}" to W digits (1 to 9), "{stem}" the input's file
    // name without its suffix, "{{" and "}}" braces. See checkNameTemplate.
    QString nameTemplate = QStringLiteral("part_{n}");
    // Tag every piece (Flac, Mp3 and Opus only): the input's own tags and cover picture, the
    // track "n/N", the title "TITLE (n/N)" and the album. With maxPieceBytes they count against
    // the limit.
    bool tags = false;
    // When set, the split can be stopped through it, and its ffmpeg children run in process
    // groups of their own: a terminal's Ctrl-C then reaches only the caller, which decides how
    // the split stops.
    SplitStop* stop = nullptr;
    // Keep a record of the finished split in the output folder, for findFinishedRun: it is
    // removed before anything is written and written anew once every piece is complete. A dry
    // run neither removes nor writes it.
    bool keepRunRecord = false;
    // A field added here that changes the pieces must go into the record too
    // (recordedOptions in folder/run_record.cpp), or a re-run with --skip-done would take
    // pieces made with another value for its own; collection_test fails until the field is
    // listed there as recorded or as not changing the pieces.
};

// The decoded stream's shape, for a caller that reports frames.
struct StreamFormat {
    std::int64_t sampleRate = 0;
    int channelCount = 0;
};

// Splits inputPath (WAV or MP3) into pieces of about maxSeconds, cutting in silence within
// toleranceSeconds of that length, and writes them as outputDir/part_NNN.wav (or the suffix
// of the options' format).
//
// Returns true when every piece was written; *outSegments then holds one Segment per piece,
// in order. On failure returns false, leaves *outSegments empty and, when errorMessage is
// non-null, stores one message there. A successful call leaves *errorMessage untouched. A
// null outSegments fails at once without a message. Pieces written before a failure stay on
// disk; the run deletes only files it made itself and did not complete (its scratch files, a
// piece that got no audio), and the output folder with the parents it made, while they are
// empty, when the pieces the options ask for do not fit the stream (and, with anyInput, on any
// failure).
//
// While it writes, the split holds an advisory lock (flock) on the output folder and fails
// with "Output directory is in use by another run: %1" where another split holds it.
bool splitAudio(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, QList<Segment>* outSegments, QString* errorMessage);

// Where a running split has got to, for a caller that shows progress.
struct SplitProgress {
    enum class Stage { Decoding, Writing };
    Stage stage = Stage::Decoding;
    // Decoding: audio analysed so far, and the input's duration as its container states it
    // (negative when the container does not say).
    double positionSeconds = 0.0;
    double totalSeconds = -1.0;
    // Writing: the piece about to be written, counting from 1, and how many there are. While
    // decoding with onePass: the piece being written, and partCount 0 as the count is not
    // known yet.
    qsizetype part = 0;
    qsizetype partCount = 0;
};

using ProgressCallback = std::function<void(const SplitProgress&)>;

// As above, and calls progress (when it is set) on the caller's thread while the input is
// decoded, after each read, and before each piece is written. The engine itself never writes
// to a stream.
bool splitAudio(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, QList<Segment>* outSegments, QString* errorMessage,
    const ProgressCallback& progress);

// As above, with the choices of options. format, when set, receives the stream's rate and
// channel count once the input has been probed.
bool splitAudio(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, const SplitOptions& options, QList<Segment>* outSegments,
    QString* errorMessage, const ProgressCallback& progress = {}, StreamFormat* format = nullptr);

// Whether nameTemplate (SplitOptions::nameTemplate) names the pieces of inputPath: it holds {n},
// no other field than {n}, {n:W} and {stem}, no unclosed brace, "/" or NUL, and its names fit a
// file name once the input's stem is in them. Otherwise, when errorMessage is non-null, stores
// "Invalid value for --name: %1: %2" there, %2 saying why.
bool checkNameTemplate(
    const QString& nameTemplate, const QString& inputPath, QString* errorMessage);

// Whether outputDir holds the record of a finished split (SplitOptions::keepRunRecord) of the
// same input file, with the same lengths and the same options where they change the pieces,
// whose pieces are all still as that split left them. The input is the same when its absolute
// path, size and modification time are; a piece when its size and modification time are. Then
// *outSegments receives that split's pieces, their paths in outputDir as given, *format (when
// set) the stream's rate and channel count, and true is returned, all without decoding
// anything. Otherwise, and while another split holds the folder, false, with both left alone.
bool findFinishedRun(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, const SplitOptions& options, QList<Segment>* outSegments,
    StreamFormat* format = nullptr);

// A piece's place in the input, in seconds, as the JSON outputs give it: its first frame, the
// frame after its last and its frame count, each divided by the rate in double. Printed by
// Qt's JSON writer, each reads back to the same double.
struct PieceSeconds {
    double start = 0.0;
    double end = 0.0;
    double duration = 0.0;
};
PieceSeconds pieceSeconds(const Segment& piece, std::int64_t sampleRate);

// "silence", "quietest", "forced" or "end": a cut's name in the JSON outputs.
QString cutKindName(CutKind kind);

// Appends one JSON line per piece to manifestPath, made when missing, for dataset and
// transcription tools: {"audio_filepath": PIECE, "duration": SECONDS, "offset": 0, "source":
// INPUT, "source_offset": START, "cut": KIND}, with the paths as given and the seconds of
// pieceSeconds. For a dry run, audio_filepath is the input itself and offset the piece's
// start. All lines go in one write under an exclusive lock (flock) on the file, so that runs
// side by side never mix or lose lines; a write that fails is taken back. Fails with "Failed
// to write the manifest %1: %2" (the path as given, the system's reason).
bool appendManifest(const QString& manifestPath, const QString& inputPath, std::int64_t sampleRate,
    const QList<Segment>& pieces, bool dryRun, QString* errorMessage);

// Formats seconds for display: 0s, 500ms, 1.5us, 1m30s, 1h0m5s, -2s. The value is rounded to
// whole nanoseconds first.
QString formatDuration(double seconds);

} // namespace brevane
