// rq7cli's writes against an adapter whose line loses, holds back or spoils replies: what the command
// reports must be what the adapter holds, values nobody named keep their bytes, a stop once a block has
// begun finishes it, and a limits write cut off halfway is completed by running it again.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "coef/Crc.h"
#include "support/CliFixture.h"

namespace {

// The bytes of slot k of an image.
TSimSlot SlotOfSim(const TSimImage& image, int k) {
    const auto at = static_cast<std::size_t>(4 * k);
    return {image[at], image[at + 1], image[at + 2], image[at + 3]};
}

// The device float of the file's value for slot k (channel 2's limits 100 above it).
TSimSlot FileSlot(int k) {
    static const double values[12] = {500,    0.5,   16.001, 4.002, 190,   54.5,
                                      16.003, 4.004, 300,    1.25,  15.99, 3.98};
    return EncodeSimFloat(values[k - 1]);
}

// A reply with its checksum.
TSimBytes Framed(TSimBytes body) {
    const std::uint16_t crc = ModbusCrc16Of(body.data(), static_cast<std::int32_t>(body.size()));
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    return body;
}

// A single with the lowest mantissa bit set, as the program itself never writes one.
TSimSlot WithLowBit(double value) {
    TSimSlot slot = EncodeSimFloat(value);
    slot[1] |= 0x01;
    return slot;
}

class CliWrites : public CliTest {
protected:
    std::vector<TSimBytes> WriteFrames() const {
        std::vector<TSimBytes> writes;
        for (const TSimBytes& frame : Sim.RequestFrames()) {
            if (frame.size() > 1 && (frame[1] == 0x10 || frame[1] == 0x06)) {
                writes.push_back(frame);
            }
        }
        return writes;
    }
};

TEST_F(CliWrites, WhatTheWriteReportsIsWhatTheAdapterHolds) {
    struct TCase {
        const char* what;
        std::function<void(TAdapterSimulator&)> misbehave;
        std::vector<std::string> options;
        int code;
        const char* said; // on standard error ("" for nothing in particular)
        int lastNew;      // slots 1..lastNew hold the file's values, the rest what they had
    };
    const std::vector<TCase> cases = {
        // Slot 3's first confirmation comes only after its retry was confirmed, in place of the answer to
        // slot 4, whose request is lost.
        {"slot 3's confirmation late, slot 4's request lost",
         [](TAdapterSimulator& sim) { sim.AddRule(TSimMatch::WriteSlot(3), TSimAction::HoldReply(1)); },
         {"--no-verify"},
         0,
         "",
         16},
        {"slot 5 stored, both its confirmations lost",
         [](TAdapterSimulator& sim) { sim.AddRule(TSimMatch::WriteSlot(5), TSimAction::LostReply(), 2); },
         {},
         8,
         "Слоты с новыми значениями: 1-5; с прежними значениями: 6-16",
         5},
        {"slot 5's requests lost",
         [](TAdapterSimulator& sim) { sim.AddRule(TSimMatch::WriteSlot(5), TSimAction::LoseRequest(), 2); },
         {},
         8,
         "Слоты с новыми значениями: 1-4; с прежними значениями: 5-16",
         4},
        {"the line pulled at slot 5",
         [](TAdapterSimulator& sim) { sim.AddRule(TSimMatch::WriteSlot(5), TSimAction::HangUp()); },
         {},
         8,
         "Слоты с новыми значениями: 1-4; не известно (подтверждение не получено): 5; с прежними значениями: "
         "6-16",
         4},
        {"slot 6 read back from a reply that belongs to slot 5",
         [](TAdapterSimulator& sim) {
             const TSimSlot five = FileSlot(5);
             TSimBytes reply = {0x01, 0x03, 0x04, five[0], five[1], five[2], five[3]};
             sim.AddRule(TSimMatch::ReadSlot(6), TSimAction::RawReply(Framed(reply)));
         },
         {},
         0,
         "",
         16},
    };
    for (const TCase& c : cases) {
        Sim.ClearRules();
        Sim.SetImage(DefaultSimImage(1));
        const TSimImage before = Sim.Image();
        c.misbehave(Sim);
        std::vector<std::string> args = {"write", CoefFile(ValidLines())};
        args.insert(args.end(), c.options.begin(), c.options.end());
        // A pulled line comes back on another device: the report must come from what the program saw.
        const TCliRun run = Run(args, "Vosek\nTrimel\n");
        EXPECT_EQ(run.Code, c.code) << c.what << "\n" << run.Err;
        EXPECT_NE(run.Err.find(c.said), std::string::npos) << c.what << "\n" << run.Err;
        const TSimImage held = Sim.Image();
        for (int k = 1; k <= 12; ++k) {
            EXPECT_EQ(SlotOfSim(held, k), k <= c.lastNew ? FileSlot(k) : SlotOfSim(before, k))
                << c.what << ", slot " << k;
        }
        EXPECT_EQ(SimImageSealed(held), c.lastNew == 16) << c.what;
    }
}

TEST_F(CliWrites, LimitsRewriteOnlyTheValuesNamedAndNothingWhenNothingChanges) {
    // Values a two-decimal or four-decimal text cannot carry, one with a mantissa bit the program itself
    // never sets: they must go back as the adapter holds them.
    TSimImage image = DefaultSimImage(1);
    const auto put = [&image](int k, const TSimSlot& slot) {
        std::copy(slot.begin(), slot.end(), image.begin() + 4 * k);
    };
    put(3, WithLowBit(16.01234));
    put(9, EncodeSimFloat(250.125));
    put(10, EncodeSimFloat(0.125));
    SealSimImage(image);

    struct TCase {
        std::vector<std::string> options;
        const char* said;         // on standard output
        std::vector<int> changed; // slots 1..13 whose bytes change
        bool writes;
    };
    const std::vector<TCase> cases = {
        {{"--ch2", "90,-45"}, "Новые границы", {5, 6}, true},
        {{}, "Изменений нет", {}, false},
        {{"--ch3", "250.125,0.125", "--address", "1"}, "Изменений нет", {}, false},
        {{"--ch1", "16,0"}, "Изменений нет", {}, false},
    };
    for (const TCase& c : cases) {
        Sim.SetImage(image);
        Sim.ClearLog();
        std::vector<std::string> args = {"limits"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const TCliRun run = Run(args, "Vosek\n");
        const std::string what = c.options.empty() ? "no options" : c.options.front() + " " + c.options[1];
        EXPECT_EQ(run.Code, 0) << what << "\n" << run.Err;
        EXPECT_NE(run.Out.find(c.said), std::string::npos) << what << "\n" << run.Out;
        EXPECT_EQ(!WriteFrames().empty(), c.writes) << what;
        const TSimImage held = Sim.Image();
        for (int k = 1; k <= 13; ++k) {
            const bool changed = std::find(c.changed.begin(), c.changed.end(), k) != c.changed.end();
            EXPECT_EQ(SlotOfSim(held, k) == SlotOfSim(image, k), !changed) << what << ", slot " << k;
        }
        EXPECT_TRUE(SimImageSealed(held)) << what;
    }
}

TEST_F(CliWrites, ALimitsWriteCutOffHalfwayIsCompletedByTheSameCommandAndNothingElseIsSealed) {
    // The first run loses the adapter at slot 5: slots 1-4 new, the rest old, the checksum wrong.
    Sim.AddRule(TSimMatch::WriteSlot(5), TSimAction::LoseRequest(), 2);
    const TCliRun cut = Run({"limits", "--ch1", "20,4"}, "Vosek\n");
    ASSERT_EQ(cut.Code, 8) << cut.Err;
    ASSERT_FALSE(SimImageSealed(Sim.Image()));

    // The same command again finds a block its journal explains, and completes it.
    const TCliRun again = Run({"limits", "--ch1", "20,4"}, "Vosek\n");
    EXPECT_EQ(again.Code, 0) << again.Err;
    EXPECT_NE(again.Err.find("эта запись его завершит"), std::string::npos) << again.Err;
    EXPECT_TRUE(SimImageSealed(Sim.Image()));
    EXPECT_EQ(Sim.Slot(1), EncodeSimFloat(20));
    EXPECT_EQ(Sim.Slot(2), EncodeSimFloat(4));
    EXPECT_EQ(SlotOfSim(Sim.Image(), 7), SlotOfSim(DefaultSimImage(1), 7));

    // A wrong checksum that no write of ours explains (here a slot changed behind the program's back) is
    // neither written over nor sealed.
    Sim.SetSlot(7, EncodeSimFloat(99));
    Sim.ClearLog();
    const TCliRun foreign = Run({"limits", "--ch1", "21,4"}, "Vosek\n");
    EXPECT_EQ(foreign.Code, 7) << foreign.Err;
    EXPECT_TRUE(WriteFrames().empty());
    EXPECT_EQ(Sim.Slot(1), EncodeSimFloat(20));
}

TEST_F(CliWrites, AStopSendsNothingBeforeTheFirstWriteRequestAndFinishesABlockOnceItHasBegun) {
    struct TCase {
        const char* what;
        std::function<void()> stop;
        int code;
        int slotsWritten; // write requests of slots that reached the adapter
        const char* said;
    };
    const std::vector<TCase> cases = {
        {"a stop during the read before the limits", [this] { StopWhen(TSimMatch::ReadSlot(16)); }, 130, 0,
         "ничего не записано"},
        {"a stop at the address register", [this] { StopWhen(TSimMatch::WriteRegister(375)); }, 9, 16,
         "блок дописан до конца, проверка чтением пропущена"},
        {"Ctrl+C twice",
         [this] {
             InterruptWhen(TSimMatch::WriteSlot(5));
             InterruptWhen(TSimMatch::WriteSlot(6));
         },
         8, 6, "второй Ctrl+C"},
    };
    for (const TCase& c : cases) {
        Sim.ClearRules();
        Sim.SetImage(DefaultSimImage(1));
        Sim.ClearLog();
        c.stop();
        const TCliRun run = Run({"limits", "--ch1", "20,4"}, "Vosek\n");
        EXPECT_EQ(run.Code, c.code) << c.what << "\n" << run.Err;
        EXPECT_NE(run.Err.find(c.said), std::string::npos) << c.what << "\n" << run.Err;
        std::size_t slotWrites = 0;
        for (const TSimBytes& frame : WriteFrames()) {
            slotWrites += frame[1] == 0x10 ? 1 : 0;
        }
        EXPECT_EQ(slotWrites, static_cast<std::size_t>(c.slotsWritten)) << c.what;
        // No read-back after a stop: the last request is a write, or there was no write at all.
        const std::vector<TSimBytes> frames = Sim.RequestFrames();
        EXPECT_TRUE(c.slotsWritten == 0 || frames.back()[1] == 0x10) << c.what;
    }
}

} // namespace
