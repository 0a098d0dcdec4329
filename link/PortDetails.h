#pragma once
// What the system tells of each serial port beyond its name (the device it opens and, for a USB–serial
// adapter, its vendor, product, serial number and place on the bus), and the names --port takes besides
// the listed ones: a stable /dev/serial/by-id link and "usb:SERIAL", by which a script tells many
// identical cables apart. The system's side is in PortDetailsPosix.cpp and PortDetailsWin32.cpp.

#include <optional>
#include <string>
#include <vector>

#include "link/ComPort.h"

struct TPortDetails {
    std::string Name;   // the name as the windows list it and --port takes it (COM1, ttyUSB0, ttyRQ7SIM)
    std::string Device; // the device it opens (/dev/ttyUSB0; on Windows \\.\COM3); a link stays a link
    // USB adapters only (empty otherwise). UsbLocation is where the adapter is plugged in: on Linux the USB
    // device's sysfs name ("1-1.4": bus 1, port 1 of the root hub, port 4 of the hub there); on Windows the
    // location path ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"), else its location information.
    std::string StableName;   // Linux: the /dev/serial/by-id/... link to the device; Windows: empty
    std::string VendorId;     // 4 lower-case hex digits, e.g. "0403"
    std::string ProductId;    // "6001"
    std::string SerialNumber; // empty also for an adapter that reports none (many CH340s)
    std::string UsbLocation;  // "1-1.4"
};

// Every port ListComPorts lists, in the same order, with what the system tells of it. Throws EComPort
// "Registry error" as ListComPorts does; a port the system tells nothing more of keeps Name and Device.
std::vector<TPortDetails> ListPortDetails(const TSystemRoots& roots = {});

// What --port may say, resolved to the name the port opens: a listed name as it is; a stable name
// (/dev/serial/by-id/...) to the port it leads to; "usb:SERIAL" to the one port whose USB serial number is
// SERIAL (ASCII letters, those of "usb:" too, compared without regard to case: Windows may report a serial
// upper-cased). Nothing when no port fits, or (usb:) when several do; an error text for the caller in
// `why` (empty otherwise). Every other text, listed or not (COM1, ttyRQ7SIM, /dev/pts/3), is returned as
// given without reading the system: the port opens it as it always has.
std::optional<std::string> ResolvePortName(const std::string& given, const TSystemRoots& roots,
                                           std::string& why);

// ---------------------------------------------------------------------------------------------
// Readings of the texts Windows gives for a device, shared so that they are tested on every system.

struct TUsbIds {
    std::string VendorId; // 4 lower-case hex digits
    std::string ProductId;
};
// The vendor and product in a hardware or instance id ("USB\VID_0403&PID_6001&REV_0600",
// "FTDIBUS\COMPORT&VID_0403&PID_6001"). Nothing when the id does not name both.
std::optional<TUsbIds> UsbIdsOf(const std::string& deviceId);

// The serial number in a device instance id that is a whole USB device's: the id's last field
// ("USB\VID_0403&PID_6001\A12345" gives "A12345"), or empty where Windows made that up because the
// device reports no serial ("USB\VID_1A86&PID_7523\5&2F3A1B0C&0&2": such made-up ones have an "&"). Nothing
// for any other id, the interfaces of a composite device ("USB\VID_2341&PID_0043&MI_00\...") among them.
std::optional<std::string> UsbSerialOf(const std::string& instanceId);

// ---------------------------------------------------------------------------------------------
// The system's side (PortDetailsPosix.cpp, PortDetailsWin32.cpp).

// What the system tells of each named port, in the order of names.
std::vector<TPortDetails> DescribePorts(const std::vector<std::string>& names, const TSystemRoots& roots);
// Whether --port's text is a stable name: Linux, a path in <Dev>/serial/by-id; Windows has none.
bool IsStableName(const std::string& given, const TSystemRoots& roots);
// The file a path ends at once every link on the way is followed; empty when it leads nowhere. Windows,
// whose port names are no paths, gives the path itself.
std::string ResolvedPath(const std::string& path);
