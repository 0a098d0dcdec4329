// The ports' details (sysfs and /dev/serial/by-id on a made-up system tree) and the names --port takes;
// and the readings of Windows device ids, which the Windows side relies on.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/PortDetails.h"
#include "support/FakeSerialSystem.h"
#include "support/Files.h"

namespace {

// A port's fields in order, to compare rows whole.
std::vector<std::string> Fields(const TPortDetails& p) {
    return {p.Name, p.Device, p.StableName, p.VendorId, p.ProductId, p.SerialNumber, p.UsbLocation};
}

bool Mentions(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// ListPortDetails

TEST(PortDetails, EachListedPortInTheListsOrderWithWhatSysfsAndUdevTellOfIt) {
    TFakeSystem fake;
    const std::string& d = fake.Dev;
    const std::string& byId = fake.ById;
    // Names as the list gives them: in a device folder other than /dev, the path in it. The CH340 and
    // the modem show that a missing serial number or by-id link leaves only that field empty; the UART
    // and the simulator, whose parents hold no USB device, have none of the USB fields.
    const std::vector<std::vector<std::string>> expected = {
        {d + "/ttyACM0", d + "/ttyACM0", "", "2341", "0043", kModemSerial, "1-1.3"},
        {d + "/ttyRQ7SIM", d + "/ttyRQ7SIM", "", "", "", "", ""},
        {d + "/ttyS0", d + "/ttyS0", "", "", "", "", ""},
        {d + "/ttyUSB0", d + "/ttyUSB0", byId + "/" + kFtdiById, "0403", "6001", "A12345", "1-1.4"},
        {d + "/ttyUSB1", d + "/ttyUSB1", byId + "/" + kCh340ById, "1a86", "7523", "", "1-1.2"},
    };
    const std::vector<TPortDetails> ports = ListPortDetails(fake.Roots());
    std::vector<std::string> listed;
    TCustomComPort::ListComPorts(listed, fake.Roots());
    ASSERT_EQ(ports.size(), listed.size());
    ASSERT_EQ(ports.size(), expected.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].Name, listed[i]) << "row " << i;
        EXPECT_EQ(Fields(ports[i]), expected[i]) << "row " << i;
    }
}

TEST(PortDetails, UnderTheStandardDeviceFolderAListedNameFindsItsSysfsEntry) {
    // The list names ttyUSB0 "ttyUSB0" there: the name, not a path, leads to sysfs.
    TFakeSystem fake;
    const std::vector<TPortDetails> ports = DescribePorts({"ttyUSB0", "ttyACM0"}, {fake.Sys, "/dev", {}});
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].Name, "ttyUSB0");
    EXPECT_EQ(ports[0].Device, "/dev/ttyUSB0");
    EXPECT_EQ(ports[0].SerialNumber, "A12345");
    EXPECT_EQ(ports[0].UsbLocation, "1-1.4");
    EXPECT_EQ(ports[1].Device, "/dev/ttyACM0");
    EXPECT_EQ(ports[1].VendorId, "2341");
}

// ---------------------------------------------------------------------------------------------
// ResolvePortName

TEST(PortDetails, PortNamesResolveFromStableNamesAndSerialNumbersAndAllElsePassesThrough) {
    TFakeSystem fake;
    const std::string& d = fake.Dev;
    struct Case {
        std::string Given;
        std::optional<std::string> Port;
        std::vector<std::string> WhyMentions; // when no port: what the reason must name
    };
    const std::vector<Case> cases = {
        {fake.ById + "/" + kFtdiById, d + "/ttyUSB0", {}},
        {fake.ById + "/" + kCh340ById, d + "/ttyUSB1", {}},
        {"usb:A12345", d + "/ttyUSB0", {}},
        {"usb:a12345", d + "/ttyUSB0", {}},
        {"USB:A12345", d + "/ttyUSB0", {}},
        {"usb:" + kModemSerial, d + "/ttyACM0", {}},
        // Not the beginning of a serial number either; and the reason lists the serial numbers there are.
        {"usb:A1234", std::nullopt, {"\"A1234\"", "A12345", kModemSerial}},
        {"usb:B99999", std::nullopt, {"\"B99999\"", "A12345", kModemSerial}},
        {"usb:", std::nullopt, {"серийного номера"}},
        {fake.ById + "/usb-Prolific_PL2303_gone-if00-port0",
         std::nullopt,
         {"PL2303_gone", "не ведёт ни к какому устройству"}},
        {fake.ById + "/usb-Unknown_unlisted-if00-port0",
         std::nullopt,
         {"/ttyUSB9", "не последовательный порт"}},
        // Names and paths the port opens as they are, listed or not.
        {"COM1", "COM1", {}},
        {"ttyRQ7SIM", "ttyRQ7SIM", {}},
        {"/dev/pts/3", "/dev/pts/3", {}},
        {d + "/ttyS0", d + "/ttyS0", {}},
        {d + "/ttyUSB0", d + "/ttyUSB0", {}},
        {"serial/by-id/" + kFtdiById, "serial/by-id/" + kFtdiById, {}},
        {"/dev/serial/by-id/" + kFtdiById, "/dev/serial/by-id/" + kFtdiById, {}}, // not this tree's folder
        {fake.ById + "/", fake.ById + "/", {}},
        {"", "", {}},
    };
    for (const Case& c : cases) {
        std::string why = "left from before";
        const std::optional<std::string> port = ResolvePortName(c.Given, fake.Roots(), why);
        EXPECT_EQ(port, c.Port) << c.Given;
        if (c.Port) {
            EXPECT_EQ(why, "") << c.Given;
        }
        for (const std::string& text : c.WhyMentions) {
            EXPECT_TRUE(Mentions(why, text)) << c.Given << ": " << why << " (lacks " << text << ")";
        }
    }
}

