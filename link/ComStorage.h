#pragma once
// Stored port settings and the port list: the parts both platforms share, and what each platform
// provides (ComStoragePosix.cpp, ComStorageWin32.cpp).

#include <cstdint>
#include <string>
#include <vector>

#include "link/ComPort.h"
#include "link/RegFile.h"

// The groups of StoredGroups.
enum : int {
    sgBasic = 1,
    sgFlowControl = 2,
    sgBuffer = 4,
    sgTimeouts = 8,
    sgParity = 16,
    sgOther = 32,
    sgAll = 63,
};

// Where SaveSettingsToRegistry writes: the root named before the key path's first backslash
// (HKEY_CURRENT_USER unless it names HKEY_LOCAL_MACHINE), and the rest of the path with the
// port's name appended.
struct TStoredKey {
    TRegRoot Root = TRegRoot::CurrentUser;
    std::string Key;
};
TStoredKey StoredSettingsKey(const std::string& keyPath, const std::string& portName);

struct TStoredValue {
    std::string Name;
    TRegValue Value;
};
// The values of the selected groups, in the order they are written.
std::vector<TStoredValue> StoredSettingsValues(const TCustomComPort& port, int groups);

// "Yes" / "No".
std::string YesNoText(bool value);
// A byte 33..127 as that character, any other as "#" and its decimal value (#0, #17, #200).
std::string CharText(std::uint8_t value);

// Sorts port names with ASCII letters compared without regard to case (COM1, COM10, COM2).
void SortPortNames(std::vector<std::string>& names);

// Platform: writes the values under the key; any failure throws (the caller turns it into
// "Failed to store settings"). Linux keeps them in the .reg file of the key's root in the roots'
// registry folder.
void WriteStoredValues(const TStoredKey& key, const std::vector<TStoredValue>& values,
                       const TSystemRoots& roots);
// Platform: the names of the serial ports the system knows, unsorted; on Linux those under the roots'
// sysfs and device folders. Throws EComPort "Registry error" with the system code; on Windows
// ENoPortList when the system has no list of serial ports at all.
std::vector<std::string> ReadComPortNames(const TSystemRoots& roots);

#ifndef _WIN32
// The serial ports of a Linux system, unsorted:
// - every device in <sysfsRoot>/class/tty that has a "device" link and a node in devRoot, except
//   serial ports whose "type" reads 0 (the placeholder ports the 8250 driver registers without
//   hardware);
// - every link directly in devRoot that leads to a pseudo-terminal /dev/pts/N (virtual ports
//   made by rq7sim or socat).
// The names are those OpenPort takes (PortNameOf). Throws EComPort "Registry error" when
// <sysfsRoot>/class/tty cannot be read.
std::vector<std::string> ListSerialDevices(const std::string& sysfsRoot, const std::string& devRoot);
// The port name of the device NAME in devRoot: under the standard "/dev", "COM<n+1>" for ttyS<n>
// when that name opens /dev/ttyS<n> (it does not while /dev has an entry COM<n+1> of its own) and
// NAME itself for every other device; under any other folder the absolute path in it.
std::string PortNameOf(const std::string& name, const std::string& devRoot);
#endif
