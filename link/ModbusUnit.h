#pragma once
// The Modbus RTU exchange with the adapter and the four device operations built on it.
// One exchange runs at a time; its state lives here for the whole run.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TQuorbDataModule;
class TCoefBlock;

// Verdicts left in ExchangeState.
enum : std::int32_t {
    esAccepted = 0,     // reply accepted
    esNoReply = 1,      // fewer than 3 bytes
    esBadChecksum = 5,  // checksum mismatch (also a reply longer than FrameBuffer)
    esRefusedReply = 7, // slot read: an exception reply, or a reply too short to hold the data
};

// The tick count that DelayWithMessages reads and the message pump it keeps running while it waits. The
// program's runs the windows' messages (ui/); SteadyMessageClock() has no messages to run and sleeps.
class TWaitTimer;

class TMessageClock {
public:
    using TTime = std::chrono::steady_clock::time_point;
    virtual ~TMessageClock() = default;
    virtual TTime Now() = 0;
    // Processes the user-interface messages that are pending, then those that come before until. Returns
    // at until, or earlier (for instance once a message has been processed).
    virtual void WaitForMessages(TTime until) = 0;
};

// The steady clock, with no user interface to keep running: a wait sleeps, on the calling thread's
// ThreadWaitTimer(), so it ends within a millisecond of its end on Windows as well.
TMessageClock& SteadyMessageClock();
// The timer the steady clock's waits sleep on in the calling thread; made at the first call.
TWaitTimer& ThreadWaitTimer();

class TModbusExchange {
public:
    TModbusExchange(TQuorbDataModule& dataModule, TCoefBlock& block,
                    TMessageClock& clock = SteadyMessageClock());
    TModbusExchange(const TModbusExchange&) = delete;
    TModbusExchange& operator=(const TModbusExchange&) = delete;

    // Shared exchange state.
    std::array<std::int32_t, 100> FrameBuffer{};
    std::string ReplyText;
    std::int32_t ExchangeState = 0;
    std::int32_t SlotIndex = 0;

    // Checksum of FrameBuffer entries 0..n-1.
    std::uint16_t ModbusCrc16(std::int32_t n) const;
    // Writes FrameBuffer entries 0..n-1 (low bytes) to the port.
    void SendFrame(std::int32_t n);
    // Puts the request into FrameBuffer, appends its checksum and sends it. Bytes waiting in the port's
    // input are taken out first and dropped (handed to Discarded): whatever came before the request
    // (a late reply to an earlier one, noise) is no answer to it.
    void FrameAndSend(const std::vector<std::uint8_t>& request);
    // The bytes dropped before a request, when there were any (the command line's trace shows them).
    std::function<void(const std::string&)> Discarded;
    // The last frame sent, with its checksum.
    const std::string& LastRequest() const { return lastRequest_; }
    // Returns once more than ms milliseconds have passed on the clock (ms + 1 at least), having kept the
    // user interface running meanwhile (its messages are processed at least once).
    void DelayWithMessages(std::int32_t ms);
    // 300 polls of the port's input into ReplyText.
    void CollectReply();
    // Collects until the line has been quiet for 800 ms (or StopEvent, or 300 receptions).
    // waitingBeforeRequest: the bytes that were waiting in the port's input before the request was
    // sent. They stand at the head of ReplyText when an answer follows them; with nothing after them
    // ReplyText ends empty, as they are no answer by themselves.
    void CollectReplyUntilQuiet(std::int32_t waitingBeforeRequest);
    // Judges ReplyText: 1 when shorter than 3 bytes, 5 on a checksum mismatch, else unchanged.
    void CheckReply();

    // Device operations (slave address 0).
    void IdentifyDevice();
    void ReadSlot();
    // Judges ReplyText as a reply to a read of slot SlotIndex and, when it is accepted, files the slot's
    // data bytes: ReadSlot's steps after the collection.
    void JudgeSlotReply();
    void WriteSlot();
    void WriteRegister(std::uint16_t reg, std::uint32_t value);
    // True when ReplyText holds the adapter's confirmation of the write just sent (WriteSlot,
    // WriteRegister): a frame with a valid checksum and the request's function without the exception
    // bit, echoing its start register and count (function 16) or its register and value (function 6).
    // Its first byte, the adapter's own address, is not compared. Anything else, a confirmation of an
    // earlier request included, is none. ExchangeState is not touched.
    bool WriteConfirmed() const;

    // Guard: one device command at a time. TryBegin refuses while another command runs.
    bool Busy() const { return busy_; }
    bool TryBegin();
    void End();
    // Called with true when a command starts and false when it ends, so windows can disable
    // the commands that would talk to the adapter.
    void AddBusyListener(std::function<void(bool)> listener);

    TQuorbDataModule& DataModule() { return dataModule_; }
    TCoefBlock& Block() { return block_; }

private:
    // Reads the bytes waiting in the port's input onto ReplyText; returns how many there were.
    std::int32_t AppendWaiting();

    // Takes the bytes waiting in the port's input out and hands them to Discarded.
    void DiscardInput();

    TQuorbDataModule& dataModule_;
    TCoefBlock& block_;
    TMessageClock& clock_;
    std::string lastRequest_;
    bool busy_ = false;
    std::vector<std::function<void(bool)>> busyListeners_;
};

// Holds the exchange for one device command; Acquired() is false when another command runs.
class TExchangeGuard {
public:
    explicit TExchangeGuard(TModbusExchange& exchange)
        : exchange_(exchange), acquired_(exchange.TryBegin()) {}
    ~TExchangeGuard() {
        if (acquired_) {
            exchange_.End();
        }
    }
    TExchangeGuard(const TExchangeGuard&) = delete;
    TExchangeGuard& operator=(const TExchangeGuard&) = delete;
    bool Acquired() const { return acquired_; }

private:
    TModbusExchange& exchange_;
    bool acquired_;
};
