// The port lister: the interfaces the library's own enumeration finds, in its order, each with
// the names PortOpen takes and the device path those names reach; its text and JSON; serial
// ports from a laid-out sysfs and /dev.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "fake_usb_host.h"
#include "hid_descriptors.h"
#include "hid_support.h"
#include "listing/port_list.h"
#include "serial/serial.h"

namespace ports = caldrix_ports;

namespace {

const std::string kPrinterPath =
    "\\\\?\\usb#vid_04b8&pid_0e28#5&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

class PortList : public HidPortTest {
protected:
    ports::Listing List() {
        ports::Listing listing;
        listing.withSerial = false;
        ports::ListInterfaces(&listing);
        return listing;
    }
};

// Each interface lists the names that open it: vendor and product, else the path's own hardware
// id, else that with its instance id. Only where none reaches it (the match text is lower case)
// are the vendor and product names shown with what they open instead.
TEST_F(PortList, InterfacesInOrderEachWithTheNamesThatOpenIt) {
    const std::string display = HidPath("vid_04b8&pid_0202");
    const std::string second = HidPath("vid_04b8&pid_0202&mi_01", 10);
    const std::string third = HidPath("vid_04b8&pid_0202&mi_01", 1);  // "#1" is in "#10#" too
    const std::string scale = HidPath("vid_0dd4&pid_0203");
    const std::string noIds = "\\\\?\\hid#acpi_0001#3#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const std::string upper = "\\\\?\\HID#VID_1234&PID_5678#1";
    const std::string upperTwin = "\\\\?\\HID#VID_04B8&PID_0202&MI_02#3";
    for (const std::string& p : {display, second, third, noIds, scale, upper, upperTwin})
        sim::AddHid(p);
    sim::AddHid(kPrinterPath, caldrix_posix::kPrinterInterfaceClass);

    const ports::Listing listing = List();
    EXPECT_EQ(ports::FormatText(listing, "1.0.0"),
              "caldrix 1.0.0 sees these HID interfaces; PortOpen opens the first one whose device "
              "path contains a name's match text:\n" +
                  display + "\n"
                  "    /USB/0x04b8/0x0202  (matches \"vid_04b8&pid_0202\")\n"
                  "    USBHID: VID_04B8+PID_0202  (matches \"vid_04b8&pid_0202\")\n" +
                  second + "\n"
                  "    USBHID: VID_04B8+PID_0202+MI_01  (matches \"vid_04b8&pid_0202&mi_01\")\n" +
                  third + "\n"
                  "    USBHID: VID_04B8+PID_0202+MI_01#1#  (matches \"vid_04b8&pid_0202&mi_01#1#\")\n" +
                  noIds + "\n"
                  "    no name opens it: its path has no vid_XXXX and pid_XXXX\n" +
                  scale + "\n"
                  "    /USB/0x0dd4/0x0203  (matches \"vid_0dd4&pid_0203\")\n"
                  "    USBHID: VID_0DD4+PID_0203  (matches \"vid_0dd4&pid_0203\")\n" +
                  upper + "\n"
                  "    /USB/0x1234/0x5678  (matches \"vid_1234&pid_5678\"; no path contains it, "
                  "so this name opens nothing)\n"
                  "    USBHID: VID_1234+PID_5678  (matches \"vid_1234&pid_5678\"; no path "
                  "contains it, so this name opens nothing)\n" +
                  upperTwin + "\n"
                  "    /USB/0x04b8/0x0202  (matches \"vid_04b8&pid_0202\"; it opens " +
                  display + " first)\n"
                  "    USBHID: VID_04B8+PID_0202  (matches \"vid_04b8&pid_0202\"; it opens " +
                  display + " first)\n"
                  "caldrix 1.0.0 sees these USB printer interfaces; PortOpen opens the first one "
                  "whose device path contains a name's match text:\n" +
                  kPrinterPath + "\n"
                  "    USBPTR: VID_04B8+PID_0E28  (matches \"vid_04b8&pid_0e28\")\n");

    // Each name opens, through the natives, the device it is shown to open.
    for (const auto* list : {&listing.hid, &listing.printers}) {
        for (const ports::Interface& i : *list) {
            for (const ports::Name& n : i.names) {
                if (n.opens.empty()) continue;
                sim::HidDevice& expected = sim::AddHid(n.opens);  // the device already there
                const int before = expected.opens;
                const jint h = OpenHid(n.name);
                ASSERT_GT(h, 0) << n.name;
                EXPECT_EQ(expected.opens, before + 1) << n.name;
                CloseHid(h);
            }
        }
    }
    sim::HidDevice& missing = sim::AddHid(upper);
    std::string log;
    EXPECT_EQ(OpenHid(listing.hid[5].names[1].name, &log), -1);
    EXPECT_EQ(Pending(), "Device Not Found - vid_1234&pid_5678");
    EXPECT_EQ(missing.opens, 0);
}

// A hidraw node with a keyboard and its consumer keys is two interfaces ("&colNN"). The second
// collection is named by its hardware id, and every name reaches, through the natives, the
// collection it is listed under: it reads that collection's reports and no other.
TEST_F(PortList, EachCollectionOfANodeIsListedWithTheNamesThatOpenIt) {
    FakeUsbHost host;
    host.AddHidraw(host.AddDevice(0x04b8, 0x0202, 2), 0, 3, FromHex(kKeyboardWithConsumerKeys),
                   0x04b8, 0x0202);
    Peer node(host.Dev("hidraw3"));
    const std::string col = "\\\\?\\hid#vid_04b8&pid_0202&mi_00&col0";
    const std::string tail = "#hidraw3#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    struct Expected {
        std::string path;
        std::vector<std::string> names;
        Bytes own, other;  // a report of its collection, and one of the other collection
    };
    const Expected expected[] = {
        {col + "1" + tail, {"/USB/0x04b8/0x0202", "USBHID: VID_04B8+PID_0202"}, {1, 'k'}, {2, 'c'}},
        {col + "2" + tail, {"USBHID: VID_04B8+PID_0202+MI_00+COL02"}, {2, 'c'}, {1, 'k'}},
    };

