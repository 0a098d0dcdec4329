// The serial port on Windows: the communications device opened for overlapped, exclusive use.
// Failures carry GetLastError().

#include <algorithm>
#include <memory>
#include <string>
#include <vector>
#include <windows.h>

#include "coef/WideText.h"
#include "link/ComPortWin32.h"
#include "link/SerialBackend.h"
#include "link/StopEvent.h"

namespace {

[[noreturn]] void FailWith(const char* operation, DWORD error) {
    throw EComPort(operation, static_cast<std::int32_t>(error));
}

[[noreturn]] void FailLast(const char* operation) {
    FailWith(operation, GetLastError());
}

// One overlapped request: its OVERLAPPED with its manual-reset completion event, and the memory the
// driver reads or writes while it runs (the bytes, the event mask). The request belongs to the device,
// never to a stack frame, and outlives every call until the driver has completed it.
struct TCommRequest {
    TCommRequest() = default;
    TCommRequest(const TCommRequest&) = delete;
    TCommRequest& operator=(const TCommRequest&) = delete;
    ~TCommRequest() {
        if (Overlapped.hEvent != nullptr) {
            CloseHandle(Overlapped.hEvent);
        }
    }
    OVERLAPPED Overlapped{};
    std::vector<char> Bytes;
    DWORD Mask = 0;
};

std::unique_ptr<TCommRequest> NewRequest(const char* operation) {
    auto request = std::make_unique<TCommRequest>();
    request->Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (request->Overlapped.hEvent == nullptr) {
        FailLast(operation);
    }
    return request;
}

class TWin32SerialDevice final : public TSerialDevice {
public:
    TWin32SerialDevice(HANDLE handle, const TWin32CommCalls& calls)
        : handle_(handle), calls_(calls), write_(NewRequest(kErrWriteFile)), read_(NewRequest(kErrReadFile)),
          wait_(NewRequest(kErrWaitForEvent)) {
        // The settings the device had, put back when the port closes.
        savedState_.DCBlength = sizeof savedState_;
        hasSavedState_ = calls_.GetCommState(handle_, &savedState_) != FALSE;
        hasSavedTimeouts_ = calls_.GetCommTimeouts(handle_, &savedTimeouts_) != FALSE;
    }
    ~TWin32SerialDevice() override {
        // What the device had before. A device that has gone refuses; there is nothing to restore then.
        if (!gone_) {
            if (hasSavedState_) {
                calls_.SetCommState(handle_, &savedState_);
            }
            if (hasSavedTimeouts_) {
                calls_.SetCommTimeouts(handle_, &savedTimeouts_);
            }
        }
        calls_.CloseHandle(handle_);
    }
    TWin32SerialDevice(const TWin32SerialDevice&) = delete;
    TWin32SerialDevice& operator=(const TWin32SerialDevice&) = delete;
    bool Gone() const override { return gone_; }

    void SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize) override {
        if (!calls_.SetupComm(handle_, static_cast<DWORD>(inputSize), static_cast<DWORD>(outputSize))) {
            FailAsking(kErrSetupComm, GetLastError(), TDeviceCall::Setting);
        }
    }

    void SetLineSettings(const TLineSettings& s) override {
        DCB dcb = DcbOf(s);
        if (!calls_.SetCommState(handle_, &dcb)) {
            FailAsking(kErrSetCommState, GetLastError(), TDeviceCall::Setting);
        }
    }

    void SetTimeouts(const TTimeoutSettings& t) override {
        COMMTIMEOUTS timeouts = CommTimeoutsOf(t);
        if (!calls_.SetCommTimeouts(handle_, &timeouts)) {
            FailAsking(kErrSetCommTimeouts, GetLastError(), TDeviceCall::Setting);
        }
    }

