// The port details and the names --port takes: what both systems share.

#include "link/PortDetails.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view kUsbPrefix = "usb:";

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        c = LowerAscii(c);
    }
    return text;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The 4 hex digits right after tag ("vid_") in a lower-cased id, where a fifth digit does not follow.
std::optional<std::string> HexAfter(const std::string& lowerId, const std::string& tag) {
    for (std::size_t at = lowerId.find(tag); at != std::string::npos; at = lowerId.find(tag, at + 1)) {
        const std::size_t from = at + tag.size();
        if (from + 4 > lowerId.size()) {
            break;
        }
        const bool digits = std::all_of(lowerId.begin() + static_cast<std::ptrdiff_t>(from),
                                        lowerId.begin() + static_cast<std::ptrdiff_t>(from + 4), IsHexDigit);
        if (digits && (from + 4 == lowerId.size() || !IsHexDigit(lowerId[from + 4]))) {
            return lowerId.substr(from, 4);
        }
    }
    return std::nullopt;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t from = 0;
    for (std::size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, from)) {
        pieces.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    pieces.push_back(text.substr(from));
    return pieces;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

std::optional<std::string> PortWithSerial(const std::string& serial, const std::vector<TPortDetails>& ports,
                                          std::string& why) {
    std::vector<std::string> fitting;
    std::vector<std::string> serials;
    for (const auto& port : ports) {
        if (port.SerialNumber.empty()) {
            continue;
        }
        serials.push_back(port.SerialNumber);
        if (SameIgnoringCase(port.SerialNumber, serial)) {
            fitting.push_back(port.Name);
        }
    }
    if (fitting.size() == 1) {
        return fitting.front();
    }
    if (fitting.empty()) {
        why = "нет подключённого адаптера USB с серийным номером \"" + serial + "\" (" +
              (serials.empty() ? std::string("ни один порт не сообщает серийного номера")
                               : "подключены: " + Joined(serials)) +
              ")";
    } else {
        why = "серийный номер \"" + serial + "\" у нескольких адаптеров (" + Joined(fitting) +
              "): укажите имя порта";
    }
    return std::nullopt;
}

std::optional<std::string> PortBehind(const std::string& stableName, const std::vector<TPortDetails>& ports,
                                      std::string& why) {
    const std::string device = ResolvedPath(stableName);
    if (device.empty()) {
        why = stableName + " не ведёт ни к какому устройству: адаптер подключён?";
        return std::nullopt;
    }
    for (const auto& port : ports) {
        if (ResolvedPath(port.Device) == device) {
            return port.Name;
        }
    }
    why = stableName + " ведёт к " + device + ", а это не последовательный порт";
    return std::nullopt;
}

} // namespace

std::vector<TPortDetails> ListPortDetails(const TSystemRoots& roots) {
    std::vector<std::string> names;
    TCustomComPort::ListComPorts(names, roots);
    return DescribePorts(names, roots);
}

std::optional<std::string> ResolvePortName(const std::string& given, const TSystemRoots& roots,
                                           std::string& why) {
    why.clear();
    const bool bySerial = LowerAscii(given.substr(0, kUsbPrefix.size())) == kUsbPrefix;
    if (!bySerial && !IsStableName(given, roots)) {
        return given;
    }
    const std::string serial = bySerial ? given.substr(kUsbPrefix.size()) : std::string();
    if (bySerial && serial.empty()) {
        why = "после \"usb:\" нет серийного номера";
        return std::nullopt;
    }
    std::vector<TPortDetails> ports;
    try {
        ports = ListPortDetails(roots);
    } catch (const std::exception& e) {
        why = std::string("порты не перечисляются: ") + e.what();
        return std::nullopt;
    }
    return bySerial ? PortWithSerial(serial, ports, why) : PortBehind(given, ports, why);
}

std::optional<TUsbIds> UsbIdsOf(const std::string& deviceId) {
    const std::string id = LowerAscii(deviceId);
    std::optional<std::string> vendor = HexAfter(id, "vid_");
    std::optional<std::string> product = HexAfter(id, "pid_");
    if (!vendor || !product) {
        return std::nullopt;
    }
    return TUsbIds{std::move(*vendor), std::move(*product)};
}

std::optional<std::string> UsbSerialOf(const std::string& instanceId) {
    const std::vector<std::string> pieces = Split(instanceId, '\\');
    if (pieces.size() != 3 || LowerAscii(pieces[0]) != "usb" || pieces[2].empty() || !UsbIdsOf(pieces[1]) ||
        LowerAscii(pieces[1]).find("&mi_") != std::string::npos) {
        return std::nullopt;
    }
    return pieces[2].find('&') == std::string::npos ? pieces[2] : std::string();
}
