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
    // Created by the main window's OpenComport (through RenewStopEvent); signalled by the console
    // control handler.
    std::unique_ptr<TStopEvent> StopEvent;

    // Replaces StopEvent with a new one, not signalled, and makes the console control handler signal
    // it. The handler is handed the new event before the old one is destroyed, so a Ctrl+C at any
    // moment reaches a live event. When the event cannot be made, everything stays as it was.
    void RenewStopEvent();
};