    const ports::Listing listing = List();
    ASSERT_EQ(listing.hid.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
        const ports::Interface& i = listing.hid[k];
        const Expected& e = expected[k];
        EXPECT_EQ(i.path, e.path);
        std::vector<std::string> names;
        for (const ports::Name& n : i.names) {
            names.push_back(n.name);
            EXPECT_EQ(n.opens, e.path) << n.name;
            const jint h = OpenHid(n.name);
            ASSERT_GT(h, 0) << n.name << ": " << Pending();
            ASSERT_TRUE(node.Accept(5000));
            // The other collection's report goes first: by the time this one's arrives, the
            // other has been passed over, or it would be read.
            ASSERT_TRUE(node.Send(e.other));
            ASSERT_TRUE(node.Send(e.own));
            EXPECT_TRUE(AwaitCount(h, 1)) << n.name;
            EXPECT_EQ(Read(h, 10), Bytes(e.own.begin() + 1, e.own.end())) << n.name;
            CloseHid(h);
        }
        EXPECT_EQ(names, e.names);
    }
}

TEST_F(PortList, JsonCarriesTheSameListing) {
    const std::string display = HidPath("vid_04b8&pid_0202");
    sim::AddHid(display);
    sim::AddHid(kPrinterPath, caldrix_posix::kPrinterInterfaceClass);
    ports::Listing listing = List();
    const std::string hid =
        "\"hid\":[{\"path\":\"\\\\\\\\?\\\\hid#vid_04b8&pid_0202#1#{4d1e55b2-f16f-11cf-88cb-"
        "001111000030}\",\"names\":[{\"name\":\"/USB/0x04b8/0x0202\",\"match\":\"vid_04b8&pid_"
        "0202\",\"opens\":\"\\\\\\\\?\\\\hid#vid_04b8&pid_0202#1#{4d1e55b2-f16f-11cf-88cb-"
        "001111000030}\"},{\"name\":\"USBHID: VID_04B8+PID_0202\",\"match\":\"vid_04b8&pid_0202\","
        "\"opens\":\"\\\\\\\\?\\\\hid#vid_04b8&pid_0202#1#{4d1e55b2-f16f-11cf-88cb-"
        "001111000030}\"}]}],\"printers\":[{\"path\":\"\\\\\\\\?\\\\usb#vid_04b8&pid_0e28#5&1#{"
        "28d78fad-5a12-11d1-ae5b-0000f803a8c2}\",\"names\":[{\"name\":\"USBPTR: VID_04B8+PID_"
        "0E28\",\"match\":\"vid_04b8&pid_0e28\",\"opens\":\"\\\\\\\\?\\\\usb#vid_04b8&pid_0e28#5&"
        "1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\"}]}],\"hidError\":null}\n";
    EXPECT_EQ(ports::FormatJson(listing, "1.0.0"), "{" + hid);

    // With the serial part, as the program prints it alone; quotes and control bytes escaped.
    listing.withSerial = true;
    listing.serial.push_back(ports::SerialPort{"/dev/ttyS0", {"COM1"}, "serial8250"});
    listing.serial.push_back(ports::SerialPort{"/dev/tty\"x\x01", {}, ""});
    EXPECT_EQ(ports::FormatJson(listing, "1.0.0"),
              "{\"version\":\"1.0.0\",\"serial\":[{\"device\":\"/dev/ttyS0\",\"names\":[\"/dev/"
              "ttyS0\",\"COM1\"],\"detail\":\"serial8250\"},{\"device\":\"/dev/tty\\\"x\\u0001\","
              "\"names\":[\"/dev/tty\\\"x\\u0001\"],\"detail\":null}]," + hid);
}

