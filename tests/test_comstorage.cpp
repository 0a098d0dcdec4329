// Stored port settings (the REGEDIT4 files standing in for the registry) and the port list
// (sysfs serial devices and links to pseudo-terminals).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "link/ComStorage.h"
#include "link/QuorbData.h"
#include "link/RegFile.h"
#include "link/SerialBackend.h"
#include "support/DevLink.h"
#include "support/Files.h"

namespace {

void MakeDirs(const std::string& path) {
    ASSERT_EQ(std::system(("mkdir -p '" + path + "'").c_str()), 0);
}

// Joins lines with CR LF, as the stored files are written.
std::string CrLf(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) {
        s += l + "\r\n";
    }
    return s;
}

const std::string kKeyPath = "\\Software\\Fendral\\QUORB\\Comport Settings";

// The standard port roots, with the registry files in folder.
TSystemRoots RegistryIn(const std::string& folder) {
    TSystemRoots roots;
    roots.RegistryFolder = folder;
    return roots;
}

// The data module's port as the main window leaves it before opening: DTR and RTS held on.
void PrepareAsOpened(TQuorbDataModule& dm) {
    dm.ComPort.FlowControl().SetControlDTR(dtrEnable);
    dm.ComPort.FlowControl().SetControlRTS(rtsEnable);
}

// The message of the EComPort a call raises ("" when none).
template <typename F> std::string ComPortErrorOf(F&& call) {
    try {
        call();
    } catch (const EComPort& e) {
        return e.what();
    }
    return "";
}

// A pseudo-terminal pair, raw on both sides.
struct TPty {
    int Master = -1;
    int Slave = -1;
    std::string SlavePath;
    TPty() {
        char name[256] = {};
        termios raw{};
        ::cfmakeraw(&raw);
        EXPECT_EQ(::openpty(&Master, &Slave, name, &raw, nullptr), 0);
        SlavePath = name;
    }
    ~TPty() {
        ::close(Master);
        ::close(Slave);
    }
    std::string ReadMaster() const {
        std::string got;
        pollfd p{Master, POLLIN, 0};
        char buf[64];
        while (::poll(&p, 1, 5000) > 0) {
            const ssize_t n = ::read(Master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<std::size_t>(n));
            if (got.size() >= 3) {
                break;
            }
        }
        return got;
    }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Texts and keys

TEST(StoredSettings, CharacterAndYesNoTexts) {
    EXPECT_EQ(CharText(0), "#0");
    EXPECT_EQ(CharText(17), "#17");
    EXPECT_EQ(CharText(32), "#32");
    EXPECT_EQ(CharText(33), "!");
    EXPECT_EQ(CharText('A'), "A");
    EXPECT_EQ(CharText(127), "\x7f");
    EXPECT_EQ(CharText(128), "#128");
    EXPECT_EQ(CharText(200), "#200");
    EXPECT_EQ(CharText(255), "#255");
    EXPECT_EQ(YesNoText(true), "Yes");
    EXPECT_EQ(YesNoText(false), "No");
}

TEST(StoredSettings, KeyPathChoosesRootAndKey) {
    struct Case {
        std::string Path;
        TRegRoot Root;
        std::string Key;
    };
    const std::vector<Case> cases = {
        {kKeyPath, TRegRoot::CurrentUser, "Software\\Fendral\\QUORB\\Comport Settings\\ComPort"},
        {"HKEY_LOCAL_MACHINE\\Software\\X", TRegRoot::LocalMachine, "Software\\X\\ComPort"},
        {"hkey_local_machine\\Software\\X\\", TRegRoot::LocalMachine, "Software\\X\\ComPort"},
        {"HKEY_CURRENT_USER\\Software\\X", TRegRoot::CurrentUser, "Software\\X\\ComPort"},
        // The part before the first backslash is taken as a root name and dropped.
        {"Software\\X", TRegRoot::CurrentUser, "X\\ComPort"},
        {"HKEY_CLASSES_ROOT\\Y", TRegRoot::CurrentUser, "Y\\ComPort"},
    };
    for (const auto& c : cases) {
        const TStoredKey key = StoredSettingsKey(c.Path, "ComPort");
        EXPECT_EQ(key.Root, c.Root) << c.Path;
        EXPECT_EQ(key.Key, c.Key) << c.Path;
    }
}

TEST(StoredSettings, RegistryFilesFollowTheUsualFolders) {
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/x/conf");
        EXPECT_EQ(RegistryFilePath(TRegRoot::CurrentUser), "/x/conf/rq7/HKEY_CURRENT_USER.reg");
        EXPECT_EQ(RegistryFilePath(TRegRoot::LocalMachine), "/etc/rq7/HKEY_LOCAL_MACHINE.reg");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
        ScopedEnv home("HOME", "/home/op");
        EXPECT_EQ(RegistryFilePath(TRegRoot::CurrentUser), "/home/op/.config/rq7/HKEY_CURRENT_USER.reg");
    }
    // A folder given for the store holds the files of both roots, whatever the environment says.
    ScopedEnv xdg("XDG_CONFIG_HOME", "/x/conf");
    EXPECT_EQ(RegistryFilePath(TRegRoot::CurrentUser, "/t/reg"), "/t/reg/HKEY_CURRENT_USER.reg");
    EXPECT_EQ(RegistryFilePath(TRegRoot::LocalMachine, "/t/reg"), "/t/reg/HKEY_LOCAL_MACHINE.reg");
}

