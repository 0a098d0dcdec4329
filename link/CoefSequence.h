#pragma once
// The steps that the reads and writes of the coefficient block are made of, for both coefficient windows
// and the command line: the identify request with its retry, the slot loop with its retry, its progress
// and its wait after each slot, the filing of a slot read, the check of a block read, the write of the 16
// slots with its retry, the limits write (the address register, then the block) and the read-back.
// What differs between the callers (the order of the identify retry, the waits after each slot, where a
// slot read is shown) is what the caller passes; how progress, messages and a request to stop reach the
// user is the caller's view.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"

class TModbusExchange;
class TWriteJournal;

// The texts a sequence shows when the adapter fails it.
inline constexpr const char* kNoAnswerText = "Нет ответа";
inline constexpr const char* kFailureText = "Сбой!";
// The block read has a wrong checksum.
inline constexpr const char* kChecksumErrorText = "Ошибка кс";
// Where the second identify request stands against its 50 ms wait.
enum class TIdentifyRetry {
    AgainThenWait, // the second request at once, the wait after it
    WaitThenAgain, // the wait first, then the second request
};

// How each coefficient command runs its sequence; the windows and the command line take them from here.
struct TTechnologicalTiming { // the technological mode window's read and write of the whole block
    static constexpr TIdentifyRetry kIdentifyRetry = TIdentifyRetry::AgainThenWait;
    static constexpr int kSlotReadWaitMs = 50;
    static constexpr int kSlotWriteWaitMs = 80;
};
struct TLimitsTiming { // the channel limits window's reads and write
    static constexpr TIdentifyRetry kIdentifyRetry = TIdentifyRetry::WaitThenAgain;
    static constexpr int kOpeningReadWaitMs = 100;
    static constexpr int kRequestReadWaitMs = 50;
    static constexpr int kSlotWriteWaitMs = 50;
};

// What the user sees of a sequence, and how they ask it to stop.
class ICoefSequenceView {
public:
    virtual ~ICoefSequenceView() = default;
    // The progress panel appears when a read starts and goes once a read or a whole write ends.
    virtual void ShowProgressPanel(bool shown) = 0;
    // The progress after a slot, 0..100; it is painted in the wait that follows.
    virtual void SetProgress(int percent) = 0;
    // A message to the user (UTF-8), such as kNoAnswerText.
    virtual void ShowMessage(const std::string& text) = 0;
    // Asked between the slots of a read, and before a write's first request: true ends it there. Once a
    // write request has gone out, the block is finished whatever is asked.
    virtual bool StopRequested() = 0;
    // Asked between the slots of a write: true abandons the block there, half written (the command
    // line's second Ctrl+C).
    virtual bool AbandonRequested() { return false; }
};

// How a slot loop ended.
enum class TSlotLoopEnd {
    Complete, // all 16 slots
    Failed,   // the adapter did not answer or refused (its message shown)
    Stopped,  // the view asked to stop between slots
};

struct TSlotLoopResult {
    TSlotLoopEnd End = TSlotLoopEnd::Complete;
    int SlotsDone = 0; // slots 1..SlotsDone were read or written (and confirmed)
};

// What a complete read found.
enum class TReadCheck {
    Sound,       // the block's checksum is right
    Completable, // wrong, but every slot is one that an interrupted write of ours left (its journal)
    Bad,         // wrong, and nothing explains it
};

// Where a slot of the adapter stands after a write.
enum class TSlotState {
    Old,     // not sent: the adapter keeps what it had
    Unknown, // sent, and its confirmation never came: stored or not
    New,     // sent and confirmed
};

// How a write went, kept by the sequence as it goes, so that it stands however the write ended (a
// lost device included).
struct TWriteReport {
    bool Begun = false;          // a write request went out (for the limits write: the address register)
    bool AddressUnknown = false; // the limits write's address register went unconfirmed
    std::array<TSlotState, rq7map::kSlotCount + 1> States{}; // index k for slot k; 0 unused
    bool AllNew() const;
    // The slots in a state as a person reads them ("1-4, 7"), empty when none.
    std::string SlotsIn(TSlotState state) const;
};

// How a write ended.
enum class TWriteEnd {
    Complete,  // all 16 slots confirmed
    Failed,    // the adapter did not confirm a slot (or the address register) twice: kNoAnswerText shown
    Abandoned, // abandoned between slots (the view's AbandonRequested)
    Stopped,   // a stop asked before the first request: nothing was sent
    Refused,   // the limits write over a block read with a wrong checksum: kChecksumErrorText shown
};

// What the read-back of a write found.
struct TReadBackResult {
    bool Complete = false;      // every slot was read back
    std::vector<int> Differing; // slots that hold other bytes than were sent, read twice
};

