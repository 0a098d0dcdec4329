#pragma once
// The coefficient block that the simulated adapter keeps: 16 slots of 4 bytes, held here as a 68-byte
// image (bytes 4k..4k+3 hold slot k, bytes 0..3 are always 0), the way the program lays out its images.
//
// The simulator is the adapter the program is tested against, so it keeps its own account of the
// adapter's registers, its slots and its device float instead of taking the program's (coef/DeviceMap.h,
// coef/CoefBlock.h): a slip in the program's map or float then shows in every test that goes through the
// simulator, rather than moving the simulator along with it. Only the checksum is shared (coef/Crc.h): it
// is the standard Modbus CRC-16, pinned by its known answers in the tests and judged by a bit-by-bit
// reference in the fuzz targets.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using TSimSlot = std::array<std::uint8_t, 4>;
using TSimImage = std::array<std::uint8_t, 68>;

// The adapter's registers: the coefficient block, slot k (1..16) in registers 255 + 2k and 256 + 2k;
// the translation switch; the adapter's address.
inline constexpr int kSimSlotCount = 16;
constexpr std::uint16_t SimSlotRegister(int k) {
    return static_cast<std::uint16_t>(255 + 2 * k);
}
inline constexpr std::uint16_t kSimFirstBlockRegister = 257;
inline constexpr std::uint16_t kSimLastBlockRegister = 288;
inline constexpr std::uint16_t kSimTranslationRegister = 373;
inline constexpr std::uint16_t kSimAddressRegister = 375;

// Device float: an IEEE-754 single, low register first (D0 = F1, D1 = F0, D2 = F3, D3 = F2), with the
// lowest mantissa bit cleared as the program writes it.
TSimSlot EncodeSimFloat(double value);

// The block checksum: Modbus CRC-16 over image bytes 1..65.
std::uint16_t SimBlockChecksum(const TSimImage& image);

// Puts the end marker (FF 00) into slot 16 and the block checksum after it (low byte first).
void SealSimImage(TSimImage& image);

// Bytes as people read them in the line logs: upper-case hexadecimal pairs separated by spaces.
std::string SimHexText(const std::uint8_t* bytes, std::size_t n);

// A block as a freshly calibrated adapter holds it:
//   slots 1..4   channel 1: 20 mA = 16.0, 4 mA = 0.0, uncorrected currents 16.0123 and 3.9876
//   slots 5..8   channel 2: 20 mA = 85.0, 4 mA = -40.0 (stored plus 100: 185.0 and 60.0),
//                uncorrected currents 16.0045 and 4.0021
//   slots 9..12  channel 3: 20 mA = 250.0, 4 mA = 0.0, uncorrected currents 15.9987 and 3.9992
//   slot 13      factory number 101001 (shown "0101001")
//   slot 14      written at 14:05:10 on 3 July 2012 (packed 40E370A5)
//   slot 15      the given address in D1
//   slot 16      FF 00 and the block checksum
TSimImage DefaultSimImage(std::uint8_t address);

inline constexpr std::int32_t kSimDefaultFactoryNumber = 101001;
inline constexpr std::uint32_t kSimDefaultRecordDate = 0x40E370A5u;
