// Stored port settings and the port list: what the registry receives, and the sorting of names.

#include "link/ComStorage.h"

#include <algorithm>

namespace {

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        c = UpperAscii(c);
    }
    return text;
}

TRegValue Dword(std::int32_t value) {
    return TRegValue::Dw(static_cast<std::uint32_t>(value));
}

} // namespace

std::string YesNoText(bool value) {
    return value ? "Yes" : "No";
}

std::string CharText(std::uint8_t value) {
    if (value >= 33 && value <= 127) {
        return std::string(1, static_cast<char>(value));
    }
    return "#" + std::to_string(value);
}

TStoredKey StoredSettingsKey(const std::string& keyPath, const std::string& portName) {
    TStoredKey result;
    const std::size_t slash = keyPath.find('\\');
    const std::string rootName = keyPath.substr(0, slash);
    std::string key = slash == std::string::npos ? std::string() : keyPath.substr(slash + 1);
    if (UpperAscii(rootName) == "HKEY_LOCAL_MACHINE") {
        result.Root = TRegRoot::LocalMachine;
    }
    if (!key.empty() && key.back() != '\\') {
        key += '\\';
    }
    result.Key = key + portName;
    return result;
}

std::vector<TStoredValue> StoredSettingsValues(const TCustomComPort& port, int groups) {
    std::vector<TStoredValue> v;
    const auto sz = [&v](const char* name, std::string text) {
        v.push_back({name, TRegValue::Sz(std::move(text))});
    };
    const auto dw = [&v](const char* name, std::int32_t value) { v.push_back({name, Dword(value)}); };
    const auto& flow = port.FlowControl();
    const auto& parity = port.Parity();
    const auto& timeouts = port.Timeouts();

    if (groups & sgBasic) {
        sz("Port", port.Port());
        sz("BaudRate", BaudRateToStr(port.BaudRate()));
        if (port.BaudRate() == brCustom) {
            dw("CustomBaudRate", port.CustomBaudRate());
        }
        sz("StopBits", StopBitsToStr(port.StopBits()));
        sz("DataBits", DataBitsToStr(port.DataBits()));
        sz("Parity", ParityToStr(parity.Bits()));
        sz("FlowControl", FlowControlToStr(flow.FlowControl()));
    }
    if (groups & sgOther) {
        sz("EventChar", CharText(port.EventChar()));
        sz("DiscardNull", YesNoText(port.DiscardNull()));
    }
    if (groups & sgParity) {
        sz("Parity.Check", YesNoText(parity.Check()));
        sz("Parity.Replace", YesNoText(parity.Replace()));
        sz("Parity.ReplaceChar", CharText(parity.ReplaceChar()));
    }
    if (groups & sgBuffer) {
        dw("Buffer.OutputSize", port.Buffer().OutputSize());
        dw("Buffer.InputSize", port.Buffer().InputSize());
    }
    if (groups & sgTimeouts) {
        dw("Timeouts.ReadInterval", timeouts.ReadInterval());
        dw("Timeouts.ReadTotalConstant", timeouts.ReadTotalConstant());
        dw("Timeouts.ReadTotalMultiplier", timeouts.ReadTotalMultiplier());
        dw("Timeouts.WriteTotalConstant", timeouts.WriteTotalConstant());
        dw("Timeouts.WriteTotalMultiplier", timeouts.WriteTotalMultiplier());
    }
    if (groups & sgFlowControl) {
        sz("FlowControl.ControlRTS", RTSFlowControlToStr(flow.ControlRTS()));
        sz("FlowControl.ControlDTR", DTRFlowControlToStr(flow.ControlDTR()));
        sz("FlowControl.DSRSensitivity", YesNoText(flow.DSRSensitivity()));
        sz("FlowControl.OutCTSFlow", YesNoText(flow.OutCTSFlow()));
        sz("FlowControl.OutDSRFlow", YesNoText(flow.OutDSRFlow()));
        sz("FlowControl.TxContinueOnXoff", YesNoText(flow.TxContinueOnXoff()));
        sz("FlowControl.XonXoffIn", YesNoText(flow.XonXoffIn()));
        sz("FlowControl.XonXoffOut", YesNoText(flow.XonXoffOut()));
        sz("FlowControl.XoffChar", CharText(flow.XoffChar()));
        sz("FlowControl.XonChar", CharText(flow.XonChar()));
    }
    return v;
}

void SortPortNames(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const std::string ua = UpperAscii(a);
        const std::string ub = UpperAscii(b);
        return ua != ub ? ua < ub : a < b;
    });
    names.erase(std::unique(names.begin(), names.end()), names.end());
}

void TCustomComPort::SaveSettingsToRegistry(const std::string& keyPath) {
    try {
        WriteStoredValues(StoredSettingsKey(keyPath, Name()), StoredSettingsValues(*this, StoredGroups()),
                          systemRoots_);
    } catch (const std::exception&) {
        throw EComPort("Failed to store settings");
    }
}

void TCustomComPort::ListComPorts(std::vector<std::string>& list, const TSystemRoots& roots) {
    std::vector<std::string> names = ReadComPortNames(roots);
    SortPortNames(names);
    list = std::move(names);
}
