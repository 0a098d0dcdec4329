#include "coef/ValueText.h"

#include "coef/Errors.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

namespace {

// The exact decimal digits of a finite, non-zero |x|: Digits[0] is the first significant digit and
// stands at 10^Exponent. 800 digits after the first hold every double exactly (a double has at most
// 767 significant decimal digits), so the expansion is never rounded here.
struct TExactDecimal {
    std::string Digits;
    int Exponent = 0;
};

TExactDecimal ExactDecimal(double magnitude) {
    char buf[1024];
    const auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, 800);
    TExactDecimal out;
    const char* p = buf;
    const char* end = res.ptr;
    for (; p != end && *p != 'e'; ++p) {
        if (*p >= '0' && *p <= '9') {
            out.Digits.push_back(*p);
        }
    }
    if (p != end) {
        ++p; // 'e'
        int exponent = 0;
        std::from_chars(*p == '+' ? p + 1 : p, end, exponent);
        out.Exponent = exponent;
    }
    return out;
}

void AppendInt(std::string& s, long long v) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, res.ptr);
}

std::string ZeroText(int n) {
    return "0." + std::string(static_cast<std::size_t>(n), '0');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal digits of the largest extended-precision value, (2^64 - 1) * 2^16320, about
// 1.19 * 10^4932: all 4933 of them, trailing zeros dropped, so that a typed value above it is told from
// one below it however many digits they share. Worked out once, in base 10^9.
const std::string& ExtendedMaxDigits() {
    static const std::string digits = [] {
        constexpr std::uint64_t kBase = 1000000000;
        std::vector<std::uint64_t> limbs = {709551615, 446744073, 18}; // 2^64 - 1, lowest limb first
        for (int doubled = 0; doubled < 16320; doubled += 30) {
            std::uint64_t carry = 0;
            for (std::uint64_t& limb : limbs) {
                const std::uint64_t product = (limb << 30) + carry;
                limb = product % kBase;
                carry = product / kBase;
            }
            for (; carry != 0; carry /= kBase) {
                limbs.push_back(carry % kBase);
            }
        }
        std::string text = std::to_string(limbs.back());
        for (auto limb = limbs.rbegin() + 1; limb != limbs.rend(); ++limb) {
            const std::string part = std::to_string(*limb);
            text.append(9 - part.size(), '0');
            text += part;
        }
        text.erase(text.find_last_not_of('0') + 1);
        return text;
    }();
    return digits;
}
constexpr int kExtendedMaxExponent = 4932;

// Both parses open with any number of spaces and an optional sign: steps i past them and tells
// whether the sign was a minus.
bool SkipSpacesAndSign(std::string_view text, std::size_t& i) {
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        return text[i++] == '-';
    }
    return false;
}

} // namespace

std::string ValueText(double x, int n) {
    if (std::isnan(x)) {
        return "NAN";
    }
    if (std::isinf(x)) {
        return x < 0 ? "-INF" : "INF";
    }
    if (x == 0.0) {
        return ZeroText(n);
    }
    const TExactDecimal exact = ExactDecimal(std::fabs(x));
    const int first = exact.Exponent; // power of ten of the first significant digit
    // The last digit kept: at most 7 significant digits and at most n decimals, whichever is fewer.
    const int last = std::max(first - 6, -n);
    const int kept = first - last + 1; // digits kept from the expansion (0 to 7, or negative)
    long long mantissa = 0;
    int dropped = 0; // first digit dropped
    if (kept >= 0) {
        for (int i = 0; i < kept; ++i) {
            mantissa = mantissa * 10 + (exact.Digits[static_cast<std::size_t>(i)] - '0');
        }
        dropped = exact.Digits[static_cast<std::size_t>(kept)] - '0';
    }
    if (dropped >= 5) {
        ++mantissa;
    }
    if (mantissa == 0) {
        return ZeroText(n);
    }
    // The result is mantissa * 10^last.
    std::string digits;
    AppendInt(digits, mantissa);
    const int top = static_cast<int>(digits.size()) - 1 + last; // power of ten of its first digit
    std::string text = x < 0 ? "-" : "";
    if (top <= 6) {
        // Fixed form: integer digits, the point and exactly n decimals.
        auto digitAt = [&](int power) -> char {
            const int index = top - power;
            if (power < last || index < 0 || index >= static_cast<int>(digits.size())) {
                return '0';
            }
            return digits[static_cast<std::size_t>(index)];
        };
        if (top < 0) {
            text += '0';
        } else {
            for (int power = top; power >= 0; --power) {
                text += digitAt(power);
            }
        }
        text += '.';
        for (int power = -1; power >= -n; --power) {
            text += digitAt(power);
        }
        return text;
    }
    // Exponent form: d[.dddddd]E followed by the exponent with at least n digits.
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }
    text += digits[0];
    if (digits.size() > 1) {
        text += '.';
        text.append(digits, 1, std::string::npos);
    }
    text += 'E';
    std::string exponent;
    AppendInt(exponent, top);
    if (static_cast<int>(exponent.size()) < n) {
        text.append(static_cast<std::size_t>(n) - exponent.size(), '0');
    }
    text += exponent;
    return text;
}

