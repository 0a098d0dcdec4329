#include "link/Translation.h"

#include "coef/DeviceMap.h"
#include "link/ModbusUnit.h"

namespace {
std::uint8_t HighByte(std::uint16_t value) {
    return static_cast<std::uint8_t>(value >> 8);
}
std::uint8_t LowByte(std::uint16_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
} // namespace

bool SwitchToByteTranslation(TModbusExchange& exchange) {
    // Bytes left over from an earlier exchange are not the adapter's answer to this request: the
    // request drops them before it goes out.
    // The translation register := 1 switches the adapter into byte-by-byte translation.
    using namespace rq7map;
    exchange.FrameAndSend({kSlaveAddress, kWriteRegister, HighByte(kTranslationRegister),
                           LowByte(kTranslationRegister), HighByte(kTranslationOn), LowByte(kTranslationOn)});
    exchange.CollectReplyUntilQuiet(0);
    exchange.ExchangeState = static_cast<std::int32_t>(exchange.ReplyText.size());
    exchange.CheckReply();
    return exchange.ExchangeState != esNoReply && exchange.ExchangeState != esBadChecksum;
}
