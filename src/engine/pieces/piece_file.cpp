#include "pieces/piece_file.h"

#include "error_text.h"
#include "file_io.h"

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
    const std::int64_t read = readUpTo(m_fd, bytes.data(), size, offset);
    if (read < 0) {
        m_error = int(-read);
        return {};
    }
    bytes.truncate(qsizetype(read));
    return bytes;
}

bool PieceFile::write(off_t offset, const QByteArray& bytes)
{
    m_error = writeFully(m_fd, bytes.constData(), bytes.size(), offset);
    return m_error == 0;
}

bool PieceFile::fail(QString* errorMessage, const QString& reason) const
{
    return detail::fail(errorMessage,
        trText("Failed to write %1: %2")
            .arg(m_path,
                reason.isEmpty() ? QString::fromLocal8Bit(std::strerror(m_error)) : reason));
}

} // namespace brevane::detail
