// How values are shown, typed and parsed: value texts, factory number and date texts, the number and
// integer parses, and the key filters of the value fields.

#include <gtest/gtest.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <locale>
#include <random>
#include <string>

#include "coef/Errors.h"
#include "coef/ValueText.h"

namespace {

struct TValueCase {
    double Value;
    int Decimals;
    const char* Text;
};

// The value texts the windows must show, including carries, exponent forms and exact-binary halves.
const TValueCase kValueCases[] = {
    {20.0, 2, "20.00"},
    {4.0, 4, "4.0000"},
    {-2.5, 2, "-2.50"},
    {0.0, 2, "0.00"},
    {-0.0, 4, "0.0000"},
    {1.23456789, 2, "1.23"},
    {1234.56789, 4, "1234.5680"},
    {0.125, 2, "0.13"},
    {-0.125, 2, "-0.13"},
    {0.375, 2, "0.38"},
    {1.03125, 4, "1.0313"},
    {0.0625, 2, "0.06"},
    {2.675, 2, "2.67"}, // 2.67499999... in binary: no naive decimal rounding
    {1.005, 2, "1.00"},
    {-0.001, 2, "0.00"},
    {-0.005, 2, "-0.01"}, // -0.005000000000000000104...
    {0.00004, 4, "0.0000"},
    {0.00005, 4, "0.0001"}, // 0.0000500000000000000023...
    {0.099999994039535522, 2, "0.10"},
    {0.099999994039535522, 4, "0.1000"},
    {99.995, 2, "100.00"}, // 99.99500000000000454...
    {9999999.4, 2, "9999999.00"},
    {9999999.7, 2, "1E07"},
    {9999999.7, 4, "1E0007"},
    {-9999999.7, 2, "-1E07"},
    {12345678.0, 2, "1.234568E07"},
    {12345678.0, 4, "1.234568E0007"},
    {-12345678.0, 2, "-1.234568E07"},
    {10000000.0, 2, "1E07"},
    {12000000.0, 2, "1.2E07"},
    {123456.789, 4, "123456.8000"},
    {999999.96, 4, "1000000.0000"},
    {1e100, 2, "1E100"},
    {6.8056469327705771e38, 4, "6.805647E0038"},
    {5.877471754111438e-39, 4, "0.0000"},
};

TEST(ValueTextTest, ShowsTheTableValues) {
    for (const auto& c : kValueCases) {
        EXPECT_EQ(ValueText(c.Value, c.Decimals), c.Text) << c.Value << " with " << c.Decimals << " decimals";
    }
}

// An independent route to the same text: the C library's correctly rounded formatting in the "C" locale,
// with the decimals reduced so that at most seven significant digits remain. Returns "" for an exact
// half (where the C library rounds to even and the program rounds away from zero).
std::string ReferenceValueText(double x, int n) {
    const double a = std::fabs(x);
    if (a == 0.0) {
        return n == 2 ? "0.00" : "0.0000";
    }
    static char exact[1200];
    std::snprintf(exact, sizeof exact, "%.900e", a);
    std::string digits;
    const char* p = exact;
    for (; *p != 'e'; ++p) {
        if (*p != '.') {
            digits += *p;
        }
    }
    const int first = std::atoi(p + 1);
    const int decimals = std::min(n, 6 - first);
    const int kept = first + decimals + 1; // digits before the first dropped one
    if (kept >= 0 && digits[static_cast<std::size_t>(kept)] == '5' &&
        digits.find_first_not_of('0', static_cast<std::size_t>(kept) + 1) == std::string::npos) {
        return "";
    }
    char buf[400];
    std::string mantissa;
    int top = 0; // power of ten of the first digit of the rounded result
    if (decimals >= 0) {
        std::snprintf(buf, sizeof buf, "%.*f", decimals, a);
        const std::string fixed = buf;
        const auto point = fixed.find('.');
        const std::string intPart = fixed.substr(0, point);
        const std::string frac = point == std::string::npos ? "" : fixed.substr(point + 1);
        if ((intPart + frac).find_first_not_of('0') == std::string::npos) {
            return n == 2 ? "0.00" : "0.0000";
        }
        if (intPart.size() <= 7) {
            return (x < 0 ? "-" : "") + intPart + "." + frac +
                   std::string(static_cast<std::size_t>(n - decimals), '0');
        }
        mantissa = intPart;
        top = static_cast<int>(intPart.size()) - 1;
    } else {
        std::snprintf(buf, sizeof buf, "%.6e", a);
        const std::string sci = buf;
        mantissa = sci.substr(0, 1) + sci.substr(2, 6);
        top = std::atoi(sci.c_str() + sci.find('e') + 1);
    }
    while (mantissa.size() > 1 && mantissa.back() == '0') {
        mantissa.pop_back();
    }
    std::string exponent = std::to_string(top);
    if (static_cast<int>(exponent.size()) < n) {
        exponent.insert(0, static_cast<std::size_t>(n) - exponent.size(), '0');
    }
    return (x < 0 ? "-" : "") + mantissa.substr(0, 1) +
           (mantissa.size() > 1 ? "." + mantissa.substr(1) : "") + "E" + exponent;
}

TEST(ValueTextTest, AgreesWithIndependentDecimalRoundingForRandomValues) {
    std::setlocale(LC_ALL, "C");
    std::mt19937_64 rng(20240607);
    std::uniform_real_distribution<double> unit(1.0, 10.0);
    std::uniform_int_distribution<int> power(-9, 14);
    std::uniform_int_distribution<std::uint32_t> bits;
    int compared = 0;
    auto check = [&](double x) {
        for (int n : {2, 4}) {
            const std::string expected = ReferenceValueText(x, n);
            if (expected.empty()) {
                continue;
            }
            ++compared;
            ASSERT_EQ(ValueText(x, n), expected) << "value " << x << " with " << n << " decimals";
        }
    };
    for (int i = 0; i < 12000; ++i) {
        const double sign = (i & 1) ? -1.0 : 1.0;
        check(sign * unit(rng) * std::pow(10.0, power(rng)));
        // Values that come from the adapter: singles, seen through their decoded double.
        std::uint32_t pattern = bits(rng);
        float single = 0;
        std::memcpy(&single, &pattern, sizeof single);
        if (std::isfinite(single)) {
            check(static_cast<double>(single));
        }
        // Values on a short decimal grid, where halves and carries are frequent.
        check(sign * static_cast<double>(bits(rng) % 2000000) / std::pow(10.0, power(rng) % 7 + 1));
    }
    EXPECT_GT(compared, 60000);
}

TEST(ValueTextTest, FactoryNumberTextPadsShortNumbers) {
    EXPECT_EQ(FactoryNumberText(12345), "012345");
    EXPECT_EQ(FactoryNumberText(123456), "0123456");
    EXPECT_EQ(FactoryNumberText(1234567), "1234567");
    EXPECT_EQ(FactoryNumberText(0), "00");
    EXPECT_EQ(FactoryNumberText(-5), "0-5");
    EXPECT_EQ(FactoryNumberText(-123456), "-123456");
    EXPECT_EQ(FactoryNumberText(-2147483647 - 1), "-2147483648");
}

TEST(ValueTextTest, FileDateTextShowsTheFieldsAsTheyAre) {
    EXPECT_EQ(FileDateText(0x40E370A5u), "14:5  3.7.2012");
    EXPECT_EQ(FileDateText(0u), "0:0  0.0.1980");
    EXPECT_EQ(FileDateText(0xFFFFFFFFu), "31:63  31.15.2107");
}

TEST(ValueTextTest, ParsesNumbersByTheGrammar) {
    const std::pair<const char*, double> numbers[] = {
        {" 12.5 ", 12.5}, {"-.5", -0.5},
        {"1E3", 1000.0},  {".", 0.0},
        {"5.", 5.0},      {"+7", 7.0},
        {"1E", 1.0},      {".E", 0.0},
        {"1E+", 1.0},     {"1e-", 1.0},
        {"2E-3", 0.002},  {"1.5e+2", 150},
        {"   -3", -3.0},  {"0.1", 0.1},
        {"1E07", 1e7},    {"1.234568E0007", 12345680.0},
        {"1e-400", 0.0},  {"000123.4500", 123.45},
    };
    for (const auto& [text, value] : numbers) {
        const auto parsed = ParseNumber(text);
        ASSERT_TRUE(parsed.has_value()) << '"' << text << '"';
        EXPECT_EQ(*parsed, value) << '"' << text << '"';
    }
    const char* notNumbers[] = {"",     " ",    "1.2.3", "1-2",    "E5",       "-",   "+",
                                "-E5",  "E",    "1,5",   "1 2",    "1E5.",     "\t1", "1\t",
                                "0x10", "1E1E", "++1",   "1e5000", "-1.2e4933"};
    for (const char* text : notNumbers) {
        EXPECT_FALSE(ParseNumber(text).has_value()) << '"' << text << '"';
    }
}

TEST(ValueTextTest, NumberParseKeepsTheSignOfZeroAndTheExtendedRange) {
    const auto negativeZero = ParseNumber("-0");
    ASSERT_TRUE(negativeZero.has_value());
    EXPECT_TRUE(std::signbit(*negativeZero));
    // Beyond double but within extended precision: a number, infinite here (it overflows when encoded).
    const auto huge = ParseNumber("-1.1E4932");
    ASSERT_TRUE(huge.has_value());
    EXPECT_TRUE(std::isinf(*huge) && *huge < 0);
    EXPECT_TRUE(ParseNumber("1.18973149535723176502E4932").has_value());
    EXPECT_FALSE(ParseNumber("1.18973149535723177E4932").has_value());
    EXPECT_FALSE(ParseNumber("1E99999999999999999999").has_value());
    EXPECT_EQ(*ParseNumber("0E99999999999999999999"), 0.0);
    // Long texts round correctly, not digit by digit.
    EXPECT_EQ(*ParseNumber("0.1000000000000000055511151231257827021181583404541015625"), 0.1);
    EXPECT_EQ(*ParseNumber("1.7976931348623157e308"), 1.7976931348623157e308);
}

TEST(ValueTextTest, NumberParseRefusesEveryValueAboveTheLargestExtendedValue) {
    // The largest extended-precision value, (2^64 - 1) * 2^16320, starts with these 57 digits and goes
    // on with 0323733891...
    const std::string head = "1.18973149535723176502126385303097020516906332229462420044";
    for (const char* sign : {"", "-", "+"}) {
        EXPECT_FALSE(ParseNumber(sign + head + "1E4932").has_value()) << sign;
        EXPECT_FALSE(ParseNumber(sign + head + "0324E4932").has_value()) << sign;
        EXPECT_FALSE(ParseNumber(sign + head + "03237338918E4932").has_value()) << sign;
        EXPECT_TRUE(ParseNumber(sign + head + "03237338917E4932").has_value()) << sign;
        EXPECT_TRUE(ParseNumber(sign + head + "E4932").has_value()) << sign;
    }
    // The same value written with its point elsewhere, and as a plain integer of 4933 digits.
    EXPECT_FALSE(ParseNumber("0.0" + head.substr(0, 1) + head.substr(2) + "1E4934").has_value());
    if constexpr (std::numeric_limits<long double>::digits == 64) {
        char digits[5000];
        const auto written = std::to_chars(digits, digits + sizeof digits,
                                           std::numeric_limits<long double>::max(), std::chars_format::fixed);
        ASSERT_EQ(written.ec, std::errc());
        std::string max(digits, written.ptr);
        ASSERT_EQ(max.size(), 4933u);
        ASSERT_EQ(max.substr(0, 57), head.substr(0, 1) + head.substr(2));
        EXPECT_TRUE(ParseNumber(max).has_value());
        EXPECT_TRUE(ParseNumber(max + ".0").has_value());
        // One more than the largest value.
        std::size_t i = max.size();
        while (max[--i] == '9') {
            max[i] = '0';
        }
        ++max[i];
        EXPECT_FALSE(ParseNumber(max).has_value());
    }
}

TEST(ValueTextTest, ShownValuesParseBackToTheirRoundedValue) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-10.0, 10.0);
    std::uniform_int_distribution<int> power(-3, 12);
    for (int i = 0; i < 5000; ++i) {
        const double x = unit(rng) * std::pow(10.0, power(rng));
        for (int n : {2, 4}) {
            const std::string text = ValueText(x, n);
            const auto back = ParseNumber(text);
            ASSERT_TRUE(back.has_value()) << text;
            EXPECT_NEAR(*back, x, std::max(std::fabs(x) * 1e-6, 0.5 * std::pow(10.0, -n))) << text;
        }
    }
}

