#pragma once
// The objects that live for the whole run: the windows, the data module with its port, the
// coefficient block and the exchange. The program entry makes one; tests make fresh ones.

#include <memory>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "link/ComPort.h"

class IPrompts;
class TRq7Form;
class TTavixComSetupFrm;
class TQuorbDataModule;
class TModbusExchange;
class TKoefForPotreb;
class TPaswKoefForm;
class TTehForm;
class TMessageClock;
class TWriteJournal;
class TRecordStore;
class TJournalForm;

// What the program's link to the adapter is made of. By default: the system's serial devices, and the
// steady clock with the windows' messages processed while a wait lasts.
struct TLinkParts {
    TSerialDeviceOpener OpenDevice; // empty: the system's serial devices
    TMessageClock* Clock = nullptr; // nullptr: the program's own clock
    std::string JournalPath;        // the limits writes' journal; empty: the user's data folder's
    std::string HistoryPath;        // the service record's store; empty: TRecordStore::DefaultPath()
};

class TRq7Program {
public:
    // The port list and the stored port settings are found under roots.
    explicit TRq7Program(IPrompts& prompts, TLinkParts link = {}, TSystemRoots roots = {});
    ~TRq7Program();
    TRq7Program(const TRq7Program&) = delete;
    TRq7Program& operator=(const TRq7Program&) = delete;

    // Creates the data module (with the exchange), then, in this order and all hidden: the main window,
    // the port setup dialog, the channel limits window, the password dialog and the technological mode
    // window; the two coefficient windows disabled. Each window is given what it uses; the windows that
    // come later in this order reach the earlier ones only through the program's commands. The port stays
    // closed until the main window is shown.
    void Create();

    // Makes a new port setup dialog and makes it the one in use; earlier ones stay hidden until the end.
    TTavixComSetupFrm& NewPortSetupDialog();

    IPrompts& Prompts;

    // The clock of the exchange's waits: link.Clock, or OwnClock.
    std::unique_ptr<TMessageClock> OwnClock;
    TMessageClock* Clock = nullptr;
    TSerialDeviceOpener OpenDevice;
    // Where the data module's port stores its settings and each new port setup dialog lists the ports.
    TSystemRoots Roots;

    // Declared in creation order, so they are destroyed in the reverse order.
    std::unique_ptr<TWriteJournal> Journal;
    // The service record's store; nullptr when it could not be opened (RecordsError says why, once the
    // main window shows, and the windows go on without it).
    std::unique_ptr<TRecordStore> Records;
    std::string RecordsError;
    std::unique_ptr<TQuorbDataModule> QuorbDataModule;
    TCoefBlock CoefBlock;
    std::unique_ptr<TModbusExchange> Exchange;
    std::unique_ptr<TRq7Form> Rq7Form;
    std::vector<std::unique_ptr<TTavixComSetupFrm>> PortSetupDialogs;
    TTavixComSetupFrm* TavixComSetupFrm = nullptr;
    std::unique_ptr<TKoefForPotreb> KoefForPotreb;
    std::unique_ptr<TPaswKoefForm> PaswKoefForm;
    std::unique_ptr<TTehForm> TehForm;
    // Made when the menu first opens it.
    std::unique_ptr<TJournalForm> JournalForm;
};
