#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/serial.h"
#include "unit_support.h"

namespace {

std::string Mapped(const char* name) {
    char buffer[MAX_PORT_NAME + 1];
    std::snprintf(buffer, sizeof buffer, "%s", name);
    MapSerialPortName(buffer);
    return buffer;
}

TEST(SerialNames, PosixNamesMapToComDevices) {
    DWORD saved = OsVersionInfo.dwPlatformId;
    OsVersionInfo.dwPlatformId = VER_PLATFORM_WIN32_NT;
    const std::pair<const char*, const char*> rows[] = {
        {"/dev/ttyS0", "COM1:"}, {"/dev/ttyS1", "COM2:"}, {"/dev/ttyS4", "COM3:"},
        {"/dev/ttyS5", "COM4:"}, {"/dev/ttyS6", "COM5:"}, {"/dev/ttyS7", "COM6:"},
        {"/dev/ttyS8", "COM7:"}, {"/dev/ttyS9", "COM8:"}, {"/dev/ttyS10", "COM9:"},
        {"/dev/ttyS11", "\\\\.\\COM10"},
    };
    for (const auto& row : rows) EXPECT_EQ(Mapped(row.first), row.second) << row.first;

    OsVersionInfo.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_EQ(Mapped("/dev/ttyS11"), "COM10:");
    OsVersionInfo.dwPlatformId = saved;
}

TEST(SerialNames, OtherNamesStayAsTheyAre) {
    for (const char* name : {"COM1", "COM1:", "\\\\.\\COM12", "/dev/ttyS2", "/dev/ttyS3",
                             "/dev/TTYS0", "/dev/ttyS0 ", "/dev/ttyS01", "/dev/ttyS12", ""}) {
        EXPECT_EQ(Mapped(name), name);
    }
}

class SerialOpen : public LibraryTest {};

TEST_F(SerialOpen, ConfiguresThePortInOrder) {
    sim::SerialDevice& dev = sim::AddSerial("/dev/ttyS0");
    dev.dcb.fOutxCtsFlow = 1;  // left over from an earlier user: the open resets it
    dev.dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dev.dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dev.dcb.fParity = 1;
    dev.dcb.Parity = EVENPARITY;
    uint32_t before = DcbFlags(dev.dcb);
    DCB driver = dev.dcb;

    ASSERT_EQ(Open("/dev/ttyS0"), 1);
    EXPECT_FALSE(jni.HasPending());

    std::vector<std::string> order;
    for (const sim::Call& c : sim::Calls()) order.push_back(c.fn);
    EXPECT_EQ(order, (std::vector<std::string>{"CreateFileA", "PurgeComm", "GetCommState",
                                               "SetCommState", "SetupComm", "ClearCommError",
                                               "SetCommTimeouts", "EscapeCommFunction",
                                               "EscapeCommFunction"}));
    const auto& calls = sim::Calls();
    EXPECT_EQ(calls[0].device, "/dev/ttyS0");
    EXPECT_EQ(calls[0].args, (std::vector<uint64_t>{0xC0000000u, 0, OPEN_EXISTING, 0xA0000000u}));
    EXPECT_EQ(calls[1].args, (std::vector<uint64_t>{15}));
    EXPECT_EQ(calls[3].args.at(0), (before & 0xFFFFD091u) | 0x5011u);
    EXPECT_EQ(calls[4].args, (std::vector<uint64_t>{1024, 1024}));
    EXPECT_EQ(calls[6].args,
              (std::vector<uint64_t>{MAXDWORD, MAXDWORD, SERIAL_READ_WAIT_MS, 0, 5000}));
    EXPECT_EQ(calls[7].args, (std::vector<uint64_t>{SETDTR}));
    EXPECT_EQ(calls[8].args, (std::vector<uint64_t>{SETRTS}));

    EXPECT_EQ(dev.dcb.BaudRate, 9600u);
    EXPECT_EQ(dev.dcb.ByteSize, 8);
    EXPECT_EQ(dev.dcb.Parity, NOPARITY);
    EXPECT_EQ(dev.dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dev.dcb.XonChar, 0);
    EXPECT_EQ(dev.dcb.XoffChar, 0);
    EXPECT_EQ(dev.dcb.XonLim, driver.XonLim);
    EXPECT_EQ(dev.dcb.XoffLim, driver.XoffLim);
    EXPECT_EQ(dev.dcb.ErrorChar, driver.ErrorChar);
    EXPECT_EQ(dev.dcb.EofChar, driver.EofChar);
    EXPECT_EQ(dev.dcb.EvtChar, driver.EvtChar);
    EXPECT_TRUE(dev.dtr);
    EXPECT_TRUE(dev.rts);
}

// Where a device path names the device itself, the table must not turn it into a COM name that
// the platform resolves to another device: "/dev/ttyS4" would become COM3:, that is /dev/ttyS2.
TEST_F(SerialOpen, DevicePathsOpenTheDeviceTheyName) {
    ASSERT_FALSE(kComNamesAreDevices);
    for (int n : {0, 1, 2, 3, 4, 5, 6, 9, 10, 11}) {
        const std::string name = "/dev/ttyS" + std::to_string(n);
        SCOPED_TRACE(name);
        sim::AddSerial(name);
        sim::ClearCalls();
        jint h = Open(name);
        EXPECT_EQ(h, 1);
        std::vector<std::string> opened;
        for (const sim::Call& c : sim::CallsOf("CreateFileA")) opened.push_back(c.device);
        EXPECT_EQ(opened, std::vector<std::string>{name});
        EXPECT_EQ(Close(h), 0);
    }
    // COM names stay as given too; the platform knows where they lead.
    sim::AddSerial("COM3:");
    sim::ClearCalls();
    EXPECT_EQ(Open("COM3:"), 1);
    EXPECT_EQ(sim::CallsOf("CreateFileA").at(0).device, "COM3:");
}

TEST_F(SerialOpen, EachFailingStepRaisesItsMessageAndReleasesThePort) {
    const std::pair<const char*, const char*> steps[] = {
        {"PurgeComm", "PurgeComm error %d on port"},
        {"GetCommState", "GetCommState error %d on port"},
        {"SetCommState", "SetCommState error %d on port"},
        {"SetupComm", "SetupComm error %d on port"},
        {"ClearCommError", "ClearCommError error %d on port"},
        {"SetCommTimeouts", "SetCommTimeouts error %d on port"},
    };
    sim::SerialDevice& dev = sim::AddSerial("COM4:");
    DWORD code = 31;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.first);
        sim::Fail(step.first, code);
        EXPECT_EQ(Open("COM4:"), -1);
        char expected[64];
        std::snprintf(expected, sizeof expected, step.second, static_cast<int>(code));
        EXPECT_EQ(Pending(), expected);
        EXPECT_FALSE(dev.open) << "a failed open lets the device go";
        EXPECT_EQ(PortTable[1].kind, PORT_KIND_FREE);
        jni.ClearPending();
        code += 1000;  // codes beyond one byte print whole
    }

    sim::Fail("EscapeCommFunction", 50);
    EXPECT_EQ(Open("COM4:"), -1);
    EXPECT_EQ(Pending(), "EscapeCommFunction SETDTR error 50 on port");
    EXPECT_FALSE(dev.open);
    jni.ClearPending();

    sim::Fail("EscapeCommFunction", 1167, 2);
    EXPECT_EQ(Open("COM4:"), -1);
    EXPECT_EQ(Pending(), "EscapeCommFunction SETRTS error 1167 on port");
    EXPECT_FALSE(dev.open);
    jni.ClearPending();

    EXPECT_EQ(Open("COM4:"), 1) << "a port released after a failed open opens again at once";
}

