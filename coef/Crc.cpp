#include "coef/Crc.h"

namespace {
template <typename T> std::uint16_t crcOver(const T* values, std::int32_t n) {
    std::uint16_t reg = 0xFFFF;
    for (std::int32_t i = 0; i < n; ++i) {
        reg ^= static_cast<std::uint16_t>(static_cast<std::uint32_t>(values[i]) & 0xFFFFu);
        for (int bit = 0; bit < 8; ++bit) {
            const bool low = (reg & 1u) != 0;
            reg = static_cast<std::uint16_t>(reg >> 1);
            if (low) {
                reg ^= 0xA001;
            }
        }
    }
    return reg;
}
} // namespace

std::uint16_t ModbusCrc16Of(const std::int32_t* values, std::int32_t n) {
    return crcOver(values, n);
}
std::uint16_t ModbusCrc16Of(const std::uint8_t* bytes, std::int32_t n) {
    return crcOver(bytes, n);
}
