#include "pieces/wav_piece_writer.h"

#include "error_text.h"
#include "file_io.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brevane::detail {

namespace {

    constexpr int bytesPerSample = 2;
    // The body of the chunk that holds the 64-bit sizes of an RF64 file: RIFF size, data size,
    // sample count and an empty table.
    constexpr int ds64BodyBytes = 28;
    constexpr std::int64_t moveSliceBytes = 1 << 20;
    // The open piece's header is brought up to date once a second of audio or more is written
    // and not yet stated in it, and audio is written in slices of at most four seconds, so that
    // a run killed at any moment leaves less than five seconds unstated: under a second that
    // waits for the next update, and the slice being written. Slices of one second made four
    // times the system calls on low-rate audio (bench/README.md).
    constexpr std::int64_t sliceSeconds = 4;

    // As ffmpeg's own WAV writer decides: named speakers beyond mono and stereo, or a rate
    // above 48 kHz, need the extensible format to say what the channels are and how wide the
    // samples are. It states a mask only below the speakers it knows by name (0x40000), and 0
    // for channels that are not named.
    bool needsExtensibleFormat(const WavPieceWriter::Format& format)
    {
        return (format.channelMask != 0 && format.channelCount > 2) || format.sampleRate > 48000;
    }

    std::uint32_t statedChannelMask(const WavPieceWriter::Format& format)
    {
        return format.channelMask < 0x40000 ? std::uint32_t(format.channelMask) : 0;
    }

    // Whether the 16- and 32-bit fields of the format chunk can state the stream at all.
    bool formatFitsHeader(const WavPieceWriter::Format& format, std::int64_t blockAlign)
    {
        return format.channelCount <= 0xFFFF && blockAlign <= 0xFFFF && format.sampleRate >= 1
            && format.sampleRate <= 0xFFFFFFFF && format.sampleRate * blockAlign <= 0xFFFFFFFF;
    }

    class HeaderBytes {
    public:
        void text(const char (&fourCharacters)[5]) { m_bytes.append(fourCharacters, 4); }
        void le16(std::uint16_t value) { append(value); }
        void le32(std::uint32_t value) { append(value); }
        void le64(std::uint64_t value) { append(value); }
        void zeros(int count) { m_bytes.append(count, '\0'); }
        void raw(const char* data, int size) { m_bytes.append(data, size); }
        const QByteArray& bytes() const { return m_bytes; }

    private:
        template <typename T> void append(T value)
        {
            char buffer[sizeof(T)];
            qToLittleEndian(value, buffer);
            m_bytes.append(buffer, sizeof(T));
        }
        QByteArray m_bytes;
    };

    std::int64_t headerSize(const WavPieceWriter::Format& format, bool reserveRf64)
    {
        const int formatBody = needsExtensibleFormat(format) ? 40 : 16;
        return 12 + (reserveRf64 ? 8 + ds64BodyBytes : 0) + 8 + formatBody + 8;
    }

    // As ffmpeg's "-rf64 auto" does: the room for the 64-bit sizes is kept in every piece that
    // might need it, as a chunk readers skip. A product too large to count certainly needs it.
    bool needsRf64Reserve(const WavPieceWriter::Format& format, std::int64_t blockAlign)
    {
        std::uint64_t longestData = 0;
        if (format.longestPieceFrames < 0
            || __builtin_mul_overflow(
                std::uint64_t(format.longestPieceFrames), std::uint64_t(blockAlign), &longestData))
            return true;
        return longestData > format.riffSizeLimit - std::uint64_t(headerSize(format, false) - 8);
    }

} // namespace

WavPieceWriter::WavPieceWriter(const Format& format)
    : m_format(format)
    , m_blockAlign(std::int64_t(format.channelCount) * bytesPerSample)
    , m_reserveRf64(needsRf64Reserve(format, m_blockAlign))
{
}

WavPieceWriter::~WavPieceWriter()
{
    if (m_piece.fd >= 0)
        closeAfterFailure(m_piece);
}

std::int64_t WavPieceWriter::headerBytes() const { return headerSize(m_format, m_reserveRf64); }

std::int64_t WavPieceWriter::statableFrames() const
{
    if (m_reserveRf64)
        return std::numeric_limits<std::int64_t>::max() / m_blockAlign;
    return std::int64_t(
        (m_format.riffSizeLimit - std::uint64_t(headerBytes() - 8)) / std::uint64_t(m_blockAlign));
}

void WavPieceWriter::begin(const QString& path)
{
    m_piece = { -1, path, false };
    m_pieceStart = 0;
    m_framesHeld = 0;
    m_pieceNumber = 1;
}

