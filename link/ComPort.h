#pragma once
// The serial port: its line settings, exclusive opening of the device, writing blocks of bytes,
// reading the bytes waiting, and waiting for received characters with a time-out and a stop event.
// The device work itself is done by a platform backend (ComPortPosix.cpp, ComPortWin32.cpp).

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "coef/Errors.h"

class TStopEvent;
class TSerialDevice;

// ---------------------------------------------------------------------------------------------
// Setting types. The ordinal is the value a setting holds.

enum TBaudRate {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };

// A set of TComEvent; each member's ordinal is its bit.
class TComEvents {
public:
    constexpr TComEvents() = default;
    constexpr TComEvents(std::initializer_list<TComEvent> events) {
        for (TComEvent e : events) {
            Include(e);
        }
    }
    constexpr bool Contains(TComEvent e) const { return (bits_ & Bit(e)) != 0; }
    constexpr void Include(TComEvent e) { bits_ = static_cast<std::uint16_t>(bits_ | Bit(e)); }
    constexpr void Exclude(TComEvent e) { bits_ = static_cast<std::uint16_t>(bits_ & ~Bit(e)); }
    constexpr bool Empty() const { return bits_ == 0; }
    // The set as a bit mask (bit n = ordinal n) and back; bits above evRx80Full are dropped.
    constexpr std::uint16_t Mask() const { return bits_; }
    static constexpr TComEvents FromMask(std::uint16_t mask) {
        TComEvents set;
        set.bits_ = static_cast<std::uint16_t>(mask & kAllBits);
        return set;
    }
    static constexpr TComEvents All() { return FromMask(kAllBits); }
    friend constexpr bool operator==(TComEvents a, TComEvents b) { return a.bits_ == b.bits_; }

private:
    static constexpr std::uint16_t kAllBits = (1u << (evRx80Full + 1)) - 1u;
    static constexpr std::uint16_t Bit(TComEvent e) { return static_cast<std::uint16_t>(1u << e); }
    std::uint16_t bits_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The port's error: the operation's text, plus " (win error code: N)" when a system code is known.

class EComPort : public ERq7Error {
public:
    explicit EComPort(const std::string& text, std::int32_t winCode = -1);
    const char* ClassName() const noexcept override { return "EComPort"; }
    std::int32_t WinCode; // the system error code, -1 when none
};

// The port list's error when the system keeps no list of serial ports at all (Windows: a PC without
// serial ports has no HARDWARE\DEVICEMAP\SERIALCOMM key). Its message is the registry error, shown by
// the windows as any other; a command line listing the ports takes it as no port.
class ENoPortList : public EComPort {
public:
    using EComPort::EComPort;
};

// ---------------------------------------------------------------------------------------------
// Settings objects. Each belongs to one port; changing a field on an open port re-applies the
// field's group of device settings.

class TCustomComPort;

class TComParity {
public:
    explicit TComParity(TCustomComPort& port) : port_(port) {}
    TComParity(const TComParity&) = delete;
    TComParity& operator=(const TComParity&) = delete;

    TParityBits Bits() const { return bits_; }
    void SetBits(TParityBits value);
    bool Check() const { return check_; }
    void SetCheck(bool value);
    bool Replace() const { return replace_; }
    void SetReplace(bool value);
    std::uint8_t ReplaceChar() const { return replaceChar_; }
    void SetReplaceChar(std::uint8_t value);

private:
    TCustomComPort& port_;
    TParityBits bits_ = prNone;
    bool check_ = false;
    bool replace_ = false;
    std::uint8_t replaceChar_ = 0;
};

class TComFlowControl {
public:
    explicit TComFlowControl(TCustomComPort& port) : port_(port) {}
    TComFlowControl(const TComFlowControl&) = delete;
    TComFlowControl& operator=(const TComFlowControl&) = delete;

    TDTRFlowControl ControlDTR() const { return controlDTR_; }
    void SetControlDTR(TDTRFlowControl value);
    TRTSFlowControl ControlRTS() const { return controlRTS_; }
    void SetControlRTS(TRTSFlowControl value);
    bool OutCTSFlow() const { return outCTSFlow_; }
    void SetOutCTSFlow(bool value);
    bool OutDSRFlow() const { return outDSRFlow_; }
    void SetOutDSRFlow(bool value);
    bool XonXoffOut() const { return xonXoffOut_; }
    void SetXonXoffOut(bool value);
    bool XonXoffIn() const { return xonXoffIn_; }
    void SetXonXoffIn(bool value);
    bool DSRSensitivity() const { return dsrSensitivity_; }
    void SetDSRSensitivity(bool value);
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    void SetTxContinueOnXoff(bool value);
    std::uint8_t XonChar() const { return xonChar_; }
    void SetXonChar(std::uint8_t value);
    std::uint8_t XoffChar() const { return xoffChar_; }
    void SetXoffChar(std::uint8_t value);

