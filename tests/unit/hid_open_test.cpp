// Finding and opening HID ports: match texts, interface classes, instances, the report ID, and
// every way an open fails, with its log lines and messages.
#include <gtest/gtest.h>

#include "hid_support.h"

namespace {

using caldrix_posix::kPrinterInterfaceClass;

const char kOpenLines[] = " USBPortOpen \n InitUSB: \n";

TEST(HidMatchText, FromNumbersOrTheNameTail) {
    struct Row {
        const char* name;
        DeviceType type;
        int32_t vid, pid;
        const char* match;
    };
    const Row rows[] = {
        {"", DEVICE_VIDPID, 0x1234, 0x5678, "vid_1234&pid_5678"},
        {"", DEVICE_VIDPID, 0x12345, 0x5678, "vid_12345&pid_5678"},
        {"", DEVICE_VIDPID, 0x1a, -1, "vid_001a&pid_ffffffff"},
        {"USBHID::VID_1234+PID_5678", DEVICE_USBHID, 0, 0, "vid_1234&pid_5678"},
        {"USBAIO::a/b", DEVICE_USBAIO, 0, 0, "ab"},
        {"USBAIO::a/+b", DEVICE_USBAIO, 0, 0, "a+b"},
        {"USBAIO::a//b", DEVICE_USBAIO, 0, 0, "a/b"},
        {"USBAIO::a/", DEVICE_USBAIO, 0, 0, "a"},
        {"USBLCD2:", DEVICE_USBLCD2, 0, 0, ""},
        {"USBHID", DEVICE_USBHID, 0, 0, ""},
    };
    for (const Row& row : rows) {
        PortSlot slot = {};
        snprintf(slot.name, sizeof slot.name, "%s", row.name);
        slot.dev.deviceType = row.type;
        slot.dev.vid = row.vid;
        slot.dev.pid = row.pid;
        char match[MAX_PORT_NAME + 1];
        BuildMatchText(&slot, match, sizeof match);
        EXPECT_STREQ(match, row.match) << row.name << " " << row.vid;
    }
}

class HidOpen : public HidPortTest {};

TEST_F(HidOpen, OpensTheDeviceForOverlappedIoAndCloses) {
    sim::AddHid(HidPath("vid_0001&pid_0002"));
    sim::HidDevice& dev = sim::AddHid(HidPath("vid_1234&pid_5678"));
    std::string log;
    ASSERT_EQ(OpenHid("/USB/0x1234/0x5678", &log), 1);
    EXPECT_EQ(log, kOpenLines);
    EXPECT_FALSE(jni.HasPending());
    const auto opens = sim::CallsOf("CreateFileA");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].device, dev.path);
    EXPECT_EQ(opens[0].args, (std::vector<uint64_t>{0xC0000000u, 3, OPEN_EXISTING, 0x40000000u}));
    EXPECT_EQ(sim::Sleeps(), std::vector<DWORD>{500}) << "the settle, and no monitor";
    EXPECT_TRUE(sim::ProcessStarts().empty());

    EXPECT_EQ(CloseHid(1, &log), -1) << "a HID close answers -1, as callers expect";
    EXPECT_EQ(log, " USBPortClose: \n intUSBPortClose: Complete \n");
    EXPECT_EQ(PortTable[1].kind, PORT_KIND_FREE);
    EXPECT_EQ(dev.openNow, 0);
    EXPECT_EQ(Close(1), -1);
}

TEST_F(HidOpen, InstanceAndClassChooseTheInterface) {
    sim::HidDevice& first = sim::AddHid(HidPath("vid_1111&pid_2222", 1));
    sim::HidDevice& printer =
        sim::AddHid("\\\\?\\usb#vid_1111&pid_2222#lp0#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
                    kPrinterInterfaceClass);
    sim::HidDevice& second = sim::AddHid(HidPath("vid_1111&pid_2222", 2));

    EXPECT_EQ(OpenHid("USBLCD2:VID_1111+PID_2222"), 1);
    EXPECT_EQ(second.openNow, 1) << "the second matching HID interface";
    EXPECT_EQ(OpenHid("USBPTR::vid_1111+pid_2222"), 2);
    EXPECT_EQ(printer.openNow, 1) << "printers are searched among printer interfaces";
    EXPECT_EQ(sim::CallsOf("HidD_GetPreparsedData").size(), 1u) << "none for the printer";
    EXPECT_EQ(OpenHid("USBHID"), 3) << "an empty match text takes the first interface";
    EXPECT_EQ(first.openNow, 1);

    std::string log;
    EXPECT_EQ(OpenHid("USBLCD2:vid_1111+pid_9999", &log), -1);
    EXPECT_EQ(Pending(), "Device Not Found - vid_1111&pid_9999");
    EXPECT_EQ(log, kOpenLines);
    EXPECT_EQ(PortTable[4].kind, PORT_KIND_FREE);
}

