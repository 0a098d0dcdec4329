// Stored port settings and the port list in the Windows registry, read back with the registry's own
// calls. Keys the tests make for themselves are removed again; the program's own key and the serial
// port list are restored as they were found.
//
// Emptying or removing HARDWARE\DEVICEMAP\SERIALCOMM is done only where RQ7_SCRATCH_REGISTRY=1 says
// the registry is a throwaway one (scripts/windows-check.sh makes a fresh Wine prefix).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>
#include <windows.h>

#include "link/ComPort.h"
#include "link/QuorbData.h"
#include "support/WinTestSupport.h"

namespace {

struct TValue {
    DWORD Type = REG_NONE;
    std::vector<BYTE> Data;
};

// Every value of a key, read with RegEnumValueW; an absent key gives false.
bool ReadKey(HKEY root, const std::wstring& path, std::map<std::wstring, TValue>& values) {
    values.clear();
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[512];
        DWORD nameLength = 512;
        BYTE data[2048];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            break;
        }
        values[std::wstring(name, nameLength)] = TValue{type, std::vector<BYTE>(data, data + size)};
    }
    RegCloseKey(key);
    return true;
}

void WriteKey(HKEY root, const std::wstring& path, const std::map<std::wstring, TValue>& values,
              DWORD options = REG_OPTION_NON_VOLATILE) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    for (const auto& [name, value] : values) {
        RegSetValueExW(key, name.c_str(), 0, value.Type, value.Data.data(),
                       static_cast<DWORD>(value.Data.size()));
    }
    RegCloseKey(key);
}

// A REG_SZ value as the 8-bit text of the system code page, with the size RegQueryValueExA reports.
struct TText {
    DWORD Type = REG_NONE;
    std::string Text; // without the terminating zero
    DWORD Size = 0;   // bytes, terminating zero included
    bool Found = false;
};

TText QueryText(HKEY root, const std::string& path, const std::string& name) {
    TText result;
    char data[512] = {};
    DWORD size = sizeof data;
    if (RegGetValueA(root, path.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &result.Type, data,
                     &size) == ERROR_SUCCESS) {
        result.Found = true;
        result.Size = size;
        result.Text.assign(data, size > 0 && data[size - 1] == '\0' ? size - 1 : size);
    }
    return result;
}

// A REG_DWORD value through RegQueryValueExW; Found is false when absent or of another type.
struct TDword {
    bool Found = false;
    DWORD Value = 0;
};

TDword QueryDword(HKEY root, const std::string& path, const std::string& name) {
    TDword result;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return result;
    }
    DWORD type = 0;
    DWORD size = sizeof result.Value;
    const LONG rc = RegQueryValueExW(key, Widen(name).c_str(), nullptr, &type,
                                     reinterpret_cast<BYTE*>(&result.Value), &size);
    RegCloseKey(key);
    result.Found = rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD);
    return result;
}

// Keeps the program's own settings key as it was found and puts it back afterwards.
class TKeptKey {
public:
    TKeptKey(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) {
        existed_ = ReadKey(root_, path_, values_);
        RegDeleteTreeW(root_, path_.c_str());
        RegDeleteKeyW(root_, path_.c_str());
    }
    ~TKeptKey() {
        RegDeleteTreeW(root_, path_.c_str());
        RegDeleteKeyW(root_, path_.c_str());
        if (existed_) {
            WriteKey(root_, path_, values_);
        }
    }
    TKeptKey(const TKeptKey&) = delete;
    TKeptKey& operator=(const TKeptKey&) = delete;

private:
    HKEY root_;
    std::wstring path_;
    bool existed_ = false;
    std::map<std::wstring, TValue> values_;
};

// A key of the tests' own, removed with everything below it.
class TScratchKey {
public:
    TScratchKey(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) { Remove(); }
    ~TScratchKey() { Remove(); }
    TScratchKey(const TScratchKey&) = delete;
    TScratchKey& operator=(const TScratchKey&) = delete;

private:
    void Remove() {
        RegDeleteTreeW(root_, path_.c_str());
        RegDeleteKeyW(root_, path_.c_str());
    }
    HKEY root_;
    std::wstring path_;
};

