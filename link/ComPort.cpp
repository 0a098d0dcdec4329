// The serial port's portable part: settings and when they reach the device, the update bracket,
// opening and closing, the I/O calls handed to the platform backend, and the text forms.

#include "link/ComPort.h"

#include <array>
#include <cstdio>
#include <exception>

#include "link/SerialBackend.h"
#include "link/StopEvent.h"

// ---------------------------------------------------------------------------------------------
// Error

namespace {

std::string ComPortMessage(const std::string& text, std::int32_t winCode) {
    if (winCode == -1) {
        return text;
    }
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, " (win error code: %d)", static_cast<int>(winCode));
    return text + suffix;
}

} // namespace

EComPort::EComPort(const std::string& text, std::int32_t winCode)
    : ERq7Error(ComPortMessage(text, winCode)), WinCode(winCode) {}

// ---------------------------------------------------------------------------------------------
// Parity

void TComParity::SetBits(TParityBits value) {
    port_.ChangeLine(bits_, value);
}
void TComParity::SetCheck(bool value) {
    port_.ChangeLine(check_, value);
}
void TComParity::SetReplace(bool value) {
    port_.ChangeLine(replace_, value);
}
void TComParity::SetReplaceChar(std::uint8_t value) {
    port_.ChangeLine(replaceChar_, value);
}

// ---------------------------------------------------------------------------------------------
// Flow control

template <typename T> void TComFlowControl::Change(T& field, T value) {
    port_.ChangeLine(field, value);
}

void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
    Change(controlDTR_, value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
    Change(controlRTS_, value);
}
void TComFlowControl::SetOutCTSFlow(bool value) {
    Change(outCTSFlow_, value);
}
void TComFlowControl::SetOutDSRFlow(bool value) {
    Change(outDSRFlow_, value);
}
void TComFlowControl::SetXonXoffOut(bool value) {
    Change(xonXoffOut_, value);
}
void TComFlowControl::SetXonXoffIn(bool value) {
    Change(xonXoffIn_, value);
}
void TComFlowControl::SetDSRSensitivity(bool value) {
    Change(dsrSensitivity_, value);
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
    Change(txContinueOnXoff_, value);
}
void TComFlowControl::SetXonChar(std::uint8_t value) {
    Change(xonChar_, value);
}
void TComFlowControl::SetXoffChar(std::uint8_t value) {
    Change(xoffChar_, value);
}

TFlowControl TComFlowControl::FlowControl() const {
    if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) {
        return fcHardware;
    }
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) {
        return fcSoftware;
    }
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) {
        return fcNone;
    }
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
    switch (value) {
    case fcHardware:
        controlRTS_ = rtsHandshake;
        outCTSFlow_ = true;
        xonXoffIn_ = false;
        xonXoffOut_ = false;
        break;
    case fcSoftware:
        controlRTS_ = rtsDisable;
        outCTSFlow_ = false;
        xonXoffIn_ = true;
        xonXoffOut_ = true;
        break;
    case fcNone:
        controlRTS_ = rtsDisable;
        outCTSFlow_ = false;
        xonXoffIn_ = false;
        xonXoffOut_ = false;
        break;
    case fcCustom:
        break;
    }
    port_.ApplyLineSettings();
}

// ---------------------------------------------------------------------------------------------
// Time-outs

void TComTimeouts::Change(std::int32_t& field, std::int32_t value) {
    if (field != value) {
        field = value;
        port_.ApplyTimeouts();
    }
}

void TComTimeouts::SetReadInterval(std::int32_t value) {
    Change(readInterval_, value);
}
void TComTimeouts::SetReadTotalMultiplier(std::int32_t value) {
    Change(readTotalMultiplier_, value);
}
void TComTimeouts::SetReadTotalConstant(std::int32_t value) {
    Change(readTotalConstant_, value);
}
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t value) {
    Change(writeTotalMultiplier_, value);
}
void TComTimeouts::SetWriteTotalConstant(std::int32_t value) {
    Change(writeTotalConstant_, value);
}

// ---------------------------------------------------------------------------------------------
// Queue sizes

void TComBuffer::Change(std::int32_t& field, std::int32_t value) {
    if (field != value) {
        // The driver's queues take even sizes only.
        field = (value % 2 != 0) ? value - 1 : value;
        port_.ApplyQueueSizes();
    }
}

void TComBuffer::SetInputSize(std::int32_t value) {
    Change(inputSize_, value);
}
void TComBuffer::SetOutputSize(std::int32_t value) {
    Change(outputSize_, value);
}

// ---------------------------------------------------------------------------------------------
// Port

TCustomComPort::TCustomComPort(TSerialDeviceOpener opener)
    : parity_(*this), flowControl_(*this), timeouts_(*this), buffer_(*this), opener_(std::move(opener)) {}

TCustomComPort::~TCustomComPort() {
    // A failing abort must not escape a destructor; the device is closed regardless.
    try {
        ClosePort();
    } catch (const EComPort&) {
    }
    device_.reset();
    connected_ = false;
}