    void AbortPending() override {
        if (!calls_.PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT)) {
            Fail(kErrPurgeComm, GetLastError());
        }
    }

    std::int32_t Write(const void* buffer, std::int32_t count) override {
        TCommRequest& request = Ready(write_, kErrWriteFile);
        const auto* bytes = static_cast<const char*>(buffer);
        request.Bytes.assign(bytes, bytes + count);
        OVERLAPPED& overlapped = Begin(request);
        if (!calls_.WriteFile(handle_, request.Bytes.data(), static_cast<DWORD>(count), nullptr,
                              &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                Fail(kErrWriteFile, error);
            }
        }
        return static_cast<std::int32_t>(Finish(write_, kErrWriteFile));
    }

    std::int32_t Waiting() override {
        DWORD errors = 0;
        COMSTAT status;
        ZeroMemory(&status, sizeof status);
        if (!calls_.ClearCommError(handle_, &errors, &status)) {
            Fail(kErrClearCommError, GetLastError());
        }
        return static_cast<std::int32_t>(status.cbInQue);
    }

    std::int32_t Read(char* buffer, std::int32_t count) override {
        // The driver reads into the request's own bytes, which outlive this call should it not complete.
        TCommRequest& request = Ready(read_, kErrReadFile);
        request.Bytes.assign(static_cast<std::size_t>(count), '\0');
        OVERLAPPED& overlapped = Begin(request);
        if (!calls_.ReadFile(handle_, request.Bytes.data(), static_cast<DWORD>(count), nullptr,
                             &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                Fail(kErrReadFile, error);
            }
        }
        const DWORD read = std::min(Finish(read_, kErrReadFile), static_cast<DWORD>(count));
        std::copy_n(request.Bytes.data(), read, buffer);
        return static_cast<std::int32_t>(read);
    }

    void WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs) override {
        TCommRequest& request = Ready(wait_, kErrWaitForEvent);
        if (!calls_.SetCommMask(handle_, CommMaskOf(events))) {
            FailAsking(kErrWaitForEvent, GetLastError(), TDeviceCall::Transfer);
        }
        request.Mask = 0;
        OVERLAPPED& overlapped = Begin(request);
        if (!calls_.WaitCommEvent(handle_, &request.Mask, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                calls_.SetCommMask(handle_, 0);
                FailAsking(kErrWaitForEvent, error, TDeviceCall::Transfer);
            }
        }
        HANDLE handles[2] = {overlapped.hEvent, nullptr};
        DWORD handleCount = 1;
        if (stopEvent != nullptr) {
            handles[1] = static_cast<HANDLE>(stopEvent->NativeHandle());
            handleCount = 2;
        }
        const DWORD wait = WaitForMultipleObjects(handleCount, handles, FALSE,
                                                  timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        const DWORD waitError = GetLastError();
        // An empty mask ends a wait that is still pending; it then reports no events. Should it not end
        // it, the request is cancelled.
        calls_.SetCommMask(handle_, 0);
        EndPending(wait_, kErrWaitForEvent);
        DWORD ignored = 0;
        const bool completed = calls_.GetOverlappedResult(handle_, &overlapped, &ignored, FALSE) != FALSE;
        const DWORD resultError = completed ? ERROR_SUCCESS : GetLastError();
        if (wait != WAIT_OBJECT_0 && wait != WAIT_OBJECT_0 + 1 && wait != WAIT_TIMEOUT) {
            Fail(kErrWaitForEvent, waitError);
        }
        // The event wait ended by itself but failed: a line that went away ends it so (a pulled cable, a
        // hung-up line), and then the events it leaves mean nothing. Ended by the stop event or the
        // time-out, it was cancelled here, and only a device that has gone meanwhile is worth a word.
        if (!completed && (wait == WAIT_OBJECT_0 || DeviceGoneFailure(TDeviceCall::Transfer, resultError))) {
            FailAsking(kErrWaitForEvent, resultError, TDeviceCall::Transfer);
        }
        events = wait == WAIT_OBJECT_0 ? EventsOfCommMask(request.Mask) : TComEvents{};
    }

private:
    // Raises the failure; one that shows the device has gone marks it so, and the port closes it.
    [[noreturn]] void Fail(const char* operation, DWORD error, TDeviceCall call = TDeviceCall::Transfer) {
        if (DeviceGoneFailure(call, error)) {
            gone_ = true;
        }
        FailWith(operation, error);
    }

    // Raises a failure whose own code need not say whether the device is still there: a refused setting,
    // a failed wait for events (Wine ends one on a hung-up line with ERROR_OPERATION_ABORTED). Unless the
    // code itself says the device has gone, the device is asked for its state once, and when that shows
    // it has gone, its code is the one raised and the port closes.
    [[noreturn]] void FailAsking(const char* operation, DWORD error, TDeviceCall call) {
        if (!DeviceGoneFailure(call, error)) {
            DWORD lineErrors = 0;
            COMSTAT status;
            ZeroMemory(&status, sizeof status);
            if (!calls_.ClearCommError(handle_, &lineErrors, &status)) {
                const DWORD stateError = GetLastError();
                if (DeviceGoneFailure(TDeviceCall::Transfer, stateError)) {
                    Fail(operation, stateError);
                }
            }
        }
        Fail(operation, error, call);
    }

    // The request for a new operation. None is left once the driver has kept one for good; the device has
    // gone then and the port has closed it, so this is only a guard.
    static TCommRequest& Ready(const std::unique_ptr<TCommRequest>& request, const char* operation) {
        if (!request) {
            FailWith(operation, ERROR_INVALID_HANDLE);
        }
        return *request;
    }

    // The request's OVERLAPPED, cleared for a new operation: its event reset, the request pending until
    // the driver says otherwise.
    static OVERLAPPED& Begin(TCommRequest& request) {
        HANDLE done = request.Overlapped.hEvent;
        ZeroMemory(&request.Overlapped, sizeof request.Overlapped);
        request.Overlapped.hEvent = done;
        request.Overlapped.Internal = STATUS_PENDING;
        ResetEvent(done);
        return request.Overlapped;
    }

    // Ends a request that may still be pending: it is cancelled, and the driver has a bounded while to
    // complete it. One that stays pending is left to the driver for good (it may still write there: its
    // memory is never freed), the device is taken as gone and the operation fails with
    // ERROR_IO_INCOMPLETE.
    void EndPending(std::unique_ptr<TCommRequest>& request, const char* operation) {
        OVERLAPPED& overlapped = request->Overlapped;
        if (HasOverlappedIoCompleted(&overlapped)) {
            return;
        }
        calls_.CancelIoEx(handle_, &overlapped);
        if (WaitForSingleObject(overlapped.hEvent, kCancelledRequestWaitMs) == WAIT_OBJECT_0 ||
            HasOverlappedIoCompleted(&overlapped)) {
            return;
        }
        static_cast<void>(request.release()); // deliberately never freed
        gone_ = true;
        FailWith(operation, ERROR_IO_INCOMPLETE);
    }

    // Waits without limit for an overlapped read or write (the write time-out bounds it in the driver)
    // and returns the bytes transferred.
    DWORD Finish(std::unique_ptr<TCommRequest>& request, const char* operation) {
        OVERLAPPED& overlapped = request->Overlapped;
        if (WaitForSingleObject(overlapped.hEvent, INFINITE) != WAIT_OBJECT_0) {
            const DWORD error = GetLastError();
            EndPending(request, operation);
            Fail(operation, error);
        }
        DWORD transferred = 0;
        if (!calls_.GetOverlappedResult(handle_, &overlapped, &transferred, FALSE)) {
            Fail(operation, GetLastError());
        }
        return transferred;
    }

    HANDLE handle_;
    TWin32CommCalls calls_;
    // The requests of the writes, the reads and the event waits, made once (under Wine making and closing
    // an event costs two calls to its server).
    std::unique_ptr<TCommRequest> write_;
    std::unique_ptr<TCommRequest> read_;
    std::unique_ptr<TCommRequest> wait_;
    DCB savedState_{};
    COMMTIMEOUTS savedTimeouts_{};
    bool hasSavedState_ = false;
    bool hasSavedTimeouts_ = false;
    bool gone_ = false;
};

} // namespace

