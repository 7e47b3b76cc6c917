#include "file_io.h"

#include <cerrno>

#include <unistd.h>

namespace brevane::detail {

int writeFully(int fd, const char* data, std::int64_t size, std::int64_t offset)
{
    while (size > 0) {
        const ssize_t written = offset < 0 ? ::write(fd, data, std::size_t(size))
                                           : ::pwrite(fd, data, std::size_t(size), off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : ENOSPC;
        data += written;
        size -= written;
        if (offset >= 0)
            offset += written;
    }
    return 0;
}

std::int64_t readUpTo(int fd, char* data, std::int64_t size, std::int64_t offset)
{
    std::int64_t done = 0;
    while (done < size) {
        const ssize_t read
            = ::pread(fd, data + done, std::size_t(size - done), off_t(offset + done));
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return -errno;
        if (read == 0)
            break;
        done += read;
    }
    return done;
}

} // namespace brevane::detail
