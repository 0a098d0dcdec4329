// The serial port on Windows: the communications device opened for overlapped, exclusive use.
// Failures carry GetLastError().

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

// A manual-reset, non-signalled event for one overlapped operation, closed in every case.
class TOverlappedEvent {
public:
    explicit TOverlappedEvent(const char* operation) : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (handle_ == nullptr) {
            FailLast(operation);
        }
    }
    ~TOverlappedEvent() { CloseHandle(handle_); }
    TOverlappedEvent(const TOverlappedEvent&) = delete;
    TOverlappedEvent& operator=(const TOverlappedEvent&) = delete;
    HANDLE Handle() const { return handle_; }

private:
    HANDLE handle_;
};

class TWin32SerialDevice final : public TSerialDevice {
public:
    explicit TWin32SerialDevice(HANDLE handle) : handle_(handle) {}
    ~TWin32SerialDevice() override { CloseHandle(handle_); }
    bool Gone() const override { return gone_; }
    TWin32SerialDevice(const TWin32SerialDevice&) = delete;
    TWin32SerialDevice& operator=(const TWin32SerialDevice&) = delete;

    void SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize) override {
        if (!SetupComm(handle_, static_cast<DWORD>(inputSize), static_cast<DWORD>(outputSize))) {
            FailLastOn(kErrSetupComm, TDeviceCall::Setting);
        }
    }

    void SetLineSettings(const TLineSettings& s) override {
        DCB dcb = DcbOf(s);
        if (!SetCommState(handle_, &dcb)) {
            FailLastOn(kErrSetCommState, TDeviceCall::Setting);
        }
    }

    void SetTimeouts(const TTimeoutSettings& t) override {
        COMMTIMEOUTS timeouts = CommTimeoutsOf(t);
        if (!SetCommTimeouts(handle_, &timeouts)) {
            FailLastOn(kErrSetCommTimeouts, TDeviceCall::Setting);
        }
    }

    void AbortPending() override {
        if (!PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT)) {
            FailLastOn(kErrPurgeComm, TDeviceCall::Transfer);
        }
    }

    std::int32_t Write(const void* buffer, std::int32_t count) override {
        // The request owns a copy of the bytes until it has completed.
        const auto* bytes = static_cast<const char*>(buffer);
        std::vector<char> copy(bytes, bytes + count);
        OVERLAPPED overlapped;
        ZeroMemory(&overlapped, sizeof overlapped);
        overlapped.hEvent = writeDone_.Handle();
        if (!WriteFile(handle_, copy.data(), static_cast<DWORD>(count), nullptr, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                Fail(kErrWriteFile, error);
            }
        }
        return Finish(overlapped, kErrWriteFile);
    }

    std::int32_t Waiting() override {
        DWORD errors = 0;
        COMSTAT status;
        ZeroMemory(&status, sizeof status);
        if (!ClearCommError(handle_, &errors, &status)) {
            FailLastOn(kErrClearCommError, TDeviceCall::Transfer);
        }
        return static_cast<std::int32_t>(status.cbInQue);
    }

    std::int32_t Read(char* buffer, std::int32_t count) override {
        OVERLAPPED overlapped;
        ZeroMemory(&overlapped, sizeof overlapped);
        overlapped.hEvent = readDone_.Handle();
        if (!ReadFile(handle_, buffer, static_cast<DWORD>(count), nullptr, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                Fail(kErrReadFile, error);
            }
        }
        return Finish(overlapped, kErrReadFile);
    }

    void WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs) override {
        TOverlappedEvent completion(kErrWaitForEvent);
        OVERLAPPED overlapped;
        ZeroMemory(&overlapped, sizeof overlapped);
        overlapped.hEvent = completion.Handle();
        if (!SetCommMask(handle_, CommMaskOf(events))) {
            FailWait(GetLastError());
        }
        DWORD mask = 0;
        if (!WaitCommEvent(handle_, &mask, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                SetCommMask(handle_, 0);
                FailWait(error);
            }
        }
        HANDLE handles[2] = {completion.Handle(), nullptr};
        DWORD handleCount = 1;
        if (stopEvent != nullptr) {
            handles[1] = static_cast<HANDLE>(stopEvent->NativeHandle());
            handleCount = 2;
        }
        const DWORD wait = WaitForMultipleObjects(handleCount, handles, FALSE,
                                                  timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        const DWORD waitError = GetLastError();
        // An empty mask ends a wait that is still pending; it then reports no events. The driver
        // writes mask and overlapped until the operation has completed, so it must complete before
        // they go out of scope: should the empty mask not end it, it is cancelled.
        SetCommMask(handle_, 0);
        if (!HasOverlappedIoCompleted(&overlapped)) {
            CancelIoEx(handle_, &overlapped);
        }
        DWORD ignored = 0;
        const bool completed = GetOverlappedResult(handle_, &overlapped, &ignored, TRUE);
        const DWORD resultError = completed ? ERROR_SUCCESS : GetLastError();
        if (wait != WAIT_OBJECT_0 && wait != WAIT_OBJECT_0 + 1 && wait != WAIT_TIMEOUT) {
            Fail(kErrWaitForEvent, waitError);
        }
        // The event wait ended by itself but failed: a line that went away ends it so (a pulled cable, a
        // hung-up line), and then the events it leaves mean nothing. Ended by the stop event or the
        // time-out, it was cancelled here, and only a device that has gone meanwhile is worth a word.
        if (!completed && (wait == WAIT_OBJECT_0 || DeviceGoneFailure(TDeviceCall::Transfer, resultError))) {
            FailWait(resultError);
        }
        events = wait == WAIT_OBJECT_0 ? EventsOfCommMask(mask) : TComEvents{};
    }

private:
    // Raises the failure; a transfer's failure that shows the device has gone marks it so, and the port
    // closes it.
    [[noreturn]] void Fail(const char* operation, DWORD error, TDeviceCall call = TDeviceCall::Transfer) {
        if (DeviceGoneFailure(call, error)) {
            gone_ = true;
        }
        FailWith(operation, error);
    }
    [[noreturn]] void FailLastOn(const char* operation, TDeviceCall call) {
        Fail(operation, GetLastError(), call);
    }

    // Raises the failure of a wait for events. Drivers end a wait on a device that goes with codes that
    // need not say so (Wine ends it on a hung-up line with ERROR_OPERATION_ABORTED): unless the code
    // itself says the device has gone, the device is asked for its state once, and when that shows it
    // has gone, its code is the one raised and the port closes.
    [[noreturn]] void FailWait(DWORD error) {
        if (!DeviceGoneFailure(TDeviceCall::Transfer, error)) {
            DWORD lineErrors = 0;
            COMSTAT status;
            ZeroMemory(&status, sizeof status);
            if (!ClearCommError(handle_, &lineErrors, &status)) {
                const DWORD stateError = GetLastError();
                if (DeviceGoneFailure(TDeviceCall::Transfer, stateError)) {
                    error = stateError;
                }
            }
        }
        Fail(kErrWaitForEvent, error);
    }

    // Waits without limit for an overlapped read or write and returns the bytes transferred.
    std::int32_t Finish(OVERLAPPED& overlapped, const char* operation) {
        if (WaitForSingleObject(overlapped.hEvent, INFINITE) != WAIT_OBJECT_0) {
            const DWORD error = GetLastError();
            CancelIo(handle_);
            DWORD ignored = 0;
            GetOverlappedResult(handle_, &overlapped, &ignored, TRUE);
            Fail(operation, error);
        }
        DWORD transferred = 0;
        if (!GetOverlappedResult(handle_, &overlapped, &transferred, FALSE)) {
            FailLastOn(operation, TDeviceCall::Transfer);
        }
        return static_cast<std::int32_t>(transferred);
    }

    HANDLE handle_;
    // The completion events of the writes and the reads, made once: each WriteFile or ReadFile clears
    // its event as it starts. (Under Wine making and closing an event costs two calls to its server.)
    TOverlappedEvent writeDone_{kErrWriteFile};
    TOverlappedEvent readDone_{kErrReadFile};
    bool gone_ = false;
};

} // namespace

