#pragma once
// The system's serial devices, opened through an opener that counts how often each group of settings
// has reached them: the port's queue sizes (SetupComm), line settings (SetCommState) and time-outs
// (SetCommTimeouts). A call counts once the device has taken it. The counts go on across every device
// the opener opens, so a port that is closed and opened again adds to them.

#include <memory>
#include <ostream>
#include <string>

#include "ForwardingDevice.h" // beside this header, for the Windows tests too

struct TApplyCounts {
    int QueueSizes = 0;
    int LineSettings = 0;
    int Timeouts = 0;
    friend bool operator==(const TApplyCounts&, const TApplyCounts&) = default;
    friend std::ostream& operator<<(std::ostream& out, const TApplyCounts& c) {
        return out << "{queue sizes " << c.QueueSizes << ", line settings " << c.LineSettings
                   << ", time-outs " << c.Timeouts << "}";
    }
};

class TSettingsCounter {
public:
    TSettingsCounter() = default;
    TSettingsCounter(const TSettingsCounter&) = delete;
    TSettingsCounter& operator=(const TSettingsCounter&) = delete;

    // For a port that must not outlive this counter.
    TSerialDeviceOpener Opener() {
        return [this](const std::string& portName) -> std::unique_ptr<TSerialDevice> {
            return std::make_unique<TCountingDevice>(OpenSerialDevice(portName), counts_);
        };
    }
    const TApplyCounts& Counts() const { return counts_; }

private:
    class TCountingDevice final : public TForwardingDevice {
    public:
        TCountingDevice(std::unique_ptr<TSerialDevice> inner, TApplyCounts& counts)
            : TForwardingDevice(std::move(inner)), counts_(counts) {}
        void SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize) override {
            Inner().SetQueueSizes(inputSize, outputSize);
            ++counts_.QueueSizes;
        }
        void SetLineSettings(const TLineSettings& settings) override {
            Inner().SetLineSettings(settings);
            ++counts_.LineSettings;
        }
        void SetTimeouts(const TTimeoutSettings& timeouts) override {
            Inner().SetTimeouts(timeouts);
            ++counts_.Timeouts;
        }

    private:
        TApplyCounts& counts_;
    };

    TApplyCounts counts_;
};
