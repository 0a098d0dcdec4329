#pragma once
// The steps that the reads and writes of the coefficient block are made of, for both coefficient windows
// and the command line: the identify request with its retry, the slot loop with its retry, its progress
// and its wait after each slot, the filing of a slot read, and the write of the 16 slots with its retry.
// What differs between the callers (the order of the identify retry, the waits after each slot, where a
// slot read is shown) is what the caller passes; how progress, messages and a request to stop reach the
// user is the caller's view.

#include <functional>
#include <string>

class TCoefBlock;
class TModbusExchange;

// The texts a sequence shows when the adapter fails it.
inline constexpr const char* kNoAnswerText = "Нет ответа";
inline constexpr const char* kFailureText = "Сбой!";

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
    // Asked between slots: true ends the read or the write there.
    virtual bool StopRequested() = 0;
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

class TCoefSequence {
public:
    TCoefSequence(TModbusExchange& exchange, TCoefBlock& block, ICoefSequenceView& view);

    // The wait before a second attempt: of the identify request and of a write.
    static constexpr int kRetryWaitMs = 50;

    // The identify request, and a second one (with its wait, in the given order) when the first finds
    // no answer. Shows kNoAnswerText and returns false when the second finds none either.
    bool Identify(TIdentifyRetry retry) const;

    // Reads slots 1..16 with the panel shown. A refused slot is read a second time at once; when that is
    // refused too, kFailureText ends the loop. After each slot read: channel 2's limits lowered by their
    // offset, fileSlot(k) shows the slot, the value slots' SlotTexts take the value, the progress moves,
    // and slotWaitMs pass; then a stop asked for ends the loop. The panel is hidden at the end.
    TSlotLoopResult ReadSlots(int slotWaitMs, const std::function<void(int)>& fileSlot) const;

    // Writes slots 1..16 from the built image, each with WriteWithRetry, the progress moving and
    // slotWaitMs passing after each; then a stop asked for ends the write. A slot written in vain twice
    // shows kNoAnswerText and ends the write with the panel left shown; after the sixteenth, or on a stop,
    // the panel is hidden.
    TSlotLoopResult WriteSlots(int slotWaitMs) const;

    // Sends one write, and once more after kRetryWaitMs when the adapter did not confirm it. True when
    // it was confirmed.
    bool WriteWithRetry(const std::function<void()>& send) const;

private:
    TModbusExchange& exchange_;
    TCoefBlock& block_;
    ICoefSequenceView& view_;
};
