// The serial port's Win32 backend on a real COM port with the adapter (or its simulator) on the
// other end, the records it hands to the driver, the stop event and the console control handler.
//
// The port is named by RQ7_TEST_PORT (such as COM5); scripts/windows-check.sh maps a COM port of
// Wine onto the simulator's pseudo-terminal. Without it the tests that need a port are skipped.

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

#include "coef/CoefBlock.h"
#include "coef/Crc.h"
#include "link/ComPortWin32.h"
#include "link/ConsoleControl.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "link/StopEvent.h"
#include "support/WinTestSupport.h"
#include "tests/support/CountingDevice.h"

namespace {

using Clock = std::chrono::steady_clock;

// The identify request (read registers 0..6 of slave 0) and the length of its reply.
const std::uint8_t kIdentify[8] = {0x00, 0x03, 0x00, 0x00, 0x00, 0x07, 0x05, 0xD9};
constexpr std::int32_t kIdentifyReplyLength = 3 + 14 + 2;

// Wine's serial port on a pseudo-terminal. A pseudo-terminal has no modem lines, and Wine's thread
// that watches for port events gives up at once when it cannot read them, so a WaitCommEvent there
// ends after a few milliseconds with ERROR_OPERATION_ABORTED instead of waiting. windows-check.sh
// preloads a small library that gives the pseudo-terminal steady modem lines and says so in
// RQ7_WINE_MODEM_LINES; then Wine's event wait works.
bool WineEventWaitWorks() {
    return !UnderWine() || EnvText("RQ7_WINE_MODEM_LINES") == "emulated";
}

#define RQ7_SKIP_UNLESS_EVENT_WAIT_WORKS()                                                                   \
    do {                                                                                                     \
        if (!WineEventWaitWorks()) {                                                                         \
            GTEST_SKIP() << "Wine " << WineVersion()                                                         \
                         << " cannot do this: on a pseudo-terminal its WaitCommEvent ends at once with "     \
                            "ERROR_OPERATION_ABORTED (no modem lines to watch); run with the modem-line "    \
                            "library of scripts/windows-check.sh";                                           \
        }                                                                                                    \
    } while (false)

std::string TestPort() {
    return EnvText("RQ7_TEST_PORT");
}

#define RQ7_NEED_PORT()                                                                                      \
    do {                                                                                                     \
        if (TestPort().empty()) {                                                                            \
            GTEST_SKIP()                                                                                     \
                << "RQ7_TEST_PORT is not set: name a COM port on which the adapter or rq7sim answers";       \
        }                                                                                                    \
    } while (false)

std::string MessageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const EComPort& e) {
        return e.what();
    }
    return "";
}

// The data module's port as the main window opens it: DTR and RTS held on, no events.
class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TestPort().empty()) {
            return;
        }
        Port().SetPort(TestPort());
        Port().SetEvents(TComEvents{});
        Port().FlowControl().SetControlDTR(dtrEnable);
        Port().FlowControl().SetControlRTS(rtsEnable);
        Port().OpenPort();
        Drain();
    }

    TComPort& Port() { return module_.ComPort; }

    // Waits (without limit beyond a generous one against a hang) until at least n bytes are waiting.
    std::int32_t WaitForBytes(std::int32_t n) {
        const auto giveUp = Clock::now() + std::chrono::seconds(20);
        std::int32_t waiting = Port().BytesWaiting();
        while (waiting < n && Clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            waiting = Port().BytesWaiting();
        }
        return waiting;
    }

    // Reads whatever is left over from an earlier test.
    void Drain() {
        std::string rest;
        const std::int32_t waiting = Port().BytesWaiting();
        Port().ReadBytes(rest, waiting);
    }

    TSettingsCounter counter_; // how often the port's settings reached the driver
    TQuorbDataModule module_{counter_.Opener()};
};

} // namespace

// ---------------------------------------------------------------------------------------------
// The records handed to the driver

