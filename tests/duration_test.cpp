// Duration texts in both directions: parseDurationSeconds reads what the user types,
// formatDuration writes what the program prints, and every printed text reads back. Beside
// them, parseSilenceLevel and parseByteSize, the other numbers the user types with a unit.

#include "brevane.h"
#include "duration_parser.h"
#include "level_parser.h"
#include "piece_option_parser.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <vector>

using brevane::formatDuration;

namespace {

// Results are compared bit for bit, so that negative zero differs from zero and a value
// computed in another order (10 / 1e6 instead of 10 * 1e-6) differs from the expected one.
std::string describe(std::optional<double> value)
{
    if (!value)
        return "absent";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g%s", *value,
        std::signbit(*value) && *value == 0 ? " (negative zero)" : "");
    return buffer;
}

struct ParseCase {
    const char16_t* text;
    std::optional<double> expected;
};

void PrintTo(const ParseCase& row, std::ostream* out)
{
    *out << '"' << QString::fromUtf16(row.text).toStdString() << '"';
}

class ParseTest : public ::testing::TestWithParam<ParseCase> { };

TEST_P(ParseTest, ReadsTheTextAsSecondsOrRejectsIt)
{
    const ParseCase& row = GetParam();
    const QString text = QString::fromUtf16(row.text);
    const std::optional<double> result = parseDurationSeconds(text);
    const bool same = result.has_value() == row.expected.has_value()
        && (!result
            || std::bit_cast<std::uint64_t>(*result)
                == std::bit_cast<std::uint64_t>(*row.expected));
    EXPECT_TRUE(same) << "text \"" << text.toStdString() << "\": got " << describe(result)
                      << ", expected " << describe(row.expected);
}

constexpr std::optional<double> absent;

INSTANTIATE_TEST_SUITE_P(WellFormed, ParseTest,
    ::testing::Values(ParseCase { u"5m", 300.0 }, ParseCase { u"1m30s", 90.0 },
        ParseCase { u"90s", 90.0 }, ParseCase { u"1.5h", 5400.0 }, ParseCase { u"2.5m", 150.0 },
        ParseCase { u"250ms", 250 * 0.001 }, ParseCase { u"1h30m15.5s", 5415.5 },
        // Groups are summed in any order, and a unit may repeat.
        ParseCase { u"1s1h", 3601.0 }, ParseCase { u"1m1m", 120.0 },
        // Microseconds are ten times 1e-6, which is not the double nearest 1e-5.
        ParseCase { u"10us", 10 * 1e-6 }, ParseCase { u"10\u00B5s", 10 * 1e-6 },
        ParseCase { u"5ns", 5 * 1e-9 }, ParseCase { u"1ms1m", 0.001 + 60.0 },
        ParseCase { u"0s", 0.0 }, ParseCase { u"-2s", -2.0 }, ParseCase { u"-1m30s", -90.0 },
        ParseCase { u"-0s", -0.0 }, ParseCase { u"-", -0.0 }, ParseCase { u" - ", -0.0 },
        ParseCase { u" \t1m\t ", 60.0 }));

INSTANTIATE_TEST_SUITE_P(Malformed, ParseTest,
    ::testing::Values(ParseCase { u"", absent }, ParseCase { u"  \t", absent },
        ParseCase { u"90", absent }, ParseCase { u"1m30", absent }, ParseCase { u"1m 30s", absent },
        ParseCase { u"1 m", absent }, ParseCase { u"--1s", absent }, ParseCase { u"- 5m", absent },
        ParseCase { u"+1s", absent }, ParseCase { u"1M", absent }, ParseCase { u"1S", absent },
        ParseCase { u"1H", absent }, ParseCase { u"1n", absent }, ParseCase { u"1u", absent },
        ParseCase { u"1\u00B5", absent },
        // Greek small letter mu looks like the micro sign but is not a unit.
        ParseCase { u"10\u03BCs", absent }, ParseCase { u"1mm", absent },
        ParseCase { u"m", absent }, ParseCase { u"1.5.2m", absent }, ParseCase { u"1e3s", absent },
        ParseCase { u"1h-5m", absent }, ParseCase { u"5msx", absent },
        // Non-ASCII decimal digits are read as part of the number, which the conversion then
        // refuses: Arabic-Indic three, and a fullwidth one after an ASCII digit.
        ParseCase { u"\u0663s", absent }, ParseCase { u"1\uFF11s", absent }));

