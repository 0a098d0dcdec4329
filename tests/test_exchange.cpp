// The Modbus exchange and the device operations, against the adapter simulator through the real port.

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "coef/Crc.h"
#include "support/SimLink.h"

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace {
Bytes withCrc(Bytes body) {
    AppendModbusCrc(body);
    return body;
}

std::string text(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// Waits (with a generous guard against hanging) until the port has n bytes waiting.
bool WaitForWaiting(TSimLink& link, std::int32_t n) {
    for (int i = 0; i < 10000 && link.DataModule.ComPort.BytesWaiting() < n; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    return link.DataModule.ComPort.BytesWaiting() == n;
}
} // namespace

TEST(ModbusChecksum, StandardVectors) {
    TQuorbDataModule dataModule;
    TCoefBlock block;
    TModbusExchange exchange(dataModule, block);
    EXPECT_EQ(exchange.ModbusCrc16(0), 0xFFFF);
    EXPECT_EQ(exchange.ModbusCrc16(-3), 0xFFFF);
    const std::string digits = "123456789";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        exchange.FrameBuffer[i] = digits[i];
    }
    EXPECT_EQ(exchange.ModbusCrc16(9), 0x4B37);
    // Only the low 16 bits of an entry count.
    exchange.FrameBuffer[0] = 0x10000 + '1';
    EXPECT_EQ(exchange.ModbusCrc16(9), 0x4B37);
    EXPECT_EQ(withCrc({0x00, 0x03, 0x00, 0x00, 0x00, 0x07}),
              (Bytes{0x00, 0x03, 0x00, 0x00, 0x00, 0x07, 0x05, 0xD9}));
    EXPECT_EQ(withCrc({0x00, 0x06, 0x01, 0x75, 0x00, 0x01}),
              (Bytes{0x00, 0x06, 0x01, 0x75, 0x00, 0x01, 0x59, 0xFD}));
}

TEST(CheckReply, VerdictsForShortGoodCorruptAndOverlongReplies) {
    TQuorbDataModule dataModule;
    TCoefBlock block;
    TModbusExchange exchange(dataModule, block);
    const Bytes good{0x01, 0x03, 0x04, 0x00, 0x00, 0x41, 0xA0, 0xCA, 0x1B};
    struct Case {
        const char* what;
        Bytes reply;
        std::int32_t expected;
    } cases[] = {
        {"empty", {}, esNoReply},
        {"one byte", {0x01}, esNoReply},
        {"two bytes", {0x01, 0x03}, esNoReply},
        {"good reply", good, 42},
        {"stray byte in front",
         [&] {
             Bytes b{0x00};
             b.insert(b.end(), good.begin(), good.end());
             return b;
         }(),
         esBadChecksum},
        {"checksum bytes swapped", {0x01, 0x03, 0x04, 0x00, 0x00, 0x41, 0xA0, 0x1B, 0xCA}, esBadChecksum},
        {"longer than the frame buffer", withCrc(Bytes(150, 0x55)), esBadChecksum},
    };
    for (const auto& c : cases) {
        exchange.ExchangeState = 42;
        exchange.ReplyText = text(c.reply);
        exchange.CheckReply();
        EXPECT_EQ(exchange.ExchangeState, c.expected) << c.what;
    }
}

TEST(ExchangeGuard, OneDeviceCommandAtATime) {
    TQuorbDataModule dataModule;
    TCoefBlock block;
    TModbusExchange exchange(dataModule, block);
    std::vector<bool> notified;
    exchange.AddBusyListener([&](bool busy) { notified.push_back(busy); });
    {
        TExchangeGuard first(exchange);
        EXPECT_TRUE(first.Acquired());
        EXPECT_TRUE(exchange.Busy());
        TExchangeGuard second(exchange);
        EXPECT_FALSE(second.Acquired());
        EXPECT_TRUE(exchange.Busy()) << "a refused guard must not release the running command";
    }
    EXPECT_FALSE(exchange.Busy());
    EXPECT_EQ(notified, (std::vector<bool>{true, false}));
}

TEST(Collection, PollingASilentLineReturnsAtOnceWithNothing) {
    TSimLink link;
    link.Exchange.ReplyText = "old";
    link.Exchange.CollectReply();
    EXPECT_TRUE(link.Exchange.ReplyText.empty());
}

TEST(Collection, UntilQuietEndsOnSilenceAndGathersBurstsThatComeCloserThanTheQuietTime) {
    TSimLink link;
    const auto start = std::chrono::steady_clock::now();
    link.Exchange.CollectReplyUntilQuiet(0);
    EXPECT_TRUE(link.Exchange.ReplyText.empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 800ms);

    std::thread feeder([&] {
        for (std::uint8_t burst = 1; burst <= 3; ++burst) {
            std::this_thread::sleep_for(200ms);
            link.Sim.SendRaw({burst, burst, burst});
        }
    });
    link.Exchange.CollectReplyUntilQuiet(0);
    feeder.join();
    EXPECT_EQ(BytesOf(link.Exchange.ReplyText), (Bytes{1, 1, 1, 2, 2, 2, 3, 3, 3}));
}

TEST(Collection, UntilQuietTakesUpAReplyThatArrivedBeforeTheWaitBegan) {
    // Over a quick line the adapter's echo can be complete before the collection starts waiting.
    TSimLink link;
    link.Sim.SendRaw({0x01, 0x06, 0x01, 0x75, 0x00, 0x01});
    ASSERT_TRUE(WaitForWaiting(link, 6));
    link.Exchange.CollectReplyUntilQuiet(0);
    EXPECT_EQ(BytesOf(link.Exchange.ReplyText), (Bytes{0x01, 0x06, 0x01, 0x75, 0x00, 0x01}));
}

TEST(Collection, UntilQuietEndsAtOnceOnTheStopEventEvenWhileBytesKeepComing) {
    TSimLink link;
    link.DataModule.StopEvent->Signal();
    // A byte is already waiting when the collection starts, and more keep coming.
    link.Sim.SendRaw({0x55});
    ASSERT_TRUE(WaitForWaiting(link, 1));
    std::atomic<bool> stop{false};
    std::atomic<int> sent{1};
    std::thread feeder([&] {
        while (!stop && sent < 50) {
            std::this_thread::sleep_for(100ms);
            link.Sim.SendRaw({0x55});
            ++sent;
        }
    });
    link.Exchange.CollectReplyUntilQuiet(0);
    const int sentWhenDone = sent;
    stop = true;
    feeder.join();
    EXPECT_LT(sentWhenDone, 50) << "the collection went on although the stop event was signalled";
    EXPECT_TRUE(link.Exchange.ReplyText.empty());
}

TEST(Collection, UntilQuietTakesBytesWaitingBeforeTheRequestOnlyAheadOfAnAnswer) {
    TSimLink link;
    const Bytes echo = withCrc({0x01, 0x06, 0x01, 0x75, 0x00, 0x01});
    // A whole frame left over from an earlier exchange, and nothing after it: no answer.
    link.Sim.SendRaw(echo);
    ASSERT_TRUE(WaitForWaiting(link, 8));
    link.Exchange.CollectReplyUntilQuiet(8);
    EXPECT_TRUE(link.Exchange.ReplyText.empty());
    EXPECT_EQ(link.DataModule.ComPort.BytesWaiting(), 0) << "the left-over bytes are taken off the line";

    // Left-over bytes followed by the answer stand at its head, as in every other collection.
    link.Sim.SendRaw({0xEE, 0xEE});
    ASSERT_TRUE(WaitForWaiting(link, 2));
    std::thread adapter([&] {
        std::this_thread::sleep_for(100ms);
        link.Sim.SendRaw(echo);
    });
    link.Exchange.CollectReplyUntilQuiet(2);
    adapter.join();
    Bytes expected{0xEE, 0xEE};
    expected.insert(expected.end(), echo.begin(), echo.end());
    EXPECT_EQ(BytesOf(link.Exchange.ReplyText), expected);
}

TEST(Collection, UntilQuietStopsAfterThreeHundredReceptionsOnAFloodingLine) {
    TSimLink link;
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread feeder([&] {
        while (!stop && sent < 5000) {
            link.Sim.SendRaw({0xAA});
            ++sent;
            std::this_thread::sleep_for(2ms);
        }
    });
    link.Exchange.CollectReplyUntilQuiet(0);
    const int sentWhenDone = sent;
    stop = true;
    feeder.join();
    EXPECT_LT(sentWhenDone, 5000) << "the collection did not stop while bytes kept coming";
    EXPECT_GE(link.Exchange.ReplyText.size(), 300u);
}

TEST(DeviceOperations, RequestFramesAreExact) {
    TSimLink link;
    link.Exchange.IdentifyDevice();
    link.Exchange.SlotIndex = 1;
    link.Exchange.ReadSlot();
    link.Exchange.SlotIndex = 16;
    link.Exchange.ReadSlot();
    link.Exchange.WriteRegister(375, 5);
    link.Exchange.WriteRegister(375, 65541);
    link.Block.CoefImage.fill(0);
    link.Block.CoefImage[64] = 0xFF;
    link.Block.CoefImage[66] = 0x12;
    link.Block.CoefImage[67] = 0x34;
    link.Exchange.SlotIndex = 16;
    link.Exchange.WriteSlot();
    const auto frames = link.Sim.RequestFrames();
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0], (Bytes{0x00, 0x03, 0x00, 0x00, 0x00, 0x07, 0x05, 0xD9}));
    EXPECT_EQ(frames[1], (Bytes{0x00, 0x03, 0x01, 0x01, 0x00, 0x02, 0x95, 0xE6}));
    EXPECT_EQ(frames[2], (Bytes{0x00, 0x03, 0x01, 0x1F, 0x00, 0x02, 0xF5, 0xE0}));
    EXPECT_EQ(frames[3], (Bytes{0x00, 0x06, 0x01, 0x77, 0x00, 0x05, 0xF9, 0xFE}));
    EXPECT_EQ(frames[4], frames[3]) << "the value is cut to 16 bits";
    EXPECT_EQ(frames[5], withCrc({0x00, 0x10, 0x01, 0x1F, 0x00, 0x02, 0x04, 0xFF, 0x00, 0x12, 0x34}));
    EXPECT_EQ(link.Sim.Slot(16), (TSimSlot{0xFF, 0x00, 0x12, 0x34}));
    // Replies to the identify and to the writes are left for the caller to count.
    EXPECT_GE(link.Exchange.ReplyText.size(), 3u);
    EXPECT_TRUE(link.Exchange.WriteConfirmed());
}

