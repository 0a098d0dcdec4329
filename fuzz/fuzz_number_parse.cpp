// The number and integer parses on arbitrary text (the input bytes as they are).
// Invariants: no crash; ParseNumber takes exactly the texts of the number grammar whose value fits in
// extended precision, with the value the C library reads from the same digits; ParseInteger takes exactly
// the decimal and hexadecimal forms of the integer grammar within 32 bits; StrToInt agrees with it and
// throws the conversion error with the text otherwise; a parsed integer's decimal text parses back to
// it, and a decimal integer text parses as the same number.

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "coef/Errors.h"
#include "coef/ValueText.h"
#include "fuzz/FuzzSupport.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The number grammar: spaces, sign, digits, point and digits, exponent letter, sign and digits, spaces;
// a digit or the point must stand before the exponent. Returns the same number in a form the C
// library reads (every part present), or nothing when the text is not of the grammar.
std::optional<std::string> NumberGrammar(std::string_view t) {
    std::size_t i = 0;
    auto skipSpaces = [&] {
        while (i < t.size() && t[i] == ' ') {
            ++i;
        }
    };
    auto digits = [&] {
        const std::size_t from = i;
        while (i < t.size() && IsDigit(t[i])) {
            ++i;
        }
        return std::string(t.substr(from, i - from));
    };
    skipSpaces();
    std::string out;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        out += t[i] == '-' ? "-" : "";
        ++i;
    }
    const std::string whole = digits();
    bool point = false;
    std::string fraction;
    if (i < t.size() && t[i] == '.') {
        point = true;
        ++i;
        fraction = digits();
    }
    if (whole.empty() && !point) {
        return std::nullopt;
    }
    std::string exponent = "0";
    if (i < t.size() && (t[i] == 'E' || t[i] == 'e')) {
        ++i;
        std::string sign;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
            sign = t[i] == '-' ? "-" : "";
            ++i;
        }
        const std::string expDigits = digits();
        exponent = sign + (expDigits.empty() ? "0" : expDigits);
    }
    skipSpaces();
    if (i != t.size()) {
        return std::nullopt;
    }
    out += (whole.empty() ? "0" : whole) + "." + (fraction.empty() ? "0" : fraction) + "e" + exponent;
    return out;
}