std::string StoreError(TComPort& port, const std::string& keyPath) {
    try {
        port.SaveSettingsToRegistry(keyPath);
    } catch (const EComPort& e) {
        return e.what();
    }
    return "";
}

const wchar_t kSerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

bool CanWriteSerialComm() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::vector<std::wstring> ValueNames(const std::map<std::wstring, TValue>& values) {
    std::vector<std::wstring> names;
    for (const auto& entry : values) {
        names.push_back(entry.first);
    }
    return names;
}

} // namespace

TEST(WinRegistry, DataModulePortStoresItsTwentyEightValuesWithTheirTypes) {
    TKeptKey kept(HKEY_CURRENT_USER, L"Software\\Fendral\\QUORB\\Comport Settings\\ComPort");
    // The data module's port as the main window opened it and the port setup dialog stores it.
    TQuorbDataModule module;
    module.ComPort.FlowControl().SetControlDTR(dtrEnable);
    module.ComPort.FlowControl().SetControlRTS(rtsEnable);
    module.ComPort.SetStoredGroups(63);
    module.ComPort.SaveSettingsToRegistry("\\Software\\Fendral\\QUORB\\Comport Settings");

    const std::string key = "Software\\Fendral\\QUORB\\Comport Settings\\ComPort";
    std::map<std::wstring, TValue> all;
    ASSERT_TRUE(ReadKey(HKEY_CURRENT_USER, Widen(key), all));
    EXPECT_EQ(all.size(), 28u);
    EXPECT_EQ(all.count(L"CustomBaudRate"), 0u);

    const std::pair<const char*, const char*> texts[] = {
        {"Port", "COM1"},
        {"BaudRate", "9600"},
        {"StopBits", "1"},
        {"DataBits", "8"},
        {"Parity", "None"},
        {"FlowControl", "Custom"},
        {"EventChar", "#0"},
        {"DiscardNull", "No"},
        {"Parity.Check", "No"},
        {"Parity.Replace", "No"},
        {"Parity.ReplaceChar", "#0"},
        {"FlowControl.ControlRTS", "Enable"},
        {"FlowControl.ControlDTR", "Enable"},
        {"FlowControl.DSRSensitivity", "No"},
        {"FlowControl.OutCTSFlow", "No"},
        {"FlowControl.OutDSRFlow", "No"},
        {"FlowControl.TxContinueOnXoff", "No"},
        {"FlowControl.XonXoffIn", "No"},
        {"FlowControl.XonXoffOut", "No"},
        {"FlowControl.XoffChar", "#19"},
        {"FlowControl.XonChar", "#17"},
    };
    for (const auto& [name, text] : texts) {
        const TText value = QueryText(HKEY_CURRENT_USER, key, name);
        EXPECT_TRUE(value.Found) << name;
        EXPECT_EQ(value.Type, static_cast<DWORD>(REG_SZ)) << name;
        EXPECT_EQ(value.Text, text) << name;
        EXPECT_EQ(value.Size, std::strlen(text) + 1) << name << ": stored with its terminating zero";
    }
    const std::pair<const char*, DWORD> dwords[] = {
        {"Buffer.OutputSize", 1024},
        {"Buffer.InputSize", 1024},
        {"Timeouts.ReadInterval", MAXDWORD},
        {"Timeouts.ReadTotalConstant", 0},
        {"Timeouts.ReadTotalMultiplier", 0},
        {"Timeouts.WriteTotalConstant", 1000},
        {"Timeouts.WriteTotalMultiplier", 100},
    };
    for (const auto& [name, number] : dwords) {
        const TDword value = QueryDword(HKEY_CURRENT_USER, key, name);
        EXPECT_TRUE(value.Found) << name << " as REG_DWORD";
        EXPECT_EQ(value.Value, number) << name;
    }
    EXPECT_EQ(std::size(texts) + std::size(dwords), 28u);
}

