// The Win32 serial device's decisions on failures Wine cannot make (a pulled USB cable, a driver that
// never completes a cancelled request), driven through the real port with a stand-in driver in the
// device's table of communications calls: every call succeeds at once unless it is told to fail.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <windows.h>

#include "link/ComPortWin32.h"

namespace {

// Cancel: the driver completes a pending event wait neither on the empty mask nor when it is cancelled.
enum class TCall { Open, Queues, Line, Timeouts, Purge, State, Write, Read, Result, Mask, Wait, Cancel };

struct TFakeDriver {
    std::map<TCall, DWORD> Failures; // the calls that fail, with their codes
    bool EventAtOnce = false;        // an event wait completes as it starts
    int Opened = 0, Closed = 0, Set = 0;
    DCB Dcb{};                            // as last set; what the device had at first
    COMMTIMEOUTS Timeouts{7, 7, 7, 7, 7}; // the same
    OVERLAPPED* Pending = nullptr;
}* gDriver = nullptr;
HANDLE const kDevice = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5150));

BOOL Answer(TCall call) {
    const auto failure = gDriver->Failures.find(call);
    return failure == gDriver->Failures.end() ? TRUE : (SetLastError(failure->second), FALSE);
}
// The driver may use what it is given until it completes the request: never memory of a stack frame.
void ExpectNotOnTheStack(const void* address) {
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    EXPECT_FALSE(reinterpret_cast<ULONG_PTR>(address) >= low && reinterpret_cast<ULONG_PTR>(address) < high);
}
BOOL Complete(OVERLAPPED* o, DWORD count, const void* memory) {
    ExpectNotOnTheStack(o);
    ExpectNotOnTheStack(memory);
    o->Internal = 0;
    o->InternalHigh = count;
    return SetEvent(o->hEvent);
}

TWin32CommCalls FakeCalls() {
    TWin32CommCalls c;
    c.CreateFile = [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
        return Answer(TCall::Open) ? (++gDriver->Opened, kDevice) : INVALID_HANDLE_VALUE;
    };
    c.CloseHandle = [](HANDLE h) -> BOOL { return gDriver->Closed += h == kDevice ? 1 : 100; };
    c.SetupComm = [](HANDLE, DWORD, DWORD) -> BOOL { return Answer(TCall::Queues); };
    c.GetCommState = [](HANDLE, LPDCB d) -> BOOL { return *d = gDriver->Dcb, TRUE; };
    c.SetCommState = [](HANDLE, LPDCB d) -> BOOL {
        return Answer(TCall::Line) && (gDriver->Dcb = *d, ++gDriver->Set);
    };
    c.GetCommTimeouts = [](HANDLE, LPCOMMTIMEOUTS t) -> BOOL { return *t = gDriver->Timeouts, TRUE; };
    c.SetCommTimeouts = [](HANDLE, LPCOMMTIMEOUTS t) -> BOOL {
        return Answer(TCall::Timeouts) && (gDriver->Timeouts = *t, ++gDriver->Set);
    };
    c.PurgeComm = [](HANDLE, DWORD) -> BOOL { return Answer(TCall::Purge); };
    c.ClearCommError = [](HANDLE, LPDWORD e, LPCOMSTAT s) -> BOOL {
        return *e = 0, *s = COMSTAT{}, Answer(TCall::State);
    };
    c.WriteFile = [](HANDLE, LPCVOID b, DWORD n, LPDWORD, LPOVERLAPPED o) -> BOOL {
        return Answer(TCall::Write) && Complete(o, n, b);
    };
    c.ReadFile = [](HANDLE, LPVOID b, DWORD n, LPDWORD, LPOVERLAPPED o) -> BOOL {
        return Answer(TCall::Read) && (FillMemory(b, n, 'r'), Complete(o, n, b));
    };
    c.GetOverlappedResult = [](HANDLE, LPOVERLAPPED o, LPDWORD n, BOOL) -> BOOL {
        if (o->Internal == STATUS_PENDING) {
            return SetLastError(ERROR_IO_INCOMPLETE), FALSE;
        }
        return *n = static_cast<DWORD>(o->InternalHigh), Answer(TCall::Result);
    };
    c.SetCommMask = [](HANDLE, DWORD mask) -> BOOL {
        if (mask == 0 && gDriver->Pending != nullptr && gDriver->Failures.count(TCall::Cancel) == 0) {
            Complete(std::exchange(gDriver->Pending, nullptr), 0, nullptr); // the empty mask ends a wait
        }
        return Answer(TCall::Mask);
    };
    c.WaitCommEvent = [](HANDLE, LPDWORD mask, LPOVERLAPPED o) -> BOOL {
        if (!Answer(TCall::Wait)) {
            return FALSE;
        }
        ExpectNotOnTheStack(mask);
        if (gDriver->EventAtOnce) {
            return *mask = EV_RXCHAR, Complete(o, 0, nullptr);
        }
        gDriver->Pending = o;
        return o->Internal = STATUS_PENDING, SetLastError(ERROR_IO_PENDING), FALSE;
    };
    c.CancelIoEx = [](HANDLE, LPOVERLAPPED) -> BOOL { return TRUE; }; // ends nothing the mask did not end
    return c;
}

struct Win32DeviceFailures : testing::Test {
    TFakeDriver Driver;
    TComPort Port{[](const std::string& name) { return OpenSerialDevice(name, FakeCalls()); }};

