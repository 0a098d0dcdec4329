#pragma once
// The Win32 side of the serial port: the records it hands to the communications driver, built from the
// port's settings, which failures show that the device has gone, and the table of communications calls
// the device makes (the system's own unless a test stands in for the driver).

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#ifdef SetPort // the printer API's macro would rename TCustomComPort::SetPort
#undef SetPort
#endif

#include <memory>
#include <string>

#include "link/ComPort.h"
#include "link/SerialBackend.h"

// What a failed call on the device was doing: a setting (SetupComm, SetCommState, SetCommTimeouts), or
// a transfer (a write, a read or a poll of the input, the event mask, a wait for events, the abort of
// pending transfers as the port closes).
enum class TDeviceCall { Setting, Transfer };
// True when a call of that kind failing with that system code shows by itself that the device has gone
// (the port then closes it). A setting's own code never does: a driver answers a setting it cannot take
// with codes a gone device gives as well, so after a refused setting the device is asked for its state.
// On a handle the program holds, 5 (ERROR_ACCESS_DENIED) is what USB-serial drivers answer once their
// device has been unplugged; only at opening does it mean that another program has the port.
bool DeviceGoneFailure(TDeviceCall call, DWORD error);

// How long a request that was cancelled is given to complete. A driver that has lost its device may
// never complete it: the device is then taken as gone.
inline constexpr DWORD kCancelledRequestWaitMs = 1000;

// The communications calls the device makes, with the system's own as the defaults. Each stands for the
// call of that name and reports its failure the same way (SetLastError).
struct TWin32CommCalls {
    decltype(&::CreateFileW) CreateFile = ::CreateFileW;
    decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
    decltype(&::SetupComm) SetupComm = ::SetupComm;
    decltype(&::GetCommState) GetCommState = ::GetCommState;
    decltype(&::SetCommState) SetCommState = ::SetCommState;
    decltype(&::GetCommTimeouts) GetCommTimeouts = ::GetCommTimeouts;
    decltype(&::SetCommTimeouts) SetCommTimeouts = ::SetCommTimeouts;
    decltype(&::PurgeComm) PurgeComm = ::PurgeComm;
    decltype(&::ClearCommError) ClearCommError = ::ClearCommError;
    decltype(&::WriteFile) WriteFile = ::WriteFile;
    decltype(&::ReadFile) ReadFile = ::ReadFile;
    decltype(&::GetOverlappedResult) GetOverlappedResult = ::GetOverlappedResult;
    decltype(&::SetCommMask) SetCommMask = ::SetCommMask;
    decltype(&::WaitCommEvent) WaitCommEvent = ::WaitCommEvent;
    decltype(&::CancelIoEx) CancelIoEx = ::CancelIoEx;
};

// OpenSerialDevice with the given calls in place of the system's.
std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& portName, const TWin32CommCalls& calls);

// The DCB passed to SetCommState.
DCB DcbOf(const TLineSettings& settings);
// The COMMTIMEOUTS passed to SetCommTimeouts.
COMMTIMEOUTS CommTimeoutsOf(const TTimeoutSettings& timeouts);
// The EV_* mask of a set of events, and the set of an EV_* mask (flags without a member are dropped).
DWORD CommMaskOf(TComEvents events);
TComEvents EventsOfCommMask(DWORD mask);

#endif
