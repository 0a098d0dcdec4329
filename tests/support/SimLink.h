#pragma once
// A data module, coefficient block and exchange whose port is opened on a fresh adapter simulator,
// through a watched line (support/WatchedLine.h): the waits let the simulator answer, on no clock.

#include <memory>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "sim/Simulator.h"
#include "support/WatchedLine.h"

struct TSimLink {
    TAdapterSimulator Sim;
    TWatchedLine Line{Sim};
    TQuorbDataModule DataModule{Line.Opener()};
    TCoefBlock Block;
    TModbusExchange Exchange{DataModule, Block, Line.Clock()};

    explicit TSimLink(std::uint8_t address = 1) : Sim(address) {
        DataModule.ComPort.SetPort(Sim.DevicePath());
        DataModule.StopEvent = std::make_unique<TStopEvent>();
        DataModule.ComPort.OpenPort();
    }
};

// The bytes of a text, for comparing replies.
inline std::vector<std::uint8_t> BytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}
