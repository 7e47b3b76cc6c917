#pragma once

// Writes consecutive pieces of one 16-bit stream as WAV files while the stream is still
// arriving, when a cut is known only some time after the frames it splits.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace brevane::detail {

class WavPieceWriter {
public:
    struct Format {
        std::int64_t sampleRate = 0;
        int channelCount = 0;
        // The speakers of the pieces' layout; 0 when the channels are not named.
        std::uint64_t channelMask = 0;
        // No piece is ever longer: a piece that could pass what a RIFF size field can state
        // gets room for an RF64 header from the start.
        std::int64_t longestPieceFrames = 0;
        // What a 32-bit RIFF size can state; smaller only in tests.
        std::uint64_t riffSizeLimit = 0xFFFFFFFFu;
    };

    explicit WavPieceWriter(const Format& format);
    // A piece still open is closed with a header that states what it holds.
    ~WavPieceWriter();
    WavPieceWriter(const WavPieceWriter&) = delete;
    WavPieceWriter& operator=(const WavPieceWriter&) = delete;

    // Starts the first piece, at frame 0 of the stream. Its file is made when its first frame
    // arrives, so that a stream without frames leaves no file.
    void begin(const QString& path);

    // Adds frameCount frames of interleaved little-endian 16-bit samples to the open piece.
    bool append(const char* samples, std::int64_t frameCount, QString* errorMessage);

    // Ends the open piece before frame `frame` of the stream (after its first frame, at most
    // at the last frame appended). The frames from there on move into the next piece, whose
    // file is nextPath. The ended piece is complete on disk before the next one can fail.
    bool cutAt(std::int64_t frame, const QString& nextPath, QString* errorMessage);

    // Closes the open piece with its final header.
    bool finish(QString* errorMessage);

    // Frames of the stream appended so far.
    std::int64_t framesAppended() const { return m_pieceStart + m_framesHeld; }
    // The piece being written, counting from 1.
    qsizetype pieceNumber() const { return m_pieceNumber; }
    // The path of the piece being written once it has a file (its first frame has come), or
    // empty.
    QString openPiecePath() const { return m_piece.fd >= 0 ? m_piece.path : QString(); }

private:
    // The file of one piece, and whether this run made it: only a file the run made itself
    // may be removed again.
    struct PieceFile {
        int fd = -1;
        QString path;
        bool created = false;
    };

    // Makes the file of the open piece with its header; 0, or the system's error number.
    int openPiece();
    int createWithHeader(const QByteArray& name);
    bool writeAll(int fd, const char* data, std::int64_t size, std::int64_t offset);
    bool writeHeader(int fd, std::int64_t frames);
    bool finalise(int fd, std::int64_t frames);
    void closeAfterFailure(PieceFile& piece);
    bool failWith(const QString& path, int errorNumber, QString* errorMessage);
    std::int64_t headerBytes() const;
    std::int64_t statableFrames() const;

    const Format m_format;
    // Bytes per frame. Counted in 64 bits, as a crafted stream may declare up to 2^31 - 1
    // channels.
    const std::int64_t m_blockAlign;
    const bool m_reserveRf64;
    PieceFile m_piece;
    std::int64_t m_pieceStart = 0;
    std::int64_t m_framesHeld = 0;
    // What the open piece's header states so far.
    std::int64_t m_framesStated = 0;
    qsizetype m_pieceNumber = 0;
    // Moves frames between files in slices of this buffer, so a piece is never held whole.
    std::vector<char> m_moveBuffer;
};

} // namespace brevane::detail
