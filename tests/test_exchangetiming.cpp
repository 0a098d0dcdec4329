// The exchange's waits: on a clock on which no real time passes, and the program's waits keeping the
// windows responsive.

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "coef/CoefBlock.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "support/SteppedClock.h"
#include "ui/MessageClock.h"

using namespace std::chrono_literals;

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

TEST(DelayWithMessages, TheProgramsWaitHandlesClicksGivenBeforeAndDuringIt) {
    QPushButton button(QStringLiteral("B"));
    button.resize(80, 30);
    button.show();
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] { ++clicks; });

    TQuorbDataModule dataModule;
    TCoefBlock block;
    TQtMessageClock clock;
    TModbusExchange exchange(dataModule, block, clock);
    // A click waiting in the queue when the wait begins.
    const QPointF centre(40, 15);
    QCoreApplication::postEvent(&button,
                                new QMouseEvent(QEvent::MouseButtonPress, centre, button.mapToGlobal(centre),
                                                Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(&button, new QMouseEvent(QEvent::MouseButtonRelease, centre,
                                                         button.mapToGlobal(centre), Qt::LeftButton,
                                                         Qt::NoButton, Qt::NoModifier));
    // A click that comes with a timer due long before the wait ends: whenever the thread gets to run, the
    // timer's event comes while the wait lasts.
    bool timerFired = false;
    QTimer::singleShot(20, [&] {
        timerFired = true;
        button.click();
    });
    exchange.DelayWithMessages(200);
    EXPECT_TRUE(timerFired);
    EXPECT_EQ(clicks, 2);
}
