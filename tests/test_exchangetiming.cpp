// The exchange's fixed counts and waits, on a scripted serial device and a clock on which no real time
// passes, and the program's waits keeping the windows responsive.

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "coef/Crc.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "link/SerialBackend.h"
#include "link/StopEvent.h"
#include "support/SteppedClock.h"
#include "support/WatchedLine.h"
#include "ui/MessageClock.h"

using namespace std::chrono_literals;
using TJournal = std::vector<std::string>;

namespace {

// What the scripted line does and what was done to it. Consecutive polls of the bytes waiting are
// journalled as one entry ("polls N").
struct TScriptedLine {
    TJournal Journal;
    // Bytes that arrive with the n-th poll of the port's input (counted from 1 over the line's life).
    std::map<int, std::string> ArriveAtPoll;
    // What each wait for an event does: the bytes that arrive during it (a received character ends the
    // wait), or nothing (the wait runs out). When the script is used up the line stays quiet, unless
    // NeverQuiet is set: then one byte arrives in every wait.
    std::deque<std::string> EventWaits;
    bool NeverQuiet = false;
    std::string Waiting;
    int Polls = 0;
    const TStopEvent* StopEvent = nullptr;

    void Note(const std::string& entry) { Journal.push_back(entry); }
    void NotePoll() {
        if (!Journal.empty() && Journal.back().rfind("polls ", 0) == 0) {
            Journal.back() = "polls " + std::to_string(std::stoi(Journal.back().substr(6)) + 1);
        } else {
            Journal.push_back("polls 1");
        }
    }
    // The event waits in the journal.
    TJournal EventWaitEntries() const {
        TJournal waits;
        std::copy_if(Journal.begin(), Journal.end(), std::back_inserter(waits),
                     [](const std::string& e) { return e.rfind("event wait", 0) == 0; });
        return waits;
    }
};

class TScriptedDevice final : public TSerialDevice {
public:
    explicit TScriptedDevice(TScriptedLine& line) : line_(line) {}
    void SetQueueSizes(std::int32_t, std::int32_t) override {}
    void SetLineSettings(const TLineSettings&) override {}
    void SetTimeouts(const TTimeoutSettings&) override {}
    void AbortPending() override {}
    std::int32_t Write(const void* buffer, std::int32_t count) override {
        line_.Note("send " + TWatchedLine::Describe(static_cast<const std::uint8_t*>(buffer), count));
        return count;
    }
    std::int32_t Waiting() override {
        line_.NotePoll();
        const auto arriving = line_.ArriveAtPoll.find(++line_.Polls);
        if (arriving != line_.ArriveAtPoll.end()) {
            line_.Waiting += arriving->second;
        }
        return static_cast<std::int32_t>(line_.Waiting.size());
    }
    std::int32_t Read(char* buffer, std::int32_t count) override {
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(count), line_.Waiting.size());
        std::copy_n(line_.Waiting.begin(), n, buffer);
        line_.Waiting.erase(0, n);
        line_.Note("read " + std::to_string(n));
        return static_cast<std::int32_t>(n);
    }
    void WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs) override {
        std::string entry = "event wait";
        entry += events == TComEvents{evRxChar} ? " for a character" : " for other events";
        entry += stopEvent == nullptr
                     ? ", no stop event"
                     : (stopEvent == line_.StopEvent ? ", stop event" : ", other stop event");
        entry += ", " + std::to_string(timeoutMs) + " ms";
        line_.Note(entry);
        std::string arriving;
        if (!line_.EventWaits.empty()) {
            arriving = line_.EventWaits.front();
            line_.EventWaits.pop_front();
        } else if (line_.NeverQuiet) {
            arriving = "x";
        }
        line_.Waiting += arriving;
        events = arriving.empty() ? TComEvents{} : TComEvents{evRxChar};
    }

private:
    TScriptedLine& line_;
};