TEST(WinRegistry, GroupsCustomRateAndCharacterTexts) {
    const std::wstring base = L"Software\\Rq7WinTest" + std::to_wstring(GetCurrentProcessId());
    TScratchKey scratch(HKEY_CURRENT_USER, base);
    TComPort port;
    port.SetName("Probe");
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    port.SetEventChar(32);
    port.Parity().SetReplaceChar(33);
    port.FlowControl().SetXonChar(127);
    port.FlowControl().SetXoffChar(128);

    // A new port stores the basic group only, with the custom rate as a number.
    port.SaveSettingsToRegistry("\\" + Narrow(base) + "\\");
    const std::string key = Narrow(base) + "\\Probe";
    std::map<std::wstring, TValue> all;
    ASSERT_TRUE(ReadKey(HKEY_CURRENT_USER, Widen(key), all));
    EXPECT_EQ(ValueNames(all), (std::vector<std::wstring>{L"BaudRate", L"CustomBaudRate", L"DataBits",
                                                          L"FlowControl", L"Parity", L"Port", L"StopBits"}));
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, key, "BaudRate").Text, "Custom");
    const TDword rate = QueryDword(HKEY_CURRENT_USER, key, "CustomBaudRate");
    EXPECT_TRUE(rate.Found);
    EXPECT_EQ(rate.Value, 31250u);
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, key, "FlowControl").Text, "None");

    // Groups 32, 16 and 2 carry the character texts.
    port.SetStoredGroups(32 | 16 | 2);
    port.SaveSettingsToRegistry("\\" + Narrow(base));
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, key, "EventChar").Text, "#32");
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, key, "Parity.ReplaceChar").Text, "!");
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, key, "FlowControl.XonChar").Text, "\x7F");
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, key, "FlowControl.XoffChar").Text, "#128");
    // No queue sizes or time-outs: those groups were not chosen.
    EXPECT_FALSE(QueryDword(HKEY_CURRENT_USER, key, "Buffer.InputSize").Found);
    EXPECT_FALSE(QueryDword(HKEY_CURRENT_USER, key, "Timeouts.ReadInterval").Found);
    // An existing value is overwritten.
    port.SetStoredGroups(1);
    port.SetBaudRate(br19200);
    port.SaveSettingsToRegistry("\\" + Narrow(base));
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, key, "BaudRate").Text, "19200");
}

TEST(WinRegistry, KeyPathChoosesTheRootByItsFirstPart) {
    const std::wstring name = L"Rq7WinTest" + std::to_wstring(GetCurrentProcessId());
    TComPort port;
    port.SetName("ComPort");
    {
        // No leading backslash: the first part is taken for a root name, and dropped.
        TScratchKey scratch(HKEY_CURRENT_USER, name);
        port.SaveSettingsToRegistry("Software\\" + Narrow(name));
        EXPECT_EQ(QueryText(HKEY_CURRENT_USER, Narrow(name) + "\\ComPort", "Port").Text, "COM1");
        EXPECT_FALSE(QueryText(HKEY_CURRENT_USER, "Software\\" + Narrow(name) + "\\ComPort", "Port").Found);
    }
    {
        // The current user named outright, in any letter case.
        TScratchKey scratch(HKEY_CURRENT_USER, L"Software\\" + name);
        port.SaveSettingsToRegistry("hkey_Current_User\\Software\\" + Narrow(name));
        EXPECT_EQ(QueryText(HKEY_CURRENT_USER, "Software\\" + Narrow(name) + "\\ComPort", "Port").Text,
                  "COM1");
    }
    {
        TScratchKey scratch(HKEY_LOCAL_MACHINE, L"Software\\" + name);
        HKEY probe = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\" + name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &probe, nullptr) != ERROR_SUCCESS) {
            GTEST_SKIP() << "HKEY_LOCAL_MACHINE\\Software cannot be written without administrator rights";
        }
        RegCloseKey(probe);
        port.SaveSettingsToRegistry("HKEY_LOCAL_MACHINE\\Software\\" + Narrow(name));
        EXPECT_EQ(QueryText(HKEY_LOCAL_MACHINE, "Software\\" + Narrow(name) + "\\ComPort", "Port").Text,
                  "COM1");
        EXPECT_FALSE(QueryText(HKEY_CURRENT_USER, "Software\\" + Narrow(name) + "\\ComPort", "Port").Found);
    }
}

