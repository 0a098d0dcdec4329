#include "ui/Rq7Program.h"

#include <QTimer>

#include "coef/WriteJournal.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "record/RecordStore.h"
#include "ui/JournalUnit.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/MessageClock.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Prompts.h"
#include "ui/Rq7Unit.h"
#include "ui/TavixCPortSetup.h"
#include "ui/TechKoefUnit.h"

TRq7Program::TRq7Program(IPrompts& prompts, TLinkParts link, TSystemRoots roots)
    : Prompts(prompts), Clock(link.Clock), OpenDevice(std::move(link.OpenDevice)), Roots(std::move(roots)),
      Journal(std::make_unique<TWriteJournal>(link.JournalPath.empty() ? TWriteJournal::DefaultPath()
                                                                       : link.JournalPath)) {
    try {
        Records = std::make_unique<TRecordStore>(link.HistoryPath.empty() ? TRecordStore::DefaultPath()
                                                                          : link.HistoryPath);
    } catch (const std::exception& e) {
        RecordsError = e.what();
    }
    if (Clock == nullptr) {
        OwnClock = std::make_unique<TQtMessageClock>();
        Clock = OwnClock.get();
    }
}

TRq7Program::~TRq7Program() {
    // Windows first, then the exchange and the data module (whose port closes as it goes).
    JournalForm.reset();
    TehForm.reset();
    PaswKoefForm.reset();
    KoefForPotreb.reset();
    PortSetupDialogs.clear();
    Rq7Form.reset();
    Exchange.reset();
    QuorbDataModule.reset();
}

TTavixComSetupFrm& TRq7Program::NewPortSetupDialog() {
    PortSetupDialogs.push_back(std::make_unique<TTavixComSetupFrm>(Prompts, *Rq7Form, Roots));
    TavixComSetupFrm = PortSetupDialogs.back().get();
    return *TavixComSetupFrm;
}

void TRq7Program::Create() {
    // The data module and the exchange come first: every window that talks to the adapter is given them.
    // Creating them touches neither the port nor the system (the port keeps its built-in settings).
    QuorbDataModule = std::make_unique<TQuorbDataModule>(OpenDevice, Roots);
    // Waits keep the user interface running and sleep while no message comes.
    Exchange = std::make_unique<TModbusExchange>(*QuorbDataModule, CoefBlock, *Clock);

    // The menu's commands reach the windows created after the main window; a command runs only once
    // the program has been created.
    TMainMenuCommands menu;
    menu.NewPortSetupDialog = [this]() -> TTavixComSetupFrm& { return NewPortSetupDialog(); };
    menu.OpenLimitsWindow = [this] { KoefForPotreb->N4Click(); };
    menu.OpenTechnologicalWindow = [this] { TehForm->N5Click(); };
    menu.OpenJournal = [this] {
        if (!JournalForm) {
            JournalForm = std::make_unique<TJournalForm>(Prompts, Records.get());
        }
        JournalForm->show();
        JournalForm->raise();
        JournalForm->activateWindow();
    };
    Rq7Form =
        std::make_unique<TRq7Form>(Prompts, *QuorbDataModule, *Exchange, std::move(menu), Records.get());
    NewPortSetupDialog();
    KoefForPotreb = std::make_unique<TKoefForPotreb>(
        Prompts, *Exchange, CoefBlock, *Rq7Form, [this]() -> TPaswKoefForm& { return *PaswKoefForm; },
        *Journal, Records.get());
    KoefForPotreb->setEnabled(false);
    PaswKoefForm = std::make_unique<TPaswKoefForm>(Prompts);
    TehForm =
        std::make_unique<TTehForm>(Prompts, *Exchange, CoefBlock, *PaswKoefForm, *Rq7Form, Records.get());
    TehForm->setEnabled(false);
    if (!RecordsError.empty()) {
        // Said once, when the program is up; it goes on without its record.
        QTimer::singleShot(0, Rq7Form.get(), [this] {
            Prompts.ShowMessage(QStringLiteral("Журнал недоступен: ") + QString::fromStdString(RecordsError));
        });
    }
}
