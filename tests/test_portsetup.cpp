// The port setup dialog and its port-bound lists, driven through real widgets with scripted prompts,
// on adapter simulators reached through links in a test device folder.

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/ComPort.h"
#include "link/QuorbData.h"
#include "sim/Simulator.h"
#include "support/CountingDevice.h"
#include "support/DevLink.h"
#include "support/Files.h"
#include "support/ScriptedPrompts.h"
#include "ui/ComComboBox.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui/TavixCPortSetup.h"

namespace {

QStringList ItemsOf(const TComComboBox& list) {
    QStringList items;
    for (int i = 0; i < list.count(); ++i) {
        items << list.itemText(i);
    }
    return items;
}

// The descriptors of this process open on a device.
std::set<int> DescriptorsOn(const std::string& device) {
    std::set<int> fds;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) {
            char target[512] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && device == std::string(target, static_cast<std::size_t>(n))) {
                fds.insert(std::atoi(e->d_name));
            }
        }
        ::closedir(d);
    }
    return fds;
}

const QStringList kParityForms = {"None", "Odd", "Even", "Mark", "Space"};
const QStringList kParityShown = {"Нет", "Нечет", "Чёт", "Маркер (1)", "Пробел (0)"};
const QStringList kFlowForms = {"Hardware", "Software", "None", "Custom"};
const QStringList kFlowShown = {"Аппаратный (RTS/CTS)", "Программн.(XON/XOFF)", "Нет", "Заказной"};

struct PortSetupFixture : testing::Test {
    std::string Root = [] {
        char pattern[] = "/tmp/rq7-portsetup-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        return std::string(made ? made : "/tmp/rq7-portsetup-failed");
    }();
    std::string Dev = Root + "/dev";
    std::string Sys = Root + "/sys";
    std::string Reg = Root + "/reg";
    TAdapterSimulator Sim;
    TAdapterSimulator Sim2;
    TScriptedPrompts Prompts;
    TSettingsCounter Counter; // how often the port's settings reached its device
    std::optional<TRq7Program> Program;

    // The names the dialog lists for the two simulators.
    std::string Port1 = Dev + "/ttyRQ7a";
    std::string Port2 = Dev + "/ttyRQ7b";

    void SetUp() override {
        ASSERT_EQ(std::system(("mkdir -p '" + Dev + "' '" + Sys + "/class/tty/ttyS0/device'").c_str()), 0);
        WriteFileBytes(Dev + "/ttyS0", ""); // the UART's node
        ASSERT_EQ(::symlink(Sim.DevicePath().c_str(), Port1.c_str()), 0);
        ASSERT_EQ(::symlink(Sim2.DevicePath().c_str(), Port2.c_str()), 0);
        Program.emplace(Prompts, TLinkParts{Counter.Opener(), nullptr, {}, {}}, TSystemRoots{Sys, Dev, Reg});
        Program->Create();
        Port().SetPort(Port1);
    }
    void TearDown() override {
        Program.reset();
        std::system(("rm -rf '" + Root + "'").c_str());
    }
    TComPort& Port() { return Program->QuorbDataModule->ComPort; }
    std::string UserRegistryFile() const { return Reg + "/HKEY_CURRENT_USER.reg"; }
    // Opens the port as the main window does when it first shows.
    void ShowMainWindow() {
        Program->Rq7Form->show();
        ASSERT_TRUE(Port().Connected());
    }
    // Runs the menu command "Настройка порта" with the given handling of the dialog.
    void RunPortSetup(std::function<void(TTavixComSetupFrm&)> handler) {
        Prompts.DialogHandlers.push_back(
            [handler](QDialog& d) { handler(static_cast<TTavixComSetupFrm&>(d)); });
        Program->Rq7Form->N2()->trigger();
        EXPECT_TRUE(Prompts.DialogHandlers.empty()) << "the dialog was not shown";
    }
};

} // namespace

