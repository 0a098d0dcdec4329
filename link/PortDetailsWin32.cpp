// The port details on Windows. The port list is the registry's (HARDWARE\DEVICEMAP\SERIALCOMM); SetupAPI's
// ports class tells what stands behind each COMn: the "PortName" of the device's key matches it to the
// list, its hardware id gives the vendor and product, and the USB device it belongs to gives the serial
// number and the place on the bus. That USB device is the port's own node (a CDC modem on usbser.sys) or
// one of its parents (an FTDI port under FTDIBUS, an interface of a composite device).
// Not exercised under Wine: it shows no USB devices.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// Before devguid.h, so that GUID_DEVCLASS_PORTS is defined here rather than only declared.
#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <array>
#include <cwchar>
#include <map>
#include <optional>
#include <utility>

#include "coef/WideText.h"
#include "link/PortDetails.h"

namespace {

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return text;
}

// The present devices of the ports class, freed at the end.
class TPortDevices {
public:
    TPortDevices() : set_(::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT)) {}
    ~TPortDevices() {
        if (Valid()) {
            ::SetupDiDestroyDeviceInfoList(set_);
        }
    }
    TPortDevices(const TPortDevices&) = delete;
    TPortDevices& operator=(const TPortDevices&) = delete;
    bool Valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return set_; }

private:
    HDEVINFO set_;
};

// The texts of a REG_SZ or REG_MULTI_SZ value; the buffer ends in at least one zero of its own.
std::vector<std::string> Texts(const std::vector<wchar_t>& buffer) {
    std::vector<std::string> texts;
    std::size_t at = 0;
    while (at < buffer.size() && buffer[at] != L'\0') {
        const std::size_t length = std::wcslen(buffer.data() + at);
        texts.push_back(Narrow(buffer.data() + at, static_cast<int>(length)));
        at += length + 1;
    }
    return texts;
}

// A registry property of a port's device (SPDRP_...).
std::vector<std::string> PortProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    DWORD size = 0;
    ::SetupDiGetDeviceRegistryPropertyW(set, &info, property, nullptr, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0'); // room for terminators the value lacks
    if (::SetupDiGetDeviceRegistryPropertyW(set, &info, property, nullptr,
                                            reinterpret_cast<BYTE*>(buffer.data()), size, nullptr) == FALSE) {
        return {};
    }
    return Texts(buffer);
}

// A registry property of a device node (CM_DRP_...).
std::vector<std::string> NodeProperty(DEVINST node, ULONG property) {
    ULONG size = 0;
    if (::CM_Get_DevNode_Registry_PropertyW(node, property, nullptr, nullptr, &size, 0) != CR_BUFFER_SMALL ||
        size == 0) {
        return {};
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    if (::CM_Get_DevNode_Registry_PropertyW(node, property, nullptr, buffer.data(), &size, 0) != CR_SUCCESS) {
        return {};
    }
    return Texts(buffer);
}

// A device node's instance id ("USB\VID_0403&PID_6001\A12345").
std::string InstanceId(DEVINST node) {
    std::array<wchar_t, MAX_DEVICE_ID_LEN + 1> id{};
    if (::CM_Get_Device_IDW(node, id.data(), static_cast<ULONG>(id.size()), 0) != CR_SUCCESS) {
        return {};
    }
    return Narrow(id.data(), static_cast<int>(::wcsnlen(id.data(), id.size())));
}

// The "PortName" value in the port's device key ("COM3"); empty when it has none (a printer port).
std::string ComNameOf(HDEVINFO set, SP_DEVINFO_DATA& info) {
    const HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::array<wchar_t, 64> data{};
    DWORD size = (data.size() - 1) * sizeof(wchar_t); // the last character stays a terminator
    DWORD type = 0;
    const LONG rc =
        ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        return {};
    }
    return Narrow(data.data(), static_cast<int>(::wcsnlen(data.data(), data.size())));
}

