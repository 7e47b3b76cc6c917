#include "pieces/mp3_copy.h"

#include "error_text.h"
#include "file_io.h"
#include "input/stretch_decoder.h"
#include "pieces/gapless_header.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace brevane::detail {

namespace {

    // A decoder drops the encoder delay the header states plus its own delay of 529 samples.
    constexpr int decoderDelay = 529;
    constexpr std::int64_t copySliceBytes = 1 << 20;

    QString systemError(int errorNumber)
    {
        return QString::fromLocal8Bit(std::strerror(errorNumber));
    }

    bool failWriting(const QString& path, int errorNumber, QString* errorMessage)
    {
        return fail(
            errorMessage, trText("Failed to write %1: %2").arg(path, systemError(errorNumber)));
    }

    // Decoders honour the gapless fields under the names of the encoders that write them.
    QByteArray gaplessEncoderName(const QByteArray& inputs)
    {
        for (const char* known : { "LAME", "Lavf", "Lavc" }) {
            if (inputs.startsWith(known))
                return inputs;
        }
        return QByteArrayLiteral("Lavf");
    }

    // The scratch file, removed again unless it took the piece's name.
    class ScratchFile {
    public:
        explicit ScratchFile(const QString& path)
            : m_path(QFile::encodeName(path))
        {
            ::unlink(m_path.constData());
            m_fd = ::open(m_path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        }
        ~ScratchFile()
        {
            if (m_fd >= 0)
                ::close(m_fd);
            if (!m_named)
                ::unlink(m_path.constData());
        }
        ScratchFile(const ScratchFile&) = delete;
        ScratchFile& operator=(const ScratchFile&) = delete;

        int fd() const { return m_fd; }
        // Closes the file and renames it; 0, or the system's error number.
        int nameAs(const QString& path)
        {
            const int fd = m_fd;
            m_fd = -1;
            if (::close(fd) != 0)
                return errno;
            if (std::rename(m_path.constData(), QFile::encodeName(path).constData()) != 0)
                return errno;
            m_named = true;
            return 0;
        }

    private:
        QByteArray m_path;
        int m_fd = -1;
        bool m_named = false;
    };

} // namespace

Mp3CopyWriter::Mp3CopyWriter(const QString& inputPath, const Mp3Index& index)
    : m_inputPath(inputPath)
    , m_index(index)
{
}

Mp3CopyWriter::~Mp3CopyWriter()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::int64_t Mp3CopyWriter::frameBoundaryNear(std::int64_t frame) const
{
    const std::vector<Mp3Packet>& packets = m_index.packets;
    const auto usable = [&](std::size_t k) {
        return k < packets.size() && packets[k].head == 0 && packets[k].count > 0
            && packets[k].outputStart > 0 && packets[k].outputStart < m_index.totalFrames;
    };
    const std::size_t at = m_index.packetAt(frame);
    std::int64_t best = -1;
    for (const std::size_t k : { at, at + 1 }) {
        if (!usable(k))
            continue;
        const std::int64_t boundary = packets[k].outputStart;
        if (best < 0 || std::llabs(boundary - frame) < std::llabs(best - frame))
            best = boundary;
    }
    return best;
}

QList<InternalSegment> Mp3CopyWriter::snapped(const QList<InternalSegment>& ranges) const
{
    QList<InternalSegment> pieces;
    std::int64_t start = 0;
    for (qsizetype i = 0; i + 1 < ranges.size(); ++i) {
        const std::int64_t boundary = frameBoundaryNear(ranges.at(i).endFrame);
        if (boundary <= start)
            continue;
        pieces.append({ start, boundary, ranges.at(i).kind });
        start = boundary;
    }
    if (!ranges.isEmpty())
        pieces.append({ start, m_index.totalFrames, ranges.last().kind });
    return pieces;
}

bool Mp3CopyWriter::readInput(
    std::int64_t position, char* data, std::int64_t size, QString* errorMessage)
{
    if (m_fd < 0)
        m_fd = ::open(QFile::encodeName(m_inputPath).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return fail(
            errorMessage, trText("Failed to read %1: %2").arg(m_inputPath, systemError(errno)));
    const std::int64_t read = readUpTo(m_fd, data, size, position);
    if (read != size)
        return fail(errorMessage,
            trText("Failed to read %1: %2")
                .arg(m_inputPath, systemError(read < 0 ? int(-read) : EIO)));
    return true;
}

bool Mp3CopyWriter::write(const InternalSegment& range, const QString& path,
    const QString& scratchPath, QString* errorMessage, const QByteArray& tag)
{
    const std::vector<Mp3Packet>& packets = m_index.packets;
    const std::int64_t frameSamples = m_index.samplesPerFrame();
    const bool last = range.endFrame >= m_index.totalFrames;
    const std::size_t first = range.startFrame == 0 ? 0 : m_index.packetAt(range.startFrame);
    std::size_t end = packets.size();
    if (last) {
        while (end > 0 && packets[end - 1].count == 0)
            --end;
    } else {
        end = m_index.packetAt(range.endFrame);
    }
    const bool onBoundaries = (first == 0 || packets[first].outputStart == range.startFrame)
        && (last || packets[end].outputStart == range.endFrame) && first < end;
    if (!onBoundaries)
        return fail(errorMessage, trText("Invalid segment boundaries"));

    // Where the piece's bytes begin among the input's frames, and what stands before them.
    std::size_t start = first;
    std::int64_t skipped = 0;
    QByteArray priming;
    if (first == 0) {
        for (const Mp3Packet& packet : packets)
            skipped += packet.head;
    } else {
        const Mp3LeadIn leadIn = mp3LeadIn(m_index, first);
        start = leadIn.start;
        skipped = std::int64_t(first - start) * frameSamples;
        // Beyond what the header can state, the frames before the first one are replaced by
        // one frame that leaves the decoder the same bit reservoir, and the overlap frames.
        if (skipped - decoderDelay > mostGaplessSamples && leadIn.exact > 0
            && leadIn.reservoirBytes > 0) {
            QByteArray reservoir;
            for (std::size_t frame = leadIn.exact;
                 frame > 0 && reservoir.size() < leadIn.reservoirBytes;) {
                --frame;
                QByteArray region(packets[frame].regionBytes, '\0');
                if (!readInput(packets[frame].position + packets[frame].bytes - region.size(),
                        region.data(), region.size(), errorMessage))
                    return false;
                reservoir.prepend(region);
            }
            reservoir = reservoir.right(leadIn.reservoirBytes);
            unsigned char word[4];
            if (!readInput(
                    packets[leadIn.exact].position, reinterpret_cast<char*>(word), 4, errorMessage))
                return false;
            priming = mp3PrimingFrame(m_index.shape,
                std::uint32_t(word[0]) << 24 | std::uint32_t(word[1]) << 16
                    | std::uint32_t(word[2]) << 8 | word[3],
                reservoir);
            start = leadIn.exact;
            skipped = std::int64_t(1 + first - start) * frameSamples;
        }
    }

    GaplessHeader header;
    header.shape = m_index.shape;
    header.variableBitRate = !m_index.constantBitRate;
    if (!priming.isEmpty())
        header.frameBytes.push_back(std::int32_t(priming.size()));
    for (std::size_t k = start; k < end; ++k)
        header.frameBytes.push_back(packets[k].bytes);
    // A piece that needs nothing dropped, from an input that states no gapless information,
    // says none, as no decoder then drops anything.
    if (skipped > 0) {
        header.encoder = gaplessEncoderName(m_index.encoderVersion);
        header.delay = int(skipped - decoderDelay);
        const Mp3Packet& lastPacket = packets[end - 1];
        header.padding = last
            ? int(frameSamples - lastPacket.head - lastPacket.count) + decoderDelay
            : decoderDelay;
        if (header.delay < 0 || header.delay > mostGaplessSamples
            || header.padding > mostGaplessSamples)
            return fail(errorMessage,
                trText("Failed to write %1: %2")
                    .arg(path, trText("its gapless header cannot state the samples to drop")));
    }

    ScratchFile scratch(scratchPath);
    if (scratch.fd() < 0)
        return failWriting(scratchPath, errno, errorMessage);
    QByteArray leading = tag;
    if (tag.isEmpty() && m_index.id3v2Bytes > 0) {
        leading.resize(m_index.id3v2Bytes);
        if (!readInput(0, leading.data(), leading.size(), errorMessage))
            return false;
    }
    const int firstBitRate = m_index.constantBitRate ? m_index.shape.bitRateIndex : 1;
    const QByteArray placeholder(gaplessHeaderBytes(m_index.shape, firstBitRate), '\0');
    std::uint16_t crc = lameCrc(0, reinterpret_cast<const unsigned char*>(priming.constData()),
        std::size_t(priming.size()));
    const QByteArray* const before[] = { &leading, &placeholder, &priming };
    for (const QByteArray* bytes : before) {
        if (const int error = writeFully(scratch.fd(), bytes->constData(), bytes->size()))
            return failWriting(path, error, errorMessage);
    }

    const std::int64_t from = packets[start].position;
    const std::int64_t to = packets[end - 1].position + packets[end - 1].bytes;
    std::vector<char> slice(std::size_t(std::min(copySliceBytes, to - from)));
    for (std::int64_t done = from; done < to;) {
        const std::int64_t size = std::min<std::int64_t>(std::int64_t(slice.size()), to - done);
        if (!readInput(done, slice.data(), size, errorMessage))
            return false;
        crc = lameCrc(crc, reinterpret_cast<const unsigned char*>(slice.data()), std::size_t(size));
        if (const int error = writeFully(scratch.fd(), slice.data(), size))
            return failWriting(path, error, errorMessage);
        done += size;
    }

    header.framesCrc = crc;
    const QByteArray frame = gaplessHeaderFrame(header, firstBitRate);
    if (const int error = writeFully(scratch.fd(), frame.constData(), frame.size(), leading.size()))
        return failWriting(path, error, errorMessage);
    if (const int errorNumber = scratch.nameAs(path))
        return failWriting(path, errorNumber, errorMessage);
    return true;
}

std::int64_t Mp3CopyWriter::mostBytes(
    const Mp3Index& index, std::int64_t frames, std::int64_t tagBytes)
{
    const Mp3FrameHeader& shape = index.shape;
    const std::int64_t frameSamples = std::max(index.samplesPerFrame(), 1);
    // Frames of a constant bit rate take their size or one byte more; a variable bit rate may
    // take the largest frame its version has.
    const std::int64_t largestFrame
        = index.constantBitRate ? index.largestFrameBytes : mp3FrameBytes(shape, 14) + 1;
    const int firstBitRate = index.constantBitRate ? shape.bitRateIndex : 1;
    // Besides the frames of its range: the header frame, a priming frame, and frames for the
    // cut moved to a frame boundary at each end (half a frame each), the lead-in the header can
    // state (at most 4095 + 529 samples) or the overlap frames with the priming frame, and the
    // samples the input's own header drops at its start.
    const std::int64_t statable = (mostGaplessSamples + decoderDelay) / frameSamples + 1;
    const std::int64_t extraFrames = 2 + 2 * statable;
    return tagBytes + gaplessHeaderBytes(shape, firstBitRate) + mp3FrameBytes(shape, 14) + 1
        + ((frames + frameSamples - 1) / frameSamples + extraFrames) * largestFrame;
}

} // namespace brevane::detail