int HexValue(char c) {
    if (IsDigit(c)) {
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

struct TIntegerForm {
    std::int32_t Value = 0;
    bool Decimal = false;
};

// The integer grammar: spaces, sign, then decimal digits within the signed 32-bit range, or "$", "x",
// "X", "0x", "0X" and one to eight hexadecimal digits taken as a 32-bit pattern; a "-" negates.
std::optional<TIntegerForm> IntegerGrammar(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size() && t[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        negative = t[i] == '-';
        ++i;
    }
    std::string_view rest = t.substr(i);
    std::size_t prefix = 0;
    if (rest.substr(0, 1) == "$" || rest.substr(0, 1) == "x" || rest.substr(0, 1) == "X") {
        prefix = 1;
    } else if (rest.substr(0, 2) == "0x" || rest.substr(0, 2) == "0X") {
        prefix = 2;
    }
    if (prefix != 0) {
        rest.remove_prefix(prefix);
        if (rest.empty() || rest.size() > 8) {
            return std::nullopt;
        }
        std::uint64_t pattern = 0;
        for (const char c : rest) {
            if (HexValue(c) < 0) {
                return std::nullopt;
            }
            pattern = pattern * 16 + static_cast<std::uint64_t>(HexValue(c));
        }
        auto bits = static_cast<std::uint32_t>(pattern);
        if (negative) {
            bits = ~bits + 1u;
        }
        return TIntegerForm{static_cast<std::int32_t>(bits), false};
    }
    if (rest.empty()) {
        return std::nullopt;
    }
    std::int64_t magnitude = 0;
    for (const char c : rest) {
        if (!IsDigit(c)) {
            return std::nullopt;
        }
        magnitude = std::min<std::int64_t>(magnitude * 10 + (c - '0'), std::int64_t{1} << 40);
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return TIntegerForm{static_cast<std::int32_t>(value), true};
}

using TContext = std::function<std::string()>;

std::string Show(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

void CheckNumber(std::string_view text, const TContext& context) {
    const std::optional<double> parsed = ParseNumber(text);
    const std::optional<std::string> form = NumberGrammar(text);
    if (!form) {
        FUZZ_CHECK(!parsed,
                   "ParseNumber took a text outside the number grammar: " + Show(*parsed) + context());
        return;
    }
    errno = 0;
    const long double wide = std::strtold(form->c_str(), nullptr);
    const bool beyondExtended = std::isinf(wide);
    // Right at the largest extended value the two may round apart; leave that narrow band alone.
    const bool boundary = !beyondExtended && std::fabs(wide) >= LDBL_MAX * (1.0L - 1e-11L);
    if (!boundary) {
        FUZZ_CHECK(parsed.has_value() == !beyondExtended,
                   std::string(parsed ? "took" : "refused") + " \"" + *form + "\"" + context());
    }
    if (!parsed) {
        return;
    }
    const double reference = std::strtod(form->c_str(), nullptr);
    FUZZ_CHECK(std::signbit(*parsed) == std::signbit(reference), "sign of " + Show(*parsed) + context());
    if (std::fabs(reference) < DBL_MIN) {
        // Below the normal doubles: the exact subnormal or zero (the single will be zero either way).
        FUZZ_CHECK(*parsed == reference || *parsed == 0.0,
                   "tiny value " + Show(*parsed) + ", expected " + Show(reference) + context());
    } else {
        FUZZ_CHECK(*parsed == reference,
                   "value " + Show(*parsed) + ", expected " + Show(reference) + context());
    }
}

void CheckInteger(std::string_view text, const TContext& context) {
    const std::optional<std::int32_t> parsed = ParseInteger(text);
    const std::optional<TIntegerForm> form = IntegerGrammar(text);
    FUZZ_CHECK(parsed.has_value() == form.has_value(),
               std::string("ParseInteger ") + (parsed ? "took" : "refused") + " the text" + context());
    if (parsed) {
        FUZZ_CHECK(*parsed == form->Value, "ParseInteger gave " + std::to_string(*parsed) + ", expected " +
                                               std::to_string(form->Value) + context());
    }

    const std::string owned(text);
    try {
        const std::int32_t value = StrToInt(owned);
        FUZZ_CHECK(parsed && value == *parsed, "StrToInt gave " + std::to_string(value) + context());
    } catch (const EConvertError& e) {
        FUZZ_CHECK(!parsed, "StrToInt refused a text ParseInteger takes" + context());
        // The message is a C string: a zero byte in the text ends it there.
        const std::string message = "'" + owned + "' is not a valid integer value";
        FUZZ_CHECK(e.what() == message.substr(0, message.find('\0')),
                   std::string("StrToInt message: ") + e.what() + context());
    }

    if (!parsed) {
        return;
    }
    const std::string decimal = std::to_string(*parsed);
    const std::optional<std::int32_t> again = ParseInteger(decimal);
    FUZZ_CHECK(again && *again == *parsed,
               "the decimal text " + decimal + " does not parse back" + context());
    const std::optional<double> asNumber = ParseNumber(decimal);
    FUZZ_CHECK(asNumber && *asNumber == *parsed,
               "the decimal text " + decimal + " is not that number" + context());
    if (form->Decimal) {
        const std::optional<double> same = ParseNumber(text);
        FUZZ_CHECK(same && *same == *parsed, "a decimal integer text is not the same number" + context());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::AsText(data, size);
    const auto context = [&] { return " (text " + fuzz::Hex(text) + ")"; };
    CheckNumber(text, context);
    CheckInteger(text, context);
    return 0;
}