// The USB device a port belongs to, with its serial number: the port's node or the nearest parent whose
// instance id is a whole USB device's. Port, interface and device are a few levels at most.
std::optional<DEVINST> UsbDeviceOf(DEVINST node, std::string& serial) {
    for (int level = 0; level < 4; ++level) {
        if (std::optional<std::string> own = UsbSerialOf(InstanceId(node))) {
            serial = std::move(*own);
            return node;
        }
        DEVINST parent = 0;
        if (::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
            break;
        }
        node = parent;
    }
    return std::nullopt;
}

// The first of a property's texts; empty when it has none.
std::string FirstOf(const std::vector<std::string>& texts) {
    return texts.empty() ? std::string() : texts.front();
}

// The USB fields of a port, when it is a USB adapter's: the vendor and product from the port's hardware
// ids (else from the USB device's instance id), the serial number and the place from the USB device.
std::optional<TPortDetails> UsbDetailsOf(HDEVINFO set, SP_DEVINFO_DATA& info) {
    std::optional<TUsbIds> ids;
    for (const std::string& id : PortProperty(set, info, SPDRP_HARDWAREID)) {
        ids = UsbIdsOf(id);
        if (ids) {
            break;
        }
    }
    TPortDetails port;
    std::string serial;
    if (const std::optional<DEVINST> usbDevice = UsbDeviceOf(info.DevInst, serial)) {
        if (!ids) {
            ids = UsbIdsOf(InstanceId(*usbDevice));
        }
        port.SerialNumber = serial;
        port.UsbLocation = FirstOf(NodeProperty(*usbDevice, CM_DRP_LOCATION_PATHS));
        if (port.UsbLocation.empty()) {
            port.UsbLocation = FirstOf(NodeProperty(*usbDevice, CM_DRP_LOCATION_INFORMATION));
        }
    }
    if (!ids) {
        return std::nullopt;
    }
    port.VendorId = ids->VendorId;
    port.ProductId = ids->ProductId;
    if (port.UsbLocation.empty()) {
        port.UsbLocation = FirstOf(PortProperty(set, info, SPDRP_LOCATION_INFORMATION));
    }
    return port;
}

// The USB fields of every present port of a USB adapter, by its upper-cased COM name.
std::map<std::string, TPortDetails> UsbPortsByName() {
    std::map<std::string, TPortDetails> found;
    TPortDevices devices;
    if (!devices.Valid()) {
        return found;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (::SetupDiEnumDeviceInfo(devices.Get(), index, &info) == FALSE) {
            break;
        }
        const std::string name = ComNameOf(devices.Get(), info);
        std::optional<TPortDetails> port = name.empty() ? std::nullopt : UsbDetailsOf(devices.Get(), info);
        if (port) {
            found.emplace(UpperAscii(name), std::move(*port));
        }
    }
    return found;
}

} // namespace

// The registry's list is the system's; the roots name Linux folders only.
std::vector<TPortDetails> DescribePorts(const std::vector<std::string>& names,
                                        const TSystemRoots& /*roots*/) {
    const std::map<std::string, TPortDetails> usbPorts = UsbPortsByName();
    std::vector<TPortDetails> ports;
    ports.reserve(names.size());
    for (const std::string& name : names) {
        const auto usb = usbPorts.find(UpperAscii(name));
        TPortDetails port = usb == usbPorts.end() ? TPortDetails{} : usb->second;
        port.Name = name;
        port.Device = R"(\\.\)" + name;
        ports.push_back(std::move(port));
    }
    return ports;
}

// Windows has no /dev/serial/by-id: a USB adapter is found by "usb:SERIAL" instead.
bool IsStableName(const std::string& /*given*/, const TSystemRoots& /*roots*/) {
    return false;
}

// Only stable names are followed, and Windows has none: a path stands for itself.
std::string ResolvedPath(const std::string& path) {
    return path;
}
