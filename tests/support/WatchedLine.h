#pragma once
// The program's serial line to the adapter simulator, watched, so that a test's verdict never depends on
// how quickly the simulator's thread is scheduled.
//
// The port opens the real device (a pseudo-terminal) through Opener(), which keeps a journal of the
// requests the program sends. The exchange's waits run on Clock(), on which no real time passes: at each
// wait the windows' pending messages are processed, then the line is settled (the simulator has answered
// everything the program sent, and its answers are waiting at the port), and the clock moves on to the
// wait's end. So an answer the adapter gives at once is always there when the program collects, and the
// journal shows the program's requests and waits in order:
//
//   identify, wait 51 ms, read slot 1, wait 101 ms, wait 21 ms, wait 51 ms, read slot 2, ...
//
// (a wait of DelayWithMessages(ms) lasts ms + 1 milliseconds: more than ms). Replies that the simulator
// is told to send late come on the real clock and are not waited for.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/ComPort.h"
#include "sim/Simulator.h"
#include "support/SteppedClock.h"

class TWatchedDevice;

class TWatchedLine {
public:
    explicit TWatchedLine(TAdapterSimulator& sim);
    TWatchedLine(const TWatchedLine&) = delete;
    TWatchedLine& operator=(const TWatchedLine&) = delete;

    TSerialDeviceOpener Opener();
    TSteppedClock& Clock() { return clock_; }

    // Requests ("identify", "read slot k", "write slot k", "write register R = V", any other frame in
    // hex) and waits ("wait N ms"), in the order the program made them.
    std::vector<std::string> Journal;
    // Bytes the program has written to the line.
    std::uint64_t BytesWritten() const { return written_; }

    // Waits (on the real clock, as long as it takes, failing the test after half a minute) until the
    // simulator has answered everything the program has written and the answers are waiting at the port.
    void Settle();

    // The journal entry of a wait of DelayWithMessages(ms).
    static std::string Wait(int ms) { return "wait " + std::to_string(ms + 1) + " ms"; }
    // The journal entry of a request frame.
    static std::string Describe(const std::uint8_t* frame, std::int32_t count);

private:
    friend class TWatchedDevice;
    TAdapterSimulator& sim_;
    TSteppedClock clock_;
    TWatchedDevice* device_ = nullptr; // the device open now
    std::uint64_t written_ = 0;
    std::uint64_t readSinceOpen_ = 0;
    std::uint64_t sentBeforeOpen_ = 0;
};
