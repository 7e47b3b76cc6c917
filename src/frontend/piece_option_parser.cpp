#include "piece_option_parser.h"

namespace {

// Digits only, whose value fits in 64 bits.
std::optional<std::int64_t> digitsValue(QStringView digits)
{
    if (digits.isEmpty())
        return std::nullopt;
    std::int64_t value = 0;
    for (const QChar character : digits) {
        if (character < u'0' || character > u'9' || __builtin_mul_overflow(value, 10, &value)
            || __builtin_add_overflow(value, character.unicode() - u'0', &value))
            return std::nullopt;
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
    if (name == QLatin1String("copy"))
        return brevane::PieceFormat::Copy;
    return std::nullopt;
}

std::optional<std::int64_t> parseBitRate(const QString& text, brevane::BitRateRange range)
{
    QString digits = text.trimmed();
    const bool thousands = digits.endsWith(u'k');
    if (thousands)
        digits.chop(1);
    const std::optional<std::int64_t> value = digitsValue(digits);
    std::int64_t bitRate = 0;
    if (!value || __builtin_mul_overflow(*value, thousands ? 1000 : 1, &bitRate)
        || bitRate < range.lowest || bitRate > range.highest)
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
    const QStringView unit = QStringView(size).mid(digits);
    for (const auto& known : units) {
        if (unit != QLatin1String(known.name))
            continue;
        const std::optional<std::int64_t> count = digitsValue(QStringView(size).left(digits));
        std::int64_t bytes = 0;
        if (!count || *count == 0 || __builtin_mul_overflow(*count, known.bytes, &bytes))
            return std::nullopt;
        return bytes;
    }
    return std::nullopt;
}
