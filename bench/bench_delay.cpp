// Prints the processor time that a 1000 ms DelayWithMessages costs, as a share of the wall time.
// Target: under 0.05 (a busy loop would be 1.0). Figures only; nothing passes or fails on time.

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "coef/CoefBlock.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "ui/MessageClock.h"

namespace {
double processSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    TQuorbDataModule dataModule;
    TCoefBlock block;
    TQtMessageClock clock;
    TModbusExchange exchange(dataModule, block, clock);

    constexpr int kRuns = 3;
    for (int run = 1; run <= kRuns; ++run) {
        const double cpu0 = processSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        exchange.DelayWithMessages(1000);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        const double cpu = processSeconds() - cpu0;
        std::printf("DelayWithMessages(1000) run %d: wall %.3f s, processor %.4f s, processor/wall %.4f "
                    "(target < 0.05)\n",
                    run, wall, cpu, cpu / wall);
    }
    return 0;
}
