#pragma once
// A made-up sysfs and /dev with USB–serial cables, a UART and a simulator's link, for the tests of the
// ports' details and of the names --port takes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/ComPort.h"
#include "support/Files.h"

inline void MakeDirs(const std::string& path) {
    ASSERT_EQ(std::system(("mkdir -p '" + path + "'").c_str()), 0);
}

inline void MakeLink(const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

// A pseudo-terminal, as rq7sim makes one; its slave is what the simulator's link in /dev leads to.
class TPseudoTerminal {
public:
    TPseudoTerminal() {
        char name[256] = {};
        EXPECT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        SlavePath = name;
    }
    ~TPseudoTerminal() {
        ::close(master_);
        ::close(slave_);
    }
    TPseudoTerminal(const TPseudoTerminal&) = delete;
    TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;
    std::string SlavePath;

private:
    int master_ = -1;
    int slave_ = -1;
};

inline const std::string kFtdiById = "usb-FTDI_FT232R_USB_UART_A12345-if00-port0";
inline const std::string kCh340ById = "usb-1a86_USB_Serial-if00-port0";
inline const std::string kModemSerial = "85736323838351F0E1C1";

// A made-up sysfs and /dev laid out as the kernel and udev lay them out:
// - ttyUSB0: an FTDI cable (0403:6001, serial A12345) at 1-1.4 behind the hub 1-1, with a by-id link;
// - ttyUSB1: a CH340 (1a86:7523) that reports no serial number, at 1-1.2, with a by-id link;
// - ttyACM0: a CDC modem (2341:0043) at 1-1.3, whose tty hangs off the interface; no by-id link (no udev
//   rule made one);
// - ttyS0: a UART on the PnP bus;
// - ttyRQ7SIM: the simulator's link to a pseudo-terminal.
// /dev also holds a by-id link whose adapter has gone, and one to a node sysfs does not know. Above the
// sysfs root lie idVendor and idProduct files that no search may reach.
class TFakeSystem {
    TempDir dir_; // first: the paths below are made from it
    TPseudoTerminal pty_;

public:
    TFakeSystem() : Sys(dir_ / "sys"), Dev(dir_ / "dev"), ById(dir_ / "dev/serial/by-id") {
        MakeDirs(Sys + "/class/tty");
        MakeDirs(ById);
        WriteFileBytes(dir_ / "idVendor", "dead\n");
        WriteFileBytes(dir_ / "idProduct", "beef\n");

        const std::string bus = Sys + "/devices/pci0000:00/0000:00:14.0/usb1";
        UsbDevice(bus, "1d6b", "0002", "0000:00:14.0"); // the root hub
        UsbDevice(bus + "/1-1", "05e3", "0608", std::nullopt);
        UsbDevice(bus + "/1-1/1-1.4", "0403", "6001", "A12345");
        Tty("ttyUSB0", bus + "/1-1/1-1.4/1-1.4:1.0/ttyUSB0");
        UsbDevice(bus + "/1-1/1-1.2", "1a86", "7523", std::nullopt);
        Tty("ttyUSB1", bus + "/1-1/1-1.2/1-1.2:1.0/ttyUSB1");
        UsbDevice(bus + "/1-1/1-1.3", "2341", "0043", kModemSerial);
        Tty("ttyACM0", bus + "/1-1/1-1.3/1-1.3:1.0");
        Tty("ttyS0", Sys + "/devices/pnp0/00:04/00:04:0/00:04:0.0");
        WriteFileBytes(Sys + "/class/tty/ttyS0/type", "4\n");
        MakeLink(pty_.SlavePath, Dev + "/ttyRQ7SIM");

        MakeLink("../../ttyUSB0", ById + "/" + kFtdiById);
        MakeLink("../../ttyUSB1", ById + "/" + kCh340ById);
        MakeLink("../../ttyUSB7", ById + "/usb-Prolific_PL2303_gone-if00-port0");
        WriteFileBytes(Dev + "/ttyUSB9", "");
        MakeLink("../../ttyUSB9", ById + "/usb-Unknown_unlisted-if00-port0");
    }

    TSystemRoots Roots() const { return TSystemRoots{Sys, Dev, {}}; }

    // A USB device's folder with its attributes (no "serial" file for serial std::nullopt).
    static void UsbDevice(const std::string& folder, const std::string& vendor, const std::string& product,
                          const std::optional<std::string>& serial) {
        MakeDirs(folder);
        WriteFileBytes(folder + "/idVendor", vendor + "\n");
        WriteFileBytes(folder + "/idProduct", product + "\n");
        if (serial) {
            WriteFileBytes(folder + "/serial", *serial + "\n");
        }
    }

    // A tty of the device in deviceFolder: its class entry, a link into the device tree as sysfs has it,
    // whose "device" link leads back to the device; and its node in /dev.
    void Tty(const std::string& name, const std::string& deviceFolder) const {
        const std::string own = deviceFolder + "/tty/" + name;
        MakeDirs(own);
        MakeLink(own, Sys + "/class/tty/" + name);
        MakeLink(deviceFolder, own + "/device");
        WriteFileBytes(Dev + "/" + name, "");
    }

    const std::string Sys;
    const std::string Dev;
    const std::string ById;
};
