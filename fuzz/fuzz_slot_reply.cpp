// The judging and filing of a reply to a slot read, on arbitrary reply bytes.
// Input: bits 0-3 of byte 0 choose the slot (1 to 16); the rest is the reply as it came off the line,
// followed by its checksum when bit 4 of byte 0 is set (so replies with a good checksum are explored as
// freely as any others).
// Invariants: the verdict is 0, 1, 5 or 7 and is the one the reply deserves; the slot's bytes and the
// kept values change only when the reply is accepted, and then exactly as the slot's content says;
// nothing is read or written beyond the reply or FrameBuffer (the sanitizers and the checked
// standard containers watch that).

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "coef/CoefBlock.h"
#include "coef/Crc.h"
#include "coef/DeviceMap.h"
#include "fuzz/FuzzSupport.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"

namespace {

std::int32_t ExpectedVerdict(const std::string& reply) {
    if (reply.size() < 3) {
        return esNoReply;
    }
    if (reply.size() - 2 > 100 || !fuzz::ChecksumHolds(reply)) {
        return esBadChecksum;
    }
    if ((static_cast<unsigned char>(reply[1]) & 0x80) != 0 || reply.size() < 9) {
        return esRefusedReply;
    }
    return esAccepted;
}

// The device float of four slot bytes: the single F3 F2 F1 F0 stands as D0 = F1, D1 = F0, D2 = F3,
// D3 = F2, and exponents 0 and 255 keep the leading one like any other.
double ReferenceDeviceFloat(const TSlotBytes& d) {
    if (d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 0) {
        return 0.0;
    }
    const std::uint32_t single = (std::uint32_t{d[2]} << 24) | (std::uint32_t{d[3]} << 16) |
                                 (std::uint32_t{d[0]} << 8) | std::uint32_t{d[1]};
    const int exponent = static_cast<int>((single >> 23) & 0xFF);
    const double mantissa = static_cast<double>((single & 0x7FFFFF) | 0x800000);
    const double magnitude = std::ldexp(mantissa, exponent - 127 - 23);
    return (single >> 31) != 0 ? -magnitude : magnitude;
}

std::string ReferenceDateText(std::uint32_t p) {
    char text[64];
    std::snprintf(text, sizeof text, "%u:%u  %u.%u.%u", (p >> 11) & 0x1Fu, (p >> 5) & 0x3Fu,
                  (p >> 16) & 0x1Fu, (p >> 21) & 0x0Fu, ((p >> 25) & 0x7Fu) + 1980u);
    return text;
}

bool SameDouble(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    static TQuorbDataModule dataModule; // its port is never opened: judging does not touch it
    TCoefBlock block;
    // Earlier reads left recognisable values behind.
    for (std::size_t i = 0; i < block.ReadImage.size(); ++i) {
        block.ReadImage[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    block.LastValue = 12.5;
    block.FactoryNumber = 777;
    block.RecordDateText = "earlier";
    const TCoefBlock before = block;

    TModbusExchange exchange(dataModule, block);
    const int slot = 1 + (data[0] & 0x0F);
    std::string reply(fuzz::AsText(data + 1, size - 1));
    if ((data[0] & 0x10) != 0) {
        AppendModbusCrc(reply);
    }
    exchange.SlotIndex = slot;
    exchange.ReplyText = reply;
    exchange.ExchangeState = 42; // whatever an earlier operation left

    exchange.JudgeSlotReply();

    const std::int32_t verdict = exchange.ExchangeState;
    const auto context = [&] {
        return " (slot " + std::to_string(slot) + ", reply " + fuzz::Hex(reply) + ")";
    };
    FUZZ_CHECK(verdict == esAccepted || verdict == esNoReply || verdict == esBadChecksum ||
                   verdict == esRefusedReply,
               "verdict " + std::to_string(verdict) + " is none of 0, 1, 5, 7" + context());
    FUZZ_CHECK(verdict == ExpectedVerdict(reply), "verdict " + std::to_string(verdict) + ", expected " +
                                                      std::to_string(ExpectedVerdict(reply)) + context());
    FUZZ_CHECK(exchange.ReplyText == reply, "the reply was changed" + context());
    FUZZ_CHECK(exchange.SlotIndex == slot, "SlotIndex was changed" + context());

    const std::size_t at = static_cast<std::size_t>(slot) * 4;
    for (std::size_t i = 0; i < block.ReadImage.size(); ++i) {
        if (verdict == esAccepted && i >= at && i < at + 4) {
            FUZZ_CHECK(block.ReadImage[i] == static_cast<std::uint8_t>(reply[3 + i - at]),
                       "slot byte " + std::to_string(i) + " is not reply byte " + std::to_string(3 + i - at) +
                           context());
        } else {
            FUZZ_CHECK(block.ReadImage[i] == before.ReadImage[i],
                       "ReadImage byte " + std::to_string(i) + " changed" + context());
        }
    }

    if (verdict != esAccepted) {
        FUZZ_CHECK(SameDouble(block.LastValue, before.LastValue) &&
                       block.FactoryNumber == before.FactoryNumber &&
                       block.RecordDateText == before.RecordDateText,
                   "a refused reply changed the kept values" + context());
        return 0;
    }
    const TSlotBytes d{static_cast<std::uint8_t>(reply[3]), static_cast<std::uint8_t>(reply[4]),
                       static_cast<std::uint8_t>(reply[5]), static_cast<std::uint8_t>(reply[6])};
    const std::uint32_t packed = std::uint32_t{d[0]} | (std::uint32_t{d[1]} << 8) |
                                 (std::uint32_t{d[2]} << 16) | (std::uint32_t{d[3]} << 24);
    using namespace rq7map;
    const bool notFloat = slot == kFactoryNumberSlot || slot == kRecordDateSlot || slot == kAddressSlot;
    const double lastValue = notFloat ? before.LastValue : ReferenceDeviceFloat(d);
    const std::int32_t factoryNumber =
        slot == kFactoryNumberSlot ? static_cast<std::int32_t>(packed) : before.FactoryNumber;
    const std::string dateText = slot == kRecordDateSlot ? ReferenceDateText(packed) : before.RecordDateText;
    FUZZ_CHECK(SameDouble(block.LastValue, lastValue) && std::isfinite(block.LastValue),
               "LastValue " + std::to_string(block.LastValue) + ", expected " + std::to_string(lastValue) +
                   context());
    FUZZ_CHECK(block.FactoryNumber == factoryNumber, "FactoryNumber " + std::to_string(block.FactoryNumber) +
                                                         ", expected " + std::to_string(factoryNumber) +
                                                         context());
    FUZZ_CHECK(block.RecordDateText == dateText,
               "RecordDateText \"" + block.RecordDateText + "\", expected \"" + dateText + "\"" + context());
    return 0;
}
