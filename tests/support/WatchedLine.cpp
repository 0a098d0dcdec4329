#include "support/WatchedLine.h"

#include <QCoreApplication>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "sim/SimBlock.h"
#include "support/ForwardingDevice.h"

namespace {
constexpr std::chrono::seconds kSettleLimit{30};
}

// The real device, with what passes through it counted and the requests journalled.
class TWatchedDevice final : public TForwardingDevice {
public:
    TWatchedDevice(std::unique_ptr<TSerialDevice> inner, TWatchedLine& line)
        : TForwardingDevice(std::move(inner)), line_(line) {
        line_.device_ = this;
        line_.readSinceOpen_ = 0;
        line_.sentBeforeOpen_ = line_.sim_.BytesSent();
    }
    ~TWatchedDevice() override {
        if (line_.device_ == this) {
            line_.device_ = nullptr;
        }
    }

    std::int32_t Write(const void* buffer, std::int32_t count) override {
        line_.Journal.push_back(TWatchedLine::Describe(static_cast<const std::uint8_t*>(buffer), count));
        const std::int32_t written = Inner().Write(buffer, count);
        line_.written_ += static_cast<std::uint64_t>(std::max(written, 0));
        return written;
    }
    std::int32_t Read(char* buffer, std::int32_t count) override {
        const std::int32_t read = Inner().Read(buffer, count);
        line_.readSinceOpen_ += static_cast<std::uint64_t>(std::max(read, 0));
        return read;
    }

    // Bytes waiting at the port, without the program seeing the call; -1 when the device has failed
    // (a hung-up line), which the program finds out by its own next call.
    std::int32_t WaitingUnseen() {
        try {
            return Inner().Waiting();
        } catch (const EComPort&) {
            return -1;
        }
    }

private:
    TWatchedLine& line_;
};

TWatchedLine::TWatchedLine(TAdapterSimulator& sim) : sim_(sim) {
    clock_.OnWait = [this](std::chrono::nanoseconds left) {
        Journal.push_back("wait " +
                          std::to_string(std::chrono::ceil<std::chrono::milliseconds>(left).count()) + " ms");
        if (QCoreApplication::instance() != nullptr) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        Settle();
    };
}

TSerialDeviceOpener TWatchedLine::Opener() {
    return [this](const std::string& portName) -> std::unique_ptr<TSerialDevice> {
        return std::make_unique<TWatchedDevice>(OpenSerialDevice(portName), *this);
    };
}

void TWatchedLine::Settle() {
    const auto deadline = std::chrono::steady_clock::now() + kSettleLimit;
    if (!sim_.WaitUntilAnswered(written_, kSettleLimit)) {
        ADD_FAILURE() << "the simulator took " << sim_.BytesReceived() << " of the " << written_
                      << " bytes written and did not answer them within " << kSettleLimit.count() << " s";
        return;
    }
    if (device_ == nullptr) {
        return;
    }
    // The answers pass through the pseudo-terminal's buffers on their own time.
    const std::uint64_t sent = sim_.BytesSent() - sentBeforeOpen_;
    for (;;) {
        const std::int32_t waiting = device_->WaitingUnseen();
        if (waiting < 0 || readSinceOpen_ + static_cast<std::uint64_t>(waiting) >= sent) {
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the simulator's " << sent - readSinceOpen_
                          << " bytes did not reach the port within " << kSettleLimit.count() << " s";
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

std::string TWatchedLine::Describe(const std::uint8_t* f, std::int32_t count) {
    const auto word = [f](int i) { return (f[i] << 8) | f[i + 1]; };
    if (count == 8 && f[0] == 0 && f[1] == 3 && word(2) == 0 && word(4) == 7) {
        return "identify";
    }
    if (count == 8 && f[0] == 0 && f[1] == 3 && word(4) == 2 && word(2) >= 257 && word(2) <= 287 &&
        word(2) % 2 == 1) {
        return "read slot " + std::to_string((word(2) - 255) / 2);
    }
    if (count == 13 && f[0] == 0 && f[1] == 16 && word(4) == 2 && f[6] == 4 && word(2) >= 257 &&
        word(2) <= 287 && word(2) % 2 == 1) {
        return "write slot " + std::to_string((word(2) - 255) / 2);
    }
    if (count == 8 && f[0] == 0 && f[1] == 6) {
        return "write register " + std::to_string(word(2)) + " = " + std::to_string(word(4));
    }
    return SimHexText(f, static_cast<std::size_t>(count));
}