    void SetUp() override {
        gDriver = &Driver;
        Driver.Dcb.BaudRate = 4800;
        Port.OpenPort();
    }
    void TearDown() override {
        Driver.Failures.clear();
        Port.ClosePort();
        EXPECT_EQ(Driver.Closed, Driver.Opened) << "every handle closed once";
    }
    std::string MessageOf(const std::function<void(TComPort&)>& operation) {
        try {
            operation(Port);
        } catch (const EComPort& e) {
            return e.what();
        }
        return "";
    }
};

void Write(TComPort& port) {
    const char bytes[4] = {'a', 'b', 'c', 'd'}; // on the caller's stack
    port.WriteBytes(bytes, 4);
}
void Read(TComPort& port) {
    std::string text;
    EXPECT_EQ(port.ReadBytes(text, 4), 4);
    EXPECT_EQ(text, "rrrr");
}
void Wait(TComPort& port) {
    TComEvents events{evRxChar};
    port.WaitForEvent(events, nullptr, 10);
}
const auto Poll = [](TComPort& p) { p.BytesWaiting(); };
const auto Close = [](TComPort& p) { p.ClosePort(); };
const auto Reopen = [](TComPort& p) { p.ClosePort(), p.OpenPort(); };
const auto NewRate = [](TComPort& p) { p.SetBaudRate(p.BaudRate() == br19200 ? br38400 : br19200); };
const auto NewQueues = [](TComPort& p) { p.Buffer().SetInputSize(p.Buffer().InputSize() + 2); };
const auto NewTimeouts = [](TComPort& p) {
    p.Timeouts().SetReadTotalConstant(p.Timeouts().ReadTotalConstant() + 1);
};

} // namespace

TEST_F(Win32DeviceFailures, WhichFailureOnWhichCallClosesThePortAndWhatIsSaid) {
    const struct {
        std::function<void(TComPort&)> Operation;
        std::map<TCall, DWORD> Failures;
        bool Closes;
        const char* Message;
    } rows[] = {
        // clang-format off
        // 5 from any call on the handle held: a pulled USB-serial cable.
        {Write, {{TCall::Write, 5}}, true, "WriteFile function failed (win error code: 5)"},
        {Write, {{TCall::Result, 5}}, true, "WriteFile function failed (win error code: 5)"},
        {Read, {{TCall::Read, 5}}, true, "ReadFile function failed (win error code: 5)"},
        {Poll, {{TCall::State, 5}}, true, "ClearCommError function failed (win error code: 5)"},
        {Wait, {{TCall::Mask, 5}}, true, "WaitForEvent method failed (win error code: 5)"},
        {Wait, {{TCall::Wait, 5}}, true, "WaitForEvent method failed (win error code: 5)"},
        {Close, {{TCall::Purge, 5}}, true, "PurgeComm function failed (win error code: 5)"},
        // A device still there stays open, except that closing closes whatever the abort gives.
        {Read, {{TCall::Read, 995}}, false, "ReadFile function failed (win error code: 995)"},
        {Close, {{TCall::Purge, 87}}, true, "PurgeComm function failed (win error code: 87)"},
        // A wait ending failed, or a refused setting: the device's state decides, and says why.
        {Wait, {{TCall::Result, 995}}, false, "WaitForEvent method failed (win error code: 995)"},
        {Wait, {{TCall::Result, 995}, {TCall::State, 22}}, true, "WaitForEvent method failed (win error code: 22)"},
        {NewRate, {{TCall::Line, 31}}, false, "SetCommState function failed (win error code: 31)"},
        {NewRate, {{TCall::Line, 31}, {TCall::State, 5}}, true, "SetCommState function failed (win error code: 5)"},
        {NewQueues, {{TCall::Queues, 5}, {TCall::State, 5}}, true, "SetupComm function failed (win error code: 5)"},
        {NewTimeouts, {{TCall::Timeouts, 22}, {TCall::State, 1167}}, true, "SetCommTimeouts failed (win error code: 1167)"},
        // A cancelled wait the driver never completes.
        {Wait, {{TCall::Cancel, 0}}, true, "WaitForEvent method failed (win error code: 996)"},
        // At opening 5 is another program holding the port.
        {Reopen, {{TCall::Open, 5}}, true, "Unable to open com port (win error code: 5)"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Message);
        Driver.EventAtOnce = row.Failures.count(TCall::Result) != 0;
        Driver.Failures = row.Failures;
        EXPECT_EQ(MessageOf(row.Operation), row.Message);
        EXPECT_EQ(Port.Connected(), !row.Closes);
        EXPECT_EQ(Driver.Closed, Driver.Opened - (row.Closes ? 0 : 1));
        // A request left to the driver stays for it to complete, however late.
        if (Driver.Pending != nullptr) {
            EXPECT_TRUE(Complete(std::exchange(Driver.Pending, nullptr), 0, nullptr))
                << "its event was closed";
        }
        // The device back, or never gone: OK on the same port opens it, and it works.
        Driver.Failures.clear();
        Driver.EventAtOnce = false;
        Port.OpenPort();
        EXPECT_EQ(Port.WriteBytes("abc", 3), 3);
    }
}

TEST_F(Win32DeviceFailures, ClosingPutsBackTheSettingsTheDeviceHadUnlessItHasGone) {
    EXPECT_EQ(Driver.Dcb.BaudRate, 9600u);
    Port.ClosePort();
    EXPECT_EQ(Driver.Dcb.BaudRate, 4800u);
    EXPECT_EQ(Driver.Timeouts.WriteTotalTimeoutConstant, 7u);
    Port.OpenPort();
    Driver.Failures = {{TCall::Read, 5}};
    const int set = Driver.Set;
    MessageOf(Read);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Driver.Set, set) << "nothing is set on a device that has gone";
}
