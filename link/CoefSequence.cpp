#include "link/CoefSequence.h"

#include <initializer_list>

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"
#include "coef/Errors.h"
#include "coef/ValueText.h"
#include "coef/WriteJournal.h"
#include "link/ModbusUnit.h"
#include "link/WriteHold.h"

namespace {
// An identify reply shorter than this is no answer.
constexpr std::size_t kIdentifyReplyMinimum = 3;

int ProgressAfterSlot(int k) {
    return k * 100 / rq7map::kSlotCount;
}

std::int32_t FactoryNumberOf(const TCoefImageBytes& image) {
    return static_cast<std::int32_t>(SlotWordOfImage(image, rq7map::kFactoryNumberSlot));
}

// Slots 1..last of an image become what the adapter is known to hold; the others nothing.
void NoteKnown(TCoefBlock& block, const TCoefImageBytes& image, int last) {
    block.KnownSlots = {};
    for (int k = 1; k <= last; ++k) {
        block.KnownSlots[static_cast<std::size_t>(k)] = SlotOfImage(image, k);
    }
}
} // namespace

bool TWriteReport::AllNew() const {
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        if (States[static_cast<std::size_t>(k)] != TSlotState::New) {
            return false;
        }
    }
    return true;
}

std::string TWriteReport::SlotsIn(TSlotState state) const {
    std::string text;
    int k = 1;
    while (k <= rq7map::kSlotCount) {
        if (States[static_cast<std::size_t>(k)] != state) {
            ++k;
            continue;
        }
        int last = k;
        while (last < rq7map::kSlotCount && States[static_cast<std::size_t>(last + 1)] == state) {
            ++last;
        }
        text += (text.empty() ? "" : ", ") + std::to_string(k) + (last > k ? "-" + std::to_string(last) : "");
        k = last + 1;
    }
    return text;
}

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

TSlotLoopResult TCoefSequence::ReadSlots(int slotWaitMs, const std::function<void(int)>& fileSlot) {
    view_.ShowProgressPanel(true);
    // From here on the adapter's block is what this read finds (it may be another adapter's).
    block_.KnownSlots = {};
    lastReadCheck_.reset();
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

TReadCheck TCoefSequence::CheckRead() {
    TReadCheck check = TReadCheck::Bad;
    if (block_.VerifyReadImage()) {
        check = TReadCheck::Sound;
    } else if (journal_ != nullptr) {
        const std::optional<TJournalEntry> entry = journal_->Find(FactoryNumberOf(block_.ReadImage));
        if (entry && ReadBlockFitsJournal(block_.ReadImage, *entry)) {
            check = TReadCheck::Completable;
        }
    }
    if (check != TReadCheck::Sound) {
        view_.ShowMessage(kChecksumErrorText);
    }
    if (check == TReadCheck::Bad) {
        block_.KnownSlots = {};
    } else {
        // A completable block's slots are each one that was found or sent; its end slot is neither's.
        NoteKnown(block_, block_.ReadImage,
                  check == TReadCheck::Sound ? rq7map::kSlotCount : rq7map::kAddressSlot);
    }
    lastReadCheck_ = check;
    return check;
}

TWriteEnd TCoefSequence::WriteBlock(int slotWaitMs) {
    report_ = TWriteReport{};
    if (view_.StopRequested()) {
        view_.ShowProgressPanel(false);
        return TWriteEnd::Stopped;
    }
    if (BeforeFirstWrite) {
        BeforeFirstWrite();
    }
    report_.Begun = true;
    const TWriteHold hold; // from the first request to the end of the block
    return WriteSlotsOfBlock(slotWaitMs);
}

TWriteEnd TCoefSequence::WriteSlotsOfBlock(int slotWaitMs) {
    exchange_.SlotIndex = 1;
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        const auto slot = static_cast<std::size_t>(k);
        report_.States[slot] = TSlotState::Unknown;
        block_.KnownSlots[slot].reset();
        // A reply that is missing, garbled, an exception or another request's counts as no answer.
        if (!WriteWithRetry([this] { exchange_.WriteSlot(); })) {
            view_.ShowMessage(kNoAnswerText);
            return TWriteEnd::Failed;
        }
        report_.States[slot] = TSlotState::New;
        block_.KnownSlots[slot] = SlotOfImage(block_.CoefImage, k);
        ++exchange_.SlotIndex;
        view_.SetProgress(ProgressAfterSlot(k));
        exchange_.DelayWithMessages(slotWaitMs);
        if (k < rq7map::kSlotCount && view_.AbandonRequested()) {
            view_.ShowProgressPanel(false);
            return TWriteEnd::Abandoned;
        }
    }
    view_.ShowProgressPanel(false);
    if (journal_ != nullptr) {
        // The block is whole again: nothing is left to complete.
        try {
            journal_->Forget(FactoryNumberOf(block_.CoefImage));
        } catch (const ERq7Error&) {
            // A pair left behind only allows completing a block that is already whole.
        }
    }
    return TWriteEnd::Complete;
}

