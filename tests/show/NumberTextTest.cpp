#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include "show/NumberText.h"

namespace bw {
namespace {

TEST(NumberTextTest, FormatsCueNumbersForTheOperator) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {1.0, "1.0"},
        {2.5, "2.5"},
        {1e16, "1e+16"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {-3.0, "-3.0"},
        {0.1 + 0.2, "0.3"},
        {1e-5, "1e-05"},
        {123456789012345.0, "123456789012345.0"},
        {1234567890123456.0, "1.23456789012346e+15"},
        {std::nan(""), "nan"},
        {inf, "inf"},
        {-inf, "-inf"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatCueNumber(c.value), c.text) << "for " << c.text;
    }
}

// Verifies that the digits are those of the C library's "%.15g", whatever
// locale the process runs in.
TEST(NumberTextTest, MatchesPrintfDigitsAndIgnoresTheLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous != nullptr ? previous : "C";
    bool commaLocale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;

    for (double value : {3.14159265358979, 12.5, 1e100, 7e-300, 99999999999999.9, 0.000123}) {
        std::setlocale(LC_NUMERIC, "C");
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.15g", value);
        if (commaLocale) std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
        std::string text = formatCueNumber(value);
        EXPECT_EQ(text.substr(0, std::string(expected).size()), expected);
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
}

// What an operator types reads back as the number it shows, whatever the
// locale; white space anywhere or anything left over is not a number.
TEST(NumberTextTest, ParsesTypedCueNumbersWhole) {
    EXPECT_EQ(parseCueNumber("12.5"), 12.5);
    EXPECT_EQ(parseCueNumber("1."), 1.0);
    EXPECT_EQ(parseCueNumber(".5"), 0.5);
    EXPECT_EQ(parseCueNumber("-2"), -2.0);
    EXPECT_EQ(parseCueNumber("1e3"), 1000.0);
    EXPECT_EQ(parseCueNumber(formatCueNumber(2.0)), 2.0);
    EXPECT_EQ(parseCueNumber("inf"), std::numeric_limits<double>::infinity());
    using namespace std::string_view_literals;
    for (std::string_view text : {""sv, " 1"sv, "1 "sv, "1 2"sv, "1..2"sv, "1,5"sv, "+"sv, "."sv,
                                  "12a"sv, "1\0" "2"sv}) {
        EXPECT_EQ(parseCueNumber(text), std::nullopt) << '"' << text << '"';
    }

    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous != nullptr ? previous : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {
        EXPECT_EQ(parseCueNumber("2.5"), 2.5);
        EXPECT_EQ(parseCueNumber("2,5"), std::nullopt);
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
}

// What the cue list's fields take: decimal notation for a finite number, the
// whole text and nothing else.
TEST(NumberTextTest, FiniteCueNumbersAreDecimalOnly) {
    // "1e-400" is below the smallest double.
    const struct {
        const char* text;
        double value;
    } taken[] = {{"12.5", 12.5},   {"-2", -2.0},
                 {"+3", 3.0},      {"1.", 1.0},
                 {".5", 0.5},      {"007", 7.0},
                 {"2.5E-1", 0.25}, {"-1e+2", -100.0},
                 {"1e-400", 0.0},  {"1.7976931348623157e308", std::numeric_limits<double>::max()}};
    for (const auto& c : taken) {
        EXPECT_EQ(parseFiniteCueNumber(c.text), c.value) << c.text;
    }
    using namespace std::string_view_literals;
    for (std::string_view text :
         {""sv,   "inf"sv, "-Infinity"sv, "nan"sv, "0x10"sv, "0x1p3"sv, "1e999"sv, "-1e999"sv,
          " 1"sv, "1 "sv,  "\t1"sv,       "."sv,   "+"sv,    "-."sv,    "e5"sv,    ".e5"sv,
          "1e"sv, "1e+"sv, "1.2.3"sv,     "1,5"sv, "--1"sv,  "1e5.5"sv, "12a"sv,   "1\0002"sv}) {
        EXPECT_EQ(parseFiniteCueNumber(text), std::nullopt) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace bw