TEST(ValueTextTest, ParsesIntegersDecimalAndHexadecimal) {
    const std::pair<const char*, std::int32_t> integers[] = {
        {" 42", 42},
        {"$2A", 42},
        {"42", 42},
        {"+42", 42},
        {"-42", -42},
        {"x1f", 31},
        {"X1F", 31},
        {"0x10", 16},
        {"0X10", 16},
        {"$FFFFFFFF", -1},
        {"-$FFFFFFFF", 1},
        {"$80000000", -2147483647 - 1},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"0000000000012", 12},
        {"  -$a", -10},
        {"300", 300},
        {"0", 0},
    };
    for (const auto& [text, value] : integers) {
        const auto parsed = ParseInteger(text);
        ASSERT_TRUE(parsed.has_value()) << '"' << text << '"';
        EXPECT_EQ(*parsed, value) << '"' << text << '"';
    }
    const char* notIntegers[] = {
        "42 ", "4.2", "",           " ",          "-",           "$",
        "0x",  "x",   "$123456789", "2147483648", "-2147483649", "99999999999999999999",
        "1e3", "$G",  "- 5",        "--5",        "0$5",         "\t5",
        "$-5", "٣"};
    for (const char* text : notIntegers) {
        EXPECT_FALSE(ParseInteger(text).has_value()) << '"' << text << '"';
    }
}

