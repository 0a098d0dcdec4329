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

namespace {
template <typename Bytes> void appendCrc(Bytes& frame) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(frame.data());
    const std::uint16_t crc = ModbusCrc16Of(bytes, static_cast<std::int32_t>(frame.size()));
    using TEntry = typename Bytes::value_type;
    frame.push_back(static_cast<TEntry>(crc & 0xFFu));
    frame.push_back(static_cast<TEntry>(crc >> 8));
}
} // namespace

void AppendModbusCrc(std::vector<std::uint8_t>& frame) {
    appendCrc(frame);
}
void AppendModbusCrc(std::string& frame) {
    appendCrc(frame);
}

bool ModbusCrcMatches(const std::uint8_t* frame, std::size_t n) {
    if (n < 3) {
        return false;
    }
    const auto body = static_cast<std::int32_t>(n - 2);
    return CrcStored(frame + body, ModbusCrc16Of(frame, body));
}
bool ModbusCrcMatches(const std::string& frame) {
    return ModbusCrcMatches(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size());
}
