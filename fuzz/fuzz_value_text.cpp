// Value texts with 2 and 4 decimals for arbitrary doubles (NaN and infinities included), and for the
// values a slot read can produce (the device float of four bytes, and that less 100 for slots 5 and 6).
// Input: bytes 0..7 the double (missing bytes are 0), byte 8 chooses 2 or 4 decimals.
// Invariants for a finite value: the text has the fixed form (at most 7 integer digits, exactly n
// decimals) or the exponent form (from 10^7 on, exponent with at least n digits); it parses back as a
// number within half a unit of its last digit; at most 7 significant digits; a zero text carries no
// minus sign, any other text carries the value's sign.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "coef/CoefBlock.h"
#include "coef/ValueText.h"
#include "fuzz/FuzzSupport.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

void CheckValueText(double x, int n) {
    const std::string text = ValueText(x, n);
    const auto context = [&] {
        char shown[64];
        std::snprintf(shown, sizeof shown, "%.17g", x);
        return " (x " + std::string(shown) + ", n " + std::to_string(n) + ", text \"" + text + "\")";
    };
    FUZZ_CHECK(!text.empty(), "empty text" + context());
    if (!std::isfinite(x)) {
        return;
    }

    // Take the text apart: sign, digits before and after the point, exponent.
    std::size_t i = 0;
    const bool minus = text[0] == '-';
    if (minus) {
        ++i;
    }
    std::string whole;
    while (i < text.size() && IsDigit(text[i])) {
        whole += text[i++];
    }
    std::string fraction;
    bool point = false;
    if (i < text.size() && text[i] == '.') {
        point = true;
        ++i;
        while (i < text.size() && IsDigit(text[i])) {
            fraction += text[i++];
        }
    }
    const bool exponentForm = i < text.size() && text[i] == 'E';
    std::string exponent;
    if (exponentForm) {
        ++i;
        while (i < text.size() && IsDigit(text[i])) {
            exponent += text[i++];
        }
    }
    FUZZ_CHECK(i == text.size(), "stray characters" + context());

    int top = 0; // power of ten of the first significant digit
    bool zero = false;
    std::string significant;
    if (exponentForm) {
        FUZZ_CHECK(whole.size() == 1 && whole[0] != '0',
                   "exponent form must start with one digit 1..9" + context());
        FUZZ_CHECK(!point || (!fraction.empty() && fraction.back() != '0'),
                   "exponent form keeps no trailing zeros and no bare point" + context());
        FUZZ_CHECK(exponent.size() >= static_cast<std::size_t>(n) && exponent.size() <= 4,
                   "exponent digits" + context());
        top = std::stoi(exponent);
        FUZZ_CHECK(top >= 7, "exponent form below 10^7" + context());
        significant = whole + fraction;
    } else {
        FUZZ_CHECK(point && fraction.size() == static_cast<std::size_t>(n),
                   "fixed form needs exactly n decimals" + context());
        FUZZ_CHECK(!whole.empty() && whole.size() <= 7 && (whole.size() == 1 || whole[0] != '0'),
                   "fixed form integer digits" + context());
        const std::string digits = whole + fraction;
        const std::size_t first = digits.find_first_not_of('0');
        zero = first == std::string::npos;
        if (!zero) {
            top = static_cast<int>(whole.size()) - 1 - static_cast<int>(first);
            significant = digits.substr(first);
        }
    }
    while (!significant.empty() && significant.back() == '0') {
        significant.pop_back();
    }
    FUZZ_CHECK(significant.size() <= 7, "more than 7 significant digits" + context());
    if (zero) {
        FUZZ_CHECK(!minus, "a zero text with a minus sign" + context());
    } else {
        FUZZ_CHECK(minus == (x < 0), "the sign does not match the value" + context());
    }

    const std::optional<double> back = ParseNumber(text);
    FUZZ_CHECK(back.has_value(), "the text does not parse as a number" + context());
    // The last digit kept stands at 10^last: seven significant digits or n decimals, whichever is fewer.
    const int last = zero ? -n : std::max(top - 6, -n);
    const long double halfUnit = 0.5L * std::pow(10.0L, static_cast<long double>(last));
    const long double error = std::fabs(static_cast<long double>(*back) - static_cast<long double>(x));
    FUZZ_CHECK(error <= halfUnit * (1.0L + 1e-9L),
               "the text is not the value rounded to its last digit" + context());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t bytes[8] = {};
    std::memcpy(bytes, data, size < 8 ? size : 8);
    double x = 0;
    std::memcpy(&x, bytes, sizeof x);
    const int n = size > 8 && (data[8] & 1) != 0 ? 4 : 2;

    CheckValueText(x, n);
    const double slotValue = DecodeDeviceFloat({bytes[0], bytes[1], bytes[2], bytes[3]});
    CheckValueText(slotValue, n);
    CheckValueText(slotValue - 100, n);
    return 0;
}
