#pragma once
// Where the adapter keeps what the program reads and writes: its holding registers, the slots of the
// coefficient block and the slots whose content is not a device float. One map for the exchange, the
// coefficient block, the windows, the simulator and the fuzz targets.

#include <cstdint>

namespace rq7map {

// Every request goes to this slave address; the adapter answers with its own address in byte 0.
inline constexpr std::uint8_t kSlaveAddress = 0;

// Modbus function codes the program uses.
inline constexpr std::uint8_t kReadHoldingRegisters = 3;
inline constexpr std::uint8_t kWriteRegister = 6;
inline constexpr std::uint8_t kWriteRegisters = 16;

// Registers 0..6 answer the identify request.
inline constexpr std::uint16_t kIdentifyRegister = 0;
inline constexpr std::uint16_t kIdentifyCount = 7;
// Writing 1 here switches the adapter into byte-by-byte translation.
inline constexpr std::uint16_t kTranslationRegister = 373;
inline constexpr std::uint16_t kTranslationOn = 1;
// The adapter's address.
inline constexpr std::uint16_t kAddressRegister = 375;

// The coefficient block: 16 slots of two registers (four bytes) each.
inline constexpr int kSlotCount = 16;
inline constexpr std::uint16_t kRegistersPerSlot = 2;
// Slot k (1..16) starts at register 255 + 2k: slot 1 at 257, slot 16 at 287.
constexpr std::uint16_t SlotRegister(int k) {
    return static_cast<std::uint16_t>(255 + 2 * k);
}
inline constexpr std::uint16_t kFirstBlockRegister = SlotRegister(1);
inline constexpr std::uint16_t kLastBlockRegister = SlotRegister(kSlotCount) + 1;

// Slots 1..12 hold device floats: per channel the limits at 20 mA and at 4 mA, then the uncorrected
// currents at the 16 mA and 4 mA codes.
inline constexpr int kValueSlots = 12;
// The slots whose content is not a device float.
inline constexpr int kFactoryNumberSlot = 13;
inline constexpr int kRecordDateSlot = 14;
inline constexpr int kAddressSlot = 15;
inline constexpr int kEndSlot = 16; // end marker and block checksum

// Channel 2's limits (slots 5 and 6) are kept this much above the values shown.
inline constexpr double kChannel2Offset = 100.0;
constexpr bool IsOffsetSlot(int k) {
    return k == 5 || k == 6;
}
// A slot holding a channel limit (a parameter value at 20 mA or 4 mA): 1, 2, 5, 6, 9, 10.
constexpr bool IsLimitSlot(int k) {
    return k >= 1 && k <= kValueSlots && (k - 1) % 4 < 2;
}

} // namespace rq7map