TEST(Win32Records, DcbCarriesEveryLineSettingAsTheTableSays) {
    TComPort port;
    // The data module's settings after the main window's opening: 9600 8N1, DTR and RTS on.
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsEnable);
    DCB dcb = DcbOf(port.LineSettings());
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fOutX | dcb.fInX | dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff | dcb.fErrorChar | dcb.fNull | dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.XonLim, 256);
    EXPECT_EQ(dcb.XoffLim, 256);
    EXPECT_EQ(dcb.XonChar, 17);
    EXPECT_EQ(dcb.XoffChar, 19);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0);
    EXPECT_EQ(dcb.fDummy2, 0u);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.wReserved1, 0);

    // Every field away from its default, each to a value no other field holds.
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    port.SetDataBits(dbSeven);
    port.SetStopBits(sbTwoStopBits);
    port.Parity().SetBits(prMark);
    port.Parity().SetCheck(true);
    port.Parity().SetReplace(true);
    port.Parity().SetReplaceChar('?');
    port.FlowControl().SetOutCTSFlow(true);
    port.FlowControl().SetOutDSRFlow(true);
    port.FlowControl().SetControlDTR(dtrHandshake);
    port.FlowControl().SetControlRTS(rtsToggle);
    port.FlowControl().SetDSRSensitivity(true);
    port.FlowControl().SetTxContinueOnXoff(true);
    port.FlowControl().SetXonXoffOut(true);
    port.FlowControl().SetXonXoffIn(true);
    port.FlowControl().SetXonChar(0x11 + 0x40);
    port.FlowControl().SetXoffChar(0x13 + 0x40);
    port.SetDiscardNull(true);
    port.SetEventChar('\n');
    port.Buffer().SetInputSize(4096);
    dcb = DcbOf(port.LineSettings());
    EXPECT_EQ(dcb.BaudRate, 31250u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fErrorChar, 1u);
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fNull, 1u);
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.XonChar, 0x51);
    EXPECT_EQ(dcb.XoffChar, 0x53);
    EXPECT_EQ(dcb.EvtChar, '\n');
    EXPECT_EQ(dcb.XonLim, 1024);
    EXPECT_EQ(dcb.XoffLim, 1024);

    // The replacement character reaches the driver only while parity is checked.
    port.Parity().SetCheck(false);
    dcb = DcbOf(port.LineSettings());
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.ErrorChar, 0);
    port.Parity().SetBits(prSpace);
    port.SetStopBits(sbOne5StopBits);
    port.SetDataBits(dbFive);
    dcb = DcbOf(port.LineSettings());
    EXPECT_EQ(dcb.Parity, SPACEPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.ByteSize, 5);
}

TEST(Win32Records, TimeoutsMakeReadsReturnAtOnceAndBoundWrites) {
    TComPort port;
    COMMTIMEOUTS t = CommTimeoutsOf(port.TimeoutSettings());
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    port.Timeouts().SetReadInterval(5);
    port.Timeouts().SetReadTotalMultiplier(6);
    port.Timeouts().SetReadTotalConstant(7);
    port.Timeouts().SetWriteTotalMultiplier(8);
    port.Timeouts().SetWriteTotalConstant(9);
    t = CommTimeoutsOf(port.TimeoutSettings());
    EXPECT_EQ(t.ReadIntervalTimeout, 5u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 6u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 7u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 8u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 9u);
}

TEST(Win32Records, EventSetsMapOntoTheDriverFlags) {
    const std::pair<TComEvent, DWORD> table[] = {
        {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY},  {evRxFlag, EV_RXFLAG}, {evRing, EV_RING},
        {evBreak, EV_BREAK},   {evCTS, EV_CTS},          {evDSR, EV_DSR},       {evError, EV_ERR},
        {evRLSD, EV_RLSD},     {evRx80Full, EV_RX80FULL}};
    DWORD all = 0;
    for (const auto& [event, flag] : table) {
        EXPECT_EQ(CommMaskOf(TComEvents{event}), flag) << "event " << event;
        EXPECT_EQ(EventsOfCommMask(flag), TComEvents{event}) << "flag " << flag;
        all |= flag;
    }
    EXPECT_EQ(CommMaskOf(TComEvents::All()), all);
    EXPECT_EQ(CommMaskOf(TComEvents{}), 0u);
    EXPECT_EQ(EventsOfCommMask(EV_RXCHAR | EV_ERR | 0x8000), (TComEvents{evRxChar, evError}));
}

