// The port layer fed arbitrary bytes by the adapter simulator through a real pseudo-terminal: the
// program's port (the data module's settings) is opened once on the simulator's device; each input is
// sent as one unsolicited burst and read back with BytesWaiting and ReadBytes until all of it has come.
// Invariants: every byte arrives unchanged and in order (no byte eaten, doubled or translated by the
// line settings), nothing more arrives, the bytes arrive within a generous bound, and CheckReply judges
// them as their checksum says.

#include <chrono>
#include <cstdint>
#include <string>

#include "coef/CoefBlock.h"
#include "fuzz/FuzzSupport.h"
#include "link/ComPort.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "sim/Simulator.h"

namespace {

// A hang is a finding, not a slow input: the bytes of one burst pass a pseudo-terminal at once.
constexpr std::chrono::seconds kArrivalBound{10};
// Longest single wait for the next bytes; the loop re-checks the count after each.
constexpr std::int32_t kWaitSliceMs = 5;

struct TPortRig {
    TAdapterSimulator Sim;
    TQuorbDataModule DataModule;
    TCoefBlock Block;
    TModbusExchange Exchange{DataModule, Block};

    TPortRig() {
        DataModule.ComPort.SetPort(Sim.DevicePath());
        DataModule.ComPort.OpenPort();
    }
};

TPortRig& Rig() {
    static TPortRig rig;
    return rig;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TPortRig& rig = Rig();
    TComPort& port = rig.DataModule.ComPort;
    if (size == 0) {
        return 0;
    }
    const std::string sent(fuzz::AsText(data, size));
    const auto context = [&] { return " (sent " + fuzz::Hex(sent) + ")"; };
    FUZZ_CHECK(port.BytesWaiting() == 0, "bytes left over from an earlier input" + context());

    rig.Sim.SendRaw(TSimBytes(data, data + size));
    std::string received;
    std::string chunk;
    const auto deadline = std::chrono::steady_clock::now() + kArrivalBound;
    while (received.size() < sent.size()) {
        const std::int32_t waiting = port.BytesWaiting();
        if (waiting > 0) {
            const std::int32_t got = port.ReadBytes(chunk, waiting);
            FUZZ_CHECK(got == static_cast<std::int32_t>(chunk.size()) && got <= waiting,
                       "ReadBytes returned " + std::to_string(got) + " for " + std::to_string(chunk.size()) +
                           " bytes, " + std::to_string(waiting) + " waiting" + context());
            received += chunk;
            continue;
        }
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline, std::to_string(received.size()) + " of " +
                                                                    std::to_string(sent.size()) +
                                                                    " bytes arrived" + context());
        TComEvents events{evRxChar};
        port.WaitForEvent(events, nullptr, kWaitSliceMs);
    }
    FUZZ_CHECK(received == sent, "received " + fuzz::Hex(received) + context());
    FUZZ_CHECK(port.BytesWaiting() == 0, "more bytes than were sent" + context());
    rig.Sim.ClearLog();

    TModbusExchange& exchange = rig.Exchange;
    exchange.ReplyText = received;
    exchange.ExchangeState = esAccepted;
    exchange.CheckReply();
    std::int32_t expected = esAccepted;
    if (received.size() < 3) {
        expected = esNoReply;
    } else if (received.size() - 2 > 100 || !fuzz::ChecksumHolds(received)) {
        expected = esBadChecksum;
    }
    FUZZ_CHECK(exchange.ExchangeState == expected, "CheckReply gave " +
                                                       std::to_string(exchange.ExchangeState) +
                                                       ", expected " + std::to_string(expected) + context());
    return 0;
}
