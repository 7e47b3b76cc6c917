#include "pieces/piece_file.h"

#include "error_text.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace brevane::detail {

PieceFile::PieceFile(const QString& path)
    : m_path(path)
    , m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC))
{
    m_error = m_fd < 0 ? errno : 0;
}

PieceFile::~PieceFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QByteArray PieceFile::read(off_t offset, qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qsizetype done = 0;
    while (done < size) {
        const ssize_t read
            = ::pread(m_fd, bytes.data() + done, std::size_t(size - done), offset + off_t(done));
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0) {
            m_error = errno;
            return {};
        }
        if (read == 0)
            break;
        done += read;
    }
    bytes.truncate(done);
    return bytes;
}

bool PieceFile::write(off_t offset, const QByteArray& bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t written = ::pwrite(
            m_fd, bytes.constData() + done, std::size_t(bytes.size() - done), offset + off_t(done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_error = written < 0 ? errno : EIO;
            return false;
        }
        done += written;
    }
    return true;
}

bool PieceFile::fail(QString* errorMessage, const QString& reason) const
{
    return detail::fail(errorMessage,
        trText("Failed to write %1: %2")
            .arg(m_path,
                reason.isEmpty() ? QString::fromLocal8Bit(std::strerror(m_error)) : reason));
}

} // namespace brevane::detail
