#include "coef/CoefBlock.h"

#include "coef/Crc.h"
#include "coef/DeviceMap.h"
#include "coef/Errors.h"
#include "coef/ValueText.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace {

// FLT_MAX plus half a unit in its last place: from here on the nearest single is an infinity.
constexpr double kSingleOverflow = 0x1.ffffffp127;

std::uint32_t LittleEndianWord(const TSlotBytes& d) {
    return static_cast<std::uint32_t>(d[0]) | (static_cast<std::uint32_t>(d[1]) << 8) |
           (static_cast<std::uint32_t>(d[2]) << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
}

TSlotBytes LittleEndianBytes(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

void PutSlot(TCoefImageBytes& image, int k, const TSlotBytes& d) {
    for (std::size_t i = 0; i < 4; ++i) {
        image[static_cast<std::size_t>(4 * k) + i] = d[i];
    }
}

} // namespace

double DecodeDeviceFloat(const TSlotBytes& d) {
    if (d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 0) {
        return 0.0;
    }
    const bool negative = (d[2] & 0x80) != 0;
    const int exponent = (d[2] & 0x7F) * 2 + (d[3] >> 7);
    const std::uint32_t mantissa =
        ((static_cast<std::uint32_t>(d[3]) | 0x80u) << 16) | (static_cast<std::uint32_t>(d[0]) << 8) | d[1];
    // m / 2^23 * 2^(e - 127): a 24-bit integer times a power of two from 2^-150 to 2^105, exact in a
    // double; exponents 0 and 255 follow the same formula (never a subnormal, an infinity or a NaN).
    const double value = std::ldexp(static_cast<double>(mantissa), exponent - 150);
    return negative ? -value : value;
}

TSlotBytes EncodeDeviceFloat(double x) {
    if (!(std::fabs(x) < kSingleOverflow)) { // also an infinity or a NaN
        throw EOverflow();
    }
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(x));
    const auto f3 = static_cast<std::uint8_t>(bits >> 24);
    const auto f2 = static_cast<std::uint8_t>(bits >> 16);
    const auto f1 = static_cast<std::uint8_t>(bits >> 8);
    const auto f0 = static_cast<std::uint8_t>(bits);
    return {f1, static_cast<std::uint8_t>(f0 & 0xFE), f3, f2};
}

std::uint32_t PackDateTime(const TLocalTime& t) {
    if (t.Year < 1980 || t.Year > 2107) {
        return 0;
    }
    return (static_cast<std::uint32_t>(t.Year - 1980) << 25) |
           (static_cast<std::uint32_t>(t.Month & 0x0F) << 21) |
           (static_cast<std::uint32_t>(t.Day & 0x1F) << 16) |
           (static_cast<std::uint32_t>(t.Hour & 0x1F) << 11) |
           (static_cast<std::uint32_t>(t.Minute & 0x3F) << 5) |
           static_cast<std::uint32_t>((t.Second / 2) & 0x1F);
}

TLocalTime CurrentLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#ifdef _WIN32
    localtime_s(&parts, &now);
#else
    localtime_r(&now, &parts);
#endif
    TLocalTime t;
    t.Year = parts.tm_year + 1900;
    t.Month = parts.tm_mon + 1;
    t.Day = parts.tm_mday;
    t.Hour = parts.tm_hour;
    t.Minute = parts.tm_min;
    t.Second = parts.tm_sec;
    return t;
}

std::uint16_t BlockChecksum(const TCoefImageBytes& image) {
    // Bytes 1..65: the zero bytes 1-3, slots 1 to 15 and the two marker bytes; byte 0 is not covered.
    std::array<std::uint8_t, 65> covered{};
    std::memcpy(covered.data(), image.data() + 1, covered.size());
    return ModbusCrc16Of(covered.data(), static_cast<std::int32_t>(covered.size()));
}

