// Ctrl+C (SIGINT) while stop events come and go: the handler reaches the event the program has now,
// and never one that has been destroyed. A use of a destroyed event shows under AddressSanitizer as a
// use after free; in a plain build as bytes written to the descriptor that took the old one's number.

#include <atomic>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "link/ConsoleControl.h"
#include "link/QuorbData.h"
#include "link/StopEvent.h"

namespace {

// A pipe laid over the descriptor number a destroyed event had, so that whatever is still written
// to that number lands where the test can see it.
class TDescriptorTrap {
public:
    explicit TDescriptorTrap(int number) : number_(number) {
        // The pipe's own ends are moved out of the way first: either may have taken the free number.
        int ends[2] = {-1, -1};
        EXPECT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
        read_ = fcntl(ends[0], F_DUPFD_CLOEXEC, kAside);
        const int write = fcntl(ends[1], F_DUPFD_CLOEXEC, kAside);
        close(ends[0]);
        close(ends[1]);
        EXPECT_EQ(dup2(write, number_), number_);
        close(write);
    }
    ~TDescriptorTrap() {
        close(number_);
        close(read_);
    }
    TDescriptorTrap(const TDescriptorTrap&) = delete;
    TDescriptorTrap& operator=(const TDescriptorTrap&) = delete;

    bool Written() const {
        pollfd p{read_, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    }

private:
    static constexpr int kAside = 200;
    int number_;
    int read_ = -1;
};

// Ctrl+C, handled on this thread before raise returns.
void PressCtrlC() {
    ASSERT_EQ(raise(SIGINT), 0);
}

} // namespace

TEST(ConsoleControl, AfterTheDataModuleIsDestroyedCtrlCTouchesNothingAndTheProgramGoesOn) {
    auto dataModule = std::make_unique<TQuorbDataModule>();
    dataModule->RenewStopEvent();
    const int number = dataModule->StopEvent->NativeHandle();
    PressCtrlC();
    ASSERT_TRUE(dataModule->StopEvent->IsSignalled());

    dataModule.reset();
    TDescriptorTrap trap(number);
    PressCtrlC();
    EXPECT_FALSE(trap.Written()) << "the handler wrote to the destroyed event's descriptor";

    // Likewise an event the handler was given directly, destroyed while still connected.
    int directNumber = -1;
    {
        TStopEvent direct;
        SetConsoleStopEvent(&direct);
        directNumber = direct.NativeHandle();
    }
    TDescriptorTrap directTrap(directNumber);
    PressCtrlC();
    EXPECT_FALSE(directTrap.Written());
}

TEST(ConsoleControl, RenewingTheEventMovesCtrlCToTheNewOne) {
    TQuorbDataModule dataModule;
    dataModule.RenewStopEvent();
    const int firstNumber = dataModule.StopEvent->NativeHandle();
    dataModule.RenewStopEvent();
    ASSERT_NE(dataModule.StopEvent->NativeHandle(), firstNumber) << "the new event was made first";
    EXPECT_FALSE(dataModule.StopEvent->IsSignalled()) << "a new event starts not signalled";

    TDescriptorTrap trap(firstNumber);
    PressCtrlC();
    EXPECT_TRUE(dataModule.StopEvent->IsSignalled());
    EXPECT_FALSE(trap.Written()) << "the handler signalled the event it had before";

    // Once signalled the event stays so until it is renewed; the renewed one starts clear again.
    EXPECT_TRUE(dataModule.StopEvent->IsSignalled());
    dataModule.RenewStopEvent();
    EXPECT_FALSE(dataModule.StopEvent->IsSignalled());

    // Destroying an event the handler does not have leaves the handler on its own event.
    { TStopEvent unrelated; }
    PressCtrlC();
    EXPECT_TRUE(dataModule.StopEvent->IsSignalled());
}

TEST(ConsoleControl, DisconnectedHandlerTakesCtrlCAndSignalsNothing) {
    TStopEvent stop;
    SetConsoleStopEvent(&stop);
    SetConsoleStopEvent(nullptr);
    PressCtrlC(); // handled: the default action would end this program
    EXPECT_FALSE(stop.IsSignalled());
    SetConsoleStopEvent(&stop);
    PressCtrlC();
    EXPECT_TRUE(stop.IsSignalled());
}

TEST(ConsoleControl, CtrlCOnAnotherThreadWhileEventsAreRenewedNeverReachesADestroyedOne) {
    // The handler runs on a thread that keeps receiving SIGINT while this thread renews the event
    // again and again, as the console thread of Windows (or a signal the kernel hands to any thread)
    // can. Whatever the interleaving, no destroyed event is touched (AddressSanitizer watches), and the
    // last event is the one the handler then reaches.
    TQuorbDataModule dataModule;
    dataModule.RenewStopEvent();
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        while (!done.load()) {
            std::this_thread::yield();
        }
    });
    std::thread sender([&] {
        while (!done.load()) {
            pthread_kill(receiver.native_handle(), SIGINT);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20000; ++i) {
        dataModule.RenewStopEvent();
    }
    done.store(true);
    sender.join();
    receiver.join();

    dataModule.RenewStopEvent();
    ASSERT_FALSE(dataModule.StopEvent->IsSignalled());
    PressCtrlC();
    EXPECT_TRUE(dataModule.StopEvent->IsSignalled());
}
