// Prints what the program's waits cost: the processor time of a 1000 ms DelayWithMessages as a share of
// its wall time (target <= 0.01; a busy loop would be 1.0), and by how much waits run past the end that
// "more than ms milliseconds" sets (ms + 1), for the 1000 ms wait and for runs of the waits a slot read
// makes (100 ms, 20 ms, 50 ms). Medians of 5 runs. Figures only; nothing passes or fails on time.

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

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

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

using Clock = std::chrono::steady_clock;
double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
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

    constexpr int kRuns = 5;
    std::vector<double> shares, longOverruns, slotOverruns;
    for (int run = 1; run <= kRuns; ++run) {
        const double cpu0 = processSeconds();
        const auto wall0 = Clock::now();
        exchange.DelayWithMessages(1000);
        const auto wall = Clock::now() - wall0;
        const double cpu = processSeconds() - cpu0;
        const double share = cpu / std::chrono::duration<double>(wall).count();
        const double overrun = microseconds(wall - std::chrono::milliseconds(1001));

        // The waits of 16 slot reads: 100 ms before collecting, 20 ms after, 50 ms before the next slot.
        Clock::duration slotOverrun{};
        for (int slot = 0; slot < 16; ++slot) {
            for (const int ms : {100, 20, 50}) {
                const auto start = Clock::now();
                exchange.DelayWithMessages(ms);
                slotOverrun += Clock::now() - start - std::chrono::milliseconds(ms + 1);
            }
        }
        const double perWait = microseconds(slotOverrun) / 48;
        std::printf("run %d: DelayWithMessages(1000): processor/wall %.4f (target <= 0.01), %.0f us past its "
                    "1001 ms; the 48 waits of 16 slot reads: %.0f us past their ends each\n",
                    run, share, overrun, perWait);
        shares.push_back(share);
        longOverruns.push_back(overrun);
        slotOverruns.push_back(perWait);
    }
    std::printf("medians of %d runs: processor/wall %.4f, 1000 ms wait %.0f us past its end, slot-read waits "
                "%.0f us past their ends each\n",
                kRuns, median(shares), median(longOverruns), median(slotOverruns));
    return 0;
}