TEST(WinRegistry, KeyThatCannotBeMadeFailsToStoreWithoutACode) {
    TComPort port;
    // A key name longer than the registry allows (255 characters).
    port.SetName(std::string(300, 'k'));
    EXPECT_EQ(StoreError(port, "\\Software"), "Failed to store settings");
}

TEST(WinRegistry, PortListIsTheSerialCommKeySortedWithoutRegardToCase) {
    std::map<std::wstring, TValue> before;
    if (!ReadKey(HKEY_LOCAL_MACHINE, kSerialComm, before) || !CanWriteSerialComm()) {
        GTEST_SKIP() << "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM is missing or cannot be written "
                        "(administrator rights)";
    }
    const std::pair<const wchar_t*, const wchar_t*> added[] = {{L"\\Device\\Rq7TestA", L"COM10"},
                                                               {L"\\Device\\Rq7TestB", L"COM2"},
                                                               {L"\\Device\\Rq7TestC", L"com3"},
                                                               {L"\\Device\\Rq7TestD", L"COM1"}};
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    for (const auto& [name, port] : added) {
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                       static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t)));
    }
    std::vector<std::string> list = {"stale"};
    std::string error;
    try {
        TComPort::ListComPorts(list);
    } catch (const EComPort& e) {
        error = e.what();
    }
    for (const auto& entry : added) {
        RegDeleteValueW(key, entry.first);
    }
    RegCloseKey(key);
    ASSERT_EQ(error, "");

    // Every port the key names, ours among them, in case-blind order.
    std::vector<std::string> expected = {"COM10", "COM2", "com3", "COM1"};
    for (const auto& [name, value] : before) {
        if (value.Type == REG_SZ && value.Data.size() >= sizeof(wchar_t)) {
            expected.push_back(Narrow(reinterpret_cast<const wchar_t*>(value.Data.data())));
        }
    }
    const auto upper = [](std::string s) {
        for (char& c : s) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return s;
    };
    std::sort(expected.begin(), expected.end(), [&](const std::string& a, const std::string& b) {
        return upper(a) != upper(b) ? upper(a) < upper(b) : a < b;
    });
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(list, expected);
    const auto at = [&](const char* name) {
        return std::find(list.begin(), list.end(), name) - list.begin();
    };
    EXPECT_LT(at("COM1"), at("COM10"));
    EXPECT_LT(at("COM10"), at("COM2"));
    EXPECT_LT(at("COM2"), at("com3"));
}

TEST(WinRegistry, EmptyOrMissingSerialCommKey) {
    if (EnvText("RQ7_SCRATCH_REGISTRY") != "1") {
        GTEST_SKIP() << "empties and removes HARDWARE\\DEVICEMAP\\SERIALCOMM: only in a throwaway registry "
                        "(RQ7_SCRATCH_REGISTRY=1)";
    }
    std::map<std::wstring, TValue> before;
    ASSERT_TRUE(ReadKey(HKEY_LOCAL_MACHINE, kSerialComm, before));
    ASSERT_TRUE(CanWriteSerialComm());

    // A key without values: an empty list.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    for (const auto& entry : before) {
        RegDeleteValueW(key, entry.first.c_str());
    }
    RegCloseKey(key);
    std::vector<std::string> list = {"stale"};
    TComPort::ListComPorts(list);
    EXPECT_TRUE(list.empty());

    // No key at all (a PC without serial ports): "Registry error" with the system code 2, told apart as
    // no list at all; the list is left as it was.
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSerialComm), ERROR_SUCCESS);
    list = {"kept"};
    std::string error;
    try {
        TComPort::ListComPorts(list);
    } catch (const ENoPortList& e) {
        error = e.what();
    } catch (const EComPort& e) {
        error = std::string("not told apart: ") + e.what();
    }
    WriteKey(HKEY_LOCAL_MACHINE, kSerialComm, before, REG_OPTION_VOLATILE);
    EXPECT_EQ(error, "Registry error (win error code: 2)");
    EXPECT_EQ(list, std::vector<std::string>{"kept"});
    std::map<std::wstring, TValue> after;
    EXPECT_TRUE(ReadKey(HKEY_LOCAL_MACHINE, kSerialComm, after));
    EXPECT_EQ(ValueNames(after), ValueNames(before));
}