TEST_F(PortList, NothingToListSaysSoInALine) {
    ports::Listing listing = List();
    EXPECT_EQ(ports::FormatText(listing, "1.0.0"),
              "caldrix 1.0.0 sees no HID interfaces.\n"
              "caldrix 1.0.0 sees no USB printer interfaces.\n");
    EXPECT_EQ(ports::FormatJson(listing, "1.0.0"), "{\"hid\":[],\"printers\":[],\"hidError\":null}\n");
    listing.withSerial = true;
    EXPECT_EQ(ports::FormatText(listing, "1.0.0"),
              "caldrix 1.0.0 sees no serial ports.\n"
              "caldrix 1.0.0 sees no HID interfaces.\n"
              "caldrix 1.0.0 sees no USB printer interfaces.\n");
}

TEST_F(PortList, FailedEnumerationIsReportedNotListedAsEmpty) {
    sim::AddHid(HidPath("vid_04b8&pid_0202"));
    ForgetHidLibrary();
    sim::SetHidLibraryMissing(true);
    ports::Listing listing = List();
    sim::SetHidLibraryMissing(false);
    ForgetHidLibrary();
    EXPECT_TRUE(listing.hid.empty());
    EXPECT_EQ(ports::FormatText(listing, "1.0.0"),
              "caldrix 1.0.0 cannot list HID interfaces or USB printers: hid.dll could not be "
              "loaded, so no HID or USB printer port opens.\n");
    EXPECT_EQ(ports::FormatJson(listing, "1.0.0"),
              "{\"hid\":[],\"printers\":[],\"hidError\":\"hid.dll could not be loaded, so no HID "
              "or USB printer port opens\"}\n");

    // No handle left for the device-information set.
    std::vector<HANDLE> hoard;
    for (HANDLE h; (h = CreateEventA(nullptr, FALSE, FALSE, nullptr)) != nullptr;) {
        hoard.push_back(h);
    }
    listing = List();
    for (HANDLE h : hoard) CloseHandle(h);
    EXPECT_TRUE(listing.hid.empty());
    EXPECT_EQ(ports::FormatText(listing, "1.0.0"),
              "caldrix 1.0.0 cannot list HID interfaces or USB printers: the interfaces could "
              "not be listed: SetupDiGetClassDevsA error 8.\n");
    EXPECT_EQ(List().hid.size(), 1u);
}