TEST_F(HidOpen, ReportIdIsTheFirstInputValuesAndZeroWithoutOne) {
    sim::HidDevice& ided = sim::AddHid(HidPath("vid_0aaa&pid_0001"));
    sim::AddInputValue(ided, 5);
    sim::AddInputValue(ided, 7);
    sim::HidDevice& plain = sim::AddHid(HidPath("vid_0aaa&pid_0002"));
    sim::HidDevice& broken = sim::AddHid(HidPath("vid_0aaa&pid_0003"));
    sim::AddInputValue(broken, 9);

    const jint a = OpenHid("USBHID::vid_0aaa+pid_0001");
    const jint b = OpenHid("USBHID::vid_0aaa+pid_0002");
    sim::Fail("HidD_GetPreparsedData", ERROR_GEN_FAILURE);
    const jint c = OpenHid("USBHID::vid_0aaa+pid_0003");
    ASSERT_EQ(c, 3) << "a failed capability query does not fail the open";
    EXPECT_FALSE(jni.HasPending());
    for (jint h : {a, b, c}) EXPECT_EQ(Write(h, {0x11, 0x22}), 0);
    EXPECT_EQ(ided.writes, (std::vector<Bytes>{{5, 0x11, 0x22}}));
    EXPECT_EQ(plain.writes, (std::vector<Bytes>{{0, 0x11, 0x22}}));
    EXPECT_EQ(broken.writes, (std::vector<Bytes>{{0, 0x11, 0x22}}));
}

TEST_F(HidOpen, FailuresLeaveTheSlotFreeWithTheirLineOrMessage) {
    sim::HidDevice& dev = sim::AddHid(HidPath("vid_1234&pid_5678"));
    std::string log;

    // hid.dll missing: a line and no exception.
    ForgetHidLibrary();
    sim::SetHidLibraryMissing(true);
    EXPECT_EQ(OpenHid("/USB/0x1234/0x5678", &log), -1);
    EXPECT_EQ(log, std::string(kOpenLines) + "HID load error\n");
    EXPECT_FALSE(jni.HasPending());
    EXPECT_EQ(PortTable[1].kind, PORT_KIND_FREE);
    sim::SetHidLibraryMissing(false);

    sim::Fail("CreateFileA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenHid("/USB/0x1234/0x5678", &log), -1);
    EXPECT_EQ(Pending(), "INVALID_HANDLE - " + dev.path);
    EXPECT_EQ(log, kOpenLines);
    jni.ClearPending();
    EXPECT_EQ(dev.openNow, 0);

    // hid.dll is loaded once and kept.
    sim::ClearCalls();
    EXPECT_EQ(OpenHid("/USB/0x1234/0x5678"), 1);
    EXPECT_EQ(OpenHid("/USB/0x1234/0x5678"), 2);
    EXPECT_EQ(sim::CallsOf("LoadLibraryA").size(), 0u) << "loaded by the failed open already";
}

// The process runs out of handles: each later step of the open fails in turn, and the open
// gives back everything it had made.
TEST_F(HidOpen, OutOfHandlesFailsTheOpenAtTheStepThatFound) {
    sim::AddHid(HidPath("vid_1234&pid_5678"));
    std::vector<HANDLE> hoard;
    for (HANDLE h; (h = CreateEventA(nullptr, FALSE, FALSE, nullptr)) != nullptr;) {
        hoard.push_back(h);
    }
    ASSERT_GT(hoard.size(), 1000u);
    struct Row {
        size_t spare;
        const char* message;
    };
    // Handles the open takes in turn: the device-information set (given back at once), the
    // device, four events, two mutexes, the thread.
    const Row rows[] = {{0, "INVALID HANDLE!"},
                        {1, "CreateEventA error 8"},
                        {4, "CreateEventA error 8"},
                        {5, "CreateMutexA error 8"},
                        {6, "CreateMutexA error 8"},
                        {7, "CreateThread error 8"}};
    size_t spared = 0;
    for (const Row& row : rows) {
        for (; spared < row.spare; ++spared) {
            CloseHandle(hoard.back());
            hoard.pop_back();
        }
        EXPECT_EQ(OpenHid("/USB/0x1234/0x5678"), -1);
        EXPECT_EQ(Pending(), row.message) << row.spare << " handles to spare";
        jni.ClearPending();
        // Nothing of the failed open remains: all spare handles can be had again.
        std::vector<HANDLE> probe;
        for (size_t i = 0; i < row.spare; ++i) probe.push_back(CreateEventA(nullptr, 0, 0, nullptr));
        EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
        for (HANDLE h : probe) {
            EXPECT_NE(h, nullptr);
            CloseHandle(h);
        }
    }
    for (HANDLE h : hoard) CloseHandle(h);
    EXPECT_EQ(OpenHid("/USB/0x1234/0x5678"), 1);
}

}  // namespace
