#pragma once
// The platform side of the serial port: one open device. ComPortPosix.cpp and ComPortWin32.cpp
// each provide OpenSerialDevice. Every failure raises EComPort with the operation's text and the
// system code (on Linux errno translated to the Windows code of the same meaning).

#include <cstdint>
#include <memory>
#include <string>

#include "link/ComPort.h"

// Operation texts of the port's errors.
inline constexpr const char* kErrOpen = "Unable to open com port";
inline constexpr const char* kErrSetupComm = "SetupComm function failed";
inline constexpr const char* kErrSetCommState = "SetCommState function failed";
inline constexpr const char* kErrSetCommTimeouts = "SetCommTimeouts failed";
inline constexpr const char* kErrPurgeComm = "PurgeComm function failed";
inline constexpr const char* kErrWriteFile = "WriteFile function failed";
inline constexpr const char* kErrReadFile = "ReadFile function failed";
inline constexpr const char* kErrClearCommError = "ClearCommError function failed";
inline constexpr const char* kErrWaitForEvent = "WaitForEvent method failed";

// Windows system codes used where the platform has no code of its own.
inline constexpr std::int32_t kWinErrorInvalidHandle = 6;
inline constexpr std::int32_t kWinErrorInvalidName = 123; // what "\\.\" alone gives
inline constexpr std::int32_t kWinErrorNoAccess = 998;    // a buffer that cannot be read

class TSerialDevice {
public:
    virtual ~TSerialDevice() = default;
    // SetupComm: the driver's queue sizes.
    virtual void SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize) = 0;
    // SetCommState: the line settings.
    virtual void SetLineSettings(const TLineSettings& settings) = 0;
    // SetCommTimeouts.
    virtual void SetTimeouts(const TTimeoutSettings& timeouts) = 0;
    // PurgeComm(PURGE_TXABORT | PURGE_RXABORT): aborts pending operations, keeps queued bytes.
    virtual void AbortPending() = 0;
    // Writes count bytes within the write time-out; returns the count written.
    virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
    // Bytes waiting in the receive queue (clears a pending line-error state).
    virtual std::int32_t Waiting() = 0;
    // Reads up to count bytes that are already waiting, without waiting; returns the count read.
    virtual std::int32_t Read(char* buffer, std::int32_t count) = 0;
    // See TCustomComPort::WaitForEvent.
    virtual void WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs) = 0;
    // True once a failure has shown that the device itself has gone (the line hung up, a USB-serial
    // cable pulled): the handle is of no further use and the port closes it.
    virtual bool Gone() const { return false; }
};

// Opens the device named portName ("COM1", ...) for exclusive use. Raises "Unable to open com port"
// with the system code (5 when another program holds the device).
std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& portName);

#ifndef _WIN32
// The device file for a port name: an absolute path as it is; "COMn" -> /dev/COMn where /dev has an
// entry of that name (a link to a virtual port), else /dev/ttyS(n-1); any other name -> /dev/NAME.
std::string DevicePath(const std::string& portName);
// errno translated to the Windows system code of the same meaning.
std::int32_t WinCodeFromErrno(int error);
#endif

#ifndef _WIN32
// Sets an input and output rate that has no Bxxx constant (termios2 with BOTHER). Returns 0 or errno.
int SetArbitraryBaudRate(int fd, int rate);
#endif