TEST_F(PortList, ProgramArguments) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    const char* help[] = {"caldrix-ports", "--help"};
    EXPECT_EQ(ports::Run(2, help, out, out), 0);
    const char* bad[] = {"caldrix-ports", "--jsn"};
    EXPECT_EQ(ports::Run(2, bad, out, out), 2);
    const char* json[] = {"caldrix-ports", "--hid-only", "--json"};
    EXPECT_EQ(ports::Run(3, json, out, out), 0);
    fclose(out);
    EXPECT_EQ(std::string(text, size),
              "usage: caldrix-ports [--json] [--hid-only]\n"
              "caldrix-ports: unknown argument \"--jsn\"\n"
              "usage: caldrix-ports [--json] [--hid-only]\n"
              "{\"hid\":[],\"printers\":[],\"hidError\":null}\n");
    free(text);
}

// The SERIALCOMM rows as Windows gives them, in registry order: each port under the name that
// opens it (COM10 and above through the device namespace on NT), with the POSIX-style name the
// library maps to it.
TEST(ComPortList, ComPortsInNumberOrderWithThePosixNamesThatOpenThem) {
    const DWORD saved = OsVersionInfo.dwPlatformId;
    OsVersionInfo.dwPlatformId = VER_PLATFORM_WIN32_NT;
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"\\Device\\Serial0", "COM1"}, {"\\Device\\VCP0", "COM12"},
        {"\\Device\\Serial2", "COM3"}, {"\\Device\\VCP1", "COM10"},
        {"Winachsf0", "COMX"},           {"\\Device\\Modem", "LPT1"}};
    ports::Listing listing;
    listing.serial = ports::ComPorts(rows);
    listing.hidError = "x";
    EXPECT_EQ(ports::FormatText(listing, "1.0.0"),
              "caldrix 1.0.0 sees these serial ports; PortOpen takes any name listed for a port:\n"
              "COM1  (\\Device\\Serial0)\n    /dev/ttyS0\n"
              "COM3  (\\Device\\Serial2)\n    /dev/ttyS4\n"
              "\\\\.\\COM10  (\\Device\\VCP1)\n    /dev/ttyS11\n"
              "\\\\.\\COM12  (\\Device\\VCP0)\n"
              "caldrix 1.0.0 cannot list HID interfaces or USB printers: x.\n");
    OsVersionInfo.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_EQ(ports::ComPorts(rows)[2].device, "COM10");
    OsVersionInfo.dwPlatformId = saved;
}

// Serial ports from a laid-out /sys/class/tty and /dev.
class SerialPortList : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/caldrix-ports-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf " + root).c_str()), 0); }
    void Make(const std::string& rel) { ASSERT_EQ(system(("mkdir -p " + root + "/" + rel).c_str()), 0); }
    void Write(const std::string& rel, const std::string& text) { std::ofstream(root + "/" + rel) << text; }
    void Link(const std::string& target, const std::string& rel) {
        ASSERT_EQ(symlink(target.c_str(), (root + "/" + rel).c_str()), 0) << rel;
    }
    std::string root;
};

