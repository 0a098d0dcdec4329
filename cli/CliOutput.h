#pragma once
// What rq7cli prints: the block as the technological window shows it, the limits, the JSON object, and
// the byte and number texts they are made of.

#include <QJsonObject>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"

std::string HexBytes(const std::uint8_t* bytes, std::size_t n, const char* separator);
std::string SlotHex(const TCoefImageBytes& image, int k, const char* separator);
// A packed date and time as ISO 8601 local time; nothing when the bits are no date (an erased slot).
std::optional<std::string> IsoDateTime(std::uint32_t p);
// A number as a script reads it, whatever the locale: to the given significant digits, or the
// shortest text that reads back as the same double.
std::string NumberText(double value, int significant);
std::string NumberText(double value);
// The number of a value slot as shown (channel 2's limits without their offset).
double ShownNumber(const TCoefImageBytes& image, int k);
// A message line on standard error, after "rq7cli: "; on standard output when standard error is closed.
void SayError(std::ostream& err, std::ostream& out, const std::string& text);
// A text from a file or a device as it may be shown on a terminal: control characters as \xNN.
std::string Printable(const std::string& text);
// The coefficient file's exact bytes (Windows-1251, CR LF), as the file holds them.
std::string CoefFileBytes(const std::vector<std::string>& lines);
// Pads a UTF-8 text with spaces to width characters.
std::string Pad(const std::string& text, std::size_t width);

// The block as the technological window shows it after a read.
struct TShownBlock {
    std::array<std::string, rq7map::kValueSlots> Texts;
    std::string FactoryNumber;
    int Address = 0;
    std::string RecordDate;
    int AnsweredAddress = 0; // byte 0 of the identify reply
};

void PrintBlock(std::ostream& out, const TShownBlock& shown);
void PrintLimits(std::ostream& out, const char* title,
                 const std::array<std::string, rq7map::kValueSlots>& values, int address);
QJsonObject BlockJson(const TCoefBlock& block, const TShownBlock& shown, bool checksumOk);
