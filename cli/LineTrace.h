#pragma once
// The --trace of rq7cli: every frame the program sends and every reply it receives, in hex, with the
// milliseconds since the start and a few words a person reads without a Modbus manual:
//
//   +  231.4 -> 00 03 01 01 00 02 95 E6  read slot 1
//   +  332.9 <- 01 03 04 00 00 41 80 2E 7B  slot 1 data
//
// It watches the real device: the port opens it through Opener(), which wraps the device it is given.

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "link/ComPort.h"
#include "link/ModbusUnit.h"

class TLineTrace {
public:
    TLineTrace(std::ostream& out, TMessageClock& clock);

    // The opener that wraps each device inner opens with the trace.
    TSerialDeviceOpener Opener(TSerialDeviceOpener inner);

    // Called by the wrapped device.
    void Sent(const std::uint8_t* bytes, std::int32_t count);
    void Received(const char* bytes, std::int32_t count);
    // The last bytes received were dropped before a request: printed as such.
    void Discarded(const std::string& bytes);
    // Prints the reply received so far, if any, as one line.
    void Flush();

    // Words for a request frame, and for a reply given the request it answers.
    static std::string DescribeRequest(const std::string& frame);
    static std::string DescribeReply(const std::string& reply, const std::string& request);

private:
    void PrintLine(TMessageClock::TTime at, const char* arrow, const std::string& bytes,
                   const std::string& words);

    std::ostream& out_;
    TMessageClock& clock_;
    TMessageClock::TTime start_;
    std::string lastRequest_;
    std::string pending_; // reply bytes not yet printed
    TMessageClock::TTime pendingSince_{};
};
