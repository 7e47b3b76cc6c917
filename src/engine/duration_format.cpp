#include "brevane.h"

#include <cmath>
#include <cstdint>

namespace brevane {

namespace {

    constexpr std::uint64_t nanosPerHour = 3'600'000'000'000;
    constexpr std::uint64_t nanosPerMinute = 60'000'000'000;
    constexpr std::uint64_t nanosPerSecond = 1'000'000'000;

    QString stripTrailingZeros(QString text)
    {
        if (!text.contains(QLatin1Char('.')))
            return text;
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        return text;
    }

    QString formatDurationInternal(double seconds)
    {
        const long long nanos = std::llround(seconds * 1e9);
        if (nanos == 0)
            return QStringLiteral("0s");

        // The magnitude is taken in unsigned arithmetic so that the most negative count has
        // one too.
        const std::uint64_t magnitude
            = nanos < 0 ? std::uint64_t(0) - std::uint64_t(nanos) : std::uint64_t(nanos);

        QString text;
        if (magnitude < nanosPerSecond) {
            double value;
            const char* unit;
            if (magnitude >= 1'000'000) {
                value = double(magnitude) / 1000000.0;
                unit = "ms";
            } else if (magnitude >= 1'000) {
                value = double(magnitude) / 1000.0;
                unit = "us";
            } else {
                value = double(magnitude);
                unit = "ns";
            }
            text = stripTrailingZeros(QString::number(value, 'f', 9)) + QLatin1String(unit);
        } else {
            const std::uint64_t hours = magnitude / nanosPerHour;
            const std::uint64_t minutes = magnitude % nanosPerHour / nanosPerMinute;
            const std::uint64_t remainder = magnitude % nanosPerMinute;
            const std::uint64_t wholeSeconds = remainder / nanosPerSecond;
            const std::uint64_t fraction = remainder % nanosPerSecond;

            if (hours >= 1)
                text = QString::number(hours) + QLatin1Char('h') + QString::number(minutes)
                    + QLatin1Char('m');
            else if (minutes >= 1)
                text = QString::number(minutes) + QLatin1Char('m');

            text += QString::number(wholeSeconds);
            if (fraction != 0) {
                QString digits = QString::number(fraction).rightJustified(9, QLatin1Char('0'));
                while (digits.endsWith(QLatin1Char('0')))
                    digits.chop(1);
                text += QLatin1Char('.') + digits;
            }
            text += QLatin1Char('s');
        }

        if (nanos < 0)
            text.prepend(QLatin1Char('-'));
        return text;
    }

} // namespace

QString formatDuration(double seconds) { return formatDurationInternal(seconds); }

} // namespace brevane
