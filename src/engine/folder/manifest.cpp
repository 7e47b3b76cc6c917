#include "folder/manifest.h"

#include "error_text.h"
#include "file_io.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brevane {

namespace detail {

    namespace {

        // A value as Qt's JSON writer prints it, the writer of the --json document: strings
        // escaped, and seconds that read back to the same double.
        QByteArray jsonText(const QJsonValue& value)
        {
            const QByteArray array
                = QJsonDocument(QJsonArray { value }).toJson(QJsonDocument::Compact);
            return array.mid(1, array.size() - 2);
        }

        // Appends bytes to the file at path under an exclusive lock; 0, or the system's error
        // number.
        int appendLocked(const QString& path, const QByteArray& bytes)
        {
            const int fd = ::open(QFile::encodeName(path).constData(),
                O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
            if (fd < 0)
                return errno;
            // Where a file system takes no lock, the one appending write still keeps the lines
            // of one run together on most of them.
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) { }
            struct stat before;
            const bool sized = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
            int error = writeFully(fd, bytes.constData(), bytes.size());
            // A part of a line would break the manifest for every reader: what this run added
            // goes again, while no other run can append behind it.
            if (error != 0 && sized) {
                [[maybe_unused]] const int restored = ::ftruncate(fd, before.st_size);
            }
            // The kernel releases the lock with the descriptor; a network file system reports
            // a failed write as late as this.
            if (::close(fd) != 0 && error == 0 && errno != EINTR)
                error = errno;
            return error;
        }

    } // namespace

    QByteArray manifestLines(const QString& inputPath, std::int64_t sampleRate,
        const QList<Segment>& pieces, bool dryRun)
    {
        const QByteArray source = jsonText(inputPath);
        QByteArray lines;
        for (const Segment& piece : pieces) {
            const PieceSeconds seconds = pieceSeconds(piece, sampleRate);
            const QByteArray start = jsonText(seconds.start);
            lines += "{\"audio_filepath\": " + (dryRun ? source : jsonText(piece.filePath))
                + ", \"duration\": " + jsonText(seconds.duration)
                + ", \"offset\": " + (dryRun ? start : QByteArray("0")) + ", \"source\": " + source
                + ", \"source_offset\": " + start + ", \"cut\": " + jsonText(cutKindName(piece.cut))
                + "}\n";
        }
        return lines;
    }

} // namespace detail

bool appendManifest(const QString& manifestPath, const QString& inputPath, std::int64_t sampleRate,
    const QList<Segment>& pieces, bool dryRun, QString* errorMessage)
{
    using namespace detail;
    const int error
        = appendLocked(manifestPath, manifestLines(inputPath, sampleRate, pieces, dryRun));
    if (error == 0)
        return true;
    return fail(errorMessage,
        trText("Failed to write the manifest %1: %2")
            .arg(manifestPath, QString::fromLocal8Bit(std::strerror(error))));
}

} // namespace brevane