// An exchange whose port is open on the scripted line and whose waits run on a stepped clock; the
// clock's waits go into the same journal.
struct TScriptedExchange {
    TScriptedLine Line;
    TSteppedClock Clock;
    TQuorbDataModule DataModule{[this](const std::string& portName) -> std::unique_ptr<TSerialDevice> {
        Line.Note("open " + portName);
        return std::make_unique<TScriptedDevice>(Line);
    }};
    TCoefBlock Block;
    TModbusExchange Exchange{DataModule, Block, Clock};

    TScriptedExchange() {
        Clock.OnWait = [this](std::chrono::nanoseconds left) {
            Line.Note("wait " + std::to_string(std::chrono::ceil<std::chrono::milliseconds>(left).count()) +
                      " ms");
        };
        DataModule.StopEvent = std::make_unique<TStopEvent>();
        Line.StopEvent = DataModule.StopEvent.get();
        DataModule.ComPort.SetPort("COM7");
        DataModule.ComPort.OpenPort();
        Line.Journal.clear();
    }
};

} // namespace

TEST(ScriptedPort, ThePortOpensTheDeviceItsOpenerGivesAndRefusesNone) {
    TScriptedExchange scripted;
    EXPECT_TRUE(scripted.DataModule.ComPort.Connected());
    scripted.DataModule.ComPort.ClosePort();
    scripted.DataModule.ComPort.OpenPort();
    EXPECT_EQ(scripted.Line.Journal, TJournal{"open COM7"});

    TComPort port([](const std::string&) { return std::unique_ptr<TSerialDevice>(); });
    try {
        port.OpenPort();
        FAIL() << "an opener that gives no device opened the port";
    } catch (const EComPort& e) {
        EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 6)");
    }
    EXPECT_FALSE(port.Connected());
}

// ---------------------------------------------------------------------------------------------
// Collecting

TEST(Collection, PollsThePortExactlyThreeHundredTimesWithoutWaiting) {
    TScriptedExchange scripted;
    scripted.Exchange.ReplyText = "old";
    scripted.Exchange.CollectReply();
    EXPECT_EQ(scripted.Line.Journal, TJournal{"polls 300"});
    EXPECT_TRUE(scripted.Exchange.ReplyText.empty());
    EXPECT_EQ(scripted.Clock.Passes, 0) << "the collection adds no wait of its own";

    // Bytes that come during the polls are taken, up to the 300th poll and not after it.
    TScriptedExchange arriving;
    arriving.Line.ArriveAtPoll = {{1, "ab"}, {150, "cd"}, {300, "ef"}, {301, "gh"}};
    arriving.Exchange.CollectReply();
    EXPECT_EQ(arriving.Exchange.ReplyText, "abcdef");
    EXPECT_EQ(arriving.Line.Journal,
              (TJournal{"polls 1", "read 2", "polls 149", "read 2", "polls 150", "read 2"}));
    EXPECT_TRUE(arriving.Line.Waiting.empty());
    arriving.Exchange.CollectReply();
    EXPECT_EQ(arriving.Exchange.ReplyText, "gh") << "the next collection starts afresh with what came later";
}

TEST(Collection, UntilQuietWaitsForACharacterWithTheStopEventAndAQuietTimeOf800Ms) {
    TScriptedExchange scripted;
    scripted.Exchange.CollectReplyUntilQuiet(0);
    EXPECT_TRUE(scripted.Exchange.ReplyText.empty());
    EXPECT_EQ(scripted.Line.EventWaitEntries(), TJournal{"event wait for a character, stop event, 800 ms"});
}

TEST(Collection, UntilQuietStopsAtTheThreeHundredthReceptionOnALineThatIsNeverQuiet) {
    TScriptedExchange scripted;
    scripted.Line.NeverQuiet = true;
    scripted.Exchange.CollectReplyUntilQuiet(0);
    const TJournal waits = scripted.Line.EventWaitEntries();
    EXPECT_EQ(waits, TJournal(300, "event wait for a character, stop event, 800 ms"));
    EXPECT_EQ(scripted.Exchange.ReplyText, std::string(300, 'x'));
}

