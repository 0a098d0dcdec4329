#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The Modbus RTU CRC-16 (initial value FFFF, reflected polynomial A001, no final inversion) over
// n values; each value contributes its low 16 bits. A count of 0 or less gives FFFF.
std::uint16_t ModbusCrc16Of(const std::int32_t* values, std::int32_t n);
std::uint16_t ModbusCrc16Of(const std::uint8_t* bytes, std::int32_t n);

// A checksum travels low byte first, in the two entries that follow what it covers: a frame's
// request or reply bytes, or the coefficient block's bytes 1 to 65. The entries are bytes or
// FrameBuffer's 32-bit entries holding byte values.

// Puts crc into at[0] (low byte) and at[1] (high byte).
template <typename T> void StoreCrc(T* at, std::uint16_t crc) {
    at[0] = static_cast<T>(crc & 0xFFu);
    at[1] = static_cast<T>(crc >> 8);
}

// True when at[0] and at[1] hold crc, low byte first.
template <typename T> bool CrcStored(const T* at, std::uint16_t crc) {
    return at[0] == static_cast<T>(crc & 0xFFu) && at[1] == static_cast<T>(crc >> 8);
}

// Appends the checksum of a frame's bytes to them.
void AppendModbusCrc(std::vector<std::uint8_t>& frame);
void AppendModbusCrc(std::string& frame);

// True when a frame of n bytes (at least 3) ends with the checksum of the bytes before it.
bool ModbusCrcMatches(const std::uint8_t* frame, std::size_t n);
bool ModbusCrcMatches(const std::string& frame);
