// The judging of replies to writes and to the identify request, on arbitrary reply bytes: WriteConfirmed
// (the write sequences' test of a slot or register write) and CheckReply (the checksum verdict).
// Invariants: WriteConfirmed holds exactly when the reply holds, at any place, an 8-byte frame whose
// bytes 1..5 echo those of the request just sent (function, register, count or value) and whose last
// two are its checksum; CheckReply gives 1 below 3 bytes, 5 for a bad checksum or a reply too long for
// FrameBuffer, and otherwise leaves the preset verdict alone; neither changes the reply, and
// WriteConfirmed leaves ExchangeState alone.
// Input: byte 0 is a mode, byte 1 chooses the request (a slot write, or with bit 1 of the mode the
// address register) and where an echo goes, the rest is the reply. Bit 0 of the mode appends the
// reply's checksum; bit 2 puts a sound echo of the request (with the reply's first byte as its
// address) into the reply, so that confirmations among noise are reached.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "coef/Crc.h"
#include "coef/DeviceMap.h"
#include "fuzz/FuzzSupport.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "link/SerialBackend.h"

namespace {

constexpr std::int32_t kPresets[] = {esAccepted, 3, -1};

// A device that takes every write and never has a byte waiting: the request goes out, nothing else.
class TQuietDevice final : public TSerialDevice {
public:
    void SetQueueSizes(std::int32_t, std::int32_t) override {}
    void SetLineSettings(const TLineSettings&) override {}
    void SetTimeouts(const TTimeoutSettings&) override {}
    void AbortPending() override {}
    std::int32_t Write(const void*, std::int32_t count) override { return count; }
    std::int32_t Waiting() override { return 0; }
    std::int32_t Read(char*, std::int32_t) override { return 0; }
    void WaitForEvent(TComEvents& events, const TStopEvent*, std::int32_t) override { events = TComEvents{}; }
};

struct TRig {
    TQuorbDataModule DataModule{[](const std::string&) { return std::make_unique<TQuietDevice>(); }};
    TCoefBlock Block;
    TModbusExchange Exchange{DataModule, Block};
    TRig() {
        DataModule.ComPort.SetPort("COM7");
        DataModule.ComPort.OpenPort();
    }
};

TRig& Rig() {
    static TRig rig;
    return rig;
}

// The oracle: an 8-byte frame anywhere in the reply echoing request bytes 1..5, with its checksum.
bool HoldsEcho(const std::string& reply, const std::string& request) {
    for (std::size_t at = 0; at + 8 <= reply.size(); ++at) {
        if (reply.compare(at + 1, 5, request, 1, 5) == 0 && fuzz::ChecksumHolds(reply.substr(at, 8))) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    TModbusExchange& exchange = Rig().Exchange;
    const std::uint8_t mode = data[0];
    const std::uint8_t selector = data[1];
    std::vector<std::uint8_t> request;
    if ((mode & 2) != 0) {
        request = {0, rq7map::kWriteRegister, 0x01, 0x77, 0, selector};
    } else {
        const std::uint16_t reg = rq7map::SlotRegister(selector % rq7map::kSlotCount + 1);
        request = {0,
                   rq7map::kWriteRegisters,
                   static_cast<std::uint8_t>(reg >> 8),
                   static_cast<std::uint8_t>(reg & 0xFF),
                   0,
                   2,
                   4,
                   selector,
                   0,
                   0x41,
                   0x80};
    }
    exchange.FrameAndSend(request);
    const std::string sent = exchange.LastRequest();

    std::string reply(fuzz::AsText(data + 2, size - 2));
    if ((mode & 1) != 0) {
        AppendModbusCrc(reply);
    }
    if ((mode & 4) != 0) {
        std::string echo = (reply.empty() ? std::string(1, '\x01') : reply.substr(0, 1)) + sent.substr(1, 5);
        AppendModbusCrc(echo);
        reply.insert(selector % (reply.size() + 1), echo);
    }
    const auto context = [&] { return " (request " + fuzz::Hex(sent) + ", reply " + fuzz::Hex(reply) + ")"; };

    const bool checksum = fuzz::ChecksumHolds(reply);
    exchange.ReplyText = reply;
    exchange.ExchangeState = 42;
    const bool confirmed = exchange.WriteConfirmed();
    FUZZ_CHECK(confirmed == HoldsEcho(reply, sent),
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
