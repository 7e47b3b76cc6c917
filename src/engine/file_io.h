#pragma once

// Whole reads and writes of a file descriptor, for every unit that writes or rereads a file
// itself: each goes on where a signal or the system cuts a call short.

#include <cstdint>

namespace brevane::detail {

// Writes size bytes at offset (at the file's position where offset is negative). Returns 0, or
// the system's error number: ENOSPC for a write that takes nothing.
int writeFully(int fd, const char* data, std::int64_t size, std::int64_t offset = -1);

// Reads up to size bytes at offset, fewer only at the end of the file. Returns the bytes read,
// or minus the system's error number.
std::int64_t readUpTo(int fd, char* data, std::int64_t size, std::int64_t offset);

} // namespace brevane::detail
