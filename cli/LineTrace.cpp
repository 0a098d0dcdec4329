#include "cli/LineTrace.h"

#include <charconv>
#include <cstdio>

#include "coef/Crc.h"
#include "coef/DeviceMap.h"
#include "link/SerialBackend.h"

namespace {
std::string HexText(const std::string& bytes) {
    std::string text;
    char pair[4];
    for (const char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        if (!text.empty()) {
            text += ' ';
        }
        text += pair;
    }
    return text;
}

unsigned Byte(const std::string& bytes, std::size_t i) {
    return static_cast<unsigned char>(bytes[i]);
}
unsigned Word(const std::string& bytes, std::size_t i) {
    return (Byte(bytes, i) << 8) | Byte(bytes, i + 1);
}

// The slot whose first register is reg, or 0.
int SlotAt(unsigned reg) {
    for (int k = 1; k <= rq7map::kSlotCount; ++k) {
        if (rq7map::SlotRegister(k) == reg) {
            return k;
        }
    }
    return 0;
}

// A device that tells the trace what passes through it.
class TTracedDevice final : public TSerialDevice {
public:
    TTracedDevice(std::unique_ptr<TSerialDevice> inner, TLineTrace& trace)
        : inner_(std::move(inner)), trace_(trace) {}
    ~TTracedDevice() override { trace_.Flush(); }

    void SetQueueSizes(std::int32_t in, std::int32_t out) override { inner_->SetQueueSizes(in, out); }
    void SetLineSettings(const TLineSettings& settings) override { inner_->SetLineSettings(settings); }
    void SetTimeouts(const TTimeoutSettings& timeouts) override { inner_->SetTimeouts(timeouts); }
    void AbortPending() override { inner_->AbortPending(); }
    std::int32_t Write(const void* buffer, std::int32_t count) override {
        trace_.Sent(static_cast<const std::uint8_t*>(buffer), count);
        return inner_->Write(buffer, count);
    }
    std::int32_t Waiting() override { return inner_->Waiting(); }
    std::int32_t Read(char* buffer, std::int32_t count) override {
        const std::int32_t read = inner_->Read(buffer, count);
        trace_.Received(buffer, read);
        return read;
    }
    void WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs) override {
        inner_->WaitForEvent(events, stopEvent, timeoutMs);
    }
    bool Gone() const override { return inner_->Gone(); }

private:
    std::unique_ptr<TSerialDevice> inner_;
    TLineTrace& trace_;
};
} // namespace

TLineTrace::TLineTrace(std::ostream& out, TMessageClock& clock)
    : out_(out), clock_(clock), start_(clock.Now()) {}

TSerialDeviceOpener TLineTrace::Opener(TSerialDeviceOpener inner) {
    return [this, inner = std::move(inner)](const std::string& portName) -> std::unique_ptr<TSerialDevice> {
        return std::make_unique<TTracedDevice>(inner(portName), *this);
    };
}

void TLineTrace::Sent(const std::uint8_t* bytes, std::int32_t count) {
    Flush();
    lastRequest_.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(std::max(count, 0)));
    PrintLine(clock_.Now(), "->", HexText(lastRequest_), DescribeRequest(lastRequest_));
}

void TLineTrace::Received(const char* bytes, std::int32_t count) {
    if (count <= 0) {
        return;
    }
    if (pending_.empty()) {
        pendingSince_ = clock_.Now();
    }
    pending_.append(bytes, static_cast<std::size_t>(count));
}

void TLineTrace::Discarded(const std::string& bytes) {
    // They were read (and so noted as received) just now, behind whatever reply came before them.
    const std::size_t keep = pending_.size() >= bytes.size() ? pending_.size() - bytes.size() : 0;
    pending_.resize(keep);
    Flush();
    PrintLine(clock_.Now(), "<-", HexText(bytes),
              "discarded: came after the collection, before the next request");
}

void TLineTrace::Flush() {
    if (pending_.empty()) {
        return;
    }
    PrintLine(pendingSince_, "<-", HexText(pending_), DescribeReply(pending_, lastRequest_));
    pending_.clear();
}

void TLineTrace::PrintLine(TMessageClock::TTime at, const char* arrow, const std::string& bytes,
                           const std::string& words) {
    const double ms = std::chrono::duration<double, std::milli>(at - start_).count();
    // The milliseconds with one decimal and a point whatever the locale, right-aligned in 7.
    char digits[32];
    const auto made = std::to_chars(digits, digits + sizeof digits, ms, std::chars_format::fixed, 1);
    const std::string number(digits, made.ptr);
    const std::string stamp =
        "+" + std::string(number.size() < 7 ? 7 - number.size() : 0, ' ') + number + " ";
    out_ << stamp << arrow << ' ' << bytes << "  " << words << std::endl;
}

std::string TLineTrace::DescribeRequest(const std::string& f) {
    using namespace rq7map;
    if (f.size() != 8 && f.size() != 13) {
        return "frame of " + std::to_string(f.size()) + " bytes";
    }
    const unsigned function = Byte(f, 1);
    const unsigned reg = Word(f, 2);
    const unsigned value = Word(f, 4);
    const int slot = SlotAt(reg);
    if (function == kReadHoldingRegisters && reg == kIdentifyRegister && value == kIdentifyCount) {
        return "identify";
    }
    if (function == kReadHoldingRegisters && slot != 0 && value == kRegistersPerSlot) {
        return "read slot " + std::to_string(slot);
    }
    if (function == kWriteRegisters && slot != 0 && f.size() == 13) {
        return "write slot " + std::to_string(slot);
    }
    if (function == kWriteRegister && reg == kAddressRegister) {
        return "set address " + std::to_string(value);
    }
    if (function == kWriteRegister && reg == kTranslationRegister) {
        return value == kTranslationOn ? "switch to byte translation" : "switch translation off";
    }
    return "function " + std::to_string(function) + ", register " + std::to_string(reg);
}

std::string TLineTrace::DescribeReply(const std::string& reply, const std::string& request) {
    if (reply.size() < 3) {
        return "incomplete reply";
    }
    if (!ModbusCrcMatches(reply)) {
        return "bad checksum";
    }
    const unsigned address = Byte(reply, 0);
    if ((Byte(reply, 1) & 0x80) != 0) {
        return "refused (exception " + std::to_string(Byte(reply, 2)) + ") from address " +
               std::to_string(address);
    }
    const std::string asked = request.size() >= 8 ? DescribeRequest(request) : std::string();
    if (asked == "identify") {
        return "identified: address " + std::to_string(address);
    }
    if (asked.rfind("read slot ", 0) == 0) {
        return asked.substr(5) + " data";
    }
    if (asked.rfind("write slot ", 0) == 0) {
        return asked.substr(6) + " written";
    }
    return "answer from address " + std::to_string(address) + (asked.empty() ? "" : " to " + asked);
}