// ---------------------------------------------------------------------------------------------
// Which failures close the port

TEST(Win32DeviceGone, OnlyFailedTransfersCountAsADeviceThatWentAway) {
    // A pulled USB-serial cable (5 on the handle held, 22, 31, 1117, ...), a hung-up line under Wine (21),
    // a device removed.
    const DWORD gone[] = {5, 21, 22, 31, 55, 433, 1117, 1167, 1617};
    // A closed port, a refused setting, our own cancelling, a time-out, no such call.
    const DWORD working[] = {0, 6, 50, 87, 121, 995, 1460};
    for (const DWORD code : gone) {
        EXPECT_TRUE(DeviceGoneFailure(TDeviceCall::Transfer, code)) << "a transfer failing with " << code;
        // A setting the driver refuses, with whatever code, leaves a working port open.
        EXPECT_FALSE(DeviceGoneFailure(TDeviceCall::Setting, code)) << "a setting refused with " << code;
    }
    for (const DWORD code : working) {
        EXPECT_FALSE(DeviceGoneFailure(TDeviceCall::Transfer, code)) << "a transfer failing with " << code;
        EXPECT_FALSE(DeviceGoneFailure(TDeviceCall::Setting, code)) << "a setting refused with " << code;
    }
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

TEST(Win32SerialOpen, MissingDeviceIsUnableToOpenWithTheSystemCode) {
    TComPort port;
    port.SetPort("RQ7NOSUCHPORT");
    EXPECT_EQ(MessageOf([&] { port.OpenPort(); }), "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(port.Connected());
    // Operations on the closed port fail with the invalid-handle code.
    EXPECT_EQ(MessageOf([&] { port.BytesWaiting(); }), "ClearCommError function failed (win error code: 6)");
    EXPECT_EQ(MessageOf([&] { port.WriteBytes(kIdentify, 8); }),
              "WriteFile function failed (win error code: 6)");
}

TEST_F(SerialPortTest, OpensAndAppliesEveryGroupOnce) {
    RQ7_NEED_PORT();
    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(counter_.Counts().QueueSizes, 1);
    EXPECT_EQ(counter_.Counts().LineSettings, 1);
    EXPECT_EQ(counter_.Counts().Timeouts, 1);
    // Changes on the open port reach the driver, and it takes them.
    Port().SetBaudRate(br19200);
    Port().SetBaudRate(br115200);
    Port().Timeouts().SetWriteTotalConstant(2000);
    Port().Buffer().SetInputSize(2048);
    EXPECT_EQ(counter_.Counts().LineSettings, 3);
    EXPECT_EQ(counter_.Counts().Timeouts, 2);
    EXPECT_EQ(counter_.Counts().QueueSizes, 2);
    // A batch reaches the driver once, when it ends.
    Port().BeginSettingsBatch();
    Port().SetBaudRate(br9600);
    Port().SetStopBits(sbTwoStopBits);
    Port().SetStopBits(sbOneStopBit);
    EXPECT_EQ(counter_.Counts().LineSettings, 3);
    Port().EndSettingsBatch();
    EXPECT_EQ(counter_.Counts().LineSettings, 4);
}

TEST_F(SerialPortTest, SecondOpenWhileHeldIsRefusedWithCode5) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNDER_WINE("its serial devices take no notice of the share mode: a second CreateFile with "
                        "share mode 0 of an open COM port succeeds (a plain file is refused with 32)");
    TComPort second;
    second.SetPort(TestPort());
    EXPECT_EQ(MessageOf([&] { second.OpenPort(); }), "Unable to open com port (win error code: 5)");
    EXPECT_FALSE(second.Connected());
    // Once the first closes, the second opens.
    Port().ClosePort();
    EXPECT_FALSE(Port().Connected());
    second.OpenPort();
    EXPECT_TRUE(second.Connected());
}

TEST_F(SerialPortTest, ClosedPortRefusesIoAndReopens) {
    RQ7_NEED_PORT();
    Port().ClosePort();
    EXPECT_FALSE(Port().Connected());
    std::string text = "x";
    EXPECT_EQ(MessageOf([&] { Port().ReadBytes(text, 4); }), "ReadFile function failed (win error code: 6)");
    TComEvents events{evRxChar};
    EXPECT_EQ(MessageOf([&] { Port().WaitForEvent(events, nullptr, 10); }),
              "WaitForEvent method failed (win error code: 6)");
    EXPECT_EQ(events, TComEvents{evRxChar});
    // Renaming to another spelling of the same device reopens it at once.
    Port().OpenPort();
    std::string otherCase = TestPort();
    for (char& c : otherCase) {
        const auto u = static_cast<unsigned char>(c);
        c = static_cast<char>(std::isupper(u) ? std::tolower(u) : std::toupper(u));
    }
    ASSERT_NE(otherCase, TestPort());
    const int applied = counter_.Counts().LineSettings;
    Port().SetPort(otherCase);
    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(counter_.Counts().LineSettings, applied + 1);
    EXPECT_EQ(Port().WriteBytes(kIdentify, 8), 8);
    EXPECT_GE(WaitForBytes(kIdentifyReplyLength), kIdentifyReplyLength);
}

// The line hangs up, as when a USB-serial cable is pulled: rq7sim (its --hang-up-on, whose register
// scripts/windows-check.sh names in RQ7_TEST_HANG_UP_REGISTER) closes its side on a write to that
// register and comes back on a new pseudo-terminal behind the same COM port.
TEST_F(SerialPortTest, ALineThatHangsUpClosesThePortAndTheSamePortOpensAfresh) {
    RQ7_NEED_PORT();
    const std::string reg = EnvText("RQ7_TEST_HANG_UP_REGISTER");
    if (reg.empty()) {
        GTEST_SKIP() << "RQ7_TEST_HANG_UP_REGISTER is not set: name the register of rq7sim's --hang-up-on";
    }
    const auto r = static_cast<std::uint16_t>(std::stoi(reg));
    std::uint8_t request[8] = {0x00, 0x06, static_cast<std::uint8_t>(r >> 8), static_cast<std::uint8_t>(r),
                               0,    0};
    StoreCrc(request + 6, ModbusCrc16Of(request, 6));
    ASSERT_EQ(Port().WriteBytes(request, 8), 8);

    // The next look at the input finds the device gone (the simulator takes a moment to hang up).
    std::string message;
    const auto giveUp = Clock::now() + std::chrono::seconds(20);
    while (Port().Connected() && Clock::now() < giveUp) {
        message = MessageOf([&] { Port().BytesWaiting(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(Port().Connected()) << "the port kept a device that has gone; last error: " << message;
    EXPECT_EQ(message.rfind("ClearCommError function failed (win error code: ", 0), 0u) << message;
    std::printf("the hung-up line was reported as: %s\n", message.c_str());
    // Reported once: from now on the port is simply closed.
    EXPECT_EQ(MessageOf([&] { Port().BytesWaiting(); }),
              "ClearCommError function failed (win error code: 6)");

    // Opening the same port again reaches the adapter on its new line.
    Port().OpenPort();
    ASSERT_TRUE(Port().Connected());
    EXPECT_EQ(Port().WriteBytes(kIdentify, 8), 8);
    EXPECT_EQ(WaitForBytes(kIdentifyReplyLength), kIdentifyReplyLength);
}

// The request whose write makes the simulator hang the line up (rq7sim's --hang-up-on register, named
// by scripts/windows-check.sh in RQ7_TEST_HANG_UP_REGISTER); empty when none is named.
std::vector<std::uint8_t> HangUpRequest() {
    const std::string reg = EnvText("RQ7_TEST_HANG_UP_REGISTER");
    if (reg.empty()) {
        return {};
    }
    const auto r = static_cast<std::uint16_t>(std::stoi(reg));
    std::vector<std::uint8_t> request = {
        0x00, 0x06, static_cast<std::uint8_t>(r >> 8), static_cast<std::uint8_t>(r & 0xFF), 0x00, 0x00, 0, 0};
    StoreCrc(request.data() + 6, ModbusCrc16Of(request.data(), 6));
    return request;
}

// A wait for characters that the line's hanging up ends is no wait that timed out: it raises the port's
// error and the port closes (the device has gone), instead of reporting no events on a dead line.
TEST_F(SerialPortTest, AWaitEndedByTheLineHangingUpRaisesAndClosesThePort) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNLESS_EVENT_WAIT_WORKS();
    const std::vector<std::uint8_t> request = HangUpRequest();
    if (request.empty()) {
        GTEST_SKIP() << "RQ7_TEST_HANG_UP_REGISTER is not set: name the register of rq7sim's --hang-up-on";
    }
    // The request goes out from another thread once the wait has (most likely) begun; should it go out
    // first, the wait fails as it begins, with the same outcome.
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Port().WriteBytes(request.data(), static_cast<std::int32_t>(request.size()));
    });
    TStopEvent stop;
    TComEvents events{evRxChar};
    const std::string message = MessageOf([&] { Port().WaitForEvent(events, &stop, 60000); });
    sender.join();
    std::printf("the wait on the hung-up line ended with: '%s'\n", message.c_str());
    EXPECT_EQ(message.rfind("WaitForEvent method failed (win error code: ", 0), 0u)
        << "the wait ended as one that timed out: '" << message << "'";
    EXPECT_EQ(message.find("(win error code: 6)"), std::string::npos) << message;
    EXPECT_FALSE(Port().Connected()) << "the port kept a device that has gone";

    // Opening the same port again reaches the adapter on its new line.
    Port().OpenPort();
    ASSERT_TRUE(Port().Connected());
    EXPECT_EQ(Port().WriteBytes(kIdentify, 8), 8);
    EXPECT_EQ(WaitForBytes(kIdentifyReplyLength), kIdentifyReplyLength);
}

// "Доп.режим" collects until the line is quiet; a line that hangs up meanwhile is no quiet line: the
// collection raises the port's error and the port closes, as every other command on a lost device.
TEST_F(SerialPortTest, ALineThatHangsUpDuringTheQuietCollectionClosesThePort) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNLESS_EVENT_WAIT_WORKS();
    std::vector<std::uint8_t> request = HangUpRequest();
    if (request.empty()) {
        GTEST_SKIP() << "RQ7_TEST_HANG_UP_REGISTER is not set: name the register of rq7sim's --hang-up-on";
    }
    module_.StopEvent = std::make_unique<TStopEvent>();
    TCoefBlock block;
    TModbusExchange exchange(module_, block);
    // The write goes unanswered and the simulator hangs the line up, whether before the collection's
    // first look at the input or during its wait for characters.
    request.resize(6);
    exchange.FrameAndSend(request);
    const std::string message = MessageOf([&] { exchange.CollectReplyUntilQuiet(0); });
    std::printf("the hung-up line was reported as: %s\n", message.c_str());
    EXPECT_FALSE(Port().Connected()) << "the port kept a device that has gone";
    EXPECT_NE(message.find(" (win error code: "), std::string::npos)
        << "the collection ended as on a quiet line: '" << message << "'";
    EXPECT_EQ(message.find("(win error code: 6)"), std::string::npos) << message;

    // Opening the same port again reaches the adapter on its new line.
    Port().OpenPort();
    ASSERT_TRUE(Port().Connected());
    EXPECT_EQ(Port().WriteBytes(kIdentify, 8), 8);
    EXPECT_EQ(WaitForBytes(kIdentifyReplyLength), kIdentifyReplyLength);
}

// ---------------------------------------------------------------------------------------------
// Writing and reading

TEST_F(SerialPortTest, WrittenRequestIsAnsweredAndReadInPieces) {
    RQ7_NEED_PORT();
    EXPECT_EQ(Port().WriteBytes(kIdentify, 8), 8);
    ASSERT_EQ(WaitForBytes(kIdentifyReplyLength), kIdentifyReplyLength);

    std::string text = "left over";
    EXPECT_EQ(Port().ReadBytes(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(Port().BytesWaiting(), kIdentifyReplyLength);

    std::string head;
    EXPECT_EQ(Port().ReadBytes(head, 3), 3);
    ASSERT_EQ(head.size(), 3u);
    EXPECT_EQ(static_cast<std::uint8_t>(head[1]), 0x03);
    EXPECT_EQ(static_cast<std::uint8_t>(head[2]), 14);
    EXPECT_EQ(Port().BytesWaiting(), kIdentifyReplyLength - 3);
    std::string rest;
    EXPECT_EQ(Port().ReadBytes(rest, 100), kIdentifyReplyLength - 3);
    EXPECT_EQ(rest.size(), static_cast<std::size_t>(kIdentifyReplyLength - 3));
    EXPECT_TRUE(ModbusCrcMatches(head + rest));
    EXPECT_EQ(Port().BytesWaiting(), 0);
}

TEST_F(SerialPortTest, ReadWithNothingWaitingReturnsAtOnceWithNothing) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNDER_WINE("an overlapped ReadFile on an empty queue stays pending although the time-outs "
                        "(ReadIntervalTimeout MAXDWORD, both read totals 0) ask it to return at once");
    std::string text = "x";
    EXPECT_EQ(Port().ReadBytes(text, 10), 0);
    EXPECT_EQ(text, "");
}

TEST_F(SerialPortTest, ExchangeReadsTheAdapterOverThePort) {
    RQ7_NEED_PORT();
    TCoefBlock block;
    TModbusExchange exchange(module_, block);
    // A loaded machine may make one collection come up short; the windows retry as well.
    for (int attempt = 0; attempt < 5 && exchange.ReplyText.size() < 3; ++attempt) {
        exchange.IdentifyDevice();
    }
    EXPECT_EQ(exchange.ReplyText.size(), static_cast<std::size_t>(kIdentifyReplyLength));
    EXPECT_TRUE(ModbusCrcMatches(exchange.ReplyText));

    exchange.SlotIndex = 1;
    exchange.ExchangeState = esNoReply;
    for (int attempt = 0; attempt < 5 && exchange.ExchangeState != esAccepted; ++attempt) {
        exchange.ReadSlot();
    }
    EXPECT_EQ(exchange.ExchangeState, esAccepted);
    EXPECT_EQ(exchange.ReplyText.size(), 9u);
    EXPECT_TRUE(ModbusCrcMatches(exchange.ReplyText));
}

// ---------------------------------------------------------------------------------------------
// Waiting for received characters

TEST_F(SerialPortTest, WaitWithStopAlreadySignalledReturnsAtOnceWithNoEvents) {
    RQ7_NEED_PORT();
    TStopEvent stop;
    stop.Signal();
    TComEvents events{evRxChar};
    const auto start = Clock::now();
    Port().WaitForEvent(events, &stop, 60000);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(50)) << "the wait ignored the stop event";
    EXPECT_TRUE(events.Empty());
    EXPECT_TRUE(stop.IsSignalled()); // waited on, never reset
    // Every later wait returns at once as well.
    events = TComEvents{evRxChar};
    Port().WaitForEvent(events, &stop, 60000);
    EXPECT_TRUE(events.Empty());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(50));
}

