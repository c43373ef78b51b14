#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ports/classify.h"
#include "unit_support.h"

namespace {

struct Classified {
    int32_t result;
    PortSlot slot;
    std::string printed;
};

Classified Classify(const std::string& name) {
    Classified c;
    std::memset(&c.slot, 0, sizeof c.slot);
    c.slot.kind = PORT_KIND_FREE;
    testing::internal::CaptureStdout();
    c.result = SetDeviceInfo(name.c_str(), &c.slot);
    c.printed = testing::internal::GetCapturedStdout();
    return c;
}

struct Example {
    const char* name;
    PortKind kind;
    DeviceType deviceType;
    int32_t instance, vid, pid;
};

// Serial names leave every HID field untouched; VID/PID names set instance, vid and pid.
const Example kAccepted[] = {
    {"COM1:", 1, 0, 0, 0, 0},
    {"/dev/ttyS0", 1, 0, 0, 0, 0},
    {"/dev/ttyUSB0", 1, 0, 0, 0, 0},
    {"/DEV/TTYusb1", 1, 0, 0, 0, 0},
    {"", 1, 0, 0, 0, 0},
    {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", 1, 0, 0, 0, 0},
    {"/USB/0x1234/0x5678", 2, 0, 1, 0x1234, 0x5678},
    {"/usb/4660/22136", 2, 0, 1, 4660, 22136},
    {"/USB/01234/0x10", 2, 0, 1, 668, 16},
    {"/USB/12ab/0x5678", 2, 0, 1, 12, 0},
    {"/USB//0x5678", 2, 0, 1, 0, 0x5678},
    {"x/USB/0x1234/0x5678", 2, 0, 1, 0x1234, 0x5678},
    {"USB/x/0x1234/0x5678", 2, 0, 1, 0x1234, 0x5678},
    {"/USB/0x1234/0x5678xyz", 2, 0, 1, 0x1234, 0x5678},
    {"/USB/010/10", 2, 0, 1, 8, 10},
    {"/USB/0X1f/-5", 2, 0, 1, 31, -5},
    {"/USB/99999999999/-99999999999", 2, 0, 1, 2147483647, -2147483647 - 1},
    {"/USB/0xFFFFFFFF/0", 2, 0, 1, 2147483647, 0},
    {"USBHID/x", 2, 1, 1, 0, 0},
    {"USBPTR USBHID", 2, 2, 1, 0, 0},
    {"USBHID and USBPTR", 2, 2, 1, 0, 0},
    {"USBAIO/x", 2, 3, 1, 0, 0},
    {"USBLCD1/x", 2, 4, 1, 0, 0},
    {"USBLCD2/x", 2, 5, 2, 0, 0},
    {"USBLCD2 USBLCD1", 2, 4, 1, 0, 0},
    {"USBLCD12", 2, 4, 1, 0, 0},
};

TEST(Classification, WorkedExamples) {
    for (const Example& e : kAccepted) {
        SCOPED_TRACE(e.name);
        Classified c = Classify(e.name);
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(c.slot.kind, e.kind);
        EXPECT_EQ(c.slot.dev.deviceType, e.deviceType);
        EXPECT_EQ(c.slot.dev.instance, e.instance);
        EXPECT_EQ(c.slot.dev.vid, e.vid);
        EXPECT_EQ(c.slot.dev.pid, e.pid);
        EXPECT_STREQ(c.slot.name, e.name) << "the name is kept in its own case";
        EXPECT_EQ(c.printed, "");
    }
}

TEST(Classification, MalformedUsbNamesAreRefusedWithTheSlashCount) {
    const std::pair<const char*, int> refused[] = {
        {"/USB/0x1234", 2}, {"usbhid", 0}, {"/dev/usb/0x1234/0x5678", 4}, {"xusbx", 0},
        {"USB", 0},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.first);
        Classified c = Classify(r.first);
        EXPECT_EQ(c.result, -1);
        EXPECT_EQ(c.slot.kind, PORT_KIND_FREE);
        EXPECT_EQ(c.printed, "getIDS: Error in string; i = " + std::to_string(r.second) + "\n");
    }
}

TEST(Classification, UpperCasingIsAsciiOnly) {
    char text[] = "abc\xe9z\x80{`";
    EXPECT_STREQ(StrUpper(text), "ABC\xe9Z\x80{`");
}

TEST(Classification, LongestNameIsStoredWhole) {
    std::string name(MAX_PORT_NAME, 'a');
    Classified c = Classify(name);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(std::string(c.slot.name), name);
    EXPECT_EQ(c.slot.name[MAX_PORT_NAME], '\0');
}

class ClassifiedOpen : public LibraryTest {};

TEST_F(ClassifiedOpen, RefusedNameRaisesAndLeavesTheSlotFree) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(Open("/USB/0x1234"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "getIDS: Error in string; i = 2\n");
    EXPECT_EQ(jni.PendingClass(), "java/io/IOException");
    EXPECT_EQ(Pending(), "SetDeviceInfo failed\n");
    jni.ClearPending();

    sim::AddSerial("COM3:");
    EXPECT_EQ(Open("COM3:"), 1) << "the refused name's slot is handed out next";
}

// With no HID device present the HID open fails, after its own lines.
TEST_F(ClassifiedOpen, HidNamesPrintTheirLineBeforeTheHidOpen) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(Open("USBHID/x"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " USBPortOpen \n InitUSB: \n");
    EXPECT_EQ(Pending(), "Device Not Found - ");
    EXPECT_EQ(PortTable[1].kind, PORT_KIND_FREE);
    jni.ClearPending();

    testing::internal::CaptureStdout();
    EXPECT_EQ(Open("/USB/0x1234/0x5678"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " USBPortOpen \n InitUSB: \n");
    EXPECT_EQ(Pending(), "Device Not Found - vid_1234&pid_5678");
}

TEST_F(ClassifiedOpen, SerialOpenPrintsNothing) {
    sim::AddSerial("/dev/ttyUSB0");
    testing::internal::CaptureStdout();
    EXPECT_EQ(Open("/dev/ttyUSB0"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
