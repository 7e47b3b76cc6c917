// Duration texts from the command line: the parser takes any text without crashing, a present
// result is a number, one leading minus sign negates the whole sum, and what the formatter
// prints for a parsed value reads back as that value.

#include "fuzz_support.h"

#include <QString>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void checkText(const QString& text)
{
    const std::optional<double> seconds = parseDurationSeconds(text);
    if (seconds) {
        FUZZ_CHECK(!std::isnan(*seconds), "\"%s\" parses as NaN", text.toUtf8().constData());
        if (fuzzsupport::inFormatterDomain(*seconds))
            fuzzsupport::checkFormatParsesBack(*seconds);
    }

    if (text.isEmpty() || text != text.trimmed() || text.startsWith(u'-'))
        return;
    const std::optional<double> negated = parseDurationSeconds(QLatin1Char('-') + text);
    FUZZ_CHECK(negated.has_value() == seconds.has_value(),
        "\"%s\" and its negation disagree on being a duration", text.toUtf8().constData());
    if (seconds)
        FUZZ_CHECK(*negated == -*seconds && std::signbit(*negated) != std::signbit(*seconds),
            "\"%s\" gives %.17g, its negation %.17g", text.toUtf8().constData(), *seconds,
            *negated);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The bytes are read both as UTF-8, as a command line delivers them, and as UTF-16 code
    // units, so that lone surrogates and digits of every script reach the parser too.
    checkText(QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));

    std::vector<char16_t> units(size / 2);
    if (!units.empty())
        std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    checkText(QString::fromUtf16(units.data(), qsizetype(units.size())));
    return 0;
}
