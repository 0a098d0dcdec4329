#pragma once
// The steps that the reads and writes of both coefficient windows are made of: the identify request
// with its retry, the slot loop with its retry, its progress and its wait after each slot, and the
// filing of a slot read. What differs between the windows (the order of the identify retry, the waits
// after each slot, where a slot read is shown) is what the caller passes.

#include <functional>

class IPrompts;
class QProgressBar;
class QWidget;
class TCoefBlock;
class TModbusExchange;

// Where the second identify request stands against its 50 ms wait.
enum class TIdentifyRetry {
    AgainThenWait, // the second request at once, the wait after it
    WaitThenAgain, // the wait first, then the second request
};

// A window's progress panel and the bar in it.
struct TProgressPanel {
    QWidget& Panel;
    QProgressBar& Bar;
};

class TCoefSequence {
public:
    TCoefSequence(TModbusExchange& exchange, TCoefBlock& block, IPrompts& prompts);

    // The wait before a second attempt: of the identify request and of a write.
    static constexpr int kRetryWaitMs = 50;

    // The identify request, and a second one (with its wait, in the given order) when the first finds
    // no answer. Shows "Нет ответа" and returns false when the second finds none either.
    bool Identify(TIdentifyRetry retry) const;

    // Reads slots 1..16 with the panel shown. A refused slot is read a second time at once; when that is
    // refused too, "Сбой!" ends the loop. After each slot read: channel 2's limits lowered by their
    // offset, fileSlot(k) shows the slot, the value slots' SlotTexts take the value, the bar its
    // progress, and slotWaitMs pass. The panel is hidden at the end. True when all 16 were read.
    bool ReadSlots(const TProgressPanel& panel, int slotWaitMs,
                   const std::function<void(int)>& fileSlot) const;

    // Writes slots 1..16 from the built image, each with WriteWithRetry, the bar showing the progress and
    // slotWaitMs passing after each. A slot written in vain twice shows "Нет ответа" and ends the write
    // with the panel left shown (false); after the sixteenth the panel is hidden.
    bool WriteSlots(const TProgressPanel& panel, int slotWaitMs) const;

    // Sends one write, and once more after kRetryWaitMs when the adapter did not confirm it. True when
    // it was confirmed.
    bool WriteWithRetry(const std::function<void()>& send) const;

private:
    TModbusExchange& exchange_;
    TCoefBlock& block_;
    IPrompts& prompts_;
};
