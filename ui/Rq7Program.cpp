#include "ui/Rq7Program.h"

#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/MessageClock.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Prompts.h"
#include "ui/Rq7Unit.h"
#include "ui/TavixCPortSetup.h"
#include "ui/TechKoefUnit.h"

TRq7Program::TRq7Program(IPrompts& prompts, TLinkParts link)
    : Prompts(prompts), Clock(link.Clock), OpenDevice(std::move(link.OpenDevice)) {
    if (Clock == nullptr) {
        OwnClock = std::make_unique<TQtMessageClock>();
        Clock = OwnClock.get();
    }
}

TRq7Program::~TRq7Program() {
    // Windows first, then the exchange and the data module (whose port closes as it goes).
    TehForm.reset();
    PaswKoefForm.reset();
    KoefForPotreb.reset();
    Exchange.reset();
    QuorbDataModule.reset();
    PortSetupDialogs.clear();
    Rq7Form.reset();
}

TTavixComSetupFrm& TRq7Program::NewPortSetupDialog() {
    PortSetupDialogs.push_back(std::make_unique<TTavixComSetupFrm>(*this));
    TavixComSetupFrm = PortSetupDialogs.back().get();
    return *TavixComSetupFrm;
}

void TRq7Program::Create() {
    Rq7Form = std::make_unique<TRq7Form>(*this);
    CreationOrder.emplace_back("Rq7Form");
    NewPortSetupDialog();
    CreationOrder.emplace_back("TavixComSetupFrm");
    QuorbDataModule = std::make_unique<TQuorbDataModule>(OpenDevice);
    // Waits keep the user interface running and sleep while no message comes.
    Exchange = std::make_unique<TModbusExchange>(*QuorbDataModule, CoefBlock, *Clock);
    CreationOrder.emplace_back("QuorbDataModule");
    KoefForPotreb = std::make_unique<TKoefForPotreb>(*this);
    KoefForPotreb->setEnabled(false);
    CreationOrder.emplace_back("KoefForPotreb");
    PaswKoefForm = std::make_unique<TPaswKoefForm>(*this);
    CreationOrder.emplace_back("PaswKoefForm");
    TehForm = std::make_unique<TTehForm>(*this);
    TehForm->setEnabled(false);
    CreationOrder.emplace_back("TehForm");
    Rq7Form->ConnectBusyGuard();
}
