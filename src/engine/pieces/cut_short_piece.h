#pragma once

// What a piece's ffmpeg leaves when the split is stopped while it writes, or when it fails part
// way (a full disk): its piece cut short, kept with a header that states what it holds; a file
// with no audio yet, which is removed; or, ended before it opened its file, whatever was there
// before, which is not its piece and stays as it was.

#include "brevane.h"

#include <QString>

#include <cstdint>

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
// a piece cut short. A file of ffmpeg's own without audio is removed; a WAV file whose sizes
// ffmpeg had no chance to write is given those of the whole frames it holds.
bool keepCutShortPiece(const QString& path, const FileState& before, PieceFormat format);

// Where a WAV file's samples lie and how they are laid out, as its header states them.
struct WavLayout {
    // The first byte of the data chunk's samples.
    std::int64_t dataOffset = 0;
    // The data chunk's size field (0xFFFFFFFF in a file whose writer did not finish it).
    std::uint32_t statedBytes = 0;
    std::int64_t fileBytes = 0;
    int blockAlign = 0;
    std::int64_t sampleRate = 0;
    bool rf64 = false;

    // The bytes of audio the file holds, as far as its header states them (an RF64 header or
    // an unstated size: all that follows).
    std::int64_t audioBytes() const;
};

// False for a file that is no WAV with a format and a data chunk.
bool readWavLayout(const QString& path, WavLayout* layout);

} // namespace brevane::detail
