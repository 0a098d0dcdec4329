#pragma once
// The Win32 records the serial port hands to the communications driver, built from the port's
// settings. Exposed so the mapping can be checked on its own.

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

#include "link/ComPort.h"

// What a failed call on the device was doing: a setting (SetupComm, SetCommState, SetCommTimeouts), or
// a transfer (a write, a read or a poll of the input, a wait for events, the abort of pending
// transfers as the port closes).
enum class TDeviceCall { Setting, Transfer };
// True when a call of that kind failing with that system code shows that the device itself has gone
// (the port then closes it). Only failed transfers count: a setting the driver refuses leaves the
// port open and working, whatever its code.
bool DeviceGoneFailure(TDeviceCall call, DWORD error);

// The DCB passed to SetCommState.
DCB DcbOf(const TLineSettings& settings);
// The COMMTIMEOUTS passed to SetCommTimeouts.
COMMTIMEOUTS CommTimeoutsOf(const TTimeoutSettings& timeouts);
// The EV_* mask of a set of events, and the set of an EV_* mask (flags without a member are dropped).
DWORD CommMaskOf(TComEvents events);
TComEvents EventsOfCommMask(DWORD mask);

#endif
