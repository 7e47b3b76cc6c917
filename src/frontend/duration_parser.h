#pragma once

#include <QString>

#include <optional>

// Reads a duration such as "5m", "1m30s", "250ms" or "-1h30m" as seconds. Groups of a number
// and a unit (h, m, s, ms, us or µs, ns) are summed; one leading minus sign negates the whole.
// Returns nothing for a malformed text. Whether a value is acceptable is the caller's call.
std::optional<double> parseDurationSeconds(const QString& text);
