#include "folder/folder_lock.h"

#include "error_text.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace brevane::detail {

FolderLock::~FolderLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FolderLock::lock(const QString& outputDir, QString* errorMessage)
{
    // Close on exec, so that no child inherits the lock and holds the folder after the run.
    m_fd = ::open(QFile::encodeName(outputDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0)
        return true;
    int locked = 0;
    do
        locked = ::flock(m_fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked == 0 || errno != EWOULDBLOCK)
        return true;
    return fail(
        errorMessage, trText("Output directory is in use by another run: %1").arg(outputDir));
}

} // namespace brevane::detail
