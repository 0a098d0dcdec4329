#include "sim/SimBlock.h"

#include "coef/Crc.h"

#include <bit>
#include <cstddef>
#include <cstdio>

TSimSlot EncodeSimFloat(double value) {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
    const auto f3 = static_cast<std::uint8_t>(bits >> 24);
    const auto f2 = static_cast<std::uint8_t>(bits >> 16);
    const auto f1 = static_cast<std::uint8_t>(bits >> 8);
    const auto f0 = static_cast<std::uint8_t>(bits & 0xFEu);
    return {f1, f0, f3, f2};
}

std::uint16_t SimBlockChecksum(const TSimImage& image) {
    return ModbusCrc16Of(image.data() + 1, 65);
}

void SealSimImage(TSimImage& image) {
    image[64] = 0xFF;
    image[65] = 0x00;
    StoreCrc(image.data() + 66, SimBlockChecksum(image));
}

namespace {
void PutSlot(TSimImage& image, int slot, const TSimSlot& bytes) {
    for (std::size_t i = 0; i < 4; ++i) {
        image[static_cast<std::size_t>(4 * slot) + i] = bytes[i];
    }
}

TSimSlot LittleEndian(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}
} // namespace

TSimImage DefaultSimImage(std::uint8_t address) {
    static constexpr double kValues[12] = {16.0,    0.0,    16.0123, 3.9876, 185.0,   60.0,
                                           16.0045, 4.0021, 250.0,   0.0,    15.9987, 3.9992};
    TSimImage image{};
    for (int slot = 1; slot <= 12; ++slot) {
        PutSlot(image, slot, EncodeSimFloat(kValues[slot - 1]));
    }
    PutSlot(image, 13, LittleEndian(static_cast<std::uint32_t>(kSimDefaultFactoryNumber)));
    PutSlot(image, 14, LittleEndian(kSimDefaultRecordDate));
    PutSlot(image, 15, {0, address, 0, 0});
    SealSimImage(image);
    return image;
}

std::string SimHexText(const std::uint8_t* bytes, std::size_t n) {
    std::string hex;
    for (std::size_t i = 0; i < n; ++i) {
        char text[4];
        std::snprintf(text, sizeof text, i == 0 ? "%02X" : " %02X", bytes[i]);
        hex += text;
    }
    return hex;
}