TEST_F(SerialPortList, TerminalsWithADeviceAndTheirLinksInNaturalOrder) {
    Make("sys/devices/pnp0/00:01/tty/ttyS0");
    Make("sys/bus/pnp/drivers/serial");
    Link("../../../bus/pnp/drivers/serial", "sys/devices/pnp0/00:01/driver");
    Make("sys/devices/usb1/1-1:1.0/ttyUSB0");
    Make("sys/bus/usb-serial/drivers/ftdi_sio");
    Link("../../../bus/usb-serial/drivers/ftdi_sio", "sys/devices/usb1/1-1:1.0/driver");
    Make("sys/class/tty/ttyS10/device");  // after ttyS2, not before
    Make("sys/class/tty/ttyS2/device");
    Make("sys/class/tty/ttyS3/device");  // no UART answers: type 0
    Write("sys/class/tty/ttyS3/type", "0\n");
    Make("sys/class/tty/tty1");  // a virtual console: no device
    Make("sys/class/tty/ttyS0");
    Link("../../../devices/pnp0/00:01", "sys/class/tty/ttyS0/device");
    Make("sys/class/tty/ttyUSB0");
    Link("../../../devices/usb1/1-1:1.0", "sys/class/tty/ttyUSB0/device");
    Make("sys/class/tty/ttyACM0/device");  // no node in /dev
    Make("dev/serial/by-id");
    for (const char* node : {"ttyS0", "ttyS2", "ttyS3", "ttyS10", "ttyUSB0", "tty1"}) Write(std::string("dev/") + node, "");
    Link("../../ttyUSB0", "dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
    Link("../../ttyUSB9", "dev/serial/by-id/usb-gone");  // left behind by a device that went

    const std::vector<ports::SerialPort> list =
        ports::ListSerialPorts(root + "/sys/class/tty", root + "/dev");
    ports::Listing listing;
    listing.serial = list;
    listing.hidError = "x";
    const std::string dev = root + "/dev";
    EXPECT_EQ(ports::FormatText(listing, "1.0.0"),
              "caldrix 1.0.0 sees these serial ports; PortOpen takes any name listed for a port:\n" +
                  dev + "/ttyS0  (serial)\n    COM1\n" +
                  dev + "/ttyS2\n    COM3\n" +
                  dev + "/ttyS10\n    COM11\n" +
                  dev + "/ttyUSB0  (ftdi_sio)\n    " + dev +
                  "/serial/by-id/usb-FTDI_FT232R-if00-port0\n"
                  "caldrix 1.0.0 cannot list HID interfaces or USB printers: x.\n");
}


// Since Linux 6.5 a serial-core port sits on serial-base devices below the one whose driver
// tells the kind; udev's by-path links add names; only ttyS<n> has a COM name, and only one
// that leads back to it.
TEST_F(SerialPortList, SerialBaseDevicesArePassedOverForTheDriverBelow) {
    Make("sys/bus/platform/drivers/serial8250");
    Make("sys/bus/serial-base/drivers/ctrl");
    Make("sys/bus/serial-base/drivers/port");
    Make("sys/devices/serial8250/serial8250:0/serial8250:0.0");
    Link("../../bus/platform/drivers/serial8250", "sys/devices/serial8250/driver");
    Link("../../../bus/serial-base/drivers/ctrl", "sys/devices/serial8250/serial8250:0/driver");
    Link("../../../../bus/serial-base/drivers/port",
         "sys/devices/serial8250/serial8250:0/serial8250:0.0/driver");
    Make("sys/class/tty/ttyS0");
    Link("../../../devices/serial8250/serial8250:0/serial8250:0.0", "sys/class/tty/ttyS0/device");
    Make("sys/class/tty/ttyS01/device");  // COM2 would open ttyS1, not this one
    Make("dev/serial/by-path");
    for (const char* node : {"ttyS0", "ttyS01"}) Write(std::string("dev/") + node, "");
    Link("../../ttyS0", "dev/serial/by-path/platform-serial8250:0.0");

    ports::Listing listing;
    listing.serial = ports::ListSerialPorts(root + "/sys/class/tty", root + "/dev");
    listing.hidError = "x";
    const std::string dev = root + "/dev";
    EXPECT_EQ(ports::FormatText(listing, "1.0.0"),
              "caldrix 1.0.0 sees these serial ports; PortOpen takes any name listed for a port:\n" +
                  dev + "/ttyS0  (serial8250)\n    COM1\n    " + dev +
                  "/serial/by-path/platform-serial8250:0.0\n" + dev + "/ttyS01\n"
                  "caldrix 1.0.0 cannot list HID interfaces or USB printers: x.\n");
}

}  // namespace
