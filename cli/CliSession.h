#pragma once
// One run of rq7cli against the adapter: the port, the exchange and what the user sees of a sequence.

#include <memory>
#include <string>

#include "cli/CliArguments.h"
#include "cli/CliOutput.h"
#include "cli/LineTrace.h"
#include "cli/Rq7Cli.h"
#include "coef/CoefBlock.h"
#include "coef/WriteJournal.h"
#include "link/CoefSequence.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "link/SerialBackend.h"
#include "link/StopEvent.h"

class TCliSession final : public ICoefSequenceView {
public:
    TCliSession(TCliContext& context, const TCommandLine& line)
        : context_(context),
          trace_(line.Trace ? std::make_unique<TLineTrace>(context.Err, context.Clock) : nullptr),
          DataModule(DeviceOpener(), context.Roots), Exchange(DataModule, Block, context.Clock),
          Sequence(Exchange, Block, *this),
          Journal(context.JournalPath.empty() ? TWriteJournal::DefaultPath() : context.JournalPath) {
        Block.LocalNow = context.LocalNow;
        // --port, else RQ7_PORT, else COM1 as the windows.
        DataModule.ComPort.SetPort(!line.Port.empty()             ? line.Port
                                   : !context.DefaultPort.empty() ? context.DefaultPort
                                                                  : std::string("COM1"));
        Sequence.SetJournal(&Journal);
        if (trace_) {
            Exchange.Discarded = [this](const std::string& bytes) { trace_->Discarded(bytes); };
        }
    }
    ~TCliSession() override {
        // The port closes (and its device gets back the settings it had) as the data module goes.
        context_.ConnectStop(nullptr);
    }
    TCliSession(const TCliSession&) = delete;
    TCliSession& operator=(const TCliSession&) = delete;

    // Opens the port as the main window does; false (with the windows' message) when it cannot.
    bool OpenPort() {
        TComPort& port = DataModule.ComPort;
        try {
            auto stopEvent = std::make_unique<TStopEvent>();
            context_.ConnectStop(stopEvent.get());
            DataModule.StopEvent = std::move(stopEvent);
            port.SetEvents(TComEvents{});
            port.FlowControl().SetControlDTR(dtrEnable);
            port.FlowControl().SetControlRTS(rtsEnable);
            port.OpenPort();
            return true;
        } catch (const std::exception& e) {
            Say("Неудача при открытии порта: Вероятно, выполняется другая программа, открывшая порт " +
                port.Port() + ". Закройте программу, захватившую порт, или укажите другой порт. (" +
                e.what() + ")");
            return false;
        }
    }

    // A stop was asked (Ctrl+C, SIGTERM, SIGHUP, a closed output).
    bool Stopped() const { return DataModule.StopEvent != nullptr && DataModule.StopEvent->IsSignalled(); }
    // Ctrl+C came a second time.
    bool Abandoned() const {
        return DataModule.StopEvent != nullptr && DataModule.StopEvent->Interrupts() >= 2;
    }

    void ShowProgressPanel(bool /*shown*/) override {}
    void SetProgress(int /*percent*/) override {}
    void ShowMessage(const std::string& text) override {
        if (trace_) {
            trace_->Flush();
        }
        Say(text);
    }
    bool StopRequested() override { return Stopped(); }
    bool AbandonRequested() override { return Abandoned(); }

    // A message on standard error after "rq7cli: ", or on standard output when standard error is closed.
    void Say(const std::string& text) {
        LastMessage = text;
        SayError(context_.Err, context_.Out, text);
    }
    // The last message said, for the service record's outcome.
    std::string LastMessage;

private:
    TSerialDeviceOpener DeviceOpener() {
        TSerialDeviceOpener opener = context_.Opener;
        if (!opener) {
            opener = [](const std::string& name) { return OpenSerialDevice(name); };
        }
        return trace_ ? trace_->Opener(std::move(opener)) : opener;
    }

    TCliContext& context_;
    std::unique_ptr<TLineTrace> trace_;

public:
    TQuorbDataModule DataModule;
    TCoefBlock Block;
    TModbusExchange Exchange;
    TCoefSequence Sequence;
    TWriteJournal Journal;
};
