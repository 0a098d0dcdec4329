// What holds back the end of the program from outside (the end of the Windows session, a console being
// closed): a hold raised from a write's first request to the end of its block, and a console's close
// that stops the command and returns only once the block under way has finished.

#include <atomic>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/Console.h"
#include "link/ConsoleControl.h"
#include "link/StopEvent.h"
#include "link/WriteHold.h"
#include "support/CliFixture.h"

namespace {

class WriteHoldTest : public CliTest {};

TEST_F(WriteHoldTest, IsRaisedFromTheFirstWriteRequestToTheEndOfTheBlock) {
    struct TCase {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        // As the adapter receives each request: whether a hold is raised.
        std::vector<std::pair<TSimMatch, bool>> expected;
        std::function<void()> adapter = [] {};
    };
    const std::vector<TCase> cases = {
        {"the limits write",
         {"limits", "--ch1", "20,4"},
         "Vosek\n",
         {{TSimMatch::Identify(), false},
          {TSimMatch::ReadSlot(16), false},
          {TSimMatch::WriteRegister(375), true},
          {TSimMatch::WriteSlot(1), true},
          {TSimMatch::WriteSlot(16), true}}},
        {"the whole block's write",
         {"write", "<file>"},
         "Vosek\nTrimel\n",
         // (it reads nothing before it writes: its first read is the read-back, after the block)
         {{TSimMatch::WriteSlot(1), true},
          {TSimMatch::WriteSlot(16), true},
          {TSimMatch::ReadSlot(1), false}}},
        {"a write the adapter stops confirming at slot 5",
         {"write", "<file>"},
         "Vosek\nTrimel\n",
         {{TSimMatch::WriteSlot(4), true}},
         [this] { Sim.AddRule(TSimMatch::WriteSlot(5), TSimAction::Silent(), TSimRule::kAlways); }},
    };
    const std::string file = CoefFile(ValidLines());
    for (const TCase& c : cases) {
        Sim.ClearRules();
        Sim.SetImage(DefaultSimImage(1));
        c.adapter();
        std::vector<std::optional<bool>> seen(c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            Sim.AddRule(c.expected[i].first,
                        TSimAction::Notify([&seen, i] { seen[i] = TWriteHold::Raised(); }));
        }
        std::vector<std::string> args = c.args;
        for (std::string& arg : args) {
            arg = arg == "<file>" ? file : arg;
        }
        const TCliRun run = Run(args, c.input);
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            ASSERT_TRUE(seen[i].has_value())
                << c.what << ": request " << i << " never came (exit " << run.Code << ")\n"
                << run.Out << run.Err;
            EXPECT_EQ(*seen[i], c.expected[i].second) << c.what << ": request " << i;
        }
        EXPECT_FALSE(TWriteHold::Raised()) << c.what << ": the hold outlived the command";
    }
}

TEST(ConsoleClose, StopsTheCommandAndReturnsOnlyOnceTheBlockHasFinished) {
    TStopEvent stop;
    SetConsoleStopEvent(&stop);
    std::atomic<bool> raised{false};
    std::atomic<bool> blockFinished{false};
    std::thread block([&] {
        const TWriteHold hold;
        raised.store(true);
        // The block goes on after the stop: its slots are written to the end.
        while (!stop.IsSignalled()) {
            std::this_thread::yield();
        }
        for (int slot = 0; slot < 1000; ++slot) {
            std::this_thread::yield();
        }
        blockFinished.store(true);
    });
    while (!raised.load()) {
        std::this_thread::yield();
    }
    StopAndFinishBlock();
    EXPECT_TRUE(blockFinished.load()) << "the handler returned (and the process would end) mid-block";
    EXPECT_TRUE(stop.IsSignalled());
    EXPECT_EQ(stop.Interrupts(), 0)
        << "a close is a stop, not Ctrl+C: a second one must not abandon the block";
    block.join();
    SetConsoleStopEvent(nullptr);
}

TEST(MinttyPipe, TheTerminalsPipesAreKnownByTheirNames) {
    const std::vector<std::pair<std::string, TMinttyPipeEnd>> cases = {
        {"\\msys-1888ae32e00d56aa-pty0-from-master", TMinttyPipeEnd::Input},
        {"\\msys-1888ae32e00d56aa-pty12-to-master", TMinttyPipeEnd::Output},
        {"\\cygwin-e022582115c10879-pty3-from-master", TMinttyPipeEnd::Input},
        {"\\cygwin-e022582115c10879-pty3-to-master", TMinttyPipeEnd::Output},
        {"\\msys-1888ae32e00d56aa-pty0-from-master-nat", TMinttyPipeEnd::None},
        {"\\msys-1888ae32e00d56aa-pty0-echoloop", TMinttyPipeEnd::None},
        {"\\msys-1888ae32e00d56aa-ptyX-from-master", TMinttyPipeEnd::None},
        {"\\msys--pty0-from-master", TMinttyPipeEnd::None},
        {"\\msys-zz-pty0-from-master", TMinttyPipeEnd::None},
        {"\\Device\\NamedPipe\\other-pty0-from-master", TMinttyPipeEnd::None},
        {"\\psexec-pty0-from-master", TMinttyPipeEnd::None},
        {"", TMinttyPipeEnd::None},
    };
    for (const auto& [name, end] : cases) {
        EXPECT_EQ(MinttyPipeEnd(name), end) << name;
    }
}

} // namespace