std::string FactoryNumberText(std::int32_t n) {
    std::string digits;
    AppendInt(digits, n);
    if (digits.size() > 6) {
        return digits;
    }
    std::string text(1, '0');
    text += digits;
    return text;
}

std::string FileDateText(std::uint32_t p) {
    std::string text;
    AppendInt(text, (p >> 11) & 0x1F);
    text += ':';
    AppendInt(text, (p >> 5) & 0x3F);
    text += "  ";
    AppendInt(text, (p >> 16) & 0x1F);
    text += '.';
    AppendInt(text, (p >> 21) & 0x0F);
    text += '.';
    AppendInt(text, ((p >> 25) & 0x7F) + 1980);
    return text;
}

std::optional<double> ParseNumber(std::string_view text) {
    const std::size_t len = text.size();
    std::size_t i = 0;
    const bool negative = SkipSpacesAndSign(text, i);
    std::string digits; // integer and fraction digits together
    long long fractionDigits = 0;
    bool mantissaSeen = false;
    while (i < len && IsDigit(text[i])) {
        digits += text[i++];
        mantissaSeen = true;
    }
    if (i < len && text[i] == '.') {
        ++i;
        mantissaSeen = true;
        while (i < len && IsDigit(text[i])) {
            digits += text[i++];
            ++fractionDigits;
        }
    }
    if (!mantissaSeen) {
        return std::nullopt;
    }
    long long exponent = 0;
    if (i < len && (text[i] == 'E' || text[i] == 'e')) {
        ++i;
        bool exponentNegative = false;
        if (i < len && (text[i] == '+' || text[i] == '-')) {
            exponentNegative = text[i] == '-';
            ++i;
        }
        while (i < len && IsDigit(text[i])) {
            if (exponent < 1000000000LL) { // saturates far beyond any range that matters
                exponent = exponent * 10 + (text[i] - '0');
            }
            ++i;
        }
        if (exponentNegative) {
            exponent = -exponent;
        }
    }
    while (i < len && text[i] == ' ') {
        ++i;
    }
    if (i != len) {
        return std::nullopt;
    }

    const double signedZero = negative ? -0.0 : 0.0;
    const std::size_t firstNonZero = digits.find_first_not_of('0');
    if (firstNonZero == std::string::npos) {
        return signedZero;
    }
    digits.erase(0, firstNonZero);
    const std::size_t lastNonZero = digits.find_last_not_of('0');
    const long long trailingZeros = static_cast<long long>(digits.size() - 1 - lastNonZero);
    digits.erase(lastNonZero + 1);
    // The value is digits * 10^scale, its first digit at 10^top.
    const long long scale = exponent - fractionDigits + trailingZeros;
    const long long top = scale + static_cast<long long>(digits.size()) - 1;
    if (top > kExtendedMaxExponent) {
        return std::nullopt;
    }
    // Same first power of ten and no trailing zeros on either side: the digit strings compare as the
    // values do.
    if (top == kExtendedMaxExponent && digits.compare(ExtendedMaxDigits()) > 0) {
        return std::nullopt;
    }
    if (top < -400) { // far below the smallest double
        return signedZero;
    }
    std::string clean = digits;
    clean += 'e';
    AppendInt(clean, scale);
    double value = 0.0;
    const auto res = std::from_chars(clean.data(), clean.data() + clean.size(), value);
    if (res.ec == std::errc::result_out_of_range) {
        // Within extended range but beyond double: infinite here, an overflow when it is encoded.
        value = top > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
    std::size_t i = 0;
    const bool negative = SkipSpacesAndSign(text, i);
    const std::string_view rest = text.substr(i);
    std::size_t hexStart = 0;
    if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
        hexStart = 1;
    } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        hexStart = 2;
    }
    if (hexStart != 0) {
        const std::string_view hex = rest.substr(hexStart);
        if (hex.empty() || hex.size() > 8) {
            return std::nullopt;
        }
        std::uint32_t pattern = 0;
        for (char c : hex) {
            const int d = HexDigitValue(c);
            if (d < 0) {
                return std::nullopt;
            }
            pattern = (pattern << 4) | static_cast<std::uint32_t>(d);
        }
        if (negative) {
            pattern = 0u - pattern;
        }
        return static_cast<std::int32_t>(pattern);
    }
    if (rest.empty()) {
        return std::nullopt;
    }
    long long value = 0;
    for (char c : rest) {
        if (!IsDigit(c)) {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > 2147483648LL) {
            return std::nullopt;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::int32_t StrToInt(const std::string& text) {
    const auto value = ParseInteger(text);
    if (!value) {
        throw EConvertError("'" + text + "' is not a valid integer value");
    }
    return *value;
}

std::optional<char32_t> NumericKeyFilter(char32_t ch) {
    if (ch == U',' || ch == U'.') {
        return U'.';
    }
    if ((ch >= U'0' && ch <= U'9') || ch == U'-' || ch == 8) {
        return ch;
    }
    if (ch == U'E' || ch == U'e' || ch == U'\u0415' || ch == U'\u0435') {
        return U'E';
    }
    return std::nullopt;
}

std::optional<char32_t> FactoryNumberKeyFilter(char32_t ch) {
    if ((ch >= U'0' && ch <= U'9') || ch == 8) {
        return ch;
    }
    return std::nullopt;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
