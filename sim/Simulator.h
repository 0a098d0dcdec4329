#pragma once
// The RQ7 adapter simulator. It opens a pseudo-terminal in raw mode and runs the adapter on the master
// side in a thread of its own; the program (or a test) opens DevicePath(), the slave side, as its serial
// port, and may open and close it as often as it likes. The simulator itself never opens the slave, as no
// other program may hold a port the program is to use. SetLink makes a symbolic link to the device.
//
// The line can be hung up, as when the cable is pulled (HangUp, or the HangUp action of a rule): the
// simulator closes its side, so that every later call on the program's descriptor fails, and comes back
// at once on a new pseudo-terminal, whose path DevicePath() then gives and to which the link then leads.
//
// What the adapter answers (requests go to slave address 0 or to its own address, replies always carry
// its own address in byte 0; requests for other addresses are logged and left unanswered):
//   function 3  read holding registers: 0..6 (identification, 14 bytes), 257..288 (the coefficient
//               block, slot k in 255+2k and 256+2k), 373 (translation switch) and 375 (address); any
//               count of 1..125 registers that all exist. Reply: addr 03 N*2 data CRC.
//   function 16 write registers 257..288 (any count of 1..123 registers within the block, byte count
//               2*count); the bytes go into the block. Reply: addr 10 RH RL NH NL CRC.
//   function 6  write register 373 (value 1 turns translation mode on, any other value off) or 375 (the
//               adapter takes the low byte as its new address). Reply: the request echoed with the
//               address it had when the request came in.
//   Anything else is answered with an exception reply addr fn|80 code CRC: code 1 for an unknown
//   function, 2 for registers that do not exist, 3 for a bad count or byte count.
//   A frame with a wrong checksum gets no answer.
//
// Frames: functions 3 and 6 are 8 bytes long, function 16 is 9 bytes plus its byte count; a frame of any
// other function ends with a silence of kSimSilence. Bytes that do not start a frame with a good checksum
// are dropped one by one until one does (so stray bytes in front of a request are skipped at once); what
// is still incomplete after a silence is dropped. Dropped bytes are logged as one noise record.
//
// Misbehaviour is scripted with rules. Each request addressed to the adapter is checked against the
// rules in the order they were added; the first rule that matches and still has uses left decides:
//
//   sim.AddRule(TSimMatch::ReadSlot(2), TSimAction::Silent(), 2);     // slot 2: no answer, twice
//   sim.AddRule(TSimMatch::Any(), TSimAction::BadChecksum());          // next request: bad CRC
//   sim.AddRule(TSimMatch::WriteRegister(375), TSimAction::Exception(4), TSimRule::kAlways);
//   sim.ReplyOnce(TSimMatch::Identify(), {0x07, 0x03, 0x00});         // a custom reply, once
//   sim.SendRaw({0xAA, 0x55});                                          // unsolicited bytes, now
//   sim.AddRule(TSimMatch::ReadSlot(5), TSimAction::HangUp());         // the line goes at slot 5
//
// Whether the adapter carries out the request under a rule: Silent (also called LoseRequest), the first
// attempt of AnswerSecondAttempt, Exception, Flood, RawReply and HangUp model a request that never reached
// it (nothing is executed); BadChecksum, StrayBefore, Late, Truncated, LostReply and HoldReply model a reply
// spoiled on its way back (the request is carried out, so a slot write is stored). StoreWrongly models an
// adapter that acknowledges a write but keeps other bytes than it was sent; Notify answers normally and
// lets a test act at the moment a request arrives:
//
//   sim.AddRule(TSimMatch::WriteSlot(7), TSimAction::StoreWrongly(0), TSimRule::kAlways);
//   sim.AddRule(TSimMatch::WriteSlot(5), TSimAction::Notify([&] { stop.Signal(); }));
//
// HoldReply keeps the reply back until the next request addressed to the adapter arrives. That request is
// lost on the line: it is logged, as every whole frame is, but no rule and no random draw is spent on it,
// it is not carried out and not answered; the held reply is sent at that moment instead, so the program
// reads it as the answer to its next request. Slot 3's confirmation that comes late while slot 4's
// request is lost:
//
//   sim.AddRule(TSimMatch::WriteSlot(3), TSimAction::HoldReply());
//
// HoldReply(n) lets n requests be answered as usual first (the program's retry of slot 3, say) and
// replaces the one after them. A held reply is never sent while no further request comes, and goes with
// the line at a hang-up.
//
// For long runs against a line that misbehaves now and then, misbehaviour can also come at random:
// each request addressed to the adapter that no rule takes draws, from a generator seeded as asked (the
// same seed and the same requests give the same misbehaviour), whether its reply is lost, late or
// spoiled by noise:
//
//   sim.SetRandomMisbehaviour({.Seed = 7, .NoisePercent = 5, .LostPercent = 5, .LatePercent = 5});
//
// A lost, late or noisy reply is one spoiled on its way back: the request is carried out.
//
// All public members are thread-safe. The destructor stops the thread, dropping replies not yet sent.