// ---------------------------------------------------------------------------------------------
// The device operations: request, fixed wait, collection, fixed wait

TEST(DeviceOperations, EachWaitsItsFixedTimesAroundItsCollection) {
    TScriptedExchange scripted;
    TScriptedLine& line = scripted.Line;
    TModbusExchange& exchange = scripted.Exchange;
    const std::string w50 = TWatchedLine::Wait(50), w100 = TWatchedLine::Wait(100),
                      w80 = TWatchedLine::Wait(80), w20 = TWatchedLine::Wait(20),
                      w10 = TWatchedLine::Wait(10);

    // Each request first looks once at the port's input (to drop what is waiting there), then goes out.
    exchange.IdentifyDevice();
    EXPECT_EQ(line.Journal, (TJournal{"polls 1", "send identify", w50, "polls 300"}));

    line.Journal.clear();
    exchange.SlotIndex = 16;
    exchange.ReadSlot();
    EXPECT_EQ(line.Journal, (TJournal{"polls 1", "send read slot 16", w100, "polls 300", w20}));

    line.Journal.clear();
    exchange.SlotIndex = 2;
    exchange.WriteSlot();
    EXPECT_EQ(line.Journal, (TJournal{"polls 1", "send write slot 2", w80, "polls 300", w20}));

    line.Journal.clear();
    exchange.WriteRegister(375, 5);
    EXPECT_EQ(line.Journal, (TJournal{"polls 1", "send write register 375 = 5", w50, "polls 300", w10}));
}

// A write counts as confirmed only by the adapter's echo of that very request; what waited in the input
// before the request (a late confirmation of the slot before) is dropped, not taken for it.
TEST(DeviceOperations, OnlyTheEchoOfTheRequestJustSentConfirmsAWrite) {
    const auto framed = [](std::vector<std::uint8_t> body) {
        const std::uint16_t crc = ModbusCrc16Of(body.data(), static_cast<std::int32_t>(body.size()));
        body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        body.push_back(static_cast<std::uint8_t>(crc >> 8));
        return std::string(body.begin(), body.end());
    };
    // Slot 4 starts at register 263 (01 07), slot 3 at 261 (01 05).
    const std::string slot4 = framed({0x01, 0x10, 0x01, 0x07, 0x00, 0x02});
    const std::string slot3 = framed({0x01, 0x10, 0x01, 0x05, 0x00, 0x02});
    std::string spoiled = slot4;
    spoiled.back() = static_cast<char>(spoiled.back() ^ 0x01);
    struct TCase {
        const char* what;
        bool slotWrite; // else the address register := 5
        std::string waitingBefore;
        std::string reply;
        bool confirmed;
    };
    const std::vector<TCase> cases = {
        {"its own echo", true, "", slot4, true},
        {"its own echo from another address", true, "", framed({0x07, 0x10, 0x01, 0x07, 0x00, 0x02}), true},
        {"a stray byte before its echo", true, "", "\x55" + slot4, true},
        {"the slot before's confirmation", true, "", slot3, false},
        {"the slot before's confirmation waiting, then its own", true, slot3, slot4, true},
        {"the slot before's confirmation waiting, then nothing", true, slot3, "", false},
        {"an exception reply", true, "", framed({0x01, 0x90, 0x02}), false},
        {"its echo with a spoiled checksum", true, "", spoiled, false},
        {"another count echoed", true, "", framed({0x01, 0x10, 0x01, 0x07, 0x00, 0x03}), false},
        {"the register and value echoed", false, "", framed({0x01, 0x06, 0x01, 0x77, 0x00, 0x05}), true},
        {"another value echoed", false, "", framed({0x01, 0x06, 0x01, 0x77, 0x00, 0x04}), false},
        {"a slot write's echo to a register write", false, "", slot4, false},
    };
    for (const TCase& c : cases) {
        TScriptedExchange scripted;
        TModbusExchange& exchange = scripted.Exchange;
        std::string discarded;
        exchange.Discarded = [&](const std::string& bytes) { discarded += bytes; };
        scripted.Line.Waiting = c.waitingBefore;
        // Well inside the collection's 300 polls, after the one or two looks that drop old bytes.
        scripted.Line.ArriveAtPoll[10] = c.reply;
        if (c.slotWrite) {
            exchange.SlotIndex = 4;
            exchange.WriteSlot();
        } else {
            exchange.WriteRegister(375, 5);
        }
        EXPECT_EQ(exchange.WriteConfirmed(), c.confirmed) << c.what;
        EXPECT_EQ(exchange.ReplyText, c.reply) << c.what;
        EXPECT_EQ(discarded, c.waitingBefore) << c.what;
    }
}

