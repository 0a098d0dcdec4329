#include "link/CoefSequence.h"

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"
#include "coef/ValueText.h"
#include "link/ModbusUnit.h"

namespace {
// An identify reply shorter than this is no answer.
constexpr std::size_t kIdentifyReplyMinimum = 3;

int ProgressAfterSlot(int k) {
    return k * 100 / rq7map::kSlotCount;
}
} // namespace

TCoefSequence::TCoefSequence(TModbusExchange& exchange, TCoefBlock& block, ICoefSequenceView& view)
    : exchange_(exchange), block_(block), view_(view) {}

bool TCoefSequence::Identify(TIdentifyRetry retry) const {
    exchange_.IdentifyDevice();
    if (exchange_.ReplyText.size() >= kIdentifyReplyMinimum) {
        return true;
    }
    if (retry == TIdentifyRetry::WaitThenAgain) {
        exchange_.DelayWithMessages(kRetryWaitMs);
    }
    exchange_.IdentifyDevice();
    if (retry == TIdentifyRetry::AgainThenWait) {
        exchange_.DelayWithMessages(kRetryWaitMs);
    }
    if (exchange_.ReplyText.size() >= kIdentifyReplyMinimum) {
        return true;
    }
    view_.ShowMessage(kNoAnswerText);
    return false;
}

TSlotLoopResult TCoefSequence::ReadSlots(int slotWaitMs, const std::function<void(int)>& fileSlot) const {
    view_.ShowProgressPanel(true);
    exchange_.SlotIndex = 1;
    TSlotLoopResult result;
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        exchange_.ReadSlot();
        if (exchange_.ExchangeState != esAccepted) {
            exchange_.ReadSlot();
            if (exchange_.ExchangeState != esAccepted) {
                view_.ShowMessage(kFailureText);
                result.End = TSlotLoopEnd::Failed;
                break;
            }
        }
        if (rq7map::IsOffsetSlot(k)) {
            block_.LastValue -= rq7map::kChannel2Offset;
        }
        fileSlot(k);
        // The slots a window does not show reach the next write through these texts.
        if (k <= rq7map::kValueSlots) {
            block_.SlotTexts.at(static_cast<std::size_t>(k)) = ValueText(block_.LastValue, 4);
        }
        result.SlotsDone = k;
        view_.SetProgress(ProgressAfterSlot(k));
        exchange_.DelayWithMessages(slotWaitMs);
        ++exchange_.SlotIndex;
        if (k < rq7map::kSlotCount && view_.StopRequested()) {
            result.End = TSlotLoopEnd::Stopped;
            break;
        }
    }
    view_.ShowProgressPanel(false);
    return result;
}

TSlotLoopResult TCoefSequence::WriteSlots(int slotWaitMs) const {
    exchange_.SlotIndex = 1;
    TSlotLoopResult result;
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        // A reply that is missing, garbled or an exception counts as no answer.
        if (!WriteWithRetry([this] { exchange_.WriteSlot(); })) {
            view_.ShowMessage(kNoAnswerText);
            result.End = TSlotLoopEnd::Failed;
            return result;
        }
        result.SlotsDone = k;
        ++exchange_.SlotIndex;
        view_.SetProgress(ProgressAfterSlot(k));
        exchange_.DelayWithMessages(slotWaitMs);
        if (k < rq7map::kSlotCount && view_.StopRequested()) {
            result.End = TSlotLoopEnd::Stopped;
            break;
        }
    }
    view_.ShowProgressPanel(false);
    return result;
}

bool TCoefSequence::WriteWithRetry(const std::function<void()>& send) const {
    send();
    if (!exchange_.WriteConfirmed()) {
        exchange_.DelayWithMessages(kRetryWaitMs);
        send();
    }
    return exchange_.WriteConfirmed();
}
