// The count of raised holds, shared by the sequences and whoever asks (a console handler, a window).

#include "link/WriteHold.h"

#include <atomic>
#include <thread>

namespace {
std::atomic<int> raisedHolds{0};
static_assert(std::atomic<int>::is_always_lock_free, "a console handler asks for the count");
constexpr std::chrono::milliseconds kReleasePoll{10};
} // namespace

TWriteHold::TWriteHold() {
    if (raisedHolds.fetch_add(1) == 0) {
        WriteHoldChanged();
    }
}

TWriteHold::~TWriteHold() {
    if (raisedHolds.fetch_sub(1) == 1) {
        WriteHoldChanged();
    }
}

bool TWriteHold::Raised() noexcept {
    return raisedHolds.load() > 0;
}

bool TWriteHold::WaitUntilReleased(std::chrono::milliseconds limit) noexcept {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Raised()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(kReleasePoll);
    }
    return true;
}
