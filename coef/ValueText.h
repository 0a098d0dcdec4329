#pragma once
// How values are shown, typed and parsed. "." is the decimal point whatever the locale.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Value text with n decimals (2 or 4): at most seven significant digits, halves away from zero.
std::string ValueText(double x, int n);
// Factory number text: a "0" in front of texts of 6 characters or fewer.
std::string FactoryNumberText(std::int32_t n);
// "h:m  d.m.yyyy" from a packed date and time, fields as they are.
std::string FileDateText(std::uint32_t p);
// Number parse: nullopt when the text is not a number.
std::optional<double> ParseNumber(std::string_view text);
// The value of a hexadecimal digit (either case), or -1 for any other character.
int HexDigitValue(char c);
// Integer parse: nullopt when the text is not an integer.
std::optional<std::int32_t> ParseInteger(std::string_view text);
// Integer parse that throws EConvertError "'%s' is not a valid integer value".
std::int32_t StrToInt(const std::string& text);
// Key filters: the character to insert (possibly changed), or nullopt to discard it.
// Characters are Unicode code points; backspace is 8; Cyrillic Е/е are U+0415/U+0435.
std::optional<char32_t> NumericKeyFilter(char32_t ch);
std::optional<char32_t> FactoryNumberKeyFilter(char32_t ch);
