#include "level_parser.h"

#include <cmath>

namespace {

// A plain decimal number as durations write theirs: digits with at most one point, and at most
// one leading minus sign (decibels below full scale are negative). No plus sign, exponent,
// "inf" or "nan", which the conversion alone would let through.
bool isPlainDecimal(const QString& text)
{
    qsizetype position = text.startsWith(u'-') ? 1 : 0;
    bool digit = false;
    bool point = false;
    for (; position < text.size(); ++position) {
        const QChar character = text.at(position);
        if (character >= u'0' && character <= u'9')
            digit = true;
        else if (character == u'.' && !point)
            point = true;
        else
            return false;
    }
    return digit;
}

} // namespace

std::optional<double> parseSilenceLevel(const QString& text)
{
    QString number = text.trimmed();
    const bool decibels = number.endsWith(QLatin1String("dB"), Qt::CaseInsensitive);
    if (decibels)
        number.chop(2);
    bool ok = false;
    const double value = isPlainDecimal(number) ? number.toDouble(&ok) : 0.0;
    if (!ok)
        return std::nullopt;
    // A level so far down in decibels that it underflows to 0 is refused with the rest.
    const double level = decibels ? std::pow(10.0, value / 20.0) : value;
    if (!(level > 0.0 && level <= 1.0))
        return std::nullopt;
    return level;
}
