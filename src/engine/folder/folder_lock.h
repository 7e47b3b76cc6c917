#pragma once

// The output folder held by one run at a time, so that two runs never write their pieces into
// one folder.

#include <QString>

namespace brevane::detail {

// An advisory lock (flock) on the folder itself, which adds no file to it. The kernel releases
// it when the descriptor is closed, and so when the process ends however it ends.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock on outputDir, or fails at once with "Output directory is in use by another
    // run: %1" where another run holds it. A folder that cannot be locked at all (a network
    // file system may refuse locks on folders; this process may not read the folder) is used
    // as before, without the lock.
    bool lock(const QString& outputDir, QString* errorMessage);

private:
    int m_fd = -1;
};

} // namespace brevane::detail