// ---------------------------------------------------------------------------------------------
// SaveSettingsToRegistry

TEST(StoredSettings, AllGroupsOfTheDataModulesPortGiveThe28ValuesInOrder) {
    TempDir dir;
    TQuorbDataModule dm({}, RegistryIn(dir / "reg"));
    PrepareAsOpened(dm);
    dm.ComPort.SetStoredGroups(63);
    dm.ComPort.SaveSettingsToRegistry(kKeyPath);

    const std::vector<std::string> values = {
        R"("Port"="COM1")",
        R"("BaudRate"="9600")",
        R"("StopBits"="1")",
        R"("DataBits"="8")",
        R"("Parity"="None")",
        R"("FlowControl"="Custom")",
        R"("EventChar"="#0")",
        R"("DiscardNull"="No")",
        R"("Parity.Check"="No")",
        R"("Parity.Replace"="No")",
        R"("Parity.ReplaceChar"="#0")",
        R"("Buffer.OutputSize"=dword:00000400)",
        R"("Buffer.InputSize"=dword:00000400)",
        R"("Timeouts.ReadInterval"=dword:ffffffff)",
        R"("Timeouts.ReadTotalConstant"=dword:00000000)",
        R"("Timeouts.ReadTotalMultiplier"=dword:00000000)",
        R"("Timeouts.WriteTotalConstant"=dword:000003e8)",
        R"("Timeouts.WriteTotalMultiplier"=dword:00000064)",
        R"("FlowControl.ControlRTS"="Enable")",
        R"("FlowControl.ControlDTR"="Enable")",
        R"("FlowControl.DSRSensitivity"="No")",
        R"("FlowControl.OutCTSFlow"="No")",
        R"("FlowControl.OutDSRFlow"="No")",
        R"("FlowControl.TxContinueOnXoff"="No")",
        R"("FlowControl.XonXoffIn"="No")",
        R"("FlowControl.XonXoffOut"="No")",
        R"("FlowControl.XoffChar"="#19")",
        R"("FlowControl.XonChar"="#17")",
    };
    ASSERT_EQ(values.size(), 28u);
    std::vector<std::string> lines = {
        "REGEDIT4", "", "[HKEY_CURRENT_USER\\Software\\Fendral\\QUORB\\Comport Settings\\ComPort]"};
    lines.insert(lines.end(), values.begin(), values.end());
    lines.emplace_back();
    EXPECT_EQ(ReadFileBytes(dir / "reg/HKEY_CURRENT_USER.reg"), CrLf(lines));
    EXPECT_FALSE(std::ifstream(dir / "reg/HKEY_LOCAL_MACHINE.reg").good());

    TRegFile store(TRegRoot::CurrentUser, dir / "reg/HKEY_CURRENT_USER.reg");
    store.Load();
    const std::string key = "Software\\Fendral\\QUORB\\Comport Settings\\ComPort";
    EXPECT_EQ(store.GetValue(key, "Timeouts.ReadInterval"), TRegValue::Dw(0xFFFFFFFFu));
    EXPECT_EQ(store.GetValue(key, "Port"), TRegValue::Sz("COM1"));
    EXPECT_EQ(store.GetValue(key, "CustomBaudRate"), std::nullopt);
}

