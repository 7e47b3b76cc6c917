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

std::optional<std::int64_t> parseByteSize(const QString& text)
{
    static const struct {
        const char* name;
        std::int64_t bytes;
    } units[] = { { "", 1 }, { "k", 1000 }, { "kB", 1000 }, { "M", 1000000 }, { "MB", 1000000 },
        { "G", 1000000000 }, { "GB", 1000000000 }, { "KiB", 1024 }, { "MiB", 1024 * 1024 },
        { "GiB", 1024 * 1024 * 1024 } };
    const QString size = text.trimmed();
    qsizetype digits = 0;
    while (digits < size.size() && size.at(digits) >= u'0' && size.at(digits) <= u'9')
        ++digits;
    const QString unit = size.mid(digits);
    for (const auto& known : units) {
        if (unit != QLatin1String(known.name))
            continue;
        std::int64_t bytes = 0;
        for (qsizetype i = 0; i < digits; ++i) {
            if (__builtin_mul_overflow(bytes, 10, &bytes)
                || __builtin_add_overflow(bytes, size.at(i).unicode() - u'0', &bytes))
                return std::nullopt;
        }
        if (digits == 0 || bytes == 0 || __builtin_mul_overflow(bytes, known.bytes, &bytes))
            return std::nullopt;
        return bytes;
    }
    return std::nullopt;
}