class TCoefSequence {
public:
    TCoefSequence(TModbusExchange& exchange, TCoefBlock& block, ICoefSequenceView& view);

    // The journal of the limits writes (nullptr: none is kept, and no block read with a wrong checksum
    // may be completed).
    void SetJournal(TWriteJournal* journal) { journal_ = journal; }

    // Runs once a write is decided, just before its first write request (the limits write: before the
    // address register); not for a write refused or stopped before it. Empty: nothing runs.
    std::function<void()> BeforeFirstWrite;

    // The wait before a second attempt: of the identify request and of a write.
    static constexpr int kRetryWaitMs = 50;

    // The identify request, and a second one (with its wait, in the given order) when the first finds
    // no answer. Shows kNoAnswerText and returns false when the second finds none either.
    bool Identify(TIdentifyRetry retry) const;

    // Reads slots 1..16 with the panel shown; nothing is known of the adapter's block from its start on
    // (the block's KnownSlots emptied). A refused slot is read a second time at once; when that is
    // refused too, kFailureText ends the loop. After each slot read: channel 2's limits lowered by their
    // offset, fileSlot(k) shows the slot, the value slots' SlotTexts take the value, the progress moves,
    // and slotWaitMs pass; then a stop asked for ends the loop. The panel is hidden at the end.
    TSlotLoopResult ReadSlots(int slotWaitMs, const std::function<void(int)>& fileSlot);

    // After a read of all 16 slots: judges the block's checksum, shows kChecksumErrorText when it is
    // wrong, and notes what the adapter is known to hold (the block read when it is sound, or when it is
    // one an interrupted limits write of ours left; nothing otherwise).
    TReadCheck CheckRead();

    // Writes the built image (CoefImage): slots 1..16, each with WriteWithRetry, the progress moving and
    // slotWaitMs passing after each. A stop asked before the first request sends nothing; once it has
    // gone out, the block is finished (only AbandonRequested ends it between slots). A slot written in
    // vain twice shows kNoAnswerText and ends the write with the panel left shown; after the sixteenth,
    // or when abandoned, the panel is hidden. KnownSlots follow each slot.
    TWriteEnd WriteBlock(int slotWaitMs);

    // The limits write: refused (kChecksumErrorText) when the last CheckRead found the block Bad; the
    // found block and the built one kept in the journal; the address register with its retry
    // (kNoAnswerText when unconfirmed); then WriteBlock. A stop asked before the address register sends
    // nothing. beforeSlots runs once the address register is confirmed, before slot 1.
    TWriteEnd WriteLimits(std::uint8_t address, int slotWaitMs,
                          const std::function<void()>& beforeSlots = {});

    // A recorded block written back as it is (the image already in CoefImage): the address register
    // first when address is given (as the limits write does), then WriteBlock's slots. Never refused for
    // the checksum of a block read (it is the repair of a block cut off), and kept in no journal.
    TWriteEnd WriteRecordedBlock(std::optional<std::uint8_t> address, int slotWaitMs);

    // How the last write went, slot by slot.
    const TWriteReport& LastWrite() const { return report_; }

    // Reads each slot of the last write whose confirmation was lost once, and settles it as New when it
    // holds the bytes sent, else as Old; one that does not answer stays Unknown.
    void SettleUnknownSlots();

    // Reads the 16 slots back (fileSlot as for ReadSlots) and compares them with the image sent; a slot
    // that differs is read once more before it counts as different. A clean read-back makes the sent
    // block what the adapter is known to hold.
    TReadBackResult ReadBack(int slotWaitMs, const std::function<void(int)>& fileSlot);

    // Sends one write, and once more after kRetryWaitMs when the adapter did not confirm it. True when
    // it was confirmed.
    bool WriteWithRetry(const std::function<void()>& send) const;

private:
    // A write that has begun: the address register, when given, then the 16 slots.
    TWriteEnd WriteAddressAndSlots(std::optional<std::uint8_t> address, int slotWaitMs,
                                   const std::function<void()>& beforeSlots);
    // The 16 slots of a write that has begun.
    TWriteEnd WriteSlotsOfBlock(int slotWaitMs);
    // Keeps the found and the built block in the journal before the limits write begins.
    void KeepInJournal();

    TModbusExchange& exchange_;
    TCoefBlock& block_;
    ICoefSequenceView& view_;
    TWriteJournal* journal_ = nullptr;
    // What the last complete read found; nothing after a read that did not complete (its slots then go
    // back from their texts) or before any read.
    std::optional<TReadCheck> lastReadCheck_;
    TWriteReport report_;
};