// ---------------------------------------------------------------------------------------------
// DelayWithMessages

TEST(DelayWithMessages, EndsOnceMoreThanItsTimeHasPassedHavingProcessedMessagesAtLeastOnce) {
    TQuorbDataModule dataModule;
    TCoefBlock block;
    TSteppedClock clock;
    TModbusExchange exchange(dataModule, block, clock);

    // 0 ms: one pass of the messages, and the clock has moved on by one millisecond.
    auto start = clock.Now();
    exchange.DelayWithMessages(0);
    EXPECT_EQ(clock.Passes, 1);
    EXPECT_EQ(clock.Now() - start, 1ms);

    // A message wait may end early (here after 7 ms at most): the delay goes on until 31 ms have passed,
    // and no longer.
    clock.Step = 7ms;
    clock.Passes = 0;
    start = clock.Now();
    exchange.DelayWithMessages(30);
    EXPECT_EQ(clock.Now() - start, 31ms);
    EXPECT_EQ(clock.Passes, 5); // 7, 14, 21, 28, 31

    // One that returns at once without the clock moving is called again.
    clock.Step = 1us;
    clock.Passes = 0;
    start = clock.Now();
    exchange.DelayWithMessages(0);
    EXPECT_EQ(clock.Now() - start, 1ms);
    EXPECT_EQ(clock.Passes, 1000);

    // A wait of less than nothing still processes the messages once.
    clock.Step = 0ns;
    clock.Passes = 0;
    start = clock.Now();
    exchange.DelayWithMessages(-5);
    EXPECT_EQ(clock.Passes, 1);
    EXPECT_EQ(clock.Now(), start);
}

TEST(DelayWithMessages, TheProgramsWaitHandlesAClickQueuedBeforeIt) {
    QPushButton button(QStringLiteral("B"));
    button.resize(80, 30);
    button.show();
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] { ++clicks; });
    const QPointF centre(40, 15);
    QCoreApplication::postEvent(&button,
                                new QMouseEvent(QEvent::MouseButtonPress, centre, button.mapToGlobal(centre),
                                                Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(&button, new QMouseEvent(QEvent::MouseButtonRelease, centre,
                                                         button.mapToGlobal(centre), Qt::LeftButton,
                                                         Qt::NoButton, Qt::NoModifier));
    TQuorbDataModule dataModule;
    TCoefBlock block;
    TQtMessageClock clock;
    TModbusExchange exchange(dataModule, block, clock);
    exchange.DelayWithMessages(20);
    EXPECT_EQ(clicks, 1);
}

TEST(DelayWithMessages, TheProgramsWaitIsWokenByAMessageThatComesWhileItWaits) {
    // The wait's end is minutes away: the message that comes meanwhile (a timer's, which clicks) must end
    // the wait for messages as soon as it has been handled. (A wait deaf to messages would hold this test
    // until ctest's time-out fails it.)
    QPushButton button(QStringLiteral("B"));
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] { ++clicks; });
    QTimer::singleShot(20, [&] { button.click(); });
    TQtMessageClock clock;
    const TMessageClock::TTime until = clock.Now() + std::chrono::minutes(5);
    while (clicks == 0 && clock.Now() < until) {
        clock.WaitForMessages(until);
    }
    EXPECT_EQ(clicks, 1);
}
