// The port details on Linux. sysfs tells which USB device a tty belongs to: the tty's "device" link leads
// into the device tree, and the nearest folder above it with idVendor and idProduct is the USB device
// (its folder name, such as 1-1.4, is where it is plugged in). udev's links in /dev/serial/by-id name a
// device by vendor, product and serial number, whatever ttyUSB number it has today.

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include <dirent.h>

#include "link/PortDetails.h"
#include "link/SerialBackend.h"

namespace {

std::string ByIdFolder(const TSystemRoots& roots) {
    return roots.Dev + "/serial/by-id";
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The names in a folder, sorted; none when it cannot be read (no udev, no USB adapter ever plugged in).
std::vector<std::string> SortedEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The first line of a sysfs attribute, without the white space around it; nothing when the file is
// missing or empty.
std::optional<std::string> Attribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    const char* space = " \t\r\n";
    const std::size_t first = line.find_first_not_of(space);
    if (first == std::string::npos) {
        return std::string();
    }
    return line.substr(first, line.find_last_not_of(space) - first + 1);
}

// The USB fields from the USB device the tty's device belongs to. The search stays below the sysfs
// root: a UART's or a virtual device's parents have no USB device, and above the root lies another tree.
void ReadUsbDevice(const std::string& deviceLink, const std::string& sysfsRoot, TPortDetails& port) {
    std::string folder = ResolvedPath(deviceLink);
    const std::string root = ResolvedPath(sysfsRoot);
    if (folder.empty() || root.empty()) {
        return;
    }
    const std::string below = root == "/" ? root : root + "/";
    while (folder.size() > below.size() && StartsWith(folder, below)) {
        std::optional<std::string> vendor = Attribute(folder + "/idVendor");
        std::optional<std::string> product = Attribute(folder + "/idProduct");
        if (vendor && product) {
            port.VendorId = std::move(*vendor); // sysfs writes both as 4 lower-case hex digits
            port.ProductId = std::move(*product);
            port.SerialNumber = Attribute(folder + "/serial").value_or(std::string());
            port.UsbLocation = folder.substr(folder.rfind('/') + 1);
            return;
        }
        folder.erase(folder.rfind('/'));
    }
}

} // namespace

std::string ResolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

bool IsStableName(const std::string& given, const TSystemRoots& roots) {
    const std::string folder = ByIdFolder(roots) + "/";
    return given.size() > folder.size() && StartsWith(given, folder);
}

std::vector<TPortDetails> DescribePorts(const std::vector<std::string>& names, const TSystemRoots& roots) {
    // Each device's stable name: the first link to it in name order (an adapter with several interfaces
    // has one link for each).
    std::map<std::string, std::string> stableNames;
    for (const std::string& entry : SortedEntries(ByIdFolder(roots))) {
        const std::string link = ByIdFolder(roots) + "/" + entry;
        const std::string device = ResolvedPath(link);
        if (!device.empty()) {
            stableNames.emplace(device, link);
        }
    }

    const std::string devFolder = roots.Dev + "/";
    std::vector<TPortDetails> ports;
    ports.reserve(names.size());
    for (const std::string& name : names) {
        TPortDetails port;
        port.Name = name;
        port.Device = DevicePath(name);
        const auto stable = stableNames.find(ResolvedPath(port.Device));
        if (stable != stableNames.end()) {
            port.StableName = stable->second;
        }
        // sysfs names a device in a subfolder of the device folder with "!" for "/".
        if (StartsWith(port.Device, devFolder)) {
            std::string ttyName = port.Device.substr(devFolder.size());
            std::replace(ttyName.begin(), ttyName.end(), '/', '!');
            ReadUsbDevice(roots.Sysfs + "/class/tty/" + ttyName + "/device", roots.Sysfs, port);
        }
        ports.push_back(std::move(port));
    }
    return ports;
}