bool DeviceGoneFailure(TDeviceCall call, DWORD error) {
    // A driver that refuses a setting says nothing about the device being there: USB-serial drivers
    // answer a setting they cannot take with ERROR_GEN_FAILURE. The device is asked instead.
    if (call == TDeviceCall::Setting) {
        return false;
    }
    // The codes by which the communications drivers report that the device itself has gone: a
    // USB-serial adapter unplugged (its handle then answers ERROR_ACCESS_DENIED; FTDI and Prolific
    // drivers answer ERROR_BAD_COMMAND, the CDC driver usbser.sys and others ERROR_GEN_FAILURE), a device
    // removed, no longer connected or failing its I/O (ERROR_IO_DEVICE), and ERROR_NOT_READY, which Wine
    // reports for every call on a line that has hung up (the EIO of a Linux terminal). Codes that also
    // mean something else on a working device are left out: ERROR_INVALID_HANDLE (a closed port),
    // ERROR_INVALID_PARAMETER (a refused setting), ERROR_OPERATION_ABORTED (our own cancelling) and
    // time-outs.
    constexpr DWORD kNoSuchDevice = 433; // ERROR_NO_SUCH_DEVICE, missing from some SDK headers
    if (error == kNoSuchDevice) {
        return true;
    }
    switch (error) {
    case ERROR_ACCESS_DENIED:        // 5
    case ERROR_NOT_READY:            // 21
    case ERROR_BAD_COMMAND:          // 22
    case ERROR_GEN_FAILURE:          // 31
    case ERROR_DEV_NOT_EXIST:        // 55
    case ERROR_IO_DEVICE:            // 1117
    case ERROR_DEVICE_NOT_CONNECTED: // 1167
    case ERROR_DEVICE_REMOVED:       // 1617
        return true;
    default:
        return false;
    }
}