#include "sim/SimBlock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using TSimBytes = std::vector<std::uint8_t>;
using TSimClock = std::chrono::steady_clock;

// The quiet time after which an incomplete frame is given up (and a frame of an unknown function ends).
inline constexpr std::chrono::milliseconds kSimSilence{5};

// Which requests a rule applies to.
struct TSimMatch {
    std::optional<std::uint8_t> Function;  // empty: any function
    std::optional<std::uint16_t> Register; // empty: any starting register (bytes 2 and 3 of the request)

    static TSimMatch Any() { return {}; }
    static TSimMatch Identify() { return {3, 0}; }
    static TSimMatch Read(std::uint16_t reg) { return {3, reg}; }
    static TSimMatch Write(std::uint16_t reg) { return {16, reg}; }
    static TSimMatch WriteRegister(std::uint16_t reg) { return {6, reg}; }
    static TSimMatch ReadSlot(int k) { return Read(SimSlotRegister(k)); }
    static TSimMatch WriteSlot(int k) { return Write(SimSlotRegister(k)); }

    bool Matches(const TSimBytes& request) const;
};

// What a rule does to a matching request.
struct TSimAction {
    enum class EKind {
        Silent,              // no answer
        AnswerSecondAttempt, // no answer to the first matching request, a normal answer to the next
        BadChecksum,         // the reply with its checksum spoiled
        Exception,           // an exception reply with Code
        StrayBefore,         // Bytes, then the reply
        Late,                // the reply after DelayMs
        Truncated,           // the first Count bytes of the reply
        Flood,               // Count bytes of noise instead of the reply
        RawReply,            // Bytes instead of the reply
        HangUp,              // no answer: the line is hung up and comes back on a new pseudo-terminal
        StoreWrongly,        // a write carried out with data byte Count (0-based) XORed with Code, and
                             // answered as if it had been stored as sent
        Notify,              // Call() when the request arrives, then the normal answer
        LostReply,           // the request carried out, its reply lost on the way back
        Garbled,             // the reply with byte Count (counted modulo its length) XORed with Code
        HoldReply,           // the request carried out, its reply sent in place of the answer to the
                             // next request to the adapter, which is dropped
    };
    EKind Kind = EKind::Silent;
    std::uint8_t Code = 0;
    int DelayMs = 0;
    std::size_t Count = 0;
    TSimBytes Bytes;
    std::function<void()> Call;

    static TSimAction Silent() { return Of(EKind::Silent); }
    // The request lost on its way to the adapter: not carried out, not answered. Silent by another name.
    static TSimAction LoseRequest() { return Silent(); }
    static TSimAction AnswerSecondAttempt() { return Of(EKind::AnswerSecondAttempt); }
    static TSimAction BadChecksum() { return Of(EKind::BadChecksum); }
    static TSimAction Exception(std::uint8_t code) {
        TSimAction a = Of(EKind::Exception);
        a.Code = code;
        return a;
    }
    static TSimAction StrayBefore(TSimBytes stray) {
        TSimAction a = Of(EKind::StrayBefore);
        a.Bytes = std::move(stray);
        return a;
    }
    static TSimAction Late(int delayMs) {
        TSimAction a = Of(EKind::Late);
        a.DelayMs = delayMs;
        return a;
    }
    static TSimAction Truncated(std::size_t keep) {
        TSimAction a = Of(EKind::Truncated);
        a.Count = keep;
        return a;
    }
    static TSimAction Flood(std::size_t count) {
        TSimAction a = Of(EKind::Flood);
        a.Count = count;
        return a;
    }
    static TSimAction RawReply(TSimBytes reply) {
        TSimAction a = Of(EKind::RawReply);
        a.Bytes = std::move(reply);
        return a;
    }
    static TSimAction HangUp() { return Of(EKind::HangUp); }
    // Meant for function 16 writes; dataByte counts from the first data byte of the request.
    static TSimAction StoreWrongly(std::size_t dataByte, std::uint8_t mask = 0xFF) {
        TSimAction a = Of(EKind::StoreWrongly);
        a.Count = dataByte;
        a.Code = mask;
        return a;
    }
    static TSimAction LostReply() { return Of(EKind::LostReply); }
    // answeredFirst: how many requests are answered as usual before the one the held reply replaces.
    static TSimAction HoldReply(std::size_t answeredFirst = 0) {
        TSimAction a = Of(EKind::HoldReply);
        a.Count = answeredFirst;
        return a;
    }
    static TSimAction Garbled(std::size_t byte, std::uint8_t mask) {
        TSimAction a = Of(EKind::Garbled);
        a.Count = byte;
        a.Code = mask;
        return a;
    }
    // call runs on the simulator's thread, before the reply is queued; it must not call the simulator.
    static TSimAction Notify(std::function<void()> call) {
        TSimAction a = Of(EKind::Notify);
        a.Call = std::move(call);
        return a;
    }

private:
    static TSimAction Of(EKind kind) {
        TSimAction a;
        a.Kind = kind;
        return a;
    }
};