TEST(PortDetails, ASerialNumberOnTwoAdaptersNamesNeitherButTheirStableNamesStillDo) {
    TFakeSystem fake;
    const std::string bus = fake.Sys + "/devices/pci0000:00/0000:00:14.0/usb1";
    TFakeSystem::UsbDevice(bus + "/1-1/1-1.5", "0403", "6001", "A12345"); // a clone with a copied serial
    fake.Tty("ttyUSB2", bus + "/1-1/1-1.5/1-1.5:1.0/ttyUSB2");
    MakeLink("../../ttyUSB2", fake.ById + "/usb-FTDI_FT232R_USB_UART_A12345-if00-port0-clone");

    std::string why;
    EXPECT_EQ(ResolvePortName("usb:A12345", fake.Roots(), why), std::nullopt);
    EXPECT_TRUE(Mentions(why, "у нескольких адаптеров")) << why;
    EXPECT_TRUE(Mentions(why, fake.Dev + "/ttyUSB0")) << why;
    EXPECT_TRUE(Mentions(why, fake.Dev + "/ttyUSB2")) << why;
    EXPECT_FALSE(Mentions(why, "ttyACM0")) << why;

    EXPECT_EQ(ResolvePortName(fake.ById + "/" + kFtdiById, fake.Roots(), why), fake.Dev + "/ttyUSB0");
    EXPECT_EQ(
        ResolvePortName(fake.ById + "/usb-FTDI_FT232R_USB_UART_A12345-if00-port0-clone", fake.Roots(), why),
        fake.Dev + "/ttyUSB2");
    // The two keep their own places on the bus, which tell them apart.
    const std::vector<TPortDetails> ports = ListPortDetails(fake.Roots());
    ASSERT_EQ(ports.size(), 6u);
    EXPECT_EQ(ports[5].Name, fake.Dev + "/ttyUSB2");
    EXPECT_EQ(ports[5].UsbLocation, "1-1.5");
    EXPECT_EQ(ports[5].StableName, fake.ById + "/usb-FTDI_FT232R_USB_UART_A12345-if00-port0-clone");
}

TEST(PortDetails, AListThatCannotBeReadGivesItsErrorAsTheReasonAndPlainNamesNeedNoList) {
    TempDir dir;
    MakeDirs(dir / "dev/serial/by-id");
    const TSystemRoots roots{dir / "nosys", dir / "dev", {}};
    std::string why;
    EXPECT_EQ(ResolvePortName("usb:A12345", roots, why), std::nullopt);
    EXPECT_EQ(why, "порты не перечисляются: Registry error (win error code: 2)");
    EXPECT_EQ(ResolvePortName(dir / "dev/serial/by-id/usb-x", roots, why), std::nullopt);
    EXPECT_TRUE(Mentions(why, "Registry error")) << why;
    EXPECT_EQ(ResolvePortName("COM1", roots, why), "COM1");
    EXPECT_EQ(why, "");
    EXPECT_THROW(ListPortDetails(roots), EComPort);
}

// ---------------------------------------------------------------------------------------------
// Windows device ids

TEST(PortDetails, WindowsHardwareIdsGiveVendorAndProductInLowerCase) {
    struct Case {
        std::string Id;
        std::optional<std::string> Ids; // vendor:product
    };
    const std::vector<Case> cases = {
        {R"(USB\VID_0403&PID_6001&REV_0600)", "0403:6001"},
        {R"(FTDIBUS\COMPORT&VID_0403&PID_6001)", "0403:6001"},
        {R"(FTDIBUS\VID_0403+PID_6015+DK0AB1CDA\0000)", "0403:6015"},
        {R"(USB\VID_1A86&PID_7523)", "1a86:7523"},
        {R"(usb\vid_2341&pid_0043&mi_00)", "2341:0043"},
        {R"(ACPI\PNP0501)", std::nullopt},
        {R"(USB\VID_0403)", std::nullopt},
        {R"(USB\VID_04031&PID_6001)", std::nullopt}, // five digits: no vendor id
        {R"(USB\VID_04G3&PID_6001)", std::nullopt},
        {R"(USB\VID_0403&PID_60)", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<TUsbIds> ids = UsbIdsOf(c.Id);
        const std::optional<std::string> text =
            ids ? std::optional<std::string>(ids->VendorId + ":" + ids->ProductId) : std::nullopt;
        EXPECT_EQ(text, c.Ids) << c.Id;
    }
}

TEST(PortDetails, WindowsInstanceIdsOfWholeUsbDevicesGiveTheirSerialUnlessWindowsMadeItUp) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"(USB\VID_0403&PID_6001\A12345)", "A12345"},
        {R"(usb\vid_0403&pid_6001\a12345)", "a12345"},
        {R"(USB\VID_1A86&PID_7523\5&2F3A1B0C&0&2)", ""},
        {R"(USB\VID_2341&PID_0043&MI_00\6&1C2D3E4F&0&0000)", std::nullopt}, // an interface, not the device
        {R"(FTDIBUS\VID_0403+PID_6001+A12345A\0000)", std::nullopt},
        {R"(USB\ROOT_HUB30\4&1A2B3C4D&0&0)", std::nullopt},
        {R"(USB\VID_0403&PID_6001)", std::nullopt},
        {R"(USB\VID_0403&PID_6001\)", std::nullopt},
        {R"(USB\VID_0403&PID_6001\A1\B2)", std::nullopt},
    };
    for (const auto& [id, serial] : cases) {
        EXPECT_EQ(UsbSerialOf(id), serial) << id;
    }
}
