// The data module's port starts every run with these settings; nothing is loaded from storage.

#include "link/QuorbData.h"

#include "link/ConsoleControl.h"

TQuorbDataModule::TQuorbDataModule(TSerialDeviceOpener opener, TSystemRoots roots)
    : ComPort(std::move(opener)) {
    ComPort.SetSystemRoots(std::move(roots));
    ComPort.SetName("ComPort");
    ComPort.SetPort("COM1");
    ComPort.SetBaudRate(br9600);
    ComPort.SetCustomBaudRate(9600);
    ComPort.SetDataBits(dbEight);
    ComPort.SetStopBits(sbOneStopBit);
    ComPort.Parity().SetBits(prNone);
    ComPort.FlowControl().SetControlDTR(dtrDisable);
    ComPort.FlowControl().SetControlRTS(rtsDisable);
    // No asynchronous event delivery: the port opens with an empty event set.
    ComPort.SetEvents(TComEvents{});
    ComPort.SetStoredGroups(1);
}

void TQuorbDataModule::RenewStopEvent() {
    auto fresh = std::make_unique<TStopEvent>();
    SetConsoleStopEvent(fresh.get());
    StopEvent = std::move(fresh); // the old event goes only now
}