TEST(StoredSettings, OnlySelectedGroupsAndCustomRateOnlyForCustom) {
    TQuorbDataModule dm;
    const auto names = [&](int groups) {
        std::vector<std::string> n;
        for (const auto& v : StoredSettingsValues(dm.ComPort, groups)) {
            n.push_back(v.Name);
        }
        return n;
    };
    // The built-in value of StoredGroups is the basic group only.
    EXPECT_EQ(dm.ComPort.StoredGroups(), 1);
    EXPECT_EQ(names(1), (std::vector<std::string>{"Port", "BaudRate", "StopBits", "DataBits", "Parity",
                                                  "FlowControl"}));
    EXPECT_EQ(names(32 | 4), (std::vector<std::string>{"EventChar", "DiscardNull", "Buffer.OutputSize",
                                                       "Buffer.InputSize"}));
    EXPECT_TRUE(names(0).empty());

    dm.ComPort.SetBaudRate(brCustom);
    dm.ComPort.SetCustomBaudRate(250000);
    dm.ComPort.SetEventChar(33);
    dm.ComPort.Parity().SetReplaceChar(200);
    const auto values = StoredSettingsValues(dm.ComPort, 63);
    EXPECT_EQ(values.size(), 29u);
    ASSERT_GE(values.size(), 3u);
    EXPECT_EQ(values[1].Name, "BaudRate");
    EXPECT_EQ(values[1].Value, TRegValue::Sz("Custom"));
    EXPECT_EQ(values[2].Name, "CustomBaudRate");
    EXPECT_EQ(values[2].Value, TRegValue::Dw(250000));
    const auto find = [&](const std::string& name) {
        const auto it =
            std::find_if(values.begin(), values.end(), [&](const auto& v) { return v.Name == name; });
        return it == values.end() ? TRegValue{} : it->Value;
    };
    EXPECT_EQ(find("EventChar"), TRegValue::Sz("!"));
    EXPECT_EQ(find("Parity.ReplaceChar"), TRegValue::Sz("#200"));
}

TEST(StoredSettings, KeyPathRootsLandInTheirOwnFiles) {
    TempDir dir;
    TQuorbDataModule dm({}, RegistryIn(dir.Path()));
    dm.ComPort.SaveSettingsToRegistry("HKEY_LOCAL_MACHINE\\Software\\X");
    dm.ComPort.SaveSettingsToRegistry("Software\\X");

    const std::string machine = ReadFileBytes(dir / "HKEY_LOCAL_MACHINE.reg");
    EXPECT_NE(machine.find("\r\n[HKEY_LOCAL_MACHINE\\Software\\X\\ComPort]\r\n\"Port\"=\"COM1\"\r\n"),
              std::string::npos)
        << machine;
    const std::string user = ReadFileBytes(dir / "HKEY_CURRENT_USER.reg");
    EXPECT_NE(user.find("\r\n[HKEY_CURRENT_USER\\X\\ComPort]\r\n\"Port\"=\"COM1\"\r\n"), std::string::npos)
        << user;
    EXPECT_EQ(user.find("Software"), std::string::npos) << user;
}