TEST_F(SerialPortTest, WaitThatTimesOutReportsNoEventsAndNoError) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNLESS_EVENT_WAIT_WORKS();
    TStopEvent stop;
    TComEvents events{evRxChar};
    const auto start = Clock::now();
    Port().WaitForEvent(events, &stop, 300);
    const auto waited = Clock::now() - start;
    EXPECT_TRUE(events.Empty());
    // It did wait: the tick the wait counts in may be up to a tick coarser than the clock here.
    EXPECT_GE(waited, std::chrono::milliseconds(300 - 20));
    // Without a stop event as well.
    events = TComEvents{evRxChar};
    Port().WaitForEvent(events, nullptr, 100);
    EXPECT_TRUE(events.Empty());
}

TEST_F(SerialPortTest, CharacterReceivedDuringTheWaitEndsItWithRxChar) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNLESS_EVENT_WAIT_WORKS();
    TStopEvent stop;
    // The request goes out from another thread once the wait has begun; the answer ends the wait.
    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Port().WriteBytes(kIdentify, 8);
    });
    TComEvents events{evRxChar};
    const auto start = Clock::now();
    Port().WaitForEvent(events, &stop, 60000);
    const auto waited = Clock::now() - start;
    sender.join();
    EXPECT_EQ(events, TComEvents{evRxChar});
    EXPECT_LT(waited, std::chrono::seconds(50)) << "the wait missed the received characters";
    EXPECT_GT(WaitForBytes(kIdentifyReplyLength), 0);
}

