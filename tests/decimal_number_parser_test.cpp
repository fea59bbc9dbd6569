#include "methods/decimal_number_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace velmora {
namespace {

double Parse(const char* text) {
    return ParseDecimalNumber(text, std::strlen(text));
}

TEST(DecimalNumberParserTest, ReadsTheLongestLeadingDecimalNumber) {
    EXPECT_EQ(Parse("8.5"), 8.5);
    EXPECT_EQ(Parse("7.0.2"), 7.0);
    EXPECT_EQ(Parse("10.0.1"), 10.0);
    EXPECT_EQ(Parse(" \t\n\v\f\r8.5"), 8.5);
    EXPECT_EQ(Parse("-2.5x"), -2.5);
    EXPECT_EQ(Parse("+3"), 3.0);
    EXPECT_EQ(Parse(".5"), 0.5);
    EXPECT_EQ(Parse("5."), 5.0);
    EXPECT_EQ(Parse("1.5e1"), 15.0);
    EXPECT_EQ(Parse("1.5D1"), 15.0);
    EXPECT_EQ(Parse("25d-1"), 2.5);
    EXPECT_EQ(Parse("2e"), 2.0);  // an exponent needs digits
    EXPECT_EQ(Parse("2e+x"), 2.0);
}

TEST(DecimalNumberParserTest, TextWithoutANumberIsZero) {
    EXPECT_EQ(Parse(""), 0.0);
    EXPECT_EQ(Parse("."), 0.0);
    EXPECT_EQ(Parse("-"), 0.0);
    EXPECT_EQ(Parse("v8.5"), 0.0);
    EXPECT_EQ(Parse("   "), 0.0);
}

TEST(DecimalNumberParserTest, OutOfRangeNumbersGiveWhatStrtodGives) {
    EXPECT_EQ(Parse("1e400"), HUGE_VAL);
    EXPECT_EQ(Parse("-1D400"), -HUGE_VAL);
    EXPECT_EQ(Parse("1.8e308"), HUGE_VAL);
    for (const char* text : {"1e400", "-1e400", "1.8e308", "1.7976931348623157e308", "1e-400",
                             "-1e-400", "1e-310", "4.9e-324", "2e-324", "3e-324", "0.001e-322",
                             "123456789e-330", "0e999", "0.00000000000000000001e328"}) {
        const double expected = std::strtod(text, nullptr);  // the C locale: a '.' point
        const double got = Parse(text);
        EXPECT_EQ(got, expected) << text;
        EXPECT_EQ(std::signbit(got), std::signbit(expected)) << text;
    }
}

// Rounded as strtod rounds, to the bit, beyond where a double holds the digits or the
// power of ten exactly: long digit strings, halfway cases, subnormals.
TEST(DecimalNumberParserTest, RoundsToTheNearestDoubleAsStrtod) {
    std::vector<std::string> texts = {"8.4999999999999999999999",
                                      "8.50000000000000088817841970012523",
                                      "2354.74009650584798755889729",
                                      "9.090513031867609996680428601e-62",
                                      "9007199254740993",
                                      "9007199254740993.0000000001",
                                      "2.2250738585072011e-308",
                                      "2.4703282292062327e-324",
                                      "2.4703282292062328e-324",
                                      "1.7976931348623158e308",
                                      "123456789012345678901234567890123456789012345678"};
    std::uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int n = 0; n < 20000; ++n) {
        std::string text = next() % 2 ? "-" : "";
        const int digits = 1 + next() % 30;
        for (int d = 0; d < digits; ++d) {
            if (d == static_cast<int>(next() % 30)) text += '.';
            text += static_cast<char>('0' + next() % 10);
        }
        if (next() % 2) text += "e" + std::to_string(static_cast<int>(next() % 640) - 330);
        if (text.size() <= 48) texts.push_back(text);
    }
    for (const std::string& text : texts) {
        const double expected = std::strtod(text.c_str(), nullptr);
        const double got = Parse(text.c_str());
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0)
            << text << ": " << got << " instead of " << expected;
    }
}

TEST(DecimalNumberParserTest, StopsAtTheLimitWithoutANul) {
    const char text[4] = {'8', '.', '5', '7'};
    EXPECT_EQ(ParseDecimalNumber(text, 3), 8.5);
    char longText[100];
    std::memset(longText, '9', sizeof longText);
    EXPECT_GT(ParseDecimalNumber(longText, sizeof longText), 1e40);
}

}  // namespace
}  // namespace velmora