TEST(StoredSettings, UnwritableLocationFailsWithoutACode) {
    TempDir dir;
    WriteFileBytes(dir / "plain", "not a folder");
    TQuorbDataModule dm({}, RegistryIn(dir / "plain/reg"));
    try {
        dm.ComPort.SaveSettingsToRegistry(kKeyPath);
        ADD_FAILURE() << "no error raised";
    } catch (const EComPort& e) {
        EXPECT_STREQ(e.what(), "Failed to store settings");
        EXPECT_EQ(e.WinCode, -1);
    }
    EXPECT_EQ(ReadFileBytes(dir / "plain"), "not a folder");
}

TEST(StoredSettings, UpdateInPlaceKeepsEveryOtherKeyAndValue) {
    TempDir dir;
    // Written by someone else: another key before and after ours, a comment, a hex value running
    // over several lines, a Cyrillic text in Windows-1251, and our key spelt in another letter case
    // with an old "port" value and a value of its own.
    const std::vector<std::string> before = {
        "REGEDIT4",
        "",
        "; kept as it is",
        "[HKEY_CURRENT_USER\\Software\\Other]",
        "\"Name\"=\"\xCF\xEE\xF0\xF2 \\\"1\\\"\"",
        "\"Blob\"=hex:01,02,03,\\",
        "  04,05",
        "",
        "[hkey_current_user\\software\\fendral\\quorb\\comport settings\\comport]",
        "\"port\"=\"COM7\"",
        "\"Mine\"=dword:00000001",
        "",
        "[HKEY_CURRENT_USER\\Software\\After]",
        "@=\"default\"",
        "",
    };
    WriteFileBytes(dir / "HKEY_CURRENT_USER.reg", CrLf(before));

    TQuorbDataModule dm({}, RegistryIn(dir.Path()));
    dm.ComPort.SetPort("C:\\dev\\\"x\"");
    dm.ComPort.SaveSettingsToRegistry(kKeyPath);

    std::vector<std::string> after = before;
    after[9] = R"("Port"="C:\\dev\\\"x\"")"; // the old value's line, rewritten
    const std::vector<std::string> added = {R"("BaudRate"="9600")", R"("StopBits"="1")", R"("DataBits"="8")",
                                            R"("Parity"="None")", R"("FlowControl"="None")"};
    after.insert(after.begin() + 11, added.begin(), added.end());
    EXPECT_EQ(ReadFileBytes(dir / "HKEY_CURRENT_USER.reg"), CrLf(after));

    TRegFile store(TRegRoot::CurrentUser, dir / "HKEY_CURRENT_USER.reg");
    store.Load();
    EXPECT_EQ(store.GetValue("Software\\Fendral\\QUORB\\Comport Settings\\ComPort", "Port"),
              TRegValue::Sz("C:\\dev\\\"x\""));
    EXPECT_EQ(store.GetValue("Software\\Other", "Name"), TRegValue::Sz("Порт \"1\""));
    EXPECT_EQ(store.GetValue("Software\\Other", "Blob"), std::nullopt); // not a text or a number
    EXPECT_EQ(store.GetValue("Software\\After", ""), TRegValue::Sz("default"));

    // Saving again changes nothing.
    const std::string once = ReadFileBytes(dir / "HKEY_CURRENT_USER.reg");
    dm.ComPort.SaveSettingsToRegistry(kKeyPath);
    EXPECT_EQ(ReadFileBytes(dir / "HKEY_CURRENT_USER.reg"), once);
}

