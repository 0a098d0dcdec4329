#pragma once
// The adapter's coefficient block: 16 slots of 4 bytes, the device float, the packed date and time,
// the block checksum, the builds from either coefficient window and the values kept from the last read.

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

// The four data bytes of one slot in frame order (D0 high byte of the first register, ...).
using TSlotBytes = std::array<std::uint8_t, 4>;
// A 68-byte image of the block (bytes 4k..4k+3 hold slot k).
using TCoefImageBytes = std::array<std::uint8_t, 68>;

// A local date and time, as broken down by the clock that stamps a written block.
struct TLocalTime {
    int Year = 1980, Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0;
};

// Device float: an IEEE-754 single, low register first (D0 = F1, D1 = F0, D2 = F3, D3 = F2).
double DecodeDeviceFloat(const TSlotBytes& d);
// Throws EOverflow ("Floating point overflow") beyond the single-precision range.
TSlotBytes EncodeDeviceFloat(double x);
// MS-DOS packed date and time; 0 for a year outside 1980..2107.
std::uint32_t PackDateTime(const TLocalTime& t);
// The current local date and time of this computer.
TLocalTime CurrentLocalTime();

// The address byte that an address field's text gives the adapter. The adapter keeps its address in one
// byte, so an integer outside 0..255 gives nothing (the windows show "Проверьте данные") instead of
// being cut to its low 8 bits; a text that is not an integer throws EConvertError. Both builds take
// slot 15 through it, and the address register is written with what it gives.
std::optional<std::uint8_t> DeviceAddressFromText(const std::string& text);

// The texts that the channel limits window hands to a build (slots 1, 2, 5, 6, 9, 10, 13 and 15).
struct TLimitsTexts {
    std::string Canal1_20, Canal1_4, Canal2_20, Canal2_4, Canal3_20, Canal3_4;
    std::string ZavodNEdit;
    std::string AdrEdit;
};

// The texts that the technological mode window hands to a build.
struct TTechTexts {
    // Slots 1..12 at indices 0..11: KoefEdit1..4, Edit21..24, Edit31..34.
    std::array<std::string, 12> Values;
    std::string ZavodEdit;
    std::string AdrEdit;
};

// Slot bytes by slot number (index k for slot k, 1..16; index 0 unused). As what the adapter is known to
// hold: an empty entry where nothing is known. As what a build keeps: the slots written as they are.
using TKeptSlots = std::array<std::optional<TSlotBytes>, 17>;

// Slot k (1..16) of an image, and its four bytes as the word they hold, least significant first (the
// factory number of slot 13, the packed date and time of slot 14).
TSlotBytes SlotOfImage(const TCoefImageBytes& image, int k);
std::uint32_t SlotWordOfImage(const TCoefImageBytes& image, int k);
// A slot's four bytes as the word they hold, least significant first.
std::uint32_t SlotWord(const TSlotBytes& d);

// What a write keeps of what the adapter is known to hold: every slot 1..13 not marked changed (index k
// for slot k), and the address slot while the new address is the one it holds; never the date or the
// end slot, which every build makes afresh.
TKeptSlots KeptSlotsFor(const TKeptSlots& known, const std::array<bool, 17>& changed, std::uint8_t address);

class TCoefBlock {
public:
    TCoefImageBytes CoefImage{}; // built for writing
    TCoefImageBytes ReadImage{}; // assembled from the replies of a read
    std::array<std::string, 31> SlotTexts{};
    double LastValue = 0.0;
    std::int32_t FactoryNumber = 0;
    std::string RecordDateText;
    int ImageError = 0;
    // What the adapter is known to hold, slot by slot: the bytes of the latest complete read whose
    // checksum was right, or of the latest write as far as its slots were confirmed. A value nobody
    // changed goes back with these bytes rather than from its shown (rounded) text. Kept by the
    // sequences (link/CoefSequence).
    TKeptSlots KnownSlots{};

    // The clock that stamps a built block; tests may replace it.
    std::function<TLocalTime()> LocalNow = CurrentLocalTime;

    // Files the data bytes of slot k (1..16) of an accepted reply.
    void StoreSlotReply(int k, const TSlotBytes& d);

    // Build CoefImage from a window's texts. A text that is not a number (slot 13: not an integer) or
    // an address outside 0..255 stops the build with ImageError = 1 (the window then shows "Проверьте
    // данные"); an address text that is not an integer throws EConvertError; a value beyond single
    // range throws EOverflow. A slot (1..13, 15) set in kept is written with those bytes as they are (its
    // text is neither parsed nor checked; a value slot's field text still goes into SlotTexts); the date,
    // the end marker and the checksum are always made afresh.
    void BuildImageFromLimits(const TLimitsTexts& texts, const TKeptSlots& kept = {});
    void BuildImageFromTech(const TTechTexts& texts, const TKeptSlots& kept = {});

    // True when the checksum over ReadImage bytes 1..65 matches bytes 66 and 67
    // (the window shows "Ошибка кс" otherwise).
    bool VerifyReadImage() const;
};

// The block checksum over bytes 1..65 of an image.
std::uint16_t BlockChecksum(const TCoefImageBytes& image);