TEST_F(PortSetupFixture, DialogLooksAsDesigned) {
    TTavixComSetupFrm& dlg = *Program->TavixComSetupFrm;
    EXPECT_EQ(dlg.objectName(), "TavixComSetupFrm");
    EXPECT_EQ(dlg.windowTitle(), "Настройка порта");
    EXPECT_EQ(dlg.size(), QSize(290, 216));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_FALSE(dlg.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(dlg.font().family(), "Tahoma");
    EXPECT_EQ(dlg.font().pointSize(), 8);
    EXPECT_EQ(dlg.GroupBox1()->title(), "Параметры");
    EXPECT_EQ(dlg.GroupBox1()->geometry(), QRect(8, 8, 273, 162));

    struct Row {
        const char* Label;
        const char* Caption;
        TComComboBox* List;
        const char* ListName;
        int LabelTop;
        int ListTop;
        TComProperty Property;
        bool Enabled;
    };
    const Row rows[] = {
        {"Label1", "Порт:", dlg.Combo1(), "Combo1", 20, 16, TComComboBox::cpPort, true},
        {"Label2", "Скорость передачи:", dlg.SpeedCombo(), "SpeedCombo", 44, 40, TComComboBox::cpBaudRate,
         false},
        {"Label3", "Биты данных:", dlg.Combo3(), "Combo3", 68, 64, TComComboBox::cpDataBits, false},
        {"Label4", "Стоповые биты:", dlg.StopBitsCombo(), "StopBitsCombo", 92, 88, TComComboBox::cpStopBits,
         false},
        {"Label5", "Чётность:", dlg.Combo5(), "Combo5", 116, 112, TComComboBox::cpParity, false},
        {"Label6", "Контроль передачи:", dlg.Combo6(), "Combo6", 140, 136, TComComboBox::cpFlowControl, true},
    };
    for (const Row& r : rows) {
        auto* label = dlg.GroupBox1()->findChild<QLabel*>(r.Label);
        ASSERT_NE(label, nullptr) << r.Label;
        EXPECT_EQ(label->text(), r.Caption);
        EXPECT_EQ(label->x(), 8);
        EXPECT_EQ(label->y(), r.LabelTop);
        EXPECT_EQ(r.List->objectName(), r.ListName);
        EXPECT_EQ(r.List->parentWidget(), dlg.GroupBox1());
        EXPECT_EQ(r.List->geometry().topLeft(), QPoint(116, r.ListTop)) << r.ListName;
        EXPECT_EQ(r.List->width(), 148);
        EXPECT_EQ(r.List->ComProperty(), r.Property);
        EXPECT_EQ(r.List->isEnabled(), r.Enabled) << r.ListName;
        EXPECT_FALSE(r.List->isEditable());
        EXPECT_FALSE(r.List->AutoApply());
        EXPECT_EQ(r.List->ComPort(), nullptr); // bound only when shown
    }
    EXPECT_EQ(ItemsOf(*dlg.SpeedCombo()),
              QStringList({"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                           "38400", "56000", "57600", "115200", "128000", "256000"}));
    EXPECT_EQ(ItemsOf(*dlg.Combo3()), QStringList({"5", "6", "7", "8"}));
    EXPECT_EQ(ItemsOf(*dlg.StopBitsCombo()), QStringList({"1", "1.5", "2"}));
    EXPECT_EQ(ItemsOf(*dlg.Combo5()), kParityForms);
    EXPECT_EQ(ItemsOf(*dlg.Combo6()), kFlowForms);
    // The port list comes from the system, sorted; each list starts on its first item.
    EXPECT_EQ(ItemsOf(*dlg.Combo1()),
              QStringList({QString::fromStdString(Dev + "/ttyRQ7a"), QString::fromStdString(Dev + "/ttyRQ7b"),
                           QString::fromStdString(Dev + "/ttyS0")}));
    for (TComComboBox* list :
         {dlg.Combo1(), dlg.SpeedCombo(), dlg.Combo3(), dlg.StopBitsCombo(), dlg.Combo5(), dlg.Combo6()}) {
        EXPECT_EQ(list->currentIndex(), 0) << list->objectName().toStdString();
    }

    EXPECT_EQ(dlg.Button1()->text(), "OK");
    EXPECT_EQ(dlg.Button1()->geometry(), QRect(64, 183, 75, 25));
    EXPECT_TRUE(dlg.Button1()->isDefault());
    EXPECT_EQ(dlg.Button2()->text(), "Отмена");
    EXPECT_EQ(dlg.Button2()->geometry(), QRect(166, 183, 75, 25));
    EXPECT_FALSE(dlg.Button2()->isDefault());

    // On screen: the flow-control row is hidden, and Tab goes Combo1, OK, Cancel.
    RunPortSetup([](TTavixComSetupFrm& d) {
        EXPECT_FALSE(d.Combo6()->isVisible());
        EXPECT_FALSE(d.Label6()->isVisible());
        EXPECT_TRUE(d.Combo1()->isVisible());
        std::vector<QString> chain;
        QWidget* w = d.Combo1();
        do {
            if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) {
                chain.push_back(w->objectName());
            }
            w = w->nextInFocusChain();
        } while (w != d.Combo1());
        EXPECT_EQ(chain, (std::vector<QString>{"Combo1", "Button1", "Button2"}));
        d.Button2()->click();
    });
}

TEST_F(PortSetupFixture, OkOnTheOpenUnchangedPortReappliesWithoutClosingAndStoresAll28Values) {
    const std::set<int> simOwn = DescriptorsOn(Sim.DevicePath());
    ShowMainWindow();
    std::set<int> portFds;
    for (int fd : DescriptorsOn(Sim.DevicePath())) {
        if (!simOwn.count(fd)) {
            portFds.insert(fd);
        }
    }
    ASSERT_EQ(portFds.size(), 1u);
    const int portFd = *portFds.begin();
    // Mark the open file; a device closed and opened again would come back without the mark.
    ASSERT_EQ(::fcntl(portFd, F_SETFL, ::fcntl(portFd, F_GETFL) | O_APPEND), 0);
    const TApplyCounts before = Counter.Counts();

    Prompts.Cursor = QPoint(200, 150);
    RunPortSetup([&](TTavixComSetupFrm& d) {
        EXPECT_EQ(d.pos(), QPoint(215, 165));
        EXPECT_EQ(d.Combo1()->Text().toStdString(), Port1);
        EXPECT_EQ(d.SpeedCombo()->Text(), "9600");
        EXPECT_EQ(d.Combo3()->Text(), "8");
        EXPECT_EQ(d.StopBitsCombo()->Text(), "1");
        // Russian items while on screen, at the port's positions.
        EXPECT_EQ(ItemsOf(*d.Combo5()), kParityShown);
        EXPECT_EQ(d.Combo5()->currentIndex(), 0);
        EXPECT_EQ(ItemsOf(*d.Combo6()), kFlowShown);
        EXPECT_EQ(d.Combo6()->currentIndex(), 3); // DTR and RTS held on: "Custom"
        for (TComComboBox* list :
             {d.Combo1(), d.SpeedCombo(), d.Combo3(), d.StopBitsCombo(), d.Combo5(), d.Combo6()}) {
            EXPECT_EQ(list->ComPort(), &Port());
        }
        d.Button1()->click();
    });

    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(Port().Port(), Port1);
    ASSERT_TRUE(DescriptorsOn(Sim.DevicePath()).count(portFd));
    EXPECT_TRUE(::fcntl(portFd, F_GETFL) & O_APPEND) << "the device was closed and opened again";
    // Queue sizes, line settings and time-outs reached the device once more, in one go.
    EXPECT_EQ(Counter.Counts().QueueSizes, before.QueueSizes + 1);
    EXPECT_EQ(Counter.Counts().LineSettings, before.LineSettings + 1);
    EXPECT_EQ(Counter.Counts().Timeouts, before.Timeouts + 1);
    EXPECT_EQ(Port().UpdateCount(), 0);
    EXPECT_EQ(Port().FlowControl().ControlRTS(), rtsEnable);
    EXPECT_EQ(Port().StoredGroups(), 63);

    const std::string stored = ReadFileBytes(UserRegistryFile());
    int values = 0;
    for (std::size_t at = stored.find("\r\n\""); at != std::string::npos;
         at = stored.find("\r\n\"", at + 1)) {
        ++values;
    }
    EXPECT_EQ(values, 28) << stored;
    EXPECT_NE(stored.find(
                  "[HKEY_CURRENT_USER\\Software\\Fendral\\QUORB\\Comport Settings\\ComPort]\r\n\"Port\"=\"" +
                  Port1 + "\"\r\n\"BaudRate\"=\"9600\"\r\n"),
              std::string::npos)
        << stored;
    EXPECT_NE(stored.find("\"FlowControl\"=\"Custom\"\r\n"), std::string::npos);
    EXPECT_NE(stored.find("\"FlowControl.ControlDTR\"=\"Enable\"\r\n"), std::string::npos);
    // Only the dialog was shown: OpenComport found the port open.
    ASSERT_EQ(Prompts.Shown.size(), 1u);
    EXPECT_EQ(Prompts.Shown[0].kind, TPromptRecord::Dialog);
    EXPECT_EQ(Prompts.Shown[0].text, "TavixComSetupFrm");
}

TEST_F(PortSetupFixture, AnotherPortChosenClosesTheOldDeviceAndOpensTheNewOne) {
    ShowMainWindow();
    RunPortSetup([&](TTavixComSetupFrm& d) {
        d.Combo1()->SetText(QString::fromStdString(Port2).toUpper()); // letter case does not matter
        EXPECT_EQ(d.Combo1()->Text().toStdString(), Port2);
        d.Button1()->click();
    });
    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(Port().Port(), Port2);
    EXPECT_EQ(Port().UpdateCount(), 0);

    // The new device receives; the old one is free for anyone else.
    Sim2.SendRaw({0x55, 0xAA});
    EXPECT_TRUE(QTest::qWaitFor([&] { return Port().BytesWaiting() == 2; }, 10000));
    TComPort other;
    other.SetPort(Port1);
    EXPECT_NO_THROW(other.OpenPort());
    EXPECT_NE(ReadFileBytes(UserRegistryFile()).find("\"Port\"=\"" + Port2 + "\""), std::string::npos);
    EXPECT_EQ(Prompts.Texts(), QStringList());
}

TEST_F(PortSetupFixture, CancelCloseAndEscapeChangeNothing) {
    ShowMainWindow();
    const TApplyCounts before = Counter.Counts();
    // Cancel after choosing another port.
    RunPortSetup([&](TTavixComSetupFrm& d) {
        d.Combo1()->SetText(QString::fromStdString(Port2));
        d.Button2()->click();
    });
    // Escape does not close the dialog; closing it from its frame does, as a cancel.
    RunPortSetup([&](TTavixComSetupFrm& d) {
        d.Combo1()->SetText(QString::fromStdString(Port2));
        QTest::keyClick(d.Combo1(), Qt::Key_Escape);
        QTest::keyClick(&d, Qt::Key_Escape);
        EXPECT_TRUE(d.isVisible());
        d.close();
        EXPECT_FALSE(d.isVisible());
    });
    EXPECT_EQ(Port().Port(), Port1);
    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(Counter.Counts().LineSettings, before.LineSettings);
    EXPECT_EQ(Port().StoredGroups(), 1);
    EXPECT_FALSE(std::ifstream(UserRegistryFile()).good());
    EXPECT_EQ(Prompts.Texts(), QStringList());
}

TEST_F(PortSetupFixture, EnterActsAsOk) {
    ShowMainWindow();
    RunPortSetup([&](TTavixComSetupFrm& d) {
        d.Combo1()->SetText(QString::fromStdString(Port2));
        QTest::keyClick(d.Combo1(), Qt::Key_Return);
    });
    EXPECT_EQ(Port().Port(), Port2);
    EXPECT_TRUE(std::ifstream(UserRegistryFile()).good());
}

// Keys as the keyboard gives them: each one goes to the widget that has the focus.
void PressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr) << "nothing has the focus";
    QTest::keyClick(focused, key, modifiers);
}

TEST_F(PortSetupFixture, EnterPressesTheFocusedButtonAndIsOkInThePortList) {
    ShowMainWindow();
    const TApplyCounts before = Counter.Counts();
    // Another port chosen, Tab twice to "Отмена", then Enter (and the keypad's Enter): a cancel.
    for (const Qt::Key enter : {Qt::Key_Return, Qt::Key_Enter}) {
        RunPortSetup([&](TTavixComSetupFrm& d) {
            d.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
            d.Combo1()->setFocus(Qt::TabFocusReason);
            d.Combo1()->SetText(QString::fromStdString(Port2));
            PressKey(Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget(), d.Button1());
            PressKey(Qt::Key_Tab);
            ASSERT_EQ(QApplication::focusWidget(), d.Button2());
            // Escape still does nothing, also on the focused cancel button.
            PressKey(Qt::Key_Escape);
            EXPECT_TRUE(d.isVisible());
            PressKey(enter, enter == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            EXPECT_FALSE(d.isVisible());
            EXPECT_EQ(d.result(), 2);
        });
    }
    EXPECT_EQ(Port().Port(), Port1);
    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(Counter.Counts().LineSettings, before.LineSettings);
    EXPECT_FALSE(std::ifstream(UserRegistryFile()).good());

    // Back from "Отмена" to the port list: Enter there is OK again.
    RunPortSetup([&](TTavixComSetupFrm& d) {
        d.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
        d.Button2()->setFocus(Qt::TabFocusReason);
        d.Combo1()->SetText(QString::fromStdString(Port2));
        PressKey(Qt::Key_Tab, Qt::ShiftModifier);
        PressKey(Qt::Key_Tab, Qt::ShiftModifier);
        ASSERT_EQ(QApplication::focusWidget(), d.Combo1());
        PressKey(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(d.result(), 1);
    });
    EXPECT_EQ(Port().Port(), Port2);
    EXPECT_TRUE(std::ifstream(UserRegistryFile()).good());
}

TEST_F(PortSetupFixture, LocalisedItemsOnlyWhileOnScreenAndPositionsKept) {
    // A closed port: its settings only change in memory.
    Port().Parity().SetBits(prEven);
    Port().SetStopBits(sbTwoStopBits);
    Port().FlowControl().SetFlowControl(fcSoftware);
    TTavixComSetupFrm* shown = nullptr;
    RunPortSetup([&](TTavixComSetupFrm& d) {
        shown = &d;
        EXPECT_EQ(ItemsOf(*d.Combo5()), kParityShown);
        EXPECT_EQ(d.Combo5()->currentText(), "Чёт");
        EXPECT_EQ(ItemsOf(*d.Combo6()), kFlowShown);
        EXPECT_EQ(d.Combo6()->currentText(), "Программн.(XON/XOFF)");
        EXPECT_EQ(d.StopBitsCombo()->Text(), "2");
        d.Button2()->click();
    });
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(ItemsOf(*shown->Combo5()), kParityForms);
    EXPECT_EQ(shown->Combo5()->Text(), "Even");
    EXPECT_EQ(ItemsOf(*shown->Combo6()), kFlowForms);
    EXPECT_EQ(shown->Combo6()->Text(), "Software");

    // Applying reads the text forms back into the same values.
    shown->ApplyPortSetup(Port());
    EXPECT_EQ(Port().Parity().Bits(), prEven);
    EXPECT_EQ(Port().StopBits(), sbTwoStopBits);
    EXPECT_EQ(Port().FlowControl().FlowControl(), fcSoftware);
    EXPECT_EQ(Port().Port(), Port1);
}

TEST_F(PortSetupFixture, PortNotListedShowsNoSelectionAndOkStoresAnEmptyNameThenOpeningFails) {
    Port().SetPort("COM1");
    RunPortSetup([&](TTavixComSetupFrm& d) {
        EXPECT_EQ(d.Combo1()->currentIndex(), -1);
        EXPECT_EQ(d.Combo1()->Text(), "");
        d.Button1()->click();
    });
    EXPECT_EQ(Port().Port(), "");
    EXPECT_FALSE(Port().Connected());
    EXPECT_NE(ReadFileBytes(UserRegistryFile()).find("\"Port\"=\"\"\r\n"), std::string::npos);
    ASSERT_EQ(Prompts.Shown.size(), 2u);
    EXPECT_EQ(Prompts.Shown[1].title, "Неудача при открытии порта");
    EXPECT_TRUE(Prompts.Shown[1].text.contains("открывшая порт . Закройте"))
        << Prompts.Shown[1].text.toStdString();
}

TEST_F(PortSetupFixture, DialogOpensFifteenPixelsFromTheCursorEvenOffTheScreen) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    for (const QPoint cursor : {QPoint(0, 0), QPoint(100, 100), screen.bottomRight() - QPoint(5, 5)}) {
        Prompts.Cursor = cursor;
        RunPortSetup([&](TTavixComSetupFrm& d) {
            EXPECT_EQ(d.pos(), cursor + QPoint(15, 15));
            d.Button2()->click();
        });
    }
}

TEST_F(PortSetupFixture, EachCommandMakesANewDialogWithTheCurrentPortList) {
    ASSERT_EQ(Program->PortSetupDialogs.size(), 1u);
    TTavixComSetupFrm* first = nullptr;
    RunPortSetup([&](TTavixComSetupFrm& d) {
        first = &d;
        d.Button2()->click();
    });
    TAdapterSimulator sim3;
    const std::string port3 = Dev + "/ttyRQ7c";
    ASSERT_EQ(::symlink(sim3.DevicePath().c_str(), port3.c_str()), 0);
    RunPortSetup([&](TTavixComSetupFrm& d) {
        EXPECT_NE(&d, first);
        EXPECT_TRUE(ItemsOf(*d.Combo1()).contains(QString::fromStdString(port3)));
        d.Button2()->click();
    });
    ASSERT_EQ(Program->PortSetupDialogs.size(), 3u);
    EXPECT_EQ(Program->TavixComSetupFrm, Program->PortSetupDialogs.back().get());
    EXPECT_FALSE(ItemsOf(*first->Combo1()).contains(QString::fromStdString(port3)));
    for (const auto& d : Program->PortSetupDialogs) {
        EXPECT_FALSE(d->isVisible());
    }
}

TEST_F(PortSetupFixture, UnreadablePortListReportsAndShowsNoDialog) {
    ShowMainWindow();
    // The program's next dialog reads the port list under a sysfs folder that is not there.
    Program->Roots.Sysfs = Root + "/missing";
    TTavixComSetupFrm* const inUse = Program->TavixComSetupFrm;
    Program->Rq7Form->N2()->trigger();
    EXPECT_EQ(Prompts.Texts(), QStringList({"Registry error (win error code: 2)"}));
    EXPECT_EQ(Program->PortSetupDialogs.size(), 1u);
    EXPECT_EQ(Program->TavixComSetupFrm, inUse);
    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(Port().Port(), Port1);
}

TEST_F(PortSetupFixture, ChosenPortHeldElsewhereIsReportedWithTheBracketClosedAndNothingStored) {
    ShowMainWindow();
    TComPort holder;
    holder.SetPort(Port2);
    holder.OpenPort();
    RunPortSetup([&](TTavixComSetupFrm& d) {
        d.Combo1()->SetText(QString::fromStdString(Port2));
        d.Button1()->click();
    });
    EXPECT_EQ(Prompts.Texts(), QStringList({"Unable to open com port (win error code: 5)"}));
    EXPECT_FALSE(Port().Connected());
    EXPECT_EQ(Port().Port(), Port2);
    EXPECT_EQ(Port().UpdateCount(), 0);
    EXPECT_FALSE(std::ifstream(UserRegistryFile()).good());

    // Once the other holder lets go, the next OK opens it through the main window.
    holder.ClosePort();
    RunPortSetup([&](TTavixComSetupFrm& d) {
        EXPECT_EQ(d.Combo1()->Text().toStdString(), Port2);
        d.Button1()->click();
    });
    EXPECT_TRUE(Port().Connected());
    EXPECT_TRUE(std::ifstream(UserRegistryFile()).good());
}

TEST_F(PortSetupFixture, TheFirstSerialPortIsListedByItsComNameAndOkKeepsItOpenAndStoresThatName) {
    // The first serial port of a PC: /dev/ttyS<n> under the standard device folder, opened by the
    // program's name for it, COM<n+1> ("COM1" on a PC whose ttyS0 this test may take).
    TTtySLink uart(Sim.DevicePath());
    if (!uart.Made()) {
        GTEST_SKIP() << "needs root, to make a link in /dev";
    }
    // The dialogs made from now on list the ports of the standard device folder.
    Program->Roots.Dev = "/dev";
    const std::string com = uart.ComName();
    Port().SetPort(com);
    ShowMainWindow();
    const std::set<int> fds = DescriptorsOn(Sim.DevicePath());
    ASSERT_EQ(fds.size(), 1u);
    const int portFd = *fds.begin();
    ASSERT_EQ(::fcntl(portFd, F_SETFL, ::fcntl(portFd, F_GETFL) | O_APPEND), 0);
    const TApplyCounts before = Counter.Counts();

    RunPortSetup([&](TTavixComSetupFrm& d) {
        EXPECT_TRUE(ItemsOf(*d.Combo1()).contains(QString::fromStdString(com)));
        EXPECT_FALSE(ItemsOf(*d.Combo1()).contains(QString::fromStdString(uart.DeviceName())));
        EXPECT_EQ(d.Combo1()->Text().toStdString(), com) << "the open port is selected";
        d.Button1()->click();
    });

    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(Port().Port(), com);
    ASSERT_TRUE(DescriptorsOn(Sim.DevicePath()).count(portFd));
    EXPECT_TRUE(::fcntl(portFd, F_GETFL) & O_APPEND) << "the device was closed and opened again";
    EXPECT_EQ(Counter.Counts().LineSettings, before.LineSettings + 1);
    EXPECT_EQ(Counter.Counts().QueueSizes, before.QueueSizes + 1);
    EXPECT_EQ(Counter.Counts().Timeouts, before.Timeouts + 1);
    const std::string stored = ReadFileBytes(UserRegistryFile());
    EXPECT_NE(stored.find("\r\n\"Port\"=\"" + com + "\"\r\n"), std::string::npos) << stored;
    EXPECT_EQ(Prompts.Texts(), QStringList());
}

TEST(ComComboBox, TextSelectsWithoutRegardToCaseAndAutoApplyWritesThePort) {
    TComComboBox list;
    EXPECT_EQ(list.ComProperty(), TComComboBox::cpNone);
    EXPECT_EQ(list.count(), 0);
    list.SetComProperty(TComComboBox::cpParity);
    EXPECT_EQ(list.Text(), "None");
    list.SetText("space");
    EXPECT_EQ(list.Text(), "Space");
    list.SetText("Пробел");
    EXPECT_EQ(list.Text(), "Space"); // no such item: unchanged

    TComPort port;
    port.Parity().SetBits(prMark);
    list.SetComPort(&port); // binding selects the port's value
    EXPECT_EQ(list.Text(), "Mark");
    port.Parity().SetBits(prOdd);
    EXPECT_EQ(list.Text(), "Mark");
    list.SyncWithPort();
    EXPECT_EQ(list.Text(), "Odd");

    // Without AutoApply a user's choice stays in the list; with it, it reaches the port.
    list.setCurrentIndex(2);
    emit list.activated(2);
    EXPECT_EQ(port.Parity().Bits(), prOdd);
    list.SetAutoApply(true);
    emit list.activated(2);
    EXPECT_EQ(port.Parity().Bits(), prEven);

    // A new setting replaces the items.
    list.SetComProperty(TComComboBox::cpFlowControl);
    EXPECT_EQ(ItemsOf(list), kFlowForms);
    list.SetComProperty(TComComboBox::cpNone);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.Text(), "");
}
