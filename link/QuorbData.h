#pragma once
// The data module: owns the one serial port of the program and the stop event that ends a wait
// for received characters.

#include <memory>

#include "link/ComPort.h"
#include "link/StopEvent.h"

class TQuorbDataModule {
public:
    // The port starts every run with the built-in settings of the data module. It opens the system's
    // serial devices unless it is given another opener, and stores its settings under the roots.
    explicit TQuorbDataModule(TSerialDeviceOpener opener = {}, TSystemRoots roots = {});
    TComPort ComPort;
    // Created by the main window's OpenComport; signalled by the console control handler.
    std::unique_ptr<TStopEvent> StopEvent;
};
