// The waits of the program's plain clock on Windows: the timer they sleep on is settled before the
// first wait and is one that ends a wait within a millisecond of its end on a stock Windows 10/11 (a
// high-resolution waitable timer, or the timer resolution raised to 1 ms where the system has none);
// and a wait never ends before its time, on any thread.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <windows.h>

#include "coef/CoefBlock.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "link/WaitTimer.h"

namespace {

using Clock = std::chrono::steady_clock;

bool EndsWithinAMillisecond(TTimerPrecision precision) {
    return precision == TTimerPrecision::HighResolutionTimer ||
           precision == TTimerPrecision::OneMillisecondPeriod;
}

TEST(WindowsWaitTimer, ThePlainClockHasAPreciseTimerBeforeItsFirstWait) {
    // Nothing has waited on this thread yet: asking makes the thread's timer, as the first wait would.
    const TTimerPrecision precision = ThreadWaitTimer().Precision();
    EXPECT_TRUE(EndsWithinAMillisecond(precision)) << "the waits end by " << TimerPrecisionText(precision);
    // Each thread gets a timer of its own, as precise.
    const TWaitTimer* const mine = &ThreadWaitTimer();
    TTimerPrecision other = TTimerPrecision::SystemTick;
    bool ownTimer = false;
    std::thread([&] {
        other = ThreadWaitTimer().Precision();
        ownTimer = &ThreadWaitTimer() != mine;
    }).join();
    EXPECT_EQ(other, precision);
    EXPECT_TRUE(ownTimer);
}

TEST(WindowsWaitTimer, ASetTimerIsAWaitableObjectThatBecomesSignalled) {
    TWaitTimer timer;
    ASSERT_TRUE(EndsWithinAMillisecond(timer.Precision())) << TimerPrecisionText(timer.Precision());
    // Set for an end far away, it is not signalled; set again for an end 20 ms away, it is signalled
    // once that end has passed.
    HANDLE handle = static_cast<HANDLE>(timer.Arm(Clock::now() + std::chrono::minutes(10)));
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    const auto until = Clock::now() + std::chrono::milliseconds(20);
    EXPECT_EQ(timer.Arm(until), handle);
    EXPECT_EQ(WaitForSingleObject(handle, 60000), WAIT_OBJECT_0);
    EXPECT_GE(Clock::now(), until);
    // Set again, its earlier signal is gone (an auto-reset timer: the wait took it), and an end already
    // past signals it at once.
    EXPECT_EQ(timer.Arm(Clock::now() - std::chrono::milliseconds(5)), handle);
    EXPECT_EQ(WaitForSingleObject(handle, 60000), WAIT_OBJECT_0);
}

TEST(WindowsWaitTimer, ASleepNeverEndsBeforeItsTime) {
    TWaitTimer timer;
    for (const int us : {0, 50, 400, 1000, 2500, 16000, 17000}) {
        const auto until = Clock::now() + std::chrono::microseconds(us);
        timer.SleepUntil(until);
        EXPECT_GE(Clock::now(), until) << us << " us";
    }
    // An end already past returns without sleeping on the timer.
    timer.SleepUntil(Clock::now() - std::chrono::seconds(1));
}

TEST(WindowsWaitTimer, TheExchangesWaitLastsMoreThanItsMilliseconds) {
    // The plain clock, as a program without windows waits: more than ms milliseconds, on this thread
    // and on another at the same time, each on its own timer.
    TQuorbDataModule module;
    TCoefBlock block;
    TModbusExchange exchange(module, block);
    std::chrono::steady_clock::duration otherWaited{};
    std::thread other([&] {
        TQuorbDataModule otherModule;
        TCoefBlock otherBlock;
        TModbusExchange otherExchange(otherModule, otherBlock);
        const auto start = Clock::now();
        otherExchange.DelayWithMessages(30);
        otherWaited = Clock::now() - start;
    });
    for (const int ms : {0, 1, 2, 20, 50}) {
        const auto start = Clock::now();
        exchange.DelayWithMessages(ms);
        EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(ms)) << ms << " ms";
    }
    other.join();
    EXPECT_GT(otherWaited, std::chrono::milliseconds(30));
}

} // namespace