TEST(ValueTextTest, StrToIntRaisesTheConversionError) {
    EXPECT_EQ(StrToInt(" 300"), 300);
    try {
        StrToInt("12a");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'12a' is not a valid integer value");
        EXPECT_STREQ(e.ClassName(), "EConvertError");
    }
    EXPECT_THROW(StrToInt(""), EConvertError);
}

std::u32string Typed(std::u32string keys, std::optional<char32_t> (*filter)(char32_t)) {
    std::u32string field;
    for (char32_t key : keys) {
        if (const auto ch = filter(key)) {
            field += *ch;
        }
    }
    return field;
}

TEST(ValueTextTest, NumericKeyFilterShapesTypedValues) {
    EXPECT_EQ(Typed(U"1,5", NumericKeyFilter), U"1.5");
    EXPECT_EQ(Typed(U"2e-3", NumericKeyFilter), U"2E-3");
    EXPECT_EQ(Typed(U"+1 2", NumericKeyFilter), U"12");
    EXPECT_EQ(Typed(U"7\u04159\u04353E", NumericKeyFilter), U"7E9E3E"); // Cyrillic Е and е
    EXPECT_EQ(Typed(U"1..-", NumericKeyFilter), U"1..-");               // caught later by the parse
    EXPECT_EQ(Typed(U"a\u0444x\u0401", NumericKeyFilter), U"");         // other letters, Ё included
    EXPECT_EQ(NumericKeyFilter(8), std::optional<char32_t>(8));
    for (char32_t control = 0; control < 32; ++control) {
        if (control != 8) {
            EXPECT_FALSE(NumericKeyFilter(control).has_value()) << static_cast<int>(control);
        }
    }
    EXPECT_FALSE(NumericKeyFilter(127).has_value());
}

