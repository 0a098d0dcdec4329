// The judging of replies to the identify request and to writes, on arbitrary reply bytes: WriteConfirmed
// (the write sequences' test of a slot or register write) and CheckReply (the checksum verdict).
// Invariants: WriteConfirmed holds exactly for a reply of at least 3 bytes with a valid checksum and
// bit 7 of byte 1 clear; CheckReply gives 1 below 3 bytes, 5 for a bad checksum or a reply too long for
// FrameBuffer, and otherwise leaves the preset verdict alone; neither changes the reply, and
// WriteConfirmed leaves ExchangeState alone.
// Input: byte 0 is a mode, the rest the reply; when bit 0 of the mode is set, the reply's checksum is
// appended to it.

#include <cstdint>
#include <string>

#include "coef/CoefBlock.h"
#include "coef/Crc.h"
#include "fuzz/FuzzSupport.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"

namespace {

constexpr std::int32_t kPresets[] = {esAccepted, 3, -1};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TQuorbDataModule dataModule; // its port is never opened: judging does not touch it
    static TCoefBlock block;
    TModbusExchange exchange(dataModule, block);
    if (size == 0) {
        return 0;
    }
    std::string reply(fuzz::AsText(data + 1, size - 1));
    if ((data[0] & 1) != 0) {
        AppendModbusCrc(reply);
    }
    const auto context = [&] { return " (reply " + fuzz::Hex(reply) + ")"; };

    const bool checksum = fuzz::ChecksumHolds(reply);
    const bool exception = reply.size() >= 2 && (static_cast<unsigned char>(reply[1]) & 0x80) != 0;

    exchange.ReplyText = reply;
    exchange.ExchangeState = 42;
    const bool confirmed = exchange.WriteConfirmed();
    FUZZ_CHECK(confirmed == (reply.size() >= 3 && checksum && !exception),
               std::string("WriteConfirmed ") + (confirmed ? "true" : "false") + context());
    FUZZ_CHECK(exchange.ExchangeState == 42, "WriteConfirmed changed ExchangeState" + context());
    FUZZ_CHECK(exchange.ReplyText == reply, "WriteConfirmed changed the reply" + context());

    for (const std::int32_t preset : kPresets) {
        exchange.ExchangeState = preset;
        exchange.CheckReply();
        std::int32_t expected = preset;
        if (reply.size() < 3) {
            expected = esNoReply;
        } else if (reply.size() - 2 > 100 || !checksum) {
            expected = esBadChecksum;
        }
        FUZZ_CHECK(exchange.ExchangeState == expected,
                   "CheckReply gave " + std::to_string(exchange.ExchangeState) + " after " +
                       std::to_string(preset) + ", expected " + std::to_string(expected) + context());
        FUZZ_CHECK(exchange.ReplyText == reply, "CheckReply changed the reply" + context());
    }
    // FrameBuffer holds byte values only.
    for (const std::int32_t entry : exchange.FrameBuffer) {
        FUZZ_CHECK(entry >= 0 && entry <= 255, "FrameBuffer entry " + std::to_string(entry) + context());
    }
    return 0;
}