template <typename T> void TCustomComPort::ChangeLine(T& field, T value) {
    if (field != value) {
        field = value;
        ApplyLineSettings();
    }
}

void TCustomComPort::SetPort(const std::string& value) {
    if (value == port_) {
        return;
    }
    port_ = value;
    if (connected_) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
    ChangeLine(baudRate_, value);
}
void TCustomComPort::SetCustomBaudRate(std::int32_t value) {
    ChangeLine(customBaudRate_, value);
}
void TCustomComPort::SetDataBits(TDataBits value) {
    ChangeLine(dataBits_, value);
}
void TCustomComPort::SetStopBits(TStopBits value) {
    ChangeLine(stopBits_, value);
}
void TCustomComPort::SetDiscardNull(bool value) {
    ChangeLine(discardNull_, value);
}
void TCustomComPort::SetEventChar(std::uint8_t value) {
    ChangeLine(eventChar_, value);
}

template <typename Call> auto TCustomComPort::OnDevice(const char* operation, Call call) {
    TSerialDevice& device = OpenDevice(operation);
    try {
        return call(device);
    } catch (...) {
        // A device that has gone (a hung-up line, a pulled USB-serial cable) is closed once its
        // error has been raised, so that opening the same port again reaches it afresh.
        if (device_ && device_->Gone()) {
            device_.reset();
            connected_ = false;
        }
        throw;
    }
}

void TCustomComPort::OpenPort() {
    if (connected_) {
        return;
    }
    device_ = opener_ ? opener_(port_) : OpenSerialDevice(port_);
    if (!device_) {
        throw EComPort(kErrOpen, kWinErrorInvalidHandle);
    }
    connected_ = true;
    try {
        ApplySettings();
    } catch (...) {
        device_.reset();
        connected_ = false;
        throw;
    }
}

