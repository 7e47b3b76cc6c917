#pragma once

// Shared by the fuzz targets: property checks that stop the run, and the check that the
// duration formatter's output reads back through the duration parser.

#include "brevane.h"
#include "duration_parser.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

// A broken property is reported as a crash, so that libFuzzer keeps the input that shows it.
#define FUZZ_CHECK(condition, ...)                                                                 \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s\n  ", #condition);                           \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fputc('\n', stderr);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzzsupport {

// The formatter rounds to whole nanoseconds in a signed 64-bit count; values beyond that
// (about 292 years) are outside what it promises to handle.
inline bool inFormatterDomain(double seconds)
{
    const double nanos = seconds * 1e9;
    return std::isfinite(nanos) && std::fabs(nanos) < 9223372036854775808.0;
}

// What formatDuration prints must parse back to the nanosecond count it printed. Beyond 2^53
// nanoseconds (about 104 days) a double cannot hold every nanosecond, so the parser's sum is
// allowed to be off by its own rounding, a few units in the last place, and by no more.
inline void checkFormatParsesBack(double seconds)
{
    const QString text = brevane::formatDuration(seconds);
    const long long printedNanos = std::llround(seconds * 1e9);
    const std::optional<double> parsed = parseDurationSeconds(text);
    FUZZ_CHECK(parsed.has_value(), "%.17g is printed as \"%s\", which does not parse", seconds,
        text.toUtf8().constData());

    const long double errorNanos
        = std::fabs(static_cast<long double>(*parsed) * 1e9L - printedNanos);
    const double magnitude = std::fabs(*parsed);
    const long double ulpNanos = (std::nextafter(magnitude, INFINITY) - magnitude) * 1e9L;
    FUZZ_CHECK(errorNanos <= 1.0L + 4.0L * ulpNanos,
        "%.17g is printed as \"%s\" (%lld ns), which parses back as %.17g", seconds,
        text.toUtf8().constData(), printedNanos, *parsed);
}

} // namespace fuzzsupport
