#include "level_parser.h"

#include <cmath>

std::optional<double> parseSilenceLevel(const QString& text)
{
    QString number = text.trimmed();
    const bool decibels = number.endsWith(QLatin1String("dB"), Qt::CaseInsensitive);
    if (decibels)
        number.chop(2);
    // toDouble also takes "inf" and "nan", which the range check below turns away.
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (!ok || number.isEmpty() || number != number.trimmed())
        return std::nullopt;
    const double level = decibels ? std::pow(10.0, value / 20.0) : value;
    if (!(level > 0.0 && level <= 1.0))
        return std::nullopt;
    return level;
}
