#include "cli/CliOutput.h"

#include <QJsonArray>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "coef/ValueText.h"

using rq7map::kSlotCount;
using rq7map::kValueSlots;

std::string HexBytes(const std::uint8_t* bytes, std::size_t n, const char* separator) {
    std::string text;
    char pair[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(bytes[i]));
        if (i > 0) {
            text += separator;
        }
        text += pair;
    }
    return text;
}

std::string SlotHex(const TCoefImageBytes& image, int k, const char* separator) {
    return HexBytes(image.data() + 4 * k, 4, separator);
}

TSlotBytes SlotOf(const TCoefImageBytes& image, int k) {
    const auto at = static_cast<std::size_t>(4 * k);
    return {image[at], image[at + 1], image[at + 2], image[at + 3]};
}

std::uint32_t SlotWord(const TCoefImageBytes& image, int k) {
    const TSlotBytes d = SlotOf(image, k);
    return static_cast<std::uint32_t>(d[0]) | (static_cast<std::uint32_t>(d[1]) << 8) |
           (static_cast<std::uint32_t>(d[2]) << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
}

// A packed date and time as ISO 8601 local time.
std::string IsoDateTime(std::uint32_t p) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", (p >> 25) + 1980, (p >> 21) & 0x0F,
                  (p >> 16) & 0x1F, (p >> 11) & 0x1F, (p >> 5) & 0x3F, (p & 0x1F) * 2);
    return text;
}

// The number of a value slot as shown: the slot's single to the seven significant digits it holds,
// channel 2's limits 100 below it at the same number of decimals (so 185.1 is shown as 85.1, not as
// 85.100006 or 85.09999).
double ShownNumber(const TCoefImageBytes& image, int k) {
    const double raw = DecodeDeviceFloat(SlotOf(image, k));
    char text[64];
    std::snprintf(text, sizeof text, "%.7g", raw);
    const double rounded = std::strtod(text, nullptr);
    const std::string_view digits(text);
    if (!rq7map::IsOffsetSlot(k) || digits.find('e') != std::string_view::npos) {
        return rq7map::IsOffsetSlot(k) ? rounded - rq7map::kChannel2Offset : rounded;
    }
    const std::size_t point = digits.find('.');
    const int decimals = point == std::string_view::npos ? 0 : static_cast<int>(digits.size() - point - 1);
    char shifted[96];
    std::snprintf(shifted, sizeof shifted, "%.*f", decimals, rounded - rq7map::kChannel2Offset);
    return std::strtod(shifted, nullptr);
}

// Pads a UTF-8 text with spaces to width characters.
std::string Pad(const std::string& text, std::size_t width) {
    std::size_t characters = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++characters;
        }
    }
    return text + std::string(characters < width ? width - characters : 1, ' ');
}

void PrintBlock(std::ostream& out, const TShownBlock& shown) {
    static const std::array<const char*, 4> kRows = {"при токе 20 mA", "при токе 4 mA", "ток при коде 16 mA",
                                                     "ток при коде 4 mA"};
    out << Pad("", 20) << Pad("Канал 1", 12) << Pad("Канал 2", 12) << "Канал 3\n";
    for (std::size_t row = 0; row < kRows.size(); ++row) {
        out << Pad(kRows[row], 20) << Pad(shown.Texts[row], 12) << Pad(shown.Texts[4 + row], 12)
            << shown.Texts[8 + row] << '\n';
    }
    out << "Зав.№ " << shown.FactoryNumber << '\n';
    out << "Адрес обращения " << shown.Address << '\n';
    out << "Дата записи коэф. RQ7 " << shown.RecordDate << '\n';
}

void PrintLimits(std::ostream& out, const char* title, const std::array<std::string, kValueSlots>& values,
                 int address) {
    out << title << ":";
    for (std::size_t c = 0; c < 3; ++c) {
        out << (c == 0 ? " " : "; ") << "канал " << c + 1 << " " << values.at(4 * c) << " (20 mA), "
            << values.at(4 * c + 1) << " (4 mA)";
    }
    out << "; адрес " << address << '\n';
}

QJsonObject BlockJson(const TCoefBlock& block, const TShownBlock& shown, bool checksumOk) {
    QJsonArray values;
    QJsonArray texts;
    for (int k = 1; k <= kValueSlots; ++k) {
        values.append(ShownNumber(block.ReadImage, k));
        texts.append(QString::fromStdString(shown.Texts.at(static_cast<std::size_t>(k - 1))));
    }
    QJsonArray slotTexts;
    for (int k = 1; k <= kSlotCount; ++k) {
        slotTexts.append(QString::fromStdString(SlotHex(block.ReadImage, k, "")));
    }
    QJsonObject object;
    object[QStringLiteral("values")] = values;
    object[QStringLiteral("texts")] = texts;
    object[QStringLiteral("factory_number")] = QString::fromStdString(shown.FactoryNumber);
    object[QStringLiteral("address")] = shown.Address;
    object[QStringLiteral("recorded")] =
        QString::fromStdString(IsoDateTime(SlotWord(block.ReadImage, rq7map::kRecordDateSlot)));
    object[QStringLiteral("checksum_ok")] = checksumOk;
    object[QStringLiteral("slots")] = slotTexts;
    return object;
}
