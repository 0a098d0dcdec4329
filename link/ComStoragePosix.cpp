// Stored settings and the port list on Linux: the registry roots are REGEDIT4 files (RegFile.h),
// and the ports are the serial devices in sysfs plus the links in /dev to pseudo-terminals.

#include <cerrno>
#include <fstream>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/ComStorage.h"
#include "link/SerialBackend.h"

namespace {

struct TDirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using TDir = std::unique_ptr<DIR, TDirCloser>;

std::vector<std::string> EntryNames(DIR* dir) {
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    return names;
}

// The serial core gives every port a "type"; 0 (PORT_UNKNOWN) is a port without a UART behind it.
bool IsPlaceholderPort(const std::string& entry) {
    std::ifstream in(entry + "/type");
    int type = -1;
    return in && (in >> type) && type == 0;
}

// "/dev/pts/N" with N a number.
bool IsPtsPath(const std::string& path) {
    const std::string prefix = "/dev/pts/";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    return path.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

// Whether a link leads directly to a pseudo-terminal. Only the link's own
// target counts: /dev/stdin and the like reach a terminal through /proc and are no ports.
bool LeadsToPseudoTerminal(const std::string& link, const std::string& folder) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
        return false;
    }
    target.resize(static_cast<std::size_t>(n));
    if (target.front() != '/') {
        target = folder + "/" + target;
    }
    // Resolve "." and ".." of a relative target such as "pts/3" or "../dev/pts/3".
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(target.c_str(), nullptr), &std::free);
    if (!resolved || !IsPtsPath(resolved.get())) {
        return false;
    }
    struct stat st {};
    return ::stat(resolved.get(), &st) == 0 && S_ISCHR(st.st_mode);
}

} // namespace

std::string PortNameOf(const std::string& name, const std::string& devRoot) {
    if (devRoot != "/dev") {
        return devRoot + "/" + name;
    }
    // ttyS<n> is listed as "COM<n+1>" where that name opens it (not while a link /dev/COM<n+1> of
    // its own takes the name: ttyS<n> then keeps its device name); other devices keep their names.
    const std::string prefix = "ttyS";
    if (name.size() > prefix.size() && name.size() <= prefix.size() + 3 &&
        name.compare(0, prefix.size(), prefix) == 0 &&
        name.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
        const std::string com = "COM" + std::to_string(std::stoi(name.substr(prefix.size())) + 1);
        if (DevicePath(com) == "/dev/" + name) {
            return com;
        }
    }
    return name;
}

std::vector<std::string> ListSerialDevices(const std::string& sysfsRoot, const std::string& devRoot) {
    const auto portName = [&](const std::string& name) { return PortNameOf(name, devRoot); };
    std::vector<std::string> ports;

    const std::string classDir = sysfsRoot + "/class/tty";
    TDir ttys(::opendir(classDir.c_str()));
    if (!ttys) {
        throw EComPort("Registry error", WinCodeFromErrno(errno));
    }
    for (std::string name : EntryNames(ttys.get())) {
        const std::string entry = classDir + "/" + name;
        if (::access((entry + "/device").c_str(), F_OK) != 0 || IsPlaceholderPort(entry)) {
            continue;
        }
        // A device in a subfolder of /dev appears in sysfs with "!" for "/".
        for (char& c : name) {
            c = c == '!' ? '/' : c;
        }
        // Only a device that can be opened by its name: one whose node is in the device folder.
        struct stat node {};
        if (::stat((devRoot + "/" + name).c_str(), &node) != 0) {
            continue;
        }
        ports.push_back(portName(name));
    }

    // A missing or unreadable device folder only means there are no virtual ports.
    if (TDir dev{::opendir(devRoot.c_str())}) {
        for (const std::string& name : EntryNames(dev.get())) {
            const std::string path = devRoot + "/" + name;
            struct stat lst {};
            if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) &&
                LeadsToPseudoTerminal(path, devRoot)) {
                ports.push_back(portName(name));
            }
        }
    }
    return ports;
}

std::vector<std::string> ReadComPortNames(const TSystemRoots& roots) {
    return ListSerialDevices(roots.Sysfs, roots.Dev);
}

void WriteStoredValues(const TStoredKey& key, const std::vector<TStoredValue>& values,
                       const TSystemRoots& roots) {
    TRegFile store(key.Root, RegistryFilePath(key.Root, roots.RegistryFolder));
    store.Load();
    for (const auto& v : values) {
        store.SetValue(key.Key, v.Name, v.Value);
    }
    store.Save();
}
