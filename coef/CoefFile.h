#pragma once
// The coefficient file: the technological mode window's values as it saves and loads them, and as the
// command line reads and writes them. Fifteen lines: the address, the saving time, the factory number,
// then slots 1..12 as their texts.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"

inline constexpr std::size_t kCoefFileLines = 15;
// The line (1-based) that holds slot k's text (k = 1..12).
constexpr int CoefFileValueLine(int k) {
    return k + 3;
}
inline constexpr int kCoefFileAddressLine = 1;
inline constexpr int kCoefFileFactoryLine = 3;

struct TCoefFileTexts {
    std::string Address;
    std::string SavingTime;
    std::string FactoryNumber;
    std::array<std::string, rq7map::kValueSlots> Values; // slots 1..12
};

// Parameter values (the limit slots 1, 2, 5, 6, 9, 10) are shown with 2 decimals, currents with 4.
int SlotDecimals(int slot);
// The saving time line: dd/mm/yyyy(hh:mm:ss), whatever the locale.
std::string SavingTimeText(const TLocalTime& t);
// The file's lines in order.
std::vector<std::string> CoefFileLines(const TCoefFileTexts& texts);
// The texts of a file's lines (the first 15; missing ones empty).
TCoefFileTexts CoefFileTextsOf(std::vector<std::string> lines);
// The first 15 lines of a file (missing ones empty); the rest of the file is never read. Throws
// EInOutError as ReadFirstTextFileLines does.
TCoefFileTexts ReadCoefFile(const std::string& path);
