#include "link/ModbusUnit.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "coef/CoefBlock.h"
#include "coef/Crc.h"
#include "coef/DeviceMap.h"
#include "link/ComPort.h"
#include "link/QuorbData.h"
#include "link/WaitTimer.h"

namespace {
constexpr std::int32_t kFrameBufferSize = 100;
constexpr int kCollectPolls = 300;
constexpr std::int32_t kQuietMs = 800;
constexpr int kMaxReceptions = 300;

std::uint8_t high(std::uint16_t v) {
    return static_cast<std::uint8_t>(v >> 8);
}
std::uint8_t low(std::uint16_t v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}
std::uint8_t replyByte(const std::string& reply, std::size_t i) {
    return static_cast<std::uint8_t>(reply[i]);
}

class TSteadyMessageClock final : public TMessageClock {
public:
    TTime Now() override { return std::chrono::steady_clock::now(); }
    void WaitForMessages(TTime until) override { ThreadWaitTimer().SleepUntil(until); }
};
} // namespace

TWaitTimer& ThreadWaitTimer() {
    // A timer serves one thread at a time; each thread that waits on this clock has its own.
    thread_local TWaitTimer timer;
    return timer;
}

TMessageClock& SteadyMessageClock() {
    static TSteadyMessageClock clock;
    return clock;
}

TModbusExchange::TModbusExchange(TQuorbDataModule& dataModule, TCoefBlock& block, TMessageClock& clock)
    : dataModule_(dataModule), block_(block), clock_(clock) {}

std::uint16_t TModbusExchange::ModbusCrc16(std::int32_t n) const {
    if (n > kFrameBufferSize) {
        n = kFrameBufferSize;
    }
    return ModbusCrc16Of(FrameBuffer.data(), n);
}

void TModbusExchange::SendFrame(std::int32_t n) {
    std::string bytes(static_cast<std::size_t>(n), '\0');
    for (std::int32_t i = 0; i < n; ++i) {
        bytes[static_cast<std::size_t>(i)] =
            static_cast<char>(FrameBuffer[static_cast<std::size_t>(i)] & 0xFF);
    }
    // The count written is not looked at: a short write shows up as a missing reply.
    dataModule_.ComPort.WriteBytes(bytes.data(), n);
}

void TModbusExchange::DiscardInput() {
    TComPort& port = dataModule_.ComPort;
    // On a closed port the request's write is what fails, with the port's own message.
    if (!port.Connected()) {
        return;
    }
    std::string dropped;
    for (std::int32_t waiting = port.BytesWaiting(); waiting > 0; waiting = port.BytesWaiting()) {
        std::string chunk;
        port.ReadBytes(chunk, waiting);
        if (chunk.empty()) {
            break;
        }
        dropped += chunk;
    }
    if (!dropped.empty() && Discarded) {
        Discarded(dropped);
    }
}

void TModbusExchange::FrameAndSend(const std::vector<std::uint8_t>& request) {
    DiscardInput();
    const auto n = static_cast<std::int32_t>(request.size());
    for (std::size_t i = 0; i < request.size(); ++i) {
        FrameBuffer[i] = request[i];
    }
    StoreCrc(&FrameBuffer[static_cast<std::size_t>(n)], ModbusCrc16(n));
    lastRequest_.assign(request.begin(), request.end());
    lastRequest_ += static_cast<char>(FrameBuffer[static_cast<std::size_t>(n)]);
    lastRequest_ += static_cast<char>(FrameBuffer[static_cast<std::size_t>(n) + 1]);
    SendFrame(n + 2);
}

void TModbusExchange::DelayWithMessages(std::int32_t ms) {
    // The wait is over once more than ms whole milliseconds have passed.
    const TMessageClock::TTime end =
        clock_.Now() + std::chrono::milliseconds(static_cast<std::int64_t>(ms) + 1);
    do {
        clock_.WaitForMessages(end);
    } while (clock_.Now() < end);
}

std::int32_t TModbusExchange::AppendWaiting() {
    TComPort& port = dataModule_.ComPort;
    std::string chunk;
    const std::int32_t waiting = port.BytesWaiting();
    port.ReadBytes(chunk, waiting);
    ReplyText += chunk;
    return waiting;
}

void TModbusExchange::CollectReply() {
    ReplyText.clear();
    for (int poll = 0; poll < kCollectPolls; ++poll) {
        AppendWaiting();
    }
}

void TModbusExchange::CollectReplyUntilQuiet(std::int32_t waitingBeforeRequest) {
    ReplyText.clear();
    TComPort& port = dataModule_.ComPort;
    const TStopEvent* stop = dataModule_.StopEvent.get();
    // Stopped already: the first wait would end at once with no events, and nothing is read.
    if (stop != nullptr && stop->IsSignalled()) {
        return;
    }
    TComEvents events{evRxChar};
    int receptions = 0;
    // A quick adapter may have answered before the first wait begins, and bytes may arrive between one
    // reading and the next wait; a wait does not end on bytes already waiting, so those are taken up
    // here rather than left behind. The bytes that were waiting before the request was sent stand ahead
    // of the answer but are no answer by themselves.
    const auto answered = [&] {
        return static_cast<std::int32_t>(ReplyText.size()) > std::max<std::int32_t>(waitingBeforeRequest, 0);
    };
    const auto takeWaiting = [&](bool counted) {
        const bool took = AppendWaiting() > 0;
        if (took || counted) {
            ++receptions;
        }
        return took;
    };
    if (AppendWaiting() > 0 && answered()) {
        ++receptions;
    }
    while (receptions < kMaxReceptions) {
        events = TComEvents{evRxChar};
        try {
            port.WaitForEvent(events, stop, kQuietMs);
        } catch (const std::exception&) {
            // A failed wait is passed over (the events keep their previous value), unless the device has
            // gone: the port has closed itself and its error is the one to report.
            if (!port.Connected()) {
                throw;
            }
        }
        if (stop != nullptr && stop->IsSignalled()) {
            break; // what was read so far is the reply
        }
        const bool received = events.Contains(evRxChar);
        const bool tookLate = takeWaiting(received);
        if (!received && !tookLate) {
            break; // quiet for the whole wait
        }
    }
    if (!answered()) {
        ReplyText.clear();
    }
}