TEST(ValueTextTest, FactoryNumberKeyFilterTakesOnlyDigits) {
    EXPECT_EQ(Typed(U"12-3.4,5e+ 6\u0415", FactoryNumberKeyFilter), U"123456");
    EXPECT_EQ(FactoryNumberKeyFilter(8), std::optional<char32_t>(8));
    EXPECT_FALSE(FactoryNumberKeyFilter(3).has_value());  // Ctrl+C
    EXPECT_FALSE(FactoryNumberKeyFilter(22).has_value()); // Ctrl+V
}

// A locale whose decimal point is a comma must change nothing.
void ExpectLocaleFreeResults() {
    EXPECT_EQ(ValueText(1234.56789, 4), "1234.5680");
    EXPECT_EQ(ValueText(-2.5, 2), "-2.50");
    EXPECT_EQ(ValueText(12345678.0, 2), "1.234568E07");
    EXPECT_EQ(ParseNumber("12.5"), std::optional<double>(12.5));
    EXPECT_EQ(ParseNumber("1.234568E0007"), std::optional<double>(12345680.0));
    EXPECT_FALSE(ParseNumber("12,5").has_value());
    EXPECT_EQ(FactoryNumberText(1234567), "1234567");
    EXPECT_EQ(ParseInteger("1234567"), std::optional<std::int32_t>(1234567));
}

struct TCommaPoint : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return ' '; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(ValueTextTest, IgnoresACommaDecimalPointInTheCppLocale) {
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new TCommaPoint));
    ExpectLocaleFreeResults();
    std::locale::global(previous);
}

TEST(ValueTextTest, IgnoresACommaDecimalPointInTheCLocale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    const char* found = nullptr;
    for (const char* name : {"ru_RU.UTF-8", "ru_RU.utf8", "de_DE.UTF-8", "de_DE.utf8", "ru_RU.CP1251"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            found = name;
            break;
        }
    }
    if (found == nullptr) {
        GTEST_SKIP() << "no locale with a comma decimal point is installed (locale -a)";
    }
    ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",") << found;
    ExpectLocaleFreeResults();
    std::setlocale(LC_ALL, previous.c_str());
}

} // namespace