TEST_F(SerialPortTest, StopSignalledFromAnotherThreadEndsTheWait) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNLESS_EVENT_WAIT_WORKS();
    TStopEvent stop;
    std::thread signaller([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.Signal();
    });
    TComEvents events{evRxChar};
    const auto start = Clock::now();
    Port().WaitForEvent(events, &stop, 60000);
    const auto waited = Clock::now() - start;
    signaller.join();
    EXPECT_TRUE(events.Empty());
    EXPECT_LT(waited, std::chrono::seconds(50)) << "the wait ignored the stop event";
    // The port is still usable afterwards: the ended wait left no operation behind.
    EXPECT_EQ(Port().WriteBytes(kIdentify, 8), 8);
    EXPECT_EQ(WaitForBytes(kIdentifyReplyLength), kIdentifyReplyLength);
}

TEST_F(SerialPortTest, BytesAlreadyWaitingDoNotEndTheWait) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNDER_WINE("its WaitCommEvent reports EV_RXCHAR at once whenever the receive queue holds "
                        "bytes, also bytes that arrived before the event mask was set");
    EXPECT_EQ(Port().WriteBytes(kIdentify, 8), 8);
    ASSERT_EQ(WaitForBytes(kIdentifyReplyLength), kIdentifyReplyLength);
    TComEvents events{evRxChar};
    Port().WaitForEvent(events, nullptr, 300);
    EXPECT_TRUE(events.Empty());
    EXPECT_EQ(Port().BytesWaiting(), kIdentifyReplyLength);
}