    // The preset summarising ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut. Setting it writes
    // those fields and re-applies the line settings once, even when nothing changed.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl value);

private:
    template <typename T> void Change(T& field, T value);
    TCustomComPort& port_;
    TDTRFlowControl controlDTR_ = dtrDisable;
    TRTSFlowControl controlRTS_ = rtsDisable;
    bool outCTSFlow_ = false;
    bool outDSRFlow_ = false;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    std::uint8_t xonChar_ = 17;
    std::uint8_t xoffChar_ = 19;
};

class TComTimeouts {
public:
    explicit TComTimeouts(TCustomComPort& port) : port_(port) {}
    TComTimeouts(const TComTimeouts&) = delete;
    TComTimeouts& operator=(const TComTimeouts&) = delete;

    // -1 stands for the largest unsigned 32-bit value.
    std::int32_t ReadInterval() const { return readInterval_; }
    void SetReadInterval(std::int32_t value);
    std::int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
    void SetReadTotalMultiplier(std::int32_t value);
    std::int32_t ReadTotalConstant() const { return readTotalConstant_; }
    void SetReadTotalConstant(std::int32_t value);
    std::int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
    void SetWriteTotalMultiplier(std::int32_t value);
    std::int32_t WriteTotalConstant() const { return writeTotalConstant_; }
    void SetWriteTotalConstant(std::int32_t value);

private:
    void Change(std::int32_t& field, std::int32_t value);
    TCustomComPort& port_;
    std::int32_t readInterval_ = -1;
    std::int32_t readTotalMultiplier_ = 0;
    std::int32_t readTotalConstant_ = 0;
    std::int32_t writeTotalMultiplier_ = 100;
    std::int32_t writeTotalConstant_ = 1000;
};

class TComBuffer {
public:
    explicit TComBuffer(TCustomComPort& port) : port_(port) {}
    TComBuffer(const TComBuffer&) = delete;
    TComBuffer& operator=(const TComBuffer&) = delete;

    // An odd size is reduced by one.
    std::int32_t InputSize() const { return inputSize_; }
    void SetInputSize(std::int32_t value);
    std::int32_t OutputSize() const { return outputSize_; }
    void SetOutputSize(std::int32_t value);

private:
    void Change(std::int32_t& field, std::int32_t value);
    TCustomComPort& port_;
    std::int32_t inputSize_ = 1024;
    std::int32_t outputSize_ = 1024;
};

// ---------------------------------------------------------------------------------------------
// What the line settings carry to the device (the fields of a Win32 DCB).

struct TLineSettings {
    std::int32_t BaudRate = 9600; // bits per second
    std::uint8_t ByteSize = 8;    // 5..8
    std::uint8_t Parity = 0;      // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t StopBits = 0;    // 0 one, 1 one and a half, 2 two
    bool ParityCheck = false;     // fParity
    bool OutxCtsFlow = false;
    bool OutxDsrFlow = false;
    std::uint8_t DtrControl = 0; // TDTRFlowControl ordinal
    bool DsrSensitivity = false;
    bool TXContinueOnXoff = false;
    bool OutX = false;
    bool InX = false;
    bool ErrorCharOn = false; // fErrorChar
    std::uint8_t ErrorChar = 0;
    bool Null = false;           // fNull: discard received zero bytes
    std::uint8_t RtsControl = 0; // TRTSFlowControl ordinal
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t XonChar = 17;
    std::uint8_t XoffChar = 19;
    std::uint8_t EvtChar = 0;
};

struct TTimeoutSettings {
    std::uint32_t ReadInterval = 0xFFFFFFFFu;
    std::uint32_t ReadTotalMultiplier = 0;
    std::uint32_t ReadTotalConstant = 0;
    std::uint32_t WriteTotalMultiplier = 100;
    std::uint32_t WriteTotalConstant = 1000;
};

// ---------------------------------------------------------------------------------------------

// Opens the device for a port name for exclusive use, raising EComPort when it cannot. The port opens
// the system's serial devices (OpenSerialDevice) unless it is given another opener.
using TSerialDeviceOpener = std::function<std::unique_ptr<TSerialDevice>(const std::string& portName)>;

// Where a Linux system keeps what the port list and the stored settings read and write: the sysfs
// tree, the device folder, and the folder of the registry files (empty: each root's usual file, see
// RegFile.h). The defaults are the system's own. Windows has its registry and takes no notice.
struct TSystemRoots {
    std::string Sysfs = "/sys";
    std::string Dev = "/dev";
    std::string RegistryFolder;
};

class TCustomComPort {
public:
    explicit TCustomComPort(TSerialDeviceOpener opener = {});
    virtual ~TCustomComPort(); // closes the port
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // The component's name; the last registry key in SaveSettingsToRegistry.
    const std::string& Name() const { return name_; }
    void SetName(std::string value) { name_ = std::move(value); }