TEST(StoredSettings, ValueAfterAMultiLineValueIsFoundAndReplacedWhole) {
    TempDir dir;
    TRegFile store(TRegRoot::LocalMachine, dir / "m.reg");
    store.Load(); // no file yet: an empty store
    EXPECT_TRUE(store.Lines().empty());
    WriteFileBytes(dir / "m.reg",
                   CrLf({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\K]", "\"Bin\"=hex:00,\\",
                         "  \"X\"=\"looks like a value\",\\", "  01", "\"X\"=dword:00000002", ""}));
    store.Load();
    EXPECT_EQ(store.GetValue("K", "X"), TRegValue::Dw(2));
    store.SetValue("K", "Bin", TRegValue::Dw(7));
    store.SetValue("K\\", "X", TRegValue::Sz("new"));
    store.Save();
    EXPECT_EQ(ReadFileBytes(dir / "m.reg"), CrLf({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\K]",
                                                  "\"Bin\"=dword:00000007", "\"X\"=\"new\"", ""}));
    EXPECT_THROW(store.SetValue("K", "Y", TRegValue::Sz("two\nlines")), std::invalid_argument);
}

// ---------------------------------------------------------------------------------------------
// ListComPorts

TEST(PortList, SortedWithoutRegardToCase) {
    std::vector<std::string> names = {"COM2", "ttyUSB0", "com10", "COM1", "ttyACM0", "COM1"};
    SortPortNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"COM1", "com10", "COM2", "ttyACM0", "ttyUSB0"}));
}

TEST(PortList, SerialDevicesFromSysfsAndLinksToPseudoTerminals) {
    TempDir dir;
    const std::string sys = dir / "sys";
    const std::string cls = sys + "/class/tty";
    const std::string dev = dir / "dev";
    MakeDirs(dev + "/serial");
    // A real UART, a placeholder 8250 port, a USB adapter (no "type"), a virtual console (no
    // device), a CDC modem whose device link is a symbolic link, a device in a /dev subfolder, and a
    // USB adapter that sysfs still lists but whose node has gone from the device folder.
    MakeDirs(cls + "/ttyS0/device");
    WriteFileBytes(cls + "/ttyS0/type", "4\n");
    MakeDirs(cls + "/ttyS1/device");
    WriteFileBytes(cls + "/ttyS1/type", "0\n");
    MakeDirs(cls + "/ttyUSB0/device");
    MakeDirs(cls + "/tty1");
    MakeDirs(sys + "/devices/usb1/1-1");
    MakeDirs(cls + "/ttyACM0");
    ASSERT_EQ(::symlink((sys + "/devices/usb1/1-1").c_str(), (cls + "/ttyACM0/device").c_str()), 0);
    MakeDirs(cls + "/serial!ttyX0/device");
    MakeDirs(cls + "/ttyUSB1/device");
    for (const char* node : {"ttyS0", "ttyS1", "ttyUSB0", "tty1", "ttyACM0", "serial/ttyX0"}) {
        WriteFileBytes(dev + "/" + node, "");
    }

    TPty pty;
    ASSERT_EQ(::symlink(pty.SlavePath.c_str(), (dev + "/ttyV0").c_str()), 0); // rq7sim --link
    ASSERT_EQ(::symlink("/dev/pts/999999", (dev + "/ttyGone").c_str()), 0);   // its pty has gone
    ASSERT_EQ(::symlink("/dev/null", (dev + "/ttyNull").c_str()), 0);         // not a terminal
    ASSERT_EQ(::symlink("/proc/self/fd/0", (dev + "/stdin").c_str()), 0);     // not directly a pty
    WriteFileBytes(dev + "/ttyPlain", "");

    // In a folder other than /dev every port is named by its path there ("COM1" would open the
    // standard /dev/ttyS0, another device).
    const auto ports = ListSerialDevices(sys, dev);
    std::vector<std::string> sorted = ports;
    SortPortNames(sorted);
    EXPECT_EQ(sorted, (std::vector<std::string>{dev + "/serial/ttyX0", dev + "/ttyACM0", dev + "/ttyS0",
                                                dev + "/ttyUSB0", dev + "/ttyV0"}));

    // The same through the port, with the roots given to it; the listed link opens.
    std::vector<std::string> list = {"stale"};
    TCustomComPort::ListComPorts(list, TSystemRoots{sys, dev, {}});
    EXPECT_EQ(list, sorted);

    TComPort port;
    port.SetPort(dev + "/ttyV0");
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
    port.WriteBytes("abc", 3);
    EXPECT_EQ(pty.ReadMaster(), "abc");
    port.ClosePort();
}