class LevelParseTest : public ::testing::TestWithParam<ParseCase> { };

TEST_P(LevelParseTest, ReadsTheLevelOrRejectsIt)
{
    const QString text = QString::fromUtf16(GetParam().text);
    const std::optional<double> result = parseSilenceLevel(text);
    const std::optional<double> expected = GetParam().expected;
    const bool same = result.has_value() == expected.has_value()
        && (!result
            || std::bit_cast<std::uint64_t>(*result) == std::bit_cast<std::uint64_t>(*expected));
    EXPECT_TRUE(same) << "text \"" << text.toStdString() << "\": got " << describe(result)
                      << ", expected " << describe(expected);
}

INSTANTIATE_TEST_SUITE_P(Accepted, LevelParseTest,
    ::testing::Values(ParseCase { u"0.005", 0.005 }, ParseCase { u"1", 1.0 },
        ParseCase { u" 0.01\t", 0.01 }, ParseCase { u".5", 0.5 }, ParseCase { u"0dB", 1.0 },
        ParseCase { u"-0dB", 1.0 }, ParseCase { u"-20dB", 0.1 }, ParseCase { u"-40DB", 0.01 },
        ParseCase { u" -40db ", 0.01 }, ParseCase { u"-46dB", std::pow(10.0, -2.3) },
        ParseCase { u"-1000dB", 1e-50 }));

// Not above 0 or above full scale, or not a plain decimal: exponents, signs other than one
// leading minus, words the number conversion alone would take, blanks inside.
INSTANTIATE_TEST_SUITE_P(Rejected, LevelParseTest,
    ::testing::Values(ParseCase { u"", absent }, ParseCase { u" ", absent },
        ParseCase { u"0", absent }, ParseCase { u"-0", absent }, ParseCase { u"-0.1", absent },
        ParseCase { u"1.5", absent }, ParseCase { u"1.0000001", absent },
        ParseCase { u"0.1dB", absent }, ParseCase { u"-8000dB", absent },
        ParseCase { u"abc", absent }, ParseCase { u"dB", absent }, ParseCase { u"-dB", absent },
        ParseCase { u".", absent }, ParseCase { u"nan", absent }, ParseCase { u"inf", absent },
        ParseCase { u"-infdB", absent }, ParseCase { u"5e-3", absent },
        ParseCase { u"+0.01", absent }, ParseCase { u"--46dB", absent },
        ParseCase { u"-46 dB", absent }, ParseCase { u"0,005", absent },
        ParseCase { u"0.0.5", absent }, ParseCase { u"0.005s", absent },
        ParseCase { u"-46dBFS", absent }, ParseCase { u"\u0660.5", absent }));

// Each unit, blanks around the text, the largest size; rejected: anything but a positive
// whole number with one of the units right after it, and sizes past 2^63 - 1 bytes.
TEST(SizeParseTest, ReadsBytesOrRejects)
{
    const std::optional<std::int64_t> none;
    const struct {
        const char16_t* text;
        std::optional<std::int64_t> bytes;
    } rows[] = { { u"1000000", 1000000 }, { u"500k", 500000 }, { u" 2kB\t", 2000 },
        { u"25MB", 25000000 }, { u"1G", 1000000000 }, { u"24MiB", 25165824 },
        { u"8589934591GiB", 9223372035781033984 },
        { u"9223372036854775807", std::numeric_limits<std::int64_t>::max() },
        { u"9223372036854775808", none }, { u"9223372037G", none }, { u"8589934592GiB", none },
        { u"0", none }, { u"", none }, { u"MB", none }, { u"25mb", none }, { u"25 MB", none },
        { u"1.5MB", none }, { u"-1k", none } };
    for (const auto& row : rows)
        EXPECT_EQ(parseByteSize(QString::fromUtf16(row.text)), row.bytes)
            << QString::fromUtf16(row.text).toStdString();
}

struct FormatCase {
    double seconds;
    const char* expected;
};

void PrintTo(const FormatCase& row, std::ostream* out) { *out << row.expected; }

