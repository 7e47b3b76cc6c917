#pragma once

#include "brevane.h"

#include <QString>

#include <cstdint>
#include <optional>

// The options that say what the pieces are written as. Blanks are allowed around each text but
// not inside it.

// "wav", "flac", "mp3" or "opus"; nothing for any other text.
std::optional<brevane::PieceFormat> parsePieceFormat(const QString& text);

// A bit rate: a whole number of bits per second, or of thousands with a "k" ("128000", "64k").
// Nothing unless it lies within range.
std::optional<std::int64_t> parseBitRate(const QString& text, brevane::BitRateRange range);

// A whole number from lowest to highest, digits only; nothing otherwise.
std::optional<std::int64_t> parseWholeNumber(
    const QString& text, std::int64_t lowest, std::int64_t highest);

// A size in bytes: a positive whole number, with an optional unit right after it: k, M, G or kB,
// MB, GB (powers of 1000), KiB, MiB, GiB (powers of 1024). Nothing for any other text, or for a
// size beyond 2^63 - 1 bytes.
std::optional<std::int64_t> parseByteSize(const QString& text);
