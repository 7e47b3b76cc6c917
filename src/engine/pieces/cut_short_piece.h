#pragma once

// What a piece's ffmpeg leaves when the split is stopped while it writes: its piece cut short,
// closed with a header that states what it holds, which is kept; a file with no audio yet,
// which is removed; or, stopped before it opened its file, whatever was there before, which is
// not its piece and stays as it was.

#include "brevane.h"

#include <QString>

#include <sys/stat.h>

namespace brevane::detail {

// A path's entry as it stood, to tell afterwards whether ffmpeg made or rewrote it.
struct FileState {
    bool regular = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};

    bool sameAs(const FileState& other) const;
};

FileState fileState(const QString& path);

// Whether the piece ffmpeg left at path, which held `before` when it started, is to be kept as
// a piece cut short. A file of ffmpeg's own without audio is removed.
bool keepCutShortPiece(const QString& path, const FileState& before, PieceFormat format);

} // namespace brevane::detail
