#pragma once
// What rq7cli prints: the block as the technological window shows it, the limits, the JSON object, and
// the byte and number texts they are made of.

#include <QJsonObject>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"

std::string HexBytes(const std::uint8_t* bytes, std::size_t n, const char* separator);
std::string SlotHex(const TCoefImageBytes& image, int k, const char* separator);
TSlotBytes SlotOf(const TCoefImageBytes& image, int k);
std::uint32_t SlotWord(const TCoefImageBytes& image, int k);
// A packed date and time as ISO 8601 local time.
std::string IsoDateTime(std::uint32_t p);
// The number of a value slot as shown (channel 2's limits without their offset).
double ShownNumber(const TCoefImageBytes& image, int k);
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