// A new piece appears under its name with its header already in it, so that at no moment is
// there a piece file that is not a WAV: it is made without a name in its folder, given the
// header, and then linked in. Returns -1 where the name is taken or the file system cannot do
// this, and the piece is then made the plain way.
int WavPieceWriter::createWithHeader(const QByteArray& name)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(m_piece.path).path());
    const int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    char unnamed[32];
    std::snprintf(unnamed, sizeof unnamed, "/proc/self/fd/%d", fd);
    if (writeHeader(fd, 0)
        && ::linkat(AT_FDCWD, unnamed, AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0)
        return fd;
    ::close(fd);
    return -1;
}

int WavPieceWriter::openPiece()
{
    if (!formatFitsHeader(m_format, m_blockAlign))
        return EOVERFLOW;
    const QByteArray name = QFile::encodeName(m_piece.path);
    m_framesStated = 0;
    m_piece.fd = createWithHeader(name);
    m_piece.created = m_piece.fd >= 0;
    if (m_piece.created)
        return 0;
    m_piece.fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    m_piece.created = m_piece.fd >= 0;
    // A piece of an earlier run is overwritten, as ffmpeg would overwrite it. Whatever else has
    // the name (a link to a device, a folder) fails below and is left as it is.
    if (m_piece.fd < 0 && errno == EEXIST)
        m_piece.fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (m_piece.fd < 0)
        return errno;
    // A header for no data at first: until the piece is closed, nothing it states is wrong.
    if (!finalise(m_piece.fd, 0)) {
        const int errorNumber = errno;
        closeAfterFailure(m_piece);
        return errorNumber;
    }
    return 0;
}

bool WavPieceWriter::append(const char* samples, std::int64_t frameCount, QString* errorMessage)
{
    if (frameCount <= 0)
        return true;
    if (m_piece.fd < 0) {
        if (const int errorNumber = openPiece())
            return failWith(m_piece.path, errorNumber, errorMessage);
    }
    // The header states audio only once it is written, so it never states more than the file
    // holds.
    while (frameCount > 0) {
        const std::int64_t slice = std::min(frameCount, sliceSeconds * m_format.sampleRate);
        bool written = writeAll(
            m_piece.fd, samples, slice * m_blockAlign, headerBytes() + m_framesHeld * m_blockAlign);
        if (written) {
            m_framesHeld += slice;
            samples += slice * m_blockAlign;
            frameCount -= slice;
            if (m_framesHeld - m_framesStated >= m_format.sampleRate) {
                written = writeHeader(m_piece.fd, m_framesHeld);
                m_framesStated = m_framesHeld;
            }
        }
        if (!written) {
            const int errorNumber = errno;
            closeAfterFailure(m_piece);
            return failWith(m_piece.path, errorNumber, errorMessage);
        }
    }
    return true;
}

bool WavPieceWriter::cutAt(std::int64_t frame, const QString& nextPath, QString* errorMessage)
{
    const std::int64_t keptFrames = frame - m_pieceStart;
    if (m_piece.fd < 0 || keptFrames <= 0 || keptFrames > m_framesHeld)
        return fail(errorMessage, trText("Invalid segment boundaries"));
    const std::int64_t movedFrames = m_framesHeld - keptFrames;
    PieceFile ended = m_piece;
    m_piece = { -1, nextPath, false };
    m_pieceStart = frame;
    m_framesHeld = 0;
    ++m_pieceNumber;

    // The next piece takes its frames from the ended one's file before that is truncated.
    int nextError = movedFrames > 0 ? openPiece() : 0;
    int endedError = 0;
    if (movedFrames > 0 && nextError == 0) {
        // In slices of at most a few seconds of audio, each stated in the next piece's header
        // once it is written there.
        const std::int64_t sliceBytes
            = std::min(moveSliceBytes, sliceSeconds * m_format.sampleRate * m_blockAlign);
        m_moveBuffer.resize(std::size_t(sliceBytes));
        const std::int64_t from = headerBytes() + keptFrames * m_blockAlign;
        const std::int64_t total = movedFrames * m_blockAlign;
        for (std::int64_t done = 0; done < total && nextError == 0 && endedError == 0;) {
            const std::int64_t slice = std::min(sliceBytes, total - done);
            const ssize_t read
                = ::pread(ended.fd, m_moveBuffer.data(), std::size_t(slice), from + done);
            if (read < 0 && errno == EINTR)
                continue;
            if (read <= 0)
                endedError = read < 0 ? errno : EIO;
            else if (!writeAll(m_piece.fd, m_moveBuffer.data(), read, headerBytes() + done)
                || !writeHeader(m_piece.fd, (done + read) / m_blockAlign))
                nextError = errno;
            else
                done += read;
        }
        if (nextError == 0 && endedError == 0)
            m_framesHeld = m_framesStated = movedFrames;
        else
            closeAfterFailure(m_piece);
    }

    // The ended piece is complete on disk whatever became of the next one.
    if (!finalise(ended.fd, keptFrames)) {
        endedError = errno;
        closeAfterFailure(ended);
    } else if (::close(ended.fd) != 0 && endedError == 0) {
        endedError = errno;
    }
    if (endedError != 0)
        return failWith(ended.path, endedError, errorMessage);
    if (nextError != 0)
        return failWith(nextPath, nextError, errorMessage);
    return true;
}