class FormatTest : public ::testing::TestWithParam<FormatCase> { };

TEST_P(FormatTest, PrintsTheShortText)
{
    const FormatCase& row = GetParam();
    EXPECT_EQ(formatDuration(row.seconds).toStdString(), row.expected)
        << "seconds " << describe(row.seconds);
}

INSTANTIATE_TEST_SUITE_P(Units, FormatTest,
    ::testing::Values(FormatCase { 0.0, "0s" }, FormatCase { 1e-9, "1ns" },
        FormatCase { 0.0000005, "500ns" }, FormatCase { 0.000001, "1us" },
        FormatCase { 0.0000015, "1.5us" }, FormatCase { 0.000999999, "999.999us" },
        FormatCase { 0.001, "1ms" }, FormatCase { 0.123456789, "123.456789ms" },
        FormatCase { 2.0 / 3.0, "666.666667ms" }, FormatCase { 0.999999999, "999.999999ms" },
        FormatCase { 1.0, "1s" }, FormatCase { 1.000000001, "1.000000001s" },
        FormatCase { 1.05, "1.05s" }, FormatCase { 59.999, "59.999s" }, FormatCase { 60.0, "1m0s" },
        FormatCase { 61.25, "1m1.25s" }, FormatCase { 3599.5, "59m59.5s" },
        FormatCase { 3600.0, "1h0m0s" }, FormatCase { 3661.5, "1h1m1.5s" },
        FormatCase { 100000.0, "27h46m40s" }));

// The unit is chosen after rounding to whole nanoseconds, so rounding can carry a value over.
INSTANTIATE_TEST_SUITE_P(Rounding, FormatTest,
    ::testing::Values(FormatCase { 4e-10, "0s" }, FormatCase { 5e-10, "1ns" },
        FormatCase { 0.000000999999, "1us" }, FormatCase { 0.0009999999999, "1ms" },
        FormatCase { 0.9999999995, "1s" }, FormatCase { 59.9999999996, "1m0s" },
        FormatCase { 3599.9999999996, "1h0m0s" }));

INSTANTIATE_TEST_SUITE_P(Negative, FormatTest,
    ::testing::Values(FormatCase { -0.0, "0s" }, FormatCase { -4e-10, "0s" },
        FormatCase { -1e-9, "-1ns" }, FormatCase { -0.5, "-500ms" }, FormatCase { -90.0, "-1m30s" },
        FormatCase { -3600.25, "-1h0m0.25s" }));

// Every printed text must read back as the whole nanoseconds it shows. The formatter and the
// parser are written independently, so a fault in either shows up here.
TEST(DurationRoundTrip, PrintedTextsParseBackToTheirValue)
{
    std::vector<double> values;
    for (double boundary : { 1e-9, 1e-6, 1e-3, 1.0, 60.0, 3600.0, 36000.0, 999999.0 }) {
        for (double offset : { 0.0, -1e-9, 1e-9, -5e-10 }) {
            values.push_back(boundary + offset);
            values.push_back(-(boundary + offset));
        }
    }
    values.insert(values.end(), { 0.0, -0.0, 1e6, -1e6 });

    std::mt19937_64 generator(20240611);
    std::uniform_real_distribution<double> anywhere(-1e6, 1e6);
    std::uniform_real_distribution<double> exponent(-10.0, 6.0);
    std::bernoulli_distribution negative(0.5);
    for (int i = 0; i < 2000; ++i) {
        values.push_back(anywhere(generator));
        // Magnitudes spread evenly over the decades, so most units get their share.
        const double magnitude = std::pow(10.0, exponent(generator));
        values.push_back(negative(generator) ? -magnitude : magnitude);
    }

    for (double seconds : values) {
        const QString text = formatDuration(seconds);
        const std::optional<double> parsed = parseDurationSeconds(text);
        ASSERT_TRUE(parsed) << "\"" << text.toStdString() << "\" from " << describe(seconds);
        const double printedNanos = double(std::llround(seconds * 1e9));
        EXPECT_LE(std::abs(*parsed * 1e9 - printedNanos), 1.0)
            << "\"" << text.toStdString() << "\" from " << describe(seconds) << " read as "
            << describe(parsed);
    }
}

} // namespace
