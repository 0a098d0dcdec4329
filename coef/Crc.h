#pragma once
#include <cstddef>
#include <cstdint>

// The Modbus RTU CRC-16 (initial value FFFF, reflected polynomial A001, no final inversion) over
// n values; each value contributes its low 16 bits. A count of 0 or less gives FFFF.
std::uint16_t ModbusCrc16Of(const std::int32_t* values, std::int32_t n);
std::uint16_t ModbusCrc16Of(const std::uint8_t* bytes, std::int32_t n);