    // The device name ("COM1"). A different text (compared case-sensitively) reopens an open port
    // at once, even inside an update bracket.
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value);

    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate value);
    std::int32_t CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(std::int32_t value);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits value);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool value);
    std::uint8_t EventChar() const { return eventChar_; }
    void SetEventChar(std::uint8_t value);
    TComEvents Events() const { return events_; }
    void SetEvents(TComEvents value) { events_ = value; }
    int StoredGroups() const { return storedGroups_; }
    void SetStoredGroups(int value) { storedGroups_ = value; }

    TComParity& Parity() { return parity_; }
    const TComParity& Parity() const { return parity_; }
    TComFlowControl& FlowControl() { return flowControl_; }
    const TComFlowControl& FlowControl() const { return flowControl_; }
    TComTimeouts& Timeouts() { return timeouts_; }
    const TComTimeouts& Timeouts() const { return timeouts_; }
    TComBuffer& Buffer() { return buffer_; }
    const TComBuffer& Buffer() const { return buffer_; }

    // Opens the device named by Port for exclusive use and applies the settings (outside an update
    // bracket). Does nothing when already open. "Unable to open com port" when it cannot be opened.
    void OpenPort();
    // Aborts pending operations and closes the device; does nothing when closed. The device is closed
    // even when the abort fails; the failure is raised after closing.
    void ClosePort();
    bool Connected() const { return connected_; }

    // Update bracket: changes made inside reach the device once, when the outermost bracket ends.
    void BeginSettingsBatch();
    void EndSettingsBatch();
    std::int32_t UpdateCount() const { return updateCount_; }

    // Writes count bytes; waits at most the write time-out and returns the count written.
    std::int32_t WriteBytes(const void* buffer, std::int32_t count);
    // Number of received bytes waiting.
    std::int32_t BytesWaiting();
    // Reads up to count bytes already waiting into text (one char per byte); never waits.
    std::int32_t ReadBytes(std::string& text, std::int32_t count);
    // Waits for one of events (on return: the events that occurred, empty on time-out or stop),
    // for the stop event (nullptr: none) or for timeoutMs milliseconds (negative: no limit).
    // Bytes already waiting when the call begins do not end the wait.
    void WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs);

    // Stored settings and the port list (ComStorage*.cpp), found under the system roots: the port's own
    // for its stored settings, the given ones for the list.
    void SaveSettingsToRegistry(const std::string& keyPath);
    static void ListComPorts(std::vector<std::string>& list, const TSystemRoots& roots = {});
    void SetSystemRoots(TSystemRoots roots) { systemRoots_ = std::move(roots); }

    // The values the device receives for the current settings.
    TLineSettings LineSettings() const;
    TTimeoutSettings TimeoutSettings() const;

private:
    friend class TComParity;
    friend class TComFlowControl;
    friend class TComTimeouts;
    friend class TComBuffer;

    template <typename T> void ChangeLine(T& field, T value);
    bool CanApply() const;
    void ApplySettings();
    void ApplyQueueSizes();
    void ApplyLineSettings();
    void ApplyTimeouts();
    TSerialDevice& OpenDevice(const char* operation);
    // Runs call on the open device; closes the port when its failure shows the device has gone.
    template <typename Call> auto OnDevice(const char* operation, Call call);

    std::string name_;
    std::string port_ = "COM1";
    TBaudRate baudRate_ = br9600;
    std::int32_t customBaudRate_ = 9600;
    TDataBits dataBits_ = dbEight;
    TStopBits stopBits_ = sbOneStopBit;
    bool discardNull_ = false;
    std::uint8_t eventChar_ = 0;
    TComEvents events_ = TComEvents::All();
    int storedGroups_ = 1;
    TSystemRoots systemRoots_;
    TComParity parity_;
    TComFlowControl flowControl_;
    TComTimeouts timeouts_;
    TComBuffer buffer_;

    TSerialDeviceOpener opener_;
    std::unique_ptr<TSerialDevice> device_;
    bool connected_ = false;
    std::int32_t updateCount_ = 0;
};

class TComPort : public TCustomComPort {
public:
    explicit TComPort(TSerialDeviceOpener opener = {}) : TCustomComPort(std::move(opener)) {}
};

// ---------------------------------------------------------------------------------------------
// Text forms. From text: ASCII letters compared upper-cased; a text matching no form gives
// br9600, dbEight, sbOneStopBit, prNone or fcCustom.

std::string BaudRateToStr(TBaudRate value);
TBaudRate StrToBaudRate(const std::string& text);
std::string DataBitsToStr(TDataBits value);
TDataBits StrToDataBits(const std::string& text);
std::string StopBitsToStr(TStopBits value);
TStopBits StrToStopBits(const std::string& text);
std::string ParityToStr(TParityBits value);
TParityBits StrToParity(const std::string& text);
std::string FlowControlToStr(TFlowControl value);
TFlowControl StrToFlowControl(const std::string& text);
// Text forms of the DTR and RTS modes ("Disable", "Enable", "Handshake", "Toggle").
std::string DTRFlowControlToStr(TDTRFlowControl value);
std::string RTSFlowControlToStr(TRTSFlowControl value);