TEST(DeviceOperations, IdentifyReplyCarriesTheAdapterAddressEvenWithABadChecksum) {
    TSimLink link(7);
    link.Sim.AddRule(TSimMatch::Identify(), TSimAction::BadChecksum());
    link.Exchange.IdentifyDevice();
    ASSERT_EQ(link.Exchange.ReplyText.size(), 19u);
    EXPECT_EQ(static_cast<std::uint8_t>(link.Exchange.ReplyText[0]), 7);
}

TEST(DeviceOperations, ReadSlotFilesOnlyReadsThatPassEveryCheck) {
    TSimLink link;
    link.Sim.SetSlot(1, {0x00, 0x00, 0x41, 0xA0}); // 20.0
    link.Exchange.SlotIndex = 1;
    link.Exchange.ReadSlot();
    EXPECT_EQ(link.Exchange.ExchangeState, esAccepted);
    EXPECT_EQ(link.Block.LastValue, 20.0);
    EXPECT_EQ(link.Block.ReadImage[4 + 2], 0x41);
    EXPECT_EQ(link.Block.ReadImage[4 + 3], 0xA0);

    struct Case {
        const char* what;
        TSimAction action;
        std::int32_t expected;
    } cases[] = {
        {"no reply", TSimAction::Silent(), esNoReply},
        {"two bytes", TSimAction::Truncated(2), esNoReply},
        {"checksum spoiled", TSimAction::BadChecksum(), esBadChecksum},
        {"stray byte in front", TSimAction::StrayBefore({0x00}), esBadChecksum},
        {"exception reply", TSimAction::Exception(2), esRefusedReply},
        {"valid checksum but no data field", TSimAction::RawReply(withCrc({0x01, 0x03, 0x04})),
         esRefusedReply},
        {"data field cut short", TSimAction::RawReply(withCrc({0x01, 0x03, 0x04, 0x11, 0x22})),
         esRefusedReply},
    };
    link.Sim.SetSlot(2, {0x00, 0x00, 0x40, 0x80}); // 4.0, never filed below
    for (const auto& c : cases) {
        link.Block.LastValue = -1.0;
        link.Block.ReadImage.fill(0);
        link.Sim.AddRule(TSimMatch::ReadSlot(2), c.action);
        link.Exchange.SlotIndex = 2;
        link.Exchange.ReadSlot();
        EXPECT_EQ(link.Exchange.ExchangeState, c.expected) << c.what;
        EXPECT_EQ(link.Block.LastValue, -1.0) << c.what << ": nothing may be filed";
        EXPECT_EQ(link.Block.ReadImage, TCoefImageBytes{}) << c.what << ": nothing may be filed";
        // Whatever is left on the line must not spoil the next exchange.
        link.Exchange.DelayWithMessages(20);
        link.Exchange.CollectReply();
    }
    link.Exchange.SlotIndex = 2;
    link.Exchange.ReadSlot();
    EXPECT_EQ(link.Exchange.ExchangeState, esAccepted);
    EXPECT_EQ(link.Block.LastValue, 4.0);
}

TEST(DeviceOperations, AClosedPortFailsWithThePortsMessage) {
    TQuorbDataModule dataModule;
    TCoefBlock block;
    TModbusExchange exchange(dataModule, block);
    try {
        exchange.IdentifyDevice();
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "WriteFile function failed (win error code: 6)");
    }
}