// Misbehaviour drawn at random for each request that no rule takes; the percentages are of those
// requests and together at most 100.
struct TSimRandomMisbehaviour {
    std::uint32_t Seed = 1;
    double NoisePercent = 0; // the reply with one byte changed, or with 1..6 random bytes before it
    double LostPercent = 0;  // the reply lost
    double LatePercent = 0;  // the reply sent 1..LateMaxMs milliseconds late
    int LateMaxMs = 500;
};

struct TSimRule {
    static constexpr int kAlways = -1; // a rule with this count never runs out
    TSimMatch Match;
    TSimAction Action;
    int Remaining = 1;
    bool FirstAttemptSeen = false; // AnswerSecondAttempt: the silent attempt has been made
};

// One entry of the line log.
struct TSimRecord {
    enum class EKind {
        Request,     // a whole frame with a good checksum
        Noise,       // received bytes that formed no such frame (a bad checksum, garbage, a torn frame)
        Reply,       // bytes the adapter sent in answer to a request
        Unsolicited, // bytes sent by SendRaw
        HangUp,      // the line was hung up and came back (given to the observer only, not logged)
    };
    EKind Kind = EKind::Request;
    TSimBytes Bytes;
    TSimClock::time_point Time; // requests: when the frame was complete; replies: when the last byte left
};

struct TSimRegisterWrite {
    std::uint16_t Register = 0;
    std::uint16_t Value = 0;
};

class TAdapterSimulator {
public:
    // Opens the pseudo-terminal and starts the adapter with the default block. Throws std::system_error.
    explicit TAdapterSimulator(std::uint8_t address = 1);
    ~TAdapterSimulator();
    TAdapterSimulator(const TAdapterSimulator&) = delete;
    TAdapterSimulator& operator=(const TAdapterSimulator&) = delete;

    // The slave side (/dev/pts/N) for the program to open; a new one after every hang-up.
    std::string DevicePath() const;
    // Makes path a symbolic link to the device (replacing a link there) and keeps it leading to the
    // device after every hang-up; the destructor removes it while it still leads there. Throws
    // std::runtime_error when path is something other than a symbolic link, std::system_error when
    // the link cannot be made.
    void SetLink(const std::string& path);

    // Hangs the line up and returns once the simulator is back on a new pseudo-terminal.
    void HangUp();
    // How often the line has been hung up. A hang-up counts once the simulator is back on its new
    // pseudo-terminal (and the link leads to it); the program may notice the loss before that.
    std::size_t HangUps() const;
    // Waits until the line has been hung up n times in all; false on time-out.
    bool WaitForHangUps(std::size_t n, std::chrono::milliseconds timeout) const;

    // The coefficient block.
    TSimImage Image() const;
    void SetImage(const TSimImage& image);
    TSimSlot Slot(int k) const;                 // k = 1..16
    void SetSlot(int k, const TSimSlot& bytes); // k = 1..16; the checksum is left as it is
    void SealImage();                           // marker and checksum in slot 16 fitted to slots 1..15

    // The adapter's own address (replies carry it in byte 0).
    std::uint8_t Address() const;
    void SetAddress(std::uint8_t address);

    // Register writes by function 6, in order, and the last value written to a register.
    std::vector<TSimRegisterWrite> RegisterWrites() const;
    std::optional<std::uint16_t> RegisterValue(std::uint16_t reg) const;
    bool TranslationMode() const;

    // The line log.
    std::vector<TSimRecord> Requests() const; // Request and Noise records
    // The whole frames with a good checksum, in the order received (Noise records left out).
    std::vector<TSimBytes> RequestFrames() const;
    std::vector<TSimRecord> Replies() const; // Reply and Unsolicited records
    // Wait until at least n requests (n replies) are in the log; false on time-out.
    bool WaitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForReplies(std::size_t n, std::chrono::milliseconds timeout) const;
    void ClearLog();

    // Bytes the adapter has taken from the line and put on it since it started (the log aside).
    std::uint64_t BytesReceived() const;
    std::uint64_t BytesSent() const;
    // Waits until the adapter has taken at least n bytes from the line and has answered them: every
    // request among them handled and every reply that is due by then sent (a Late reply is not yet
    // due). False on time-out.
    bool WaitUntilAnswered(std::uint64_t n, std::chrono::milliseconds timeout) const;
    // Called on the simulator's thread for every record as it is logged (the rq7sim tool's trace).
    void SetObserver(std::function<void(const TSimRecord&)> observer);