void TCustomComPort::ClosePort() {
    if (!connected_) {
        return;
    }
    // The device is closed whatever the abort gives; its failure is raised once it is closed, so that a
    // device that has gone (a pulled USB-serial cable) never keeps the port "connected".
    std::exception_ptr failure;
    try {
        OpenDevice(kErrPurgeComm).AbortPending();
    } catch (...) {
        failure = std::current_exception();
    }
    device_.reset();
    connected_ = false;
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TCustomComPort::BeginSettingsBatch() {
    ++updateCount_;
}

void TCustomComPort::EndSettingsBatch() {
    if (updateCount_ <= 0) {
        return;
    }
    --updateCount_;
    if (updateCount_ == 0) {
        ApplySettings();
    }
}

bool TCustomComPort::CanApply() const {
    return connected_ && device_ && updateCount_ == 0;
}

void TCustomComPort::ApplySettings() {
    ApplyQueueSizes();
    ApplyLineSettings();
    ApplyTimeouts();
}

void TCustomComPort::ApplyQueueSizes() {
    if (!CanApply()) {
        return;
    }
    OnDevice(kErrSetupComm, [this](TSerialDevice& device) {
        device.SetQueueSizes(buffer_.InputSize(), buffer_.OutputSize());
    });
}

void TCustomComPort::ApplyLineSettings() {
    if (!CanApply()) {
        return;
    }
    OnDevice(kErrSetCommState, [this](TSerialDevice& device) { device.SetLineSettings(LineSettings()); });
}

void TCustomComPort::ApplyTimeouts() {
    if (!CanApply()) {
        return;
    }
    OnDevice(kErrSetCommTimeouts, [this](TSerialDevice& device) { device.SetTimeouts(TimeoutSettings()); });
}

TLineSettings TCustomComPort::LineSettings() const {
    static constexpr std::array<std::int32_t, 16> kRates = {
        0, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    TLineSettings s;
    s.BaudRate = baudRate_ == brCustom ? customBaudRate_ : kRates.at(static_cast<std::size_t>(baudRate_));
    s.ByteSize = static_cast<std::uint8_t>(5 + static_cast<int>(dataBits_));
    s.Parity = static_cast<std::uint8_t>(parity_.Bits());
    s.StopBits = static_cast<std::uint8_t>(stopBits_);
    s.ParityCheck = parity_.Check();
    s.OutxCtsFlow = flowControl_.OutCTSFlow();
    s.OutxDsrFlow = flowControl_.OutDSRFlow();
    s.DtrControl = static_cast<std::uint8_t>(flowControl_.ControlDTR());
    s.DsrSensitivity = flowControl_.DSRSensitivity();
    s.TXContinueOnXoff = flowControl_.TxContinueOnXoff();
    s.OutX = flowControl_.XonXoffOut();
    s.InX = flowControl_.XonXoffIn();
    s.ErrorCharOn = parity_.Check() && parity_.Replace();
    s.ErrorChar = s.ErrorCharOn ? parity_.ReplaceChar() : 0;
    s.Null = discardNull_;
    s.RtsControl = static_cast<std::uint8_t>(flowControl_.ControlRTS());
    s.XonLim = static_cast<std::uint16_t>(buffer_.InputSize() / 4);
    s.XoffLim = s.XonLim;
    s.XonChar = flowControl_.XonChar();
    s.XoffChar = flowControl_.XoffChar();
    s.EvtChar = eventChar_;
    return s;
}

TTimeoutSettings TCustomComPort::TimeoutSettings() const {
    TTimeoutSettings t;
    t.ReadInterval = static_cast<std::uint32_t>(timeouts_.ReadInterval());
    t.ReadTotalMultiplier = static_cast<std::uint32_t>(timeouts_.ReadTotalMultiplier());
    t.ReadTotalConstant = static_cast<std::uint32_t>(timeouts_.ReadTotalConstant());
    t.WriteTotalMultiplier = static_cast<std::uint32_t>(timeouts_.WriteTotalMultiplier());
    t.WriteTotalConstant = static_cast<std::uint32_t>(timeouts_.WriteTotalConstant());
    return t;
}

TSerialDevice& TCustomComPort::OpenDevice(const char* operation) {
    if (!device_) {
        throw EComPort(operation, kWinErrorInvalidHandle);
    }
    return *device_;
}

std::int32_t TCustomComPort::WriteBytes(const void* buffer, std::int32_t count) {
    OpenDevice(kErrWriteFile);
    if (count <= 0) {
        return 0;
    }
    if (buffer == nullptr) {
        throw EComPort(kErrWriteFile, kWinErrorNoAccess);
    }
    return OnDevice(kErrWriteFile, [&](TSerialDevice& device) { return device.Write(buffer, count); });
}

std::int32_t TCustomComPort::BytesWaiting() {
    return OnDevice(kErrClearCommError, [](TSerialDevice& device) { return device.Waiting(); });
}

std::int32_t TCustomComPort::ReadBytes(std::string& text, std::int32_t count) {
    if (count <= 0) {
        text.clear();
        return 0;
    }
    OpenDevice(kErrReadFile);
    text.assign(static_cast<std::size_t>(count), '\0');
    std::int32_t read = 0;
    try {
        read = OnDevice(kErrReadFile, [&](TSerialDevice& device) { return device.Read(text.data(), count); });
    } catch (...) {
        text.clear();
        throw;
    }
    text.resize(static_cast<std::size_t>(read));
    return read;
}

void TCustomComPort::WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs) {
    OnDevice(kErrWaitForEvent,
             [&](TSerialDevice& device) { device.WaitForEvent(events, stopEvent, timeoutMs); });
}

// ---------------------------------------------------------------------------------------------
// Text forms

namespace {

constexpr std::array<const char*, 16> kBaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 4> kDataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 3> kStopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowControlTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<const char*, 3> kDTRTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRTSTexts = {"Disable", "Enable", "Handshake", "Toggle"};

// Only ASCII letters are upper-cased; every other byte (Cyrillic in UTF-8 included) stays as it is.
std::string AsciiUpper(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return result;
}

template <std::size_t N> std::string ToText(const std::array<const char*, N>& forms, int ordinal) {
    if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= N) {
        return std::string();
    }
    return forms[static_cast<std::size_t>(ordinal)];
}

template <typename E, std::size_t N>
E FromText(const std::array<const char*, N>& forms, const std::string& text, E fallback) {
    const std::string wanted = AsciiUpper(text);
    for (std::size_t i = 0; i < N; ++i) {
        if (AsciiUpper(forms[i]) == wanted) {
            return static_cast<E>(i);
        }
    }
    return fallback;
}

} // namespace

std::string BaudRateToStr(TBaudRate value) {
    return ToText(kBaudRateTexts, value);
}
TBaudRate StrToBaudRate(const std::string& text) {
    return FromText(kBaudRateTexts, text, br9600);
}
std::string DataBitsToStr(TDataBits value) {
    return ToText(kDataBitsTexts, value);
}
TDataBits StrToDataBits(const std::string& text) {
    return FromText(kDataBitsTexts, text, dbEight);
}
std::string StopBitsToStr(TStopBits value) {
    return ToText(kStopBitsTexts, value);
}
TStopBits StrToStopBits(const std::string& text) {
    return FromText(kStopBitsTexts, text, sbOneStopBit);
}
std::string ParityToStr(TParityBits value) {
    return ToText(kParityTexts, value);
}
TParityBits StrToParity(const std::string& text) {
    return FromText(kParityTexts, text, prNone);
}
std::string FlowControlToStr(TFlowControl value) {
    return ToText(kFlowControlTexts, value);
}
TFlowControl StrToFlowControl(const std::string& text) {
    return FromText(kFlowControlTexts, text, fcCustom);
}
std::string DTRFlowControlToStr(TDTRFlowControl value) {
    return ToText(kDTRTexts, value);
}
std::string RTSFlowControlToStr(TRTSFlowControl value) {
    return ToText(kRTSTexts, value);
}
