// The duration formatter over any finite value in its domain: it does not crash, its text has
// the display syntax (no padding, no trailing zeros, minutes and seconds below 60 after a
// larger unit, at most 6 and 3 decimals for ms and us), a value and its negation differ only
// by the sign, and the text parses back to the value.

#include "fuzz_support.h"

#include <QRegularExpression>

#include <cstdint>
#include <cstring>

namespace {

const QRegularExpression& displaySyntax()
{
    static const QRegularExpression syntax(QStringLiteral(
        "^(?:0s|-?(?:"
        "[1-9]\\d{0,2}(?:\\.\\d{0,5}[1-9])?ms|[1-9]\\d{0,2}(?:\\.\\d{0,2}[1-9])?us|[1-9]\\d{0,2}ns"
        "|(?:[1-9]\\d*h[1-5]?\\dm[1-5]?\\d|(?:[1-5]?[1-9]|[1-5]0)m[1-5]?\\d|[1-5]?[1-9]|[1-5]0)"
        "(?:\\.\\d{0,8}[1-9])?s))$"));
    return syntax;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, data, size < sizeof bits ? size : sizeof bits);
    double seconds;
    std::memcpy(&seconds, &bits, sizeof seconds);
    if (!std::isfinite(seconds))
        return 0;
    // Most bit patterns lie far outside the domain; folding them in keeps every input useful.
    if (!fuzzsupport::inFormatterDomain(seconds))
        seconds = std::fmod(seconds, 9.2e9);

    const QString text = brevane::formatDuration(seconds);
    FUZZ_CHECK(displaySyntax().match(text).hasMatch(), "%.17g is printed as \"%s\"", seconds,
        text.toUtf8().constData());

    const QString negated = brevane::formatDuration(-seconds);
    const bool zero = text == QLatin1String("0s");
    const QString expectedNegation = zero ? text
        : text.startsWith(u'-')           ? text.mid(1)
                                          : QLatin1Char('-') + text;
    FUZZ_CHECK(negated == expectedNegation, "%.17g is printed as \"%s\", its negation as \"%s\"",
        seconds, text.toUtf8().constData(), negated.toUtf8().constData());

    fuzzsupport::checkFormatParsesBack(seconds);
    return 0;
}