    // Misbehaviour.
    void AddRule(const TSimMatch& match, const TSimAction& action, int times = 1);
    void ReplyOnce(const TSimMatch& match, TSimBytes reply) {
        AddRule(match, TSimAction::RawReply(std::move(reply)), 1);
    }
    void ClearRules();
    std::size_t ActiveRules() const; // rules with uses left
    // Replaces the random misbehaviour (all percentages 0: none) and restarts its generator. Throws
    // std::invalid_argument for a negative percentage, percentages above 100 in all, or LateMaxMs < 1.
    void SetRandomMisbehaviour(const TSimRandomMisbehaviour& misbehaviour);
    // The requests that random misbehaviour has spoiled so far, by kind.
    struct TRandomCounts {
        std::size_t Noise = 0, Lost = 0, Late = 0;
    };
    TRandomCounts RandomCounts() const;
    void SendRaw(TSimBytes bytes);

private:
    struct TOutgoing {
        TSimClock::time_point Due;
        std::uint64_t Sequence = 0;
        TSimBytes Bytes;
        std::size_t Sent = 0;
        TSimRecord::EKind Kind = TSimRecord::EKind::Reply;
    };

    void Run();
    // The wait of one round: until the silence that ends a frame, or the next reply's time (-1: none).
    int WaitTimeoutMs(TSimClock::time_point now);
    // Waits on the line and the wake-up; whether the line reported something, nothing on a failed wait.
    std::optional<bool> WaitForLine(int timeoutMs);
    // What the waiters see after a round: the bytes taken, and whether all of them are answered.
    void NoteProgress();
    void HangUpLine();
    void ReadInput();
    void Extract(bool afterSilence, TSimClock::time_point now);
    void HandleFrame(const TSimBytes& frame, TSimClock::time_point now);
    // Does what a rule's action says to a request (the mutex held).
    void Perform(const TSimAction& action, const TSimBytes& frame, TSimClock::time_point now);
    // The random misbehaviour's pick for a request no rule took; nothing for a normal answer.
    std::optional<TSimAction> DrawMisbehaviour();
    std::uint32_t NextRandom();
    void FlushNoise(TSimClock::time_point now);
    void WriteDue();
    void Wake();

    void NotifyObserver();

    // With mutex_ held.
    TSimBytes Execute(const TSimBytes& request);
    std::optional<std::uint16_t> ReadRegister(std::uint16_t reg) const;
    TSimBytes Framed(TSimBytes body) const;
    TSimBytes ExceptionReply(std::uint8_t function, std::uint8_t code) const;
    void Queue(TSimBytes bytes, TSimClock::time_point due, TSimRecord::EKind kind);
    void Log(TSimRecord record);
    TSimBytes Noise(std::size_t count);

    int master_ = -1; // after construction only the simulator's thread uses and replaces it
    int wake_ = -1;
    int epoll_ = -1;

    mutable std::mutex mutex_;
    mutable std::condition_variable logChanged_; // also told of every hang-up
    std::string devicePath_;
    std::string link_;
    bool hangUpRequested_ = false; // by HangUp()
    std::size_t hangUps_ = 0;
    bool outputBlocked_ = false; // a due reply did not fit into the line
    TSimImage image_{};
    std::uint8_t address_ = 1;
    std::uint16_t translation_ = 0;
    std::vector<TSimRegisterWrite> registerWrites_;
    std::map<std::uint16_t, std::uint16_t> registerValues_;
    std::vector<TSimRecord> requests_;
    std::vector<TSimRecord> replies_;
    std::vector<TSimRule> rules_;
    std::vector<TOutgoing> outgoing_;    // sorted by (Due, Sequence)
    std::optional<TSimBytes> heldReply_; // HoldReply: sent when the next request to the adapter comes
    std::size_t heldAnsweredFirst_ = 0;  // requests still answered as usual before that
    std::uint64_t sequence_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t answered_ = 0; // bytes received and answered, as far as the thread has got
    std::uint64_t receivedShown_ = 0;
    std::uint32_t noiseSeed_ = 0x12345678u;
    TSimRandomMisbehaviour random_;
    std::uint64_t randomState_ = 0;
    TRandomCounts randomCounts_;
    std::function<void(const TSimRecord&)> observer_;

    // Only the simulator's thread touches these.
    TSimBytes input_;
    std::uint64_t received_ = 0; // published as receivedShown_
    TSimClock::time_point lastInput_{};
    TSimBytes noise_;                  // dropped input not yet logged
    bool hangUpPending_ = false;       // set by a rule (with mutex_ held) or taken from HangUp()
    std::vector<TSimRecord> toNotify_; // filled with mutex_ held, handed to the observer without it

    std::atomic<bool> stop_{false};
    std::thread thread_;
};
