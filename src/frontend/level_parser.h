#pragma once

#include <QString>

#include <optional>

// Reads a silence level: a plain decimal number such as "0.005" (the mean absolute sample value,
// full scale being 1), or decibels relative to full scale with a "dB" suffix in any letter case,
// such as "-46dB" (10^(-46/20), about 0.00501). Blanks are allowed around the text but not
// inside it. Returns nothing unless the level is greater than 0 and at most 1 (0 dB).
std::optional<double> parseSilenceLevel(const QString& text);