DCB DcbOf(const TLineSettings& s) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb); // EofChar and the reserved fields stay 0
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(s.BaudRate);
    dcb.ByteSize = s.ByteSize;
    dcb.Parity = s.Parity;
    dcb.StopBits = s.StopBits;
    dcb.fBinary = 1;
    dcb.fParity = s.ParityCheck ? 1 : 0;
    dcb.fOutxCtsFlow = s.OutxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = s.OutxDsrFlow ? 1 : 0;
    dcb.fDtrControl = s.DtrControl & 3u;
    dcb.fDsrSensitivity = s.DsrSensitivity ? 1 : 0;
    dcb.fTXContinueOnXoff = s.TXContinueOnXoff ? 1 : 0;
    dcb.fOutX = s.OutX ? 1 : 0;
    dcb.fInX = s.InX ? 1 : 0;
    dcb.fErrorChar = s.ErrorCharOn ? 1 : 0;
    dcb.ErrorChar = static_cast<char>(s.ErrorCharOn ? s.ErrorChar : 0);
    dcb.fNull = s.Null ? 1 : 0;
    dcb.fRtsControl = s.RtsControl & 3u;
    dcb.fAbortOnError = 0;
    dcb.XonLim = s.XonLim;
    dcb.XoffLim = s.XoffLim;
    dcb.XonChar = static_cast<char>(s.XonChar);
    dcb.XoffChar = static_cast<char>(s.XoffChar);
    dcb.EvtChar = static_cast<char>(s.EvtChar);
    return dcb;
}

COMMTIMEOUTS CommTimeoutsOf(const TTimeoutSettings& t) {
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = t.ReadInterval;
    timeouts.ReadTotalTimeoutMultiplier = t.ReadTotalMultiplier;
    timeouts.ReadTotalTimeoutConstant = t.ReadTotalConstant;
    timeouts.WriteTotalTimeoutMultiplier = t.WriteTotalMultiplier;
    timeouts.WriteTotalTimeoutConstant = t.WriteTotalConstant;
    return timeouts;
}

namespace {
// Platform flag of each TComEvent, by ordinal.
constexpr DWORD kEventFlags[] = {EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING, EV_BREAK,
                                 EV_CTS,    EV_DSR,     EV_ERR,    EV_RLSD, EV_RX80FULL};
} // namespace

DWORD CommMaskOf(TComEvents events) {
    DWORD mask = 0;
    for (int e = evRxChar; e <= evRx80Full; ++e) {
        if (events.Contains(static_cast<TComEvent>(e))) {
            mask |= kEventFlags[e];
        }
    }
    return mask;
}

TComEvents EventsOfCommMask(DWORD mask) {
    TComEvents events;
    for (int e = evRxChar; e <= evRx80Full; ++e) {
        if ((mask & kEventFlags[e]) != 0) {
            events.Include(static_cast<TComEvent>(e));
        }
    }
    return events;
}

std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& portName, const TWin32CommCalls& calls) {
    const std::wstring path = L"\\\\.\\" + Widen(portName);
    HANDLE handle = calls.CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        FailLast(kErrOpen); // ERROR_ACCESS_DENIED here: another program has the port
    }
    try {
        return std::make_unique<TWin32SerialDevice>(handle, calls);
    } catch (...) {
        calls.CloseHandle(handle); // no device took it
        throw;
    }
}

std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& portName) {
    return OpenSerialDevice(portName, TWin32CommCalls{});
}