std::optional<std::uint8_t> DeviceAddressFromText(const std::string& text) {
    const std::int32_t address = StrToInt(text);
    // The adapter's one address byte: 0..255.
    if (address < 0 || address > std::numeric_limits<std::uint8_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(address);
}

TSlotBytes SlotOfImage(const TCoefImageBytes& image, int k) {
    const auto at = static_cast<std::size_t>(4 * k);
    return {image.at(at), image.at(at + 1), image.at(at + 2), image.at(at + 3)};
}

TKeptSlots KeptSlotsFor(const TKeptSlots& known, const std::array<bool, 17>& changed, std::uint8_t address) {
    using namespace rq7map;
    TKeptSlots kept = known;
    kept[kRecordDateSlot].reset();
    kept[kEndSlot].reset();
    for (int k = 1; k <= kFactoryNumberSlot; ++k) {
        if (changed[static_cast<std::size_t>(k)]) {
            kept[static_cast<std::size_t>(k)].reset();
        }
    }
    if (kept[kAddressSlot] && (*kept[kAddressSlot])[1] != address) {
        kept[kAddressSlot].reset();
    }
    return kept;
}

std::uint32_t SlotWordOfImage(const TCoefImageBytes& image, int k) {
    return LittleEndianWord(SlotOfImage(image, k));
}

std::uint32_t SlotWord(const TSlotBytes& d) {
    return LittleEndianWord(d);
}

void TCoefBlock::StoreSlotReply(int k, const TSlotBytes& d) {
    using namespace rq7map;
    if (k < 1 || k > kSlotCount) {
        return; // no such slot: nothing to file, and nothing outside the image is touched
    }
    if (k != kFactoryNumberSlot && k != kRecordDateSlot && k != kAddressSlot) {
        LastValue = DecodeDeviceFloat(d);
    }
    if (k == kFactoryNumberSlot) {
        FactoryNumber = static_cast<std::int32_t>(LittleEndianWord(d));
    }
    if (k == kRecordDateSlot) {
        RecordDateText = FileDateText(LittleEndianWord(d));
    }
    PutSlot(ReadImage, k, d);
}

namespace {

// Where a build takes slots 1 to 12 from: a window field's text, or the kept text of the last read.
struct TSlotSource {
    const std::string* FieldText = nullptr; // nullptr: the slot's SlotTexts entry as it stands
};
using TSlotSources = std::array<TSlotSource, rq7map::kValueSlots>;

// The steps shared by both builds. Returns after filling CoefImage, or early with ImageError = 1.
void BuildImage(TCoefBlock& block, const TSlotSources& sources, const std::string& factoryText,
                const std::string& addressText, const TKeptSlots& kept) {
    using namespace rq7map;
    block.CoefImage.fill(0);
    block.ImageError = 0;
    for (int k = 1; k <= kValueSlots; ++k) {
        const TSlotSource& source = sources[static_cast<std::size_t>(k - 1)];
        std::string& slotText = block.SlotTexts[static_cast<std::size_t>(k)];
        if (source.FieldText != nullptr) {
            slotText = *source.FieldText;
        }
        if (const std::optional<TSlotBytes>& bytes = kept[static_cast<std::size_t>(k)]) {
            PutSlot(block.CoefImage, k, *bytes);
            continue;
        }
        const std::optional<double> value = ParseNumber(slotText);
        if (!value) {
            block.ImageError = 1;
            return;
        }
        const double stored = IsOffsetSlot(k) ? *value + kChannel2Offset : *value;
        PutSlot(block.CoefImage, k, EncodeDeviceFloat(stored));
    }
    if (const std::optional<TSlotBytes>& bytes = kept[kFactoryNumberSlot]) {
        PutSlot(block.CoefImage, kFactoryNumberSlot, *bytes);
    } else {
        const std::optional<std::int32_t> factoryNumber = ParseInteger(factoryText);
        if (!factoryNumber) {
            block.ImageError = 1;
            return;
        }
        PutSlot(block.CoefImage, kFactoryNumberSlot,
                LittleEndianBytes(static_cast<std::uint32_t>(*factoryNumber)));
    }
    PutSlot(block.CoefImage, kRecordDateSlot, LittleEndianBytes(PackDateTime(block.LocalNow())));
    const std::optional<std::uint8_t> address = DeviceAddressFromText(addressText);
    if (!address) {
        block.ImageError = 1;
        return;
    }
    const std::optional<TSlotBytes>& keptAddress = kept[kAddressSlot];
    PutSlot(block.CoefImage, kAddressSlot, keptAddress ? *keptAddress : TSlotBytes{0, *address, 0, 0});
    // The end slot: marker FF 00, then the checksum over everything before it but byte 0.
    PutSlot(block.CoefImage, kEndSlot, {255, 0, 0, 0});
    StoreCrc(block.CoefImage.data() + 66, BlockChecksum(block.CoefImage));
}

} // namespace

void TCoefBlock::BuildImageFromLimits(const TLimitsTexts& texts, const TKeptSlots& kept) {
    TSlotSources sources{}; // slots 3, 4, 7, 8, 11, 12 from SlotTexts
    sources[0].FieldText = &texts.Canal1_20;
    sources[1].FieldText = &texts.Canal1_4;
    sources[4].FieldText = &texts.Canal2_20;
    sources[5].FieldText = &texts.Canal2_4;
    sources[8].FieldText = &texts.Canal3_20;
    sources[9].FieldText = &texts.Canal3_4;
    BuildImage(*this, sources, texts.ZavodNEdit, texts.AdrEdit, kept);
}

void TCoefBlock::BuildImageFromTech(const TTechTexts& texts, const TKeptSlots& kept) {
    TSlotSources sources{};
    for (std::size_t i = 0; i < sources.size(); ++i) {
        sources[i].FieldText = &texts.Values[i];
    }
    BuildImage(*this, sources, texts.ZavodEdit, texts.AdrEdit, kept);
}

bool TCoefBlock::VerifyReadImage() const {
    return CrcStored(ReadImage.data() + 66, BlockChecksum(ReadImage));
}