void TModbusExchange::CheckReply() {
    const auto len = static_cast<std::int32_t>(ReplyText.size());
    if (len < 3) {
        ExchangeState = esNoReply;
        return;
    }
    // A reply too long for FrameBuffer cannot be one of ours: judged a checksum failure.
    if (len - 2 > kFrameBufferSize) {
        ExchangeState = esBadChecksum;
        return;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(ReplyText.data());
    std::copy(bytes, bytes + len - 2, FrameBuffer.begin());
    if (!CrcStored(bytes + len - 2, ModbusCrc16(len - 2))) {
        ExchangeState = esBadChecksum;
    }
}

void TModbusExchange::IdentifyDevice() {
    using namespace rq7map;
    FrameAndSend({kSlaveAddress, kReadHoldingRegisters, high(kIdentifyRegister), low(kIdentifyRegister),
                  high(kIdentifyCount), low(kIdentifyCount)});
    DelayWithMessages(50);
    CollectReply();
}

void TModbusExchange::ReadSlot() {
    using namespace rq7map;
    const std::uint16_t reg = SlotRegister(SlotIndex);
    FrameAndSend({kSlaveAddress, kReadHoldingRegisters, high(reg), low(reg), high(kRegistersPerSlot),
                  low(kRegistersPerSlot)});
    DelayWithMessages(100);
    CollectReply();
    DelayWithMessages(20);
    JudgeSlotReply();
}

void TModbusExchange::JudgeSlotReply() {
    ExchangeState = esAccepted;
    CheckReply();
    if (ExchangeState != esAccepted) {
        return;
    }
    // An exception reply, or one too short to carry four data bytes ahead of its checksum, is refused:
    // nothing is filed, and the window retries as for any failed read.
    if ((replyByte(ReplyText, 1) & 0x80) != 0 || ReplyText.size() < 9) {
        ExchangeState = esRefusedReply;
        return;
    }
    block_.StoreSlotReply(SlotIndex, {replyByte(ReplyText, 3), replyByte(ReplyText, 4),
                                      replyByte(ReplyText, 5), replyByte(ReplyText, 6)});
}

void TModbusExchange::WriteSlot() {
    using namespace rq7map;
    const std::uint16_t reg = SlotRegister(SlotIndex);
    const auto k = static_cast<std::size_t>(SlotIndex) * 4;
    const TCoefImageBytes& image = block_.CoefImage;
    FrameAndSend({kSlaveAddress, kWriteRegisters, high(reg), low(reg), high(kRegistersPerSlot),
                  low(kRegistersPerSlot), static_cast<std::uint8_t>(2 * kRegistersPerSlot), image.at(k),
                  image.at(k + 1), image.at(k + 2), image.at(k + 3)});
    DelayWithMessages(80);
    CollectReply();
    DelayWithMessages(20);
}

void TModbusExchange::WriteRegister(std::uint16_t reg, std::uint32_t value) {
    const auto v = static_cast<std::uint16_t>(value & 0xFFFF);
    FrameAndSend({rq7map::kSlaveAddress, rq7map::kWriteRegister, high(reg), low(reg), high(v), low(v)});
    DelayWithMessages(50);
    CollectReply();
    DelayWithMessages(10);
}

bool TModbusExchange::WriteConfirmed() const {
    // Function, register and count (or value) of the request: bytes 1..5, echoed by the confirmation.
    constexpr std::size_t kEchoed = 5;
    constexpr std::size_t kConfirmation = 8;
    if (lastRequest_.size() < 1 + kEchoed) {
        return false;
    }
    const std::string_view echo(lastRequest_.data() + 1, kEchoed);
    const std::string_view reply(ReplyText);
    // A stray byte may stand ahead of the confirmation: any whole frame in the collection counts.
    for (std::size_t at = 0; at + kConfirmation <= reply.size(); ++at) {
        if (reply.substr(at + 1, kEchoed) == echo &&
            ModbusCrcMatches(reinterpret_cast<const std::uint8_t*>(reply.data() + at), kConfirmation)) {
            return true;
        }
    }
    return false;
}

bool TModbusExchange::TryBegin() {
    if (busy_) {
        return false;
    }
    busy_ = true;
    for (const auto& listener : busyListeners_) {
        listener(true);
    }
    return true;
}

void TModbusExchange::End() {
    busy_ = false;
    for (const auto& listener : busyListeners_) {
        listener(false);
    }
}

void TModbusExchange::AddBusyListener(std::function<void(bool)> listener) {
    busyListeners_.push_back(std::move(listener));
}