TEST_F(SerialPortTest, QuietLineCollectionTakesTheWholeReply) {
    RQ7_NEED_PORT();
    RQ7_SKIP_UNLESS_EVENT_WAIT_WORKS();
    module_.StopEvent = std::make_unique<TStopEvent>();
    TCoefBlock block;
    TModbusExchange exchange(module_, block);
    const std::int32_t leftOver = Port().BytesWaiting();
    exchange.FrameAndSend({0x00, 0x03, 0x00, 0x00, 0x00, 0x07});
    exchange.CollectReplyUntilQuiet(leftOver);
    EXPECT_EQ(exchange.ReplyText.size(), static_cast<std::size_t>(kIdentifyReplyLength));
    EXPECT_TRUE(ModbusCrcMatches(exchange.ReplyText));
}

// ---------------------------------------------------------------------------------------------
// The stop event and the console control handler

TEST(Win32StopEvent, StartsClearAndStaysSignalled) {
    TStopEvent stop;
    EXPECT_FALSE(stop.IsSignalled());
    EXPECT_EQ(WaitForSingleObject(static_cast<HANDLE>(stop.NativeHandle()), 0),
              static_cast<DWORD>(WAIT_TIMEOUT));
    stop.Signal();
    EXPECT_TRUE(stop.IsSignalled());
    // Manual reset: a wait does not clear it.
    EXPECT_EQ(WaitForSingleObject(static_cast<HANDLE>(stop.NativeHandle()), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(stop.IsSignalled());
}

// The Ctrl+C side runs in a child copy of this program with a console of its own, so the Ctrl+C reaches
// nothing else (a test runner sharing our console would stop too). RQ7_CTRL_C_CHILD chooses what the
// child does; it exits with kCtrlCChildWentOn when all went as it should. Without a handler Ctrl+C would
// end it with STATUS_CONTROL_C_EXIT (Wine: 0) instead.
constexpr UINT kCtrlCChildWentOn = 77;

void PressCtrlCOrExit() {
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        ExitProcess(2);
    }
}

// The handler runs on a thread of its own; it is given a generous while to signal `target`. Had it let
// the default action follow, the program would end within the second after.
bool HandlerSignalled(const TStopEvent& target) {
    const DWORD wait = WaitForSingleObject(static_cast<HANDLE>(target.NativeHandle()), 20000);
    Sleep(1000);
    return wait == WAIT_OBJECT_0;
}

const int kCtrlCChild = [] {
    const std::string mode = EnvText("RQ7_CTRL_C_CHILD");
    if (mode == "replaced") {
        // The handler given two events in turn signals the one it was given last.
        TStopEvent first;
        TStopEvent second;
        SetConsoleStopEvent(&first);
        SetConsoleStopEvent(&second);
        PressCtrlCOrExit();
        ExitProcess(!HandlerSignalled(second) ? 3 : first.IsSignalled() ? 4 : kCtrlCChildWentOn);
    }
    if (mode == "destroyed") {
        // The data module (and its event) destroyed; then an event given to the handler and destroyed,
        // and a new one made in the very same place but given to nobody. A handler still holding the
        // destroyed event would signal the new one. A last event given to the handler afterwards
        // proves the handler still runs.
        auto dataModule = std::make_unique<TQuorbDataModule>();
        dataModule->RenewStopEvent();
        dataModule.reset();
        PressCtrlCOrExit();
        alignas(TStopEvent) unsigned char place[sizeof(TStopEvent)];
        auto* gone = new (place) TStopEvent;
        SetConsoleStopEvent(gone);
        gone->~TStopEvent();
        auto* unconnected = new (place) TStopEvent;
        PressCtrlCOrExit();
        // The handler runs on its own thread, whenever the system gets to it: it is given a while to
        // do wrong before anything else changes. Not signalled within it is no proof, but a signal is a
        // fault.
        if (WaitForSingleObject(static_cast<HANDLE>(unconnected->NativeHandle()), 3000) == WAIT_OBJECT_0) {
            ExitProcess(4);
        }
        TStopEvent last;
        SetConsoleStopEvent(&last);
        PressCtrlCOrExit();
        const UINT code = !HandlerSignalled(last) ? 3 : unconnected->IsSignalled() ? 4 : kCtrlCChildWentOn;
        unconnected->~TStopEvent();
        ExitProcess(code);
    }
    return 0;
}();

// Runs this program as a child with its own console in the given mode; its exit code.
DWORD RunCtrlCChild(const wchar_t* mode) {
    wchar_t self[MAX_PATH + 1] = {};
    EXPECT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    EXPECT_TRUE(SetEnvironmentVariableW(L"RQ7_CTRL_C_CHILD", mode));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\"";
    const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                                        nullptr, nullptr, &startup, &child);
    const DWORD startError = GetLastError();
    SetEnvironmentVariableW(L"RQ7_CTRL_C_CHILD", nullptr);
    if (!started) {
        ADD_FAILURE() << "the child did not start: error " << startError;
        return 1;
    }
    const DWORD wait = WaitForSingleObject(child.hProcess, 60000);
    if (wait != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 99);
    }
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(wait, WAIT_OBJECT_0) << "the child hung";
    EXPECT_NE(code, 2u) << "GenerateConsoleCtrlEvent failed in the child";
    EXPECT_NE(code, 3u) << "the handler did not signal the stop event it has";
    return code;
}

TEST(Win32ConsoleControl, CtrlCSignalsTheStopEventAndTheProgramGoesOn) {
    const DWORD code = RunCtrlCChild(L"replaced");
    EXPECT_NE(code, 4u) << "the handler signalled an event it had been given before";
    EXPECT_EQ(code, kCtrlCChildWentOn)
        << "exit code " << code << ": Ctrl+C ended the program, the handler did not take it";
}

TEST(Win32ConsoleControl, AfterTheDataModuleIsDestroyedCtrlCReachesNoEventOfIt) {
    const DWORD code = RunCtrlCChild(L"destroyed");
    EXPECT_NE(code, 4u) << "the handler signalled a destroyed event (now another one in its place)";
    EXPECT_EQ(code, kCtrlCChildWentOn) << "exit code " << code;
}