TEST(PortList, UnderTheStandardDeviceFolderTtySnIsNamedByTheComNameThatOpensIt) {
    EXPECT_EQ(PortNameOf("ttyS0", "/dev"), "COM1");
    EXPECT_EQ(PortNameOf("ttyS9", "/dev"), "COM10");
    EXPECT_EQ(PortNameOf("ttyS998", "/dev"), "COM999");
    EXPECT_EQ(PortNameOf("ttyS999", "/dev"), "ttyS999") << "COM1000 opens no ttyS999";
    EXPECT_EQ(PortNameOf("ttyS01", "/dev"), "ttyS01") << "COM2 opens ttyS1, not ttyS01";
    EXPECT_EQ(PortNameOf("ttyS", "/dev"), "ttyS");
    EXPECT_EQ(PortNameOf("ttySx", "/dev"), "ttySx");
    EXPECT_EQ(PortNameOf("ttyUSB0", "/dev"), "ttyUSB0");
    EXPECT_EQ(PortNameOf("serial/ttyX0", "/dev"), "serial/ttyX0");
    EXPECT_EQ(PortNameOf("ttyS0", "/tmp/d"), "/tmp/d/ttyS0");

    // A UART in sysfs whose node is a link in the real /dev, a link in /dev named like a UART that
    // sysfs does not know, and a UART without a node: the first two are listed by the names that open
    // them, the last not at all.
    TPty uart;
    TPty linked;
    TTtySLink uartNode(uart.SlavePath);
    TTtySLink linkNode(linked.SlavePath);
    if (!uartNode.Made() || !linkNode.Made()) {
        GTEST_SKIP() << "needs root, to make links in /dev";
    }
    TempDir dir;
    const std::string cls = dir / "sys/class/tty";
    MakeDirs(cls + "/" + uartNode.DeviceName() + "/device");
    WriteFileBytes(cls + "/" + uartNode.DeviceName() + "/type", "4\n");
    MakeDirs(cls + "/ttyS998/device");
    std::vector<std::string> list;
    TCustomComPort::ListComPorts(list, TSystemRoots{dir / "sys", "/dev", {}});
    const auto listed = [&](const std::string& name) { return std::count(list.begin(), list.end(), name); };
    EXPECT_EQ(listed(uartNode.ComName()), 1);
    EXPECT_EQ(listed(linkNode.ComName()), 1);
    EXPECT_EQ(listed(uartNode.DeviceName()), 0);
    EXPECT_EQ(listed(linkNode.DeviceName()), 0);
    if (::access("/dev/ttyS998", F_OK) != 0) {
        EXPECT_EQ(listed("COM999"), 0) << "a UART without a node is listed";
    }
    std::vector<std::string> sorted = list;
    SortPortNames(sorted);
    EXPECT_EQ(list, sorted);

    // Each listed name opens its own device.
    for (const TPty* pty : {&uart, &linked}) {
        TComPort port;
        port.SetPort(pty == &uart ? uartNode.ComName() : linkNode.ComName());
        port.OpenPort();
        port.WriteBytes("yes", 3);
        EXPECT_EQ(pty->ReadMaster(), "yes") << port.Port();
    }
}

