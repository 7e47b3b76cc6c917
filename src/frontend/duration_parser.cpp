#include "duration_parser.h"

namespace {

constexpr QChar microSign(0x00B5);

bool isNumberCharacter(QChar character)
{
    const char16_t unit = character.unicode();
    if ((unit >= u'0' && unit <= u'9') || unit == u'.')
        return true;
    // Other decimal digits are taken into the number so that the conversion rejects them,
    // rather than being read as the start of a unit.
    return unit > 0x7F && character.category() == QChar::Number_DecimalDigit;
}

// Reads the unit at position; returns its length in characters, or 0 when there is none.
qsizetype readUnit(const QString& text, qsizetype position, double* multiplier)
{
    const QChar unit = text.at(position);
    const bool followedByS = position + 1 < text.size() && text.at(position + 1) == u's';
    if (unit == u'h') {
        *multiplier = 3600.0;
        return 1;
    }
    if (unit == u'm') {
        *multiplier = followedByS ? 0.001 : 60.0;
        return followedByS ? 2 : 1;
    }
    if (unit == u's') {
        *multiplier = 1.0;
        return 1;
    }
    if ((unit == u'u' || unit == microSign) && followedByS) {
        *multiplier = 1e-6;
        return 2;
    }
    if (unit == u'n' && followedByS) {
        *multiplier = 1e-9;
        return 2;
    }
    return 0;
}

} // namespace

std::optional<double> parseDurationSeconds(const QString& input)
{
    QString text = input.trimmed();
    if (text.isEmpty())
        return std::nullopt;

    bool negative = false;
    if (text.startsWith(u'-')) {
        negative = true;
        text.remove(0, 1);
    }

    double total = 0.0;
    qsizetype position = 0;
    while (position < text.size()) {
        const qsizetype numberStart = position;
        while (position < text.size() && isNumberCharacter(text.at(position)))
            ++position;
        if (position == numberStart)
            return std::nullopt;

        bool converted = false;
        const double number = text.mid(numberStart, position - numberStart).toDouble(&converted);
        if (!converted || position == text.size())
            return std::nullopt;

        double multiplier = 0.0;
        const qsizetype unitLength = readUnit(text, position, &multiplier);
        if (unitLength == 0)
            return std::nullopt;
        total += number * multiplier;
        position += unitLength;
    }

    return negative ? -total : total;
}