TWriteEnd TCoefSequence::WriteLimits(std::uint8_t address, int slotWaitMs,
                                     const std::function<void()>& beforeSlots) {
    report_ = TWriteReport{};
    if (lastReadCheck_ == TReadCheck::Bad) {
        // The values the window does not show would be sealed under a fresh checksum from a block that
        // nothing explains.
        view_.ShowMessage(kChecksumErrorText);
        return TWriteEnd::Refused;
    }
    if (view_.StopRequested()) {
        return TWriteEnd::Stopped;
    }
    KeepInJournal();
    return WriteAddressAndSlots(address, slotWaitMs, beforeSlots);
}

TWriteEnd TCoefSequence::WriteRecordedBlock(std::optional<std::uint8_t> address, int slotWaitMs) {
    report_ = TWriteReport{};
    if (view_.StopRequested()) {
        view_.ShowProgressPanel(false);
        return TWriteEnd::Stopped;
    }
    return WriteAddressAndSlots(address, slotWaitMs, {});
}

TWriteEnd TCoefSequence::WriteAddressAndSlots(std::optional<std::uint8_t> address, int slotWaitMs,
                                              const std::function<void()>& beforeSlots) {
    if (BeforeFirstWrite) {
        BeforeFirstWrite();
    }
    report_.Begun = true;
    const TWriteHold
        hold; // from the first request (the address register, when given) to the end of the block
    if (address && !WriteWithRetry([&] { exchange_.WriteRegister(rq7map::kAddressRegister, *address); })) {
        report_.AddressUnknown = true;
        view_.ShowMessage(kNoAnswerText);
        return TWriteEnd::Failed;
    }
    if (beforeSlots) {
        beforeSlots();
    }
    return WriteSlotsOfBlock(slotWaitMs);
}

void TCoefSequence::KeepInJournal() {
    if (journal_ == nullptr) {
        return;
    }
    TJournalEntry entry;
    entry.Found = block_.ReadImage;
    entry.Sent = block_.CoefImage;
    try {
        // Under both numbers when the write changes the factory number: a cut write may leave either.
        for (const std::int32_t number : {FactoryNumberOf(entry.Found), FactoryNumberOf(entry.Sent)}) {
            entry.FactoryNumber = number;
            journal_->Keep(entry);
        }
    } catch (const ERq7Error& e) {
        view_.ShowMessage(std::string("Журнал записи недоступен: ") + e.what());
    }
}

void TCoefSequence::SettleUnknownSlots() {
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        const auto slot = static_cast<std::size_t>(k);
        if (report_.States[slot] != TSlotState::Unknown) {
            continue;
        }
        exchange_.SlotIndex = k;
        exchange_.ReadSlot();
        if (exchange_.ExchangeState != esAccepted) {
            continue;
        }
        // The request was either stored (the bytes sent) or not (the slot kept what it had).
        const TSlotBytes found = SlotOfImage(block_.ReadImage, k);
        report_.States[slot] = found == SlotOfImage(block_.CoefImage, k) ? TSlotState::New : TSlotState::Old;
        block_.KnownSlots[slot] = found;
    }
}

TReadBackResult TCoefSequence::ReadBack(int slotWaitMs, const std::function<void(int)>& fileSlot) {
    const TCoefImageBytes sent = block_.CoefImage;
    TReadBackResult result;
    if (ReadSlots(slotWaitMs, fileSlot).End != TSlotLoopEnd::Complete) {
        return result;
    }
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        if (SlotOfImage(block_.ReadImage, k) == SlotOfImage(sent, k)) {
            continue;
        }
        // A reply that came late to the slot before may have been taken for this one: read it again.
        exchange_.SlotIndex = k;
        exchange_.ReadSlot();
        if (exchange_.ExchangeState != esAccepted) {
            return result; // not read back
        }
        if (SlotOfImage(block_.ReadImage, k) != SlotOfImage(sent, k)) {
            result.Differing.push_back(k);
        }
    }
    result.Complete = true;
    if (result.Differing.empty()) {
        NoteKnown(block_, sent, rq7map::kSlotCount);
        lastReadCheck_ = TReadCheck::Sound;
    }
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