TEST_F(SerialOpen, CreateFileFailuresCarryTheErrorCode) {
    EXPECT_EQ(Open("COM99:"), -1);  // no such device
    EXPECT_EQ(Pending(), "CreateFile error 2 on port");
    jni.ClearPending();

    sim::AddSerial("COM1:");
    ASSERT_EQ(Open("COM1:"), 1);
    EXPECT_EQ(Open("COM1:"), -1) << "ports are opened exclusively";
    EXPECT_EQ(Pending(), "CreateFile error 5 on port");
    EXPECT_EQ(PortTable[2].kind, PORT_KIND_FREE);
    jni.ClearPending();

    sim::AddSerial("COM2:");
    sim::Fail("CreateFileA", static_cast<DWORD>(-2));
    EXPECT_EQ(Open("COM2:"), -1);
    EXPECT_EQ(Pending(), "CreateFile error -2 on port") << "codes print as signed decimal";
}

TEST_F(SerialOpen, LongNamesOpenUnchanged) {
    std::string name = "/dev/serial/by-id/usb-Vendor_" + std::string(200, 'p') + "-if00-port0";
    ASSERT_GT(name.size(), 99u);
    ASSERT_LE(name.size(), static_cast<size_t>(MAX_PORT_NAME));
    sim::AddSerial(name);
    EXPECT_EQ(Open(name), 1);
    EXPECT_EQ(sim::CallsOf("CreateFileA").at(0).device, name);
}

TEST_F(SerialOpen, CloseReleasesTheDeviceAndReportsFailure) {
    sim::SerialDevice* dev = nullptr;
    jint h = OpenSerial("COM1:", &dev);
    EXPECT_EQ(Close(h), 0);
    EXPECT_FALSE(dev->open);

    h = Open("COM1:");
    ASSERT_EQ(h, 1);
    sim::Fail("CloseHandle", 6);
    EXPECT_EQ(Close(h), -1);
    EXPECT_EQ(Pending(), "CloseHandle: GetLastError=6");
    EXPECT_EQ(PortTable[h].kind, PORT_KIND_FREE) << "the slot is freed whatever the close said";
}

}  // namespace
