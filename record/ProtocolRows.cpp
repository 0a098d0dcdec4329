#include "record/ProtocolRows.h"

#include <cstdint>
#include <cstdio>
#include <limits>

#include "coef/CoefBlock.h"
#include "coef/CoefFile.h"
#include "coef/DeviceMap.h"
#include "coef/ValueText.h"

namespace {

constexpr const char* kNone = "—";

// Slot k as the windows show it: values with their decimals (channel 2's limits lowered by their offset),
// the factory number, the recording date and the address byte.
std::string SlotText(const TRecordedSlots& slots, int k) {
    using namespace rq7map;
    const TSlotBytes& d = slots.at(static_cast<std::size_t>(k - 1));
    if (k == kFactoryNumberSlot) {
        return FactoryNumberText(static_cast<std::int32_t>(SlotWord(d)));
    }
    if (k == kRecordDateSlot) {
        return FileDateText(SlotWord(d));
    }
    if (k == kAddressSlot) {
        return std::to_string(d[1]);
    }
    const double value = DecodeDeviceFloat(d) - (IsOffsetSlot(k) ? kChannel2Offset : 0.0);
    return ValueText(value, SlotDecimals(k));
}

std::string SlotName(int k) {
    using namespace rq7map;
    if (k == kFactoryNumberSlot) {
        return "Заводской номер";
    }
    if (k == kRecordDateSlot) {
        return "Дата записи коэффициентов";
    }
    if (k == kAddressSlot) {
        return "Адрес";
    }
    static const char* const kQuantities[] = {"значение параметра при 20 мА", "значение параметра при 4 мА",
                                              "ток при коде 16 мА", "ток при коде 4 мА"};
    return "Канал " + std::to_string((k - 1) / 4 + 1) + ": " + kQuantities[(k - 1) % 4];
}

TRowChange ChangeOf(const TServiceRecord& record, int k) {
    if (!record.AsFound || !record.AsLeft) {
        return TRowChange::Same;
    }
    const auto i = static_cast<std::size_t>(k - 1);
    if (record.AsFound->Slots.at(i) == record.AsLeft->Sent.at(i)) {
        return TRowChange::Same;
    }
    switch (record.AsLeft->State.at(i)) {
    case TRecordedSlotState::New:
        return TRowChange::Changed;
    case TRecordedSlotState::Unknown:
        return TRowChange::Unconfirmed;
    case TRecordedSlotState::Old:
        break;
    }
    return TRowChange::NotWritten;
}

} // namespace

std::vector<TProtocolRow> ProtocolRows(const TServiceRecord& record) {
    using namespace rq7map;
    std::vector<TProtocolRow> rows;
    for (int k : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, kFactoryNumberSlot, kAddressSlot, kRecordDateSlot}) {
        TProtocolRow row;
        row.Slot = k;
        row.Name = SlotName(k);
        if (record.AsFound) {
            row.Found = SlotText(record.AsFound->Slots, k);
        }
        if (record.AsLeft) {
            row.Left = SlotText(record.AsLeft->Sent, k);
        }
        row.Compared = k != kRecordDateSlot;
        row.Change = row.Compared ? ChangeOf(record, k) : TRowChange::Same;
        rows.push_back(std::move(row));
    }
    return rows;
}

const char* RowChangeText(TRowChange change) {
    switch (change) {
    case TRowChange::Changed:
        return "изменено";
    case TRowChange::Unconfirmed:
        return "не подтверждено";
    case TRowChange::NotWritten:
        return "не записано";
    case TRowChange::Same:
        break;
    }
    return "";
}

std::string OperationText(TRecordOperation operation) {
    switch (operation) {
    case TRecordOperation::Read:
        return "чтение";
    case TRecordOperation::Write:
        return "запись";
    case TRecordOperation::Limits:
        return "изменение границ";
    case TRecordOperation::Translate:
        return "перевод в трансляцию";
    case TRecordOperation::Restore:
        return "восстановление";
    }
    return "";
}

std::string RecordTimeText(const std::string& isoTime) {
    // "YYYY-MM-DDTHH:MM:SS" and its offset; any other text is shown as it is.
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 0;
    if (isoTime.size() < 19 ||
        std::sscanf(isoTime.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &year, &month, &day, &separator, &hour,
                    &minute, &second) != 7 ||
        separator != 'T') {
        return isoTime;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", day, month, year, hour, minute, second);
    std::string shown = text;
    const std::string offset = isoTime.substr(19);
    if (offset == "Z") {
        shown += " (UTC)";
    } else if (!offset.empty()) {
        shown += " (UTC" + offset + ")";
    }
    return shown;
}

std::string RecordFactoryNumberText(const TServiceRecord& record) {
    if (!record.FactoryNumber) {
        return kNone;
    }
    const std::int64_t n = *record.FactoryNumber;
    if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max()) {
        return FactoryNumberText(static_cast<std::int32_t>(n));
    }
    return std::to_string(n);
}

std::string RecordAddressText(const TServiceRecord& record) {
    if (record.AsLeft) {
        return SlotText(record.AsLeft->Sent, rq7map::kAddressSlot);
    }
    if (record.AsFound) {
        return SlotText(record.AsFound->Slots, rq7map::kAddressSlot);
    }
    return kNone;
}

std::string ChecksumText(const TServiceRecord& record) {
    if (!record.AsFound) {
        return "блок до операции не читался";
    }
    return record.AsFound->ChecksumOk ? "верна" : "неверна (\"Ошибка кс\")";
}

std::string ReadBackText(const TServiceRecord& record) {
    if (!record.AsLeft || !record.AsLeft->Verified) {
        return "не выполнялось";
    }
    return *record.AsLeft->Verified ? "совпадает с записанным" : "отличается от записанного";
}

std::string OutcomeText(const TServiceRecord& record) {
    if (!record.Outcome.Code) {
        if (record.Outcome.Message == kOutcomeBegun) {
            return "запись начата, её итог не записан";
        }
        return record.Outcome.Message.empty() ? kNone : record.Outcome.Message;
    }
    std::string text = record.Outcome.Message.empty() ? std::string(kNone) : record.Outcome.Message;
    return text + " (код " + std::to_string(*record.Outcome.Code) + ")";
}
