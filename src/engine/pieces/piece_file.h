#pragma once

// A piece file opened to read and rewrite parts of it in place, for the steps that finish a
// piece after its encoder: its tags.

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace brevane::detail {

class PieceFile {
public:
    // Opens path for reading and writing; ok() tells whether that worked.
    explicit PieceFile(const QString& path);
    ~PieceFile();
    PieceFile(const PieceFile&) = delete;
    PieceFile& operator=(const PieceFile&) = delete;

    bool ok() const { return m_fd >= 0; }
    // size bytes from offset; fewer at the end of the file, and empty after a failure.
    QByteArray read(off_t offset, qsizetype size);
    bool write(off_t offset, const QByteArray& bytes);

    // "Failed to write %1: %2" for this file, with the system's reason for the last failed
    // call, or with reason when it is given.
    bool fail(QString* errorMessage, const QString& reason = {}) const;

private:
    const QString m_path;
    int m_fd = -1;
    int m_error = 0;
};

} // namespace brevane::detail
