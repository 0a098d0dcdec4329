#pragma once
// A serial device that hands every call on to the real device it wraps. A test's device derives from
// it and overrides the calls it watches, so the port still meets the real device behind it.

#include <memory>
#include <utility>

#include "link/SerialBackend.h"

class TForwardingDevice : public TSerialDevice {
public:
    explicit TForwardingDevice(std::unique_ptr<TSerialDevice> inner) : inner_(std::move(inner)) {}

    void SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize) override {
        inner_->SetQueueSizes(inputSize, outputSize);
    }
    void SetLineSettings(const TLineSettings& settings) override { inner_->SetLineSettings(settings); }
    void SetTimeouts(const TTimeoutSettings& timeouts) override { inner_->SetTimeouts(timeouts); }
    void AbortPending() override { inner_->AbortPending(); }
    std::int32_t Write(const void* buffer, std::int32_t count) override {
        return inner_->Write(buffer, count);
    }
    std::int32_t Waiting() override { return inner_->Waiting(); }
    std::int32_t Read(char* buffer, std::int32_t count) override { return inner_->Read(buffer, count); }
    void WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs) override {
        inner_->WaitForEvent(events, stopEvent, timeoutMs);
    }
    bool Gone() const override { return inner_->Gone(); }

protected:
    TSerialDevice& Inner() { return *inner_; }

private:
    std::unique_ptr<TSerialDevice> inner_;
};
