#pragma once

#include <QString>

#include <optional>

// Reads a silence level: a plain number such as "0.005" (the mean absolute sample value, full
// scale being 1), or decibels relative to full scale with a "dB" suffix, such as "-46dB".
// Returns nothing unless the level is greater than 0 and at most 1 (0 dB).
std::optional<double> parseSilenceLevel(const QString& text);
