#include "piece_option_parser.h"

namespace {

// Digits only, and few enough that their value fits in 64 bits with room for "k".
std::optional<std::int64_t> digitsValue(const QString& digits)
{
    if (digits.isEmpty() || digits.size() > 15)
        return std::nullopt;
    std::int64_t value = 0;
    for (const QChar character : digits) {
        if (character < u'0' || character > u'9')
            return std::nullopt;
        value = value * 10 + (character.unicode() - u'0');
    }
    return value;
}

} // namespace

std::optional<brevane::PieceFormat> parsePieceFormat(const QString& text)
{
    const QString name = text.trimmed();
    if (name == QLatin1String("wav"))
        return brevane::PieceFormat::Wav;
    if (name == QLatin1String("flac"))
        return brevane::PieceFormat::Flac;
    if (name == QLatin1String("mp3"))
        return brevane::PieceFormat::Mp3;
    if (name == QLatin1String("opus"))
        return brevane::PieceFormat::Opus;
    return std::nullopt;
}

std::optional<std::int64_t> parseBitRate(const QString& text, brevane::BitRateRange range)
{
    QString digits = text.trimmed();
    const bool thousands = digits.endsWith(u'k');
    if (thousands)
        digits.chop(1);
    const std::optional<std::int64_t> value = digitsValue(digits);
    if (!value)
        return std::nullopt;
    const std::int64_t bitRate = thousands ? *value * 1000 : *value;
    if (bitRate < range.lowest || bitRate > range.highest)
        return std::nullopt;
    return bitRate;
}

std::optional<std::int64_t> parseWholeNumber(
    const QString& text, std::int64_t lowest, std::int64_t highest)
{
    const std::optional<std::int64_t> value = digitsValue(text.trimmed());
    if (!value || *value < lowest || *value > highest)
        return std::nullopt;
    return value;
}