bool DeviceGoneFailure(TDeviceCall call, DWORD error) {
    // A driver that refuses a setting says nothing about the device being there: USB-serial drivers
    // answer a setting they cannot take with ERROR_GEN_FAILURE, and the port must stay open for the
    // next setting or transfer.
    if (call == TDeviceCall::Setting) {
        return false;
    }
    // The codes by which the communications drivers report that the device itself has gone: a
    // USB-serial adapter unplugged (FTDI and Prolific drivers answer every later call with
    // ERROR_BAD_COMMAND, the CDC driver usbser.sys and others with ERROR_GEN_FAILURE), a device removed,
    // no longer connected or failing its I/O (ERROR_IO_DEVICE), and ERROR_NOT_READY, which Wine reports
    // for every call on a line that has hung up (the EIO of a Linux terminal). Codes that also mean
    // something else on a working device are left out: ERROR_ACCESS_DENIED (another holder),
    // ERROR_INVALID_HANDLE (a closed port), ERROR_INVALID_PARAMETER (a refused setting),
    // ERROR_OPERATION_ABORTED (our own cancelling) and time-outs.
    constexpr DWORD kNoSuchDevice = 433; // ERROR_NO_SUCH_DEVICE, missing from some SDK headers
    if (error == kNoSuchDevice) {
        return true;
    }
    switch (error) {
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

std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& portName) {
    const std::wstring path = L"\\\\.\\" + Widen(portName);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        FailLast(kErrOpen);
    }
    try {
        return std::make_unique<TWin32SerialDevice>(handle);
    } catch (...) {
        CloseHandle(handle); // no device took it
        throw;
    }
}