bool WavPieceWriter::finish(QString* errorMessage)
{
    if (m_piece.fd < 0)
        return true;
    if (!finalise(m_piece.fd, m_framesHeld)) {
        const int errorNumber = errno;
        closeAfterFailure(m_piece);
        return failWith(m_piece.path, errorNumber, errorMessage);
    }
    const int fd = m_piece.fd;
    m_piece.fd = -1;
    if (::close(fd) != 0)
        return failWith(m_piece.path, errno, errorMessage);
    return true;
}

bool WavPieceWriter::writeAll(int fd, const char* data, std::int64_t size, std::int64_t offset)
{
    const int error = writeFully(fd, data, size, offset);
    errno = error;
    return error == 0;
}

// Writes the header that states `frames` frames, and then cuts the file to them: until it is
// cut, the file holds more than its header states, never less.
bool WavPieceWriter::finalise(int fd, std::int64_t frames)
{
    return writeHeader(fd, frames)
        && ::ftruncate(fd, off_t(headerBytes() + frames * m_blockAlign)) == 0;
}

bool WavPieceWriter::writeHeader(int fd, std::int64_t frames)
{
    if (frames > statableFrames()) {
        errno = EFBIG;
        return false;
    }
    const bool extensible = needsExtensibleFormat(m_format);
    const std::uint64_t dataBytes = std::uint64_t(frames) * std::uint64_t(m_blockAlign);
    const std::uint64_t riffSize = std::uint64_t(headerBytes() - 8) + dataBytes;
    const bool rf64 = riffSize > m_format.riffSizeLimit;
    constexpr std::uint32_t sizeInDs64 = 0xFFFFFFFFu;

    HeaderBytes header;
    if (rf64)
        header.text("RF64");
    else
        header.text("RIFF");
    header.le32(rf64 ? sizeInDs64 : std::uint32_t(riffSize));
    header.text("WAVE");
    if (m_reserveRf64) {
        if (rf64) {
            header.text("ds64");
            header.le32(ds64BodyBytes);
            header.le64(riffSize);
            header.le64(dataBytes);
            header.le64(std::uint64_t(frames));
            header.le32(0);
        } else {
            header.text("JUNK");
            header.le32(ds64BodyBytes);
            header.zeros(ds64BodyBytes);
        }
    }
    header.text("fmt ");
    header.le32(extensible ? 40 : 16);
    header.le16(extensible ? 0xFFFE : 1);
    header.le16(std::uint16_t(m_format.channelCount));
    header.le32(std::uint32_t(m_format.sampleRate));
    header.le32(std::uint32_t(m_format.sampleRate * m_blockAlign));
    header.le16(std::uint16_t(m_blockAlign));
    header.le16(8 * bytesPerSample);
    if (extensible) {
        header.le16(22);
        header.le16(8 * bytesPerSample);
        header.le32(statedChannelMask(m_format));
        // KSDATAFORMAT_SUBTYPE_PCM
        static const char subtypePcm[16] = { 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
            char(0x80), 0x00, 0x00, char(0xAA), 0x00, 0x38, char(0x9B), 0x71 };
        header.raw(subtypePcm, sizeof subtypePcm);
    }
    header.text("data");
    header.le32(rf64 ? sizeInDs64 : std::uint32_t(dataBytes));
    Q_ASSERT(header.bytes().size() == headerBytes());
    return writeAll(fd, header.bytes().constData(), header.bytes().size(), 0);
}

// After a failure: what a regular file holds is cut to its whole frames and stated in its
// header. A file that holds no frame, or whose header cannot be put right, is removed, but
// only when this run made it and the name still leads to it: an entry that was there before
// (a link, a device, a piece another run is writing) stays.
void WavPieceWriter::closeAfterFailure(PieceFile& piece)
{
    struct stat status;
    const bool measured = ::fstat(piece.fd, &status) == 0;
    const bool regular = measured && S_ISREG(status.st_mode);
    const std::int64_t frames = regular && status.st_size > headerBytes()
        ? std::min((std::int64_t(status.st_size) - headerBytes()) / m_blockAlign, statableFrames())
        : 0;
    const bool kept = frames > 0 && finalise(piece.fd, frames);
    struct stat named;
    if (!kept && piece.created && regular
        && ::lstat(QFile::encodeName(piece.path).constData(), &named) == 0
        && named.st_dev == status.st_dev && named.st_ino == status.st_ino)
        ::unlink(QFile::encodeName(piece.path).constData());
    ::close(piece.fd);
    piece.fd = -1;
}

bool WavPieceWriter::failWith(const QString& path, int errorNumber, QString* errorMessage)
{
    return fail(errorMessage,
        trText("Failed to write %1: %2")
            .arg(path, QString::fromLocal8Bit(std::strerror(errorNumber))));
}

} // namespace brevane::detail