TEST(PortList, ALinkNamedComNOpensWhereItLeadsAndTheUartItWouldHideKeepsItsDeviceName) {
    // A UART ttyS<k> (a link in the real /dev standing in for it) and, made by the user for a virtual
    // port, a link /dev/COM<k+1>: the one name "COM<k+1>" cannot open both. The link has it; the UART
    // is listed by its device name. Each listed name opens the device it was listed for.
    TPty uart;
    TPty virtualPort;
    TTtySLink uartNode(uart.SlavePath);
    if (!uartNode.Made()) {
        GTEST_SKIP() << "needs root, to make links in /dev";
    }
    const std::string com = uartNode.ComName();
    TempDir dir;
    const std::string cls = dir / "sys/class/tty";
    MakeDirs(cls + "/" + uartNode.DeviceName() + "/device");
    WriteFileBytes(cls + "/" + uartNode.DeviceName() + "/type", "4\n");
    const auto listing = [&] {
        std::vector<std::string> list;
        TCustomComPort::ListComPorts(list, TSystemRoots{dir / "sys", "/dev", {}});
        return list;
    };
    const auto opens = [](const std::string& name, const TPty& device) {
        TComPort port;
        port.SetPort(name);
        port.OpenPort();
        port.WriteBytes("yes", 3);
        return device.ReadMaster() == "yes";
    };
    {
        TComNameLink comLink(std::stoi(com.substr(3)), virtualPort.SlavePath);
        ASSERT_TRUE(comLink.Made()) << "/dev/" << com << " is taken";
        ASSERT_EQ(comLink.Name(), com);
        const std::vector<std::string> list = listing();
        EXPECT_EQ(std::count(list.begin(), list.end(), com), 1) << "listed twice: for the link and the UART";
        EXPECT_EQ(std::count(list.begin(), list.end(), uartNode.DeviceName()), 1);
        EXPECT_TRUE(opens(com, virtualPort));
        EXPECT_TRUE(opens(uartNode.DeviceName(), uart));
    }
    // Without the link the name is the UART's again.
    const std::vector<std::string> list = listing();
    EXPECT_EQ(std::count(list.begin(), list.end(), com), 1);
    EXPECT_EQ(std::count(list.begin(), list.end(), uartNode.DeviceName()), 0);
    EXPECT_TRUE(opens(com, uart));
}

TEST(PortList, UnreadableSysfsIsARegistryErrorAndLeavesTheListAlone) {
    TempDir dir;
    const TSystemRoots roots{dir / "nosys", dir.Path(), {}};
    std::vector<std::string> list = {"COM3"};
    EXPECT_EQ(ComPortErrorOf([&] { TCustomComPort::ListComPorts(list, roots); }),
              "Registry error (win error code: 2)");
    EXPECT_EQ(list, std::vector<std::string>{"COM3"});

    // An empty class folder gives an empty list.
    MakeDirs(dir / "nosys/class/tty");
    TCustomComPort::ListComPorts(list, roots);
    EXPECT_TRUE(list.empty());
}

TEST(PortList, TheRealSystemCanBeListed) {
    // Whatever this machine has, the list reads without error, sorted, without placeholders, and only
    // with names whose device is there; a UART is listed by its COM name.
    // The standard roots are the defaults.
    std::vector<std::string> list;
    TCustomComPort::ListComPorts(list);
    std::vector<std::string> sorted = list;
    SortPortNames(sorted);
    EXPECT_EQ(list, sorted);
    for (const auto& name : list) {
        EXPECT_EQ(::access(DevicePath(name).c_str(), F_OK), 0) << name;
        EXPECT_NE(name.rfind("ttyS", 0), 0u) << name << " is listed by its device name";
        const std::string device = DevicePath(name).substr(5);
        std::ifstream type("/sys/class/tty/" + device + "/type");
        int t = -1;
        if (type >> t) {
            EXPECT_NE(t, 0) << name;
        }
    }
    // The first serial port, where this machine has one.
    std::ifstream type("/sys/class/tty/ttyS0/type");
    int t = -1;
    if ((type >> t) && t != 0 && ::access("/dev/ttyS0", F_OK) == 0) {
        EXPECT_EQ(std::count(list.begin(), list.end(), "COM1"), 1);
    }
}
