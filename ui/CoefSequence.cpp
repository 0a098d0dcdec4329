#include "ui/CoefSequence.h"

#include <QProgressBar>
#include <QWidget>

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"
#include "coef/ValueText.h"
#include "link/ModbusUnit.h"
#include "ui/Progress.h"
#include "ui/Prompts.h"

namespace {
// An identify reply shorter than this is no answer.
constexpr std::size_t kIdentifyReplyMinimum = 3;

int ProgressAfterSlot(int k) {
    return k * 100 / rq7map::kSlotCount;
}
} // namespace

TCoefSequence::TCoefSequence(TModbusExchange& exchange, TCoefBlock& block, IPrompts& prompts)
    : exchange_(exchange), block_(block), prompts_(prompts) {}

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
    prompts_.ShowMessage(QStringLiteral("Нет ответа"));
    return false;
}

bool TCoefSequence::ReadSlots(const TProgressPanel& panel, int slotWaitMs,
                              const std::function<void(int)>& fileSlot) const {
    panel.Panel.show();
    exchange_.SlotIndex = 1;
    bool complete = true;
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        exchange_.ReadSlot();
        if (exchange_.ExchangeState != esAccepted) {
            exchange_.ReadSlot();
            if (exchange_.ExchangeState != esAccepted) {
                prompts_.ShowMessage(QStringLiteral("Сбой!"));
                complete = false;
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
        ShowProgress(panel.Bar, ProgressAfterSlot(k));
        exchange_.DelayWithMessages(slotWaitMs);
        ++exchange_.SlotIndex;
    }
    panel.Panel.hide();
    return complete;
}

bool TCoefSequence::WriteSlots(const TProgressPanel& panel, int slotWaitMs) const {
    exchange_.SlotIndex = 1;
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        // A reply that is missing, garbled or an exception counts as no answer.
        if (!WriteWithRetry([this] { exchange_.WriteSlot(); })) {
            prompts_.ShowMessage(QStringLiteral("Нет ответа"));
            return false;
        }
        ++exchange_.SlotIndex;
        ShowProgress(panel.Bar, ProgressAfterSlot(k));
        exchange_.DelayWithMessages(slotWaitMs);
    }
    panel.Panel.hide();
    return true;
}

bool TCoefSequence::WriteWithRetry(const std::function<void()>& send) const {
    send();
    if (!exchange_.WriteConfirmed()) {
        exchange_.DelayWithMessages(kRetryWaitMs);
        send();
    }
    return exchange_.WriteConfirmed();
}
