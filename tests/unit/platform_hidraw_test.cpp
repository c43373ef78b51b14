// The host's HID and printer providers on a fake sysfs and /dev tree: discovery order and the
// Windows shape of device paths (an interface per top-level collection), reports both ways with
// their boundaries, the report ID from the report descriptor, each collection's own reports and
// capabilities, cancel, unplugging, vanished and replaced nodes, permissions, and one idle I/O
// thread for every pending transfer.
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb_host.h"
#include "hid_descriptors.h"
#include "platform/posix/provider.h"
#include "sim/sim_hid.h"
#include "unit_support.h"

namespace {

using caldrix_posix::kHidInterfaceClass;
using caldrix_posix::kPrinterInterfaceClass;
using Clock = std::chrono::steady_clock;

constexpr DWORD kAllInterfaces = DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE;
constexpr DWORD kBoth = GENERIC_READ | GENERIC_WRITE;
constexpr int kWaitMs = 5000;  // the bound of every wait for something that must happen

const std::string kHid = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::string kPrinter = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::string kDisplayPath = "\\\\?\\hid#vid_04b8&pid_0202&mi_00#hidraw3" + kHid;

std::vector<std::string> Paths(const GUID& cls) {
    std::vector<std::string> out;
    HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, kAllInterfaces);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data); ++i) {
        char room[512];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(room);
        detail->cbSize = sizeof *detail;
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof room, nullptr, nullptr));
        out.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

HANDLE Open(const std::string& path, DWORD access = kBoth) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// The Win32 answer of a call: its result and, when it failed, the last error.
std::pair<BOOL, DWORD> Answer(BOOL ok) { return {ok, ok ? 0 : GetLastError()}; }

// One overlapped record with its own event.
struct Transfer {
    Transfer() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Transfer() { CloseHandle(ov.hEvent); }
    // The transfer's end, waited for within the bound: bytes moved and the error, 0 if none.
    std::pair<DWORD, DWORD> Result(HANDLE h) {
        if (WaitForSingleObject(ov.hEvent, kWaitMs) != WAIT_OBJECT_0) return {0, WAIT_TIMEOUT};
        DWORD n = 0;
        const BOOL ok = GetOverlappedResult(h, &ov, &n, FALSE);
        return {n, ok ? 0 : GetLastError()};
    }
    OVERLAPPED ov = {};
    uint8_t buf[1024] = {};
    DWORD n = 0;
};

class HostHid : public SimulatedPlatformTest {
protected:
    // The display of the examples: a composite device whose interface 0 is hidraw3, with a peer.
    std::unique_ptr<Peer> AddDisplay(const Bytes& descriptor = kPosDisplay) {
        const auto dev = host.AddDevice(0x04b8, 0x0202, 2);
        host.AddHidraw(dev, 0, 3, descriptor, 0x04b8, 0x0202);
        return std::unique_ptr<Peer>(new Peer(host.Dev("hidraw3")));
    }
    // Opens the display and takes the open's connection at the peer.
    HANDLE OpenDisplay(Peer& peer, const std::string& path = kDisplayPath) {
        HANDLE h = Open(path);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_TRUE(peer.Accept(kWaitMs));
        return h;
    }

    FakeUsbHost host;
};

TEST_F(HostHid, InterfacesAreListedInNodeOrderWithPathsShapedAsWindowsShapesThem) {
    const auto display = host.AddDevice(0x04b8, 0x0202, 2);  // composite: HID and printer
    host.AddHidraw(display, 0, 3, kPosDisplay, 0x04b8, 0x0202);
    host.AddPrinter(display, 1, 1);
    const auto keyboard = host.AddDevice(0x0519, 0x0001, 1);
    host.AddHidraw(keyboard, 0, 10, kBootKeyboard, 0x0519, 0x0001);
    const auto scanner = host.AddDevice(0x1234, 0xABCD, 3);
    host.AddHidraw(scanner, 2, 2, kBootMouse, 0x1234, 0xABCD);
    const auto printer = host.AddDevice(0x04b8, 0x0e15, 1);
    host.AddPrinter(printer, 0, 0);
    // Entries that name no interface: no number, a number with a leading zero, no HID_ID.
    host.WriteFile("sys/class/hidraw/hidraw", "");
    host.WriteFile("sys/class/hidraw/hidraw07", "");
    host.AddHidraw(keyboard, 0, 5, kBootKeyboard, 0x0519, 0x0001);
    host.WriteFile("sys/class/hidraw/hidraw5/device/uevent", "DRIVER=hid-generic\n");

    const std::vector<std::string> hid = {
        "\\\\?\\hid#vid_1234&pid_abcd&mi_02#hidraw2" + kHid,
        kDisplayPath,
        "\\\\?\\hid#vid_0519&pid_0001#hidraw10" + kHid,  // by number, not by name
    };
    EXPECT_EQ(Paths(kHidInterfaceClass), hid);
    EXPECT_EQ(Paths(kPrinterInterfaceClass),
              (std::vector<std::string>{"\\\\?\\usb#vid_04b8&pid_0e15#lp0" + kPrinter,
                                        "\\\\?\\usb#vid_04b8&pid_0202&mi_01#lp1" + kPrinter}));

    // Registered providers' interfaces come first, the host's after them.
    sim::AddHid("\\\\?\\hid#vid_845e&pid_0001#0&0000&0&0" + kHid);
    const std::vector<std::string> both = Paths(kHidInterfaceClass);
    ASSERT_EQ(both.size(), 4u);
    EXPECT_EQ(both[0], "\\\\?\\hid#vid_845e&pid_0001#0&0000&0&0" + kHid);
    EXPECT_EQ(std::vector<std::string>(both.begin() + 1, both.end()), hid);
}

TEST_F(HostHid, ReportsMoveWholeBothWaysAndTheReportIdComesFromTheDescriptor) {
    auto peer = AddDisplay();
    // Windows matches device paths in any letter case, after \\?\ or \\.\ alike.
    HANDLE h = OpenDisplay(*peer, "\\\\.\\HID#VID_04B8&PID_0202&MI_00#HIDRAW3" + kHid);

    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &pp));
    HIDP_VALUE_CAPS caps[4];
    USHORT count = 4;
    EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, caps, &count, pp), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(caps[0].ReportID, 2);
    HidD_FreePreparsedData(pp);

    Transfer r;
    EXPECT_EQ(Answer(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov)), std::make_pair(FALSE, ERROR_IO_PENDING));
    ASSERT_TRUE(peer->Send({2, 'h', 'i'}));
    ASSERT_EQ(r.Result(h), std::make_pair(DWORD{3}, DWORD{0}));
    EXPECT_EQ(Bytes(r.buf, r.buf + 3), (Bytes{2, 'h', 'i'}));

    // One report per read, also when several wait; a short buffer gets the report's start only.
    ASSERT_TRUE(peer->Send({2, 'o', 'n', 'e'}));
    ASSERT_TRUE(peer->Send({2, 't', 'w', 'o', '!'}));
    ASSERT_TRUE(peer->Send({2, 'l', 'o', 'n', 'g'}));
    ASSERT_TRUE(peer->Send({2, 'n', 'e', 'x', 't'}));
    EXPECT_TRUE(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov)) << "waiting reports are read at once";
    EXPECT_EQ(Bytes(r.buf, r.buf + r.n), (Bytes{2, 'o', 'n', 'e'}));
    EXPECT_TRUE(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov));
    EXPECT_EQ(Bytes(r.buf, r.buf + r.n), (Bytes{2, 't', 'w', 'o', '!'}));
    EXPECT_TRUE(ReadFile(h, r.buf, 3, &r.n, &r.ov));
    EXPECT_EQ(Bytes(r.buf, r.buf + r.n), (Bytes{2, 'l', 'o'}));
    EXPECT_TRUE(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov));
    EXPECT_EQ(Bytes(r.buf, r.buf + r.n), (Bytes{2, 'n', 'e', 'x', 't'}));

    Transfer w;
    const uint8_t out[] = {3, 'a', 'b', 'c'};
    // Through the node's writer thread: pending, or done at once if the writer was quick.
    if (!WriteFile(h, out, sizeof out, &w.n, &w.ov)) {
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(w.Result(h), std::make_pair(DWORD{4}, DWORD{0}));
    Bytes got;
    ASSERT_TRUE(peer->Receive(&got, kWaitMs));
    EXPECT_EQ(got, (Bytes{3, 'a', 'b', 'c'})) << "the report exactly as written, ID first";
    EXPECT_EQ(Answer(WriteFile(h, out, 0, &w.n, &w.ov)), std::make_pair(FALSE, ERROR_INVALID_PARAMETER))
        << "hidraw refuses a report without even its ID";
    CloseHandle(h);
}

// What a descriptor says about the report ID: the capability the open reads, and whether reports
// come with an ID byte. A device without report IDs reads with a 0 first, as on Windows.
// Descriptors from real devices: see hid_descriptors.h.
TEST_F(HostHid, DescriptorsDecideTheCapabilitiesAndTheIdByteOfReads) {
    struct Case {
        const char* what;
        Bytes descriptor;
        bool parses;
        NTSTATUS status;
        USHORT values;
        UCHAR reportId;
        Bytes sent, read;
    };
    const Case cases[] = {
        {"keyboard",
         kBootKeyboard,
         true,
         HIDP_STATUS_USAGE_NOT_FOUND,
         0,
         0,
         {0, 0, 4, 0, 0, 0, 0, 0},
         {0, 0, 0, 4, 0, 0, 0, 0, 0}},
        {"mouse", kBootMouse, true, HIDP_STATUS_SUCCESS, 2, 0, {1, 0xFF, 0x02}, {0, 1, 0xFF, 0x02}},
        {"display", kPosDisplay, true, HIDP_STATUS_SUCCESS, 1, 2, {2, 'x'}, {2, 'x'}},
        // Refused, yet numbered or not as the kernel reads it: no Report ID, so the first byte
        // is data and is kept.
        {"truncated", kTruncated, false, 0, 0, 0, {7, 'y'}, {0, 7, 'y'}},
        // IDs on constant items only still number the reports; a 0-bit item does not spoil the
        // descriptor (the open reads report ID 1, and writes go out behind it).
        {"pen tablet",
         FromHex(kPenTabletVendor),
         true,
         HIDP_STATUS_USAGE_NOT_FOUND,
         0,
         0,
         {2, 'a'},
         {2, 'a'}},
        {"gamepad",
         FromHex(kSaitekGamepad),
         true,
         HIDP_STATUS_SUCCESS,
         6,
         1,
         {1, 0x80, 0x7F},
         {1, 0x80, 0x7F}},
    };
    unsigned node = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto dev = host.AddDevice(0x04b8, 0x0300 + node, 1);
        host.AddHidraw(dev, 0, node, c.descriptor, 0x04b8, 0x0300 + node);
        Peer peer(host.Dev("hidraw" + std::to_string(node)));
        const std::string path = Paths(kHidInterfaceClass).back();
        HANDLE h = Open(path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(peer.Accept(kWaitMs));
        ++node;

        PHIDP_PREPARSED_DATA pp = nullptr;
        if (c.parses) {
            ASSERT_TRUE(HidD_GetPreparsedData(h, &pp));
            HIDP_VALUE_CAPS caps[64];  // as many as the open asks for
            USHORT count = 64;
            EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, caps, &count, pp), c.status);
            EXPECT_EQ(count, c.values);
            EXPECT_EQ(count > 0 ? caps[0].ReportID : 0, c.reportId) << "what the open reads";
            HidD_FreePreparsedData(pp);
        } else {
            EXPECT_FALSE(HidD_GetPreparsedData(h, &pp));
            EXPECT_EQ(GetLastError(), 13u) << "ERROR_INVALID_DATA";
            EXPECT_EQ(pp, nullptr);
        }

        ASSERT_TRUE(peer.Send(c.sent));
        Transfer r;
        if (!ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov)) r.n = r.Result(h).first;
        EXPECT_EQ(Bytes(r.buf, r.buf + r.n), c.read);
        CloseHandle(h);
    }
}

// A hidraw node as the kernel keeps it: every open is a connection of its own, and each report the
// device sends goes to all of them.
class SharedNode {
public:
    explicit SharedNode(const std::string& path)
        : path_(path), listener_(socket(AF_UNIX, SOCK_SEQPACKET, 0)) {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(listener_, 8), 0);
    }
    ~SharedNode() {
        for (int c : conns_) close(c);
        close(listener_);
        unlink(path_.c_str());
    }
    // Opens `path` and takes the open's connection.
    HANDLE Open(const std::string& path) {
        HANDLE h = ::Open(path);
        pollfd p = {listener_, POLLIN, 0};
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
        if (h != INVALID_HANDLE_VALUE && poll(&p, 1, kWaitMs) == 1)
            conns_.push_back(accept(listener_, nullptr, nullptr));
        return h;
    }
    void Send(const Bytes& report) {
        for (int c : conns_)
            ASSERT_EQ(send(c, report.data(), report.size(), 0),
                      static_cast<ssize_t>(report.size()));
    }
    Bytes Received(size_t conn) {  // one report written on the `conn`-th open, within the bound
        pollfd p = {conns_.at(conn), POLLIN, 0};
        uint8_t buf[256];
        const ssize_t n = poll(&p, 1, kWaitMs) == 1 ? recv(conns_[conn], buf, sizeof buf, 0) : 0;
        return Bytes(buf, buf + (n > 0 ? n : 0));
    }

private:
    const std::string path_;
    const int listener_;
    std::vector<int> conns_;
};

// The ID of the first input value capability, what the open reads; -1 when the call fails.
int FirstReportId(HANDLE h, NTSTATUS* status = nullptr, USHORT* count = nullptr) {
    PHIDP_PREPARSED_DATA pp = nullptr;
    if (!HidD_GetPreparsedData(h, &pp)) return -1;
    HIDP_VALUE_CAPS caps[64];
    USHORT n = 64;
    const NTSTATUS s = HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, caps, &n, pp);
    HidD_FreePreparsedData(pp);
    if (status != nullptr) *status = s;
    if (count != nullptr) *count = n;
    return s == HIDP_STATUS_SUCCESS ? caps[0].ReportID : -1;
}

// Windows opens each top-level collection as an interface of its own ("&colNN"), with its own
// capabilities and its own reports; hidraw has one node for all, which each open shares.
TEST_F(HostHid, ANodeWithSeveralCollectionsIsAnInterfacePerCollectionAsOnWindows) {
    auto display = AddDisplay();
    host.AddHidraw(host.AddDevice(0x05ac, 0x0256, 1), 0, 7, FromHex(kAppleKeyboard), 0x05ac,
                   0x0256);
    host.AddHidraw(host.AddDevice(0x27c6, 0x0e00, 2), 1, 9, FromHex(kGoodixPen), 0x27c6, 0x0e00);
    const std::string apple = "\\\\?\\hid#vid_05ac&pid_0256&col0",
                      goodix = "\\\\?\\hid#vid_27c6&pid_0e00&mi_01&col0";
    EXPECT_EQ(Paths(kHidInterfaceClass),
              (std::vector<std::string>{kDisplayPath, apple + "1#hidraw7" + kHid,
                                        apple + "2#hidraw7" + kHid, apple + "3#hidraw7" + kHid,
                                        goodix + "1#hidraw9" + kHid, goodix + "2#hidraw9" + kHid,
                                        goodix + "3#hidraw9" + kHid}));

    // Each collection answers its own capabilities, its nested collections numbered from 1.
    SharedNode keyboard(host.Dev("hidraw7"));
    HANDLE h[3];
    for (int i = 0; i < 3; ++i)
        h[i] = keyboard.Open(apple + std::to_string(i + 1) + "#hidraw7" + kHid);
    NTSTATUS status = 0;
    EXPECT_EQ(FirstReportId(h[0], &status), -1);
    EXPECT_EQ(status, HIDP_STATUS_USAGE_NOT_FOUND) << "the keyboard has no values";
    EXPECT_EQ(FirstReportId(h[1]), 71);
    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h[1], &pp));
    HIDP_VALUE_CAPS battery[2];
    USHORT n = 2;
    EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0, 1, 0, battery, &n, pp), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(battery[0].LinkCollection, 1);
    HidD_FreePreparsedData(pp);

    // Each open collection reads its own input reports only, in order; writes go to the node.
    Transfer r[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_FALSE(ReadFile(h[i], r[i].buf, sizeof r[i].buf, &r[i].n, &r[i].ov));
    keyboard.Send({17, 1});
    keyboard.Send({1, 0, 0, 4, 0, 0, 0, 0, 0});
    keyboard.Send({71, 50});
    keyboard.Send({18, 2});
    const Bytes expected[3] = {{1, 0, 0, 4, 0, 0, 0, 0, 0}, {71, 50}, {17, 1}};
    for (int i = 0; i < 3; ++i) {
        const DWORD got = r[i].Result(h[i]).first;
        EXPECT_EQ(Bytes(r[i].buf, r[i].buf + got), expected[i]) << i;
    }
    EXPECT_TRUE(ReadFile(h[2], r[2].buf, sizeof r[2].buf, &r[2].n, &r[2].ov));
    EXPECT_EQ(Bytes(r[2].buf, r[2].buf + r[2].n), (Bytes{18, 2}))
        << "the keyboard's report was dropped";
    Transfer w;
    if (!WriteFile(h[1], "\x09\x01", 2, &w.n, &w.ov)) {
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(w.Result(h[1]), std::make_pair(DWORD{2}, DWORD{0}));
    EXPECT_EQ(keyboard.Received(1), (Bytes{9, 1}));
    for (HANDLE each : h) CloseHandle(each);

    // The pen's 64-bit serial number: one value of 64 bits in report 8, found by its usage.
    SharedNode pen(host.Dev("hidraw9"));
    HANDLE p = pen.Open(goodix + "2#hidraw9" + kHid);
    EXPECT_EQ(FirstReportId(p), 8);
    ASSERT_TRUE(HidD_GetPreparsedData(p, &pp));
    HIDP_VALUE_CAPS serial;
    n = 1;
    EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0x0D, 0, 0x5B, &serial, &n, pp),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(serial.ReportID, 8);
    EXPECT_EQ(serial.BitSize, 64);
    EXPECT_EQ(serial.ReportCount, 1);
    HidD_FreePreparsedData(pp);
    CloseHandle(p);
}

// 75 input values in all, but fewer than the open's 64 in each collection: each collection's open
// reads its report ID. An array too small gets the first entries and the count it needs.
TEST_F(HostHid, EachCollectionCountsItsOwnValuesAndATooSmallArrayGetsTheCountItNeeds) {
    host.AddHidraw(host.AddDevice(0x1b96, 0x0c01, 1), 0, 4, FromHex(kNtrigTouchScreen), 0x1b96,
                   0x0c01);
    SharedNode node(host.Dev("hidraw4"));
    const std::string path = "\\\\?\\hid#vid_1b96&pid_0c01&col0";
    const int ids[] = {46, 1, 3, 2};
    const USHORT counts[] = {6, 4, 63, 2};
    for (int c = 0; c < 4; ++c) {
        HANDLE h = node.Open(path + std::to_string(c + 1) + "#hidraw4" + kHid);
        USHORT count = 0;
        EXPECT_EQ(FirstReportId(h, nullptr, &count), ids[c]) << c;
        EXPECT_EQ(count, counts[c]);
        if (c == 2) {
            PHIDP_PREPARSED_DATA pp = nullptr;
            ASSERT_TRUE(HidD_GetPreparsedData(h, &pp));
            HIDP_VALUE_CAPS all[63], two[2];
            USHORT n = 63, few = 2, none = 0;
            EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, all, &n, pp),
                      HIDP_STATUS_SUCCESS);
            EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, two, &few, pp),
                      HIDP_STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(few, 63) << "the count needed";
            EXPECT_EQ(memcmp(two, all, sizeof two), 0) << "the first entries, the first one first";
            EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0, 0, 0, nullptr, &none, pp),
                      HIDP_STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(none, 63);
            HidD_FreePreparsedData(pp);
        }
        CloseHandle(h);
    }
}

TEST_F(HostHid, CancelEndsAPendingTransferAtOnceAndNothingOfItArrives) {
    auto peer = AddDisplay();
    HANDLE h = OpenDisplay(*peer);

    Transfer r;
    ASSERT_FALSE(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov));
    const auto start = Clock::now();
    EXPECT_TRUE(CancelIoEx(h, &r.ov));
    EXPECT_EQ(r.Result(h), std::make_pair(DWORD{0}, DWORD{ERROR_OPERATION_ABORTED}));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    // The report that comes after goes to the next read, not to the cancelled one.
    ASSERT_TRUE(peer->Send({2, 'z'}));
    Transfer next;
    if (!ReadFile(h, next.buf, sizeof next.buf, &next.n, &next.ov)) next.n = next.Result(h).first;
    EXPECT_EQ(Bytes(next.buf, next.buf + next.n), (Bytes{2, 'z'}));
    EXPECT_EQ(r.buf[0], 0) << "the cancelled read's buffer is left alone";

    // Closing the handle ends what is still pending.
    Transfer last;
    ASSERT_FALSE(ReadFile(h, last.buf, sizeof last.buf, &last.n, &last.ov));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(last.Result(nullptr), std::make_pair(DWORD{0}, DWORD{ERROR_OPERATION_ABORTED}));
}

// hidraw's write() waits in the kernel until the device takes the report, whatever O_NONBLOCK
// says; the test's node blocks the same way once its socket is full. Only the node's writer
// thread waits: callers, other ports, cancels and the close go on, and the write that finishes
// late does so from the writer's own copy after every record of its transfer has gone.
TEST_F(HostHid, AReportTheDeviceDoesNotTakeHoldsNoCallerNoOtherPortAndNoClose) {
    auto peer = AddDisplay();
    HANDLE h = OpenDisplay(*peer);
    const auto dev = host.AddDevice(0x04b8, 0x0203, 1);
    host.AddHidraw(dev, 0, 4, kPosDisplay, 0x04b8, 0x0203);
    Peer other(host.Dev("hidraw4"));
    HANDLE o = Open("\\\\?\\hid#vid_04b8&pid_0203#hidraw4" + kHid);
    ASSERT_NE(o, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(other.Accept(kWaitMs));

    // More reports than the node's socket holds: at least one waits in the kernel, one behind it.
    long room = 212992;
    std::ifstream("/proc/sys/net/core/wmem_default") >> room;
    const size_t count = static_cast<size_t>(room) / 8193 + 3;
    const auto report = [](size_t i) {
        Bytes b(8193, static_cast<uint8_t>(i + 1));
        b[0] = 3;
        return b;
    };
    std::vector<Bytes> data;
    std::vector<std::unique_ptr<Transfer>> writes;
    for (size_t i = 0; i < count; ++i) {
        data.push_back(report(i));
        writes.emplace_back(new Transfer);
    }
    auto start = std::async(std::launch::async, [&] {
        for (size_t i = 0; i < count; ++i) {
            if (!WriteFile(h, data[i].data(), 8193, &writes[i]->n, &writes[i]->ov) &&
                GetLastError() != ERROR_IO_PENDING)
                return i;
        }
        return count;
    });
    if (start.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready) {
        peer->Hangup();  // ends the write that holds the caller
        start.wait();
        FAIL() << "a write held its caller";
    }
    ASSERT_EQ(start.get(), count);
    EXPECT_EQ(WaitForSingleObject(writes.back()->ov.hEvent, 1000), WAIT_TIMEOUT);

    Transfer r;
    ASSERT_FALSE(ReadFile(o, r.buf, sizeof r.buf, &r.n, &r.ov));
    ASSERT_TRUE(other.Send({2, 'o', 'k'}));
    EXPECT_EQ(r.Result(o), std::make_pair(DWORD{3}, DWORD{0})) << "another port reads meanwhile";

    // Cancelled: every transfer ends at once, the one whose report is in the kernel too.
    auto began = Clock::now();
    EXPECT_TRUE(CancelIoEx(h, nullptr));
    size_t sent = 0, aborted = 0;
    for (auto& w : writes) {
        const auto res = w->Result(h);
        sent += res == std::make_pair(DWORD{8193}, DWORD{0});
        aborted += res == std::make_pair(DWORD{0}, DWORD{ERROR_OPERATION_ABORTED});
    }
    EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(500));
    EXPECT_EQ(sent + aborted, count);
    EXPECT_GE(aborted, 2u);
    // The callers' buffers change and their records and events go before the late write ends.
    for (Bytes& d : data) std::fill(d.begin(), d.end(), 0xEE);
    writes.clear();
    began = Clock::now();
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(500));

    // The device takes what reached the kernel: every report that completed and the one the
    // writer held, as it was written; then the node closes, the writer done with it.
    size_t arrived = 0;
    for (Bytes got; peer->Receive(&got, kWaitMs) && !got.empty(); ++arrived) {
        ASSERT_EQ(got, report(arrived)) << "report " << arrived;
    }
    EXPECT_EQ(arrived, sent + 1);
    EXPECT_TRUE(peer->AwaitHangup(kWaitMs));
    CloseHandle(o);
}

TEST_F(HostHid, AnUnpluggedDeviceFailsPendingAndLaterTransfersWith1167) {
    auto peer = AddDisplay();
    HANDLE h = OpenDisplay(*peer);

    // What the device sent before it went is still read.
    Transfer r;
    ASSERT_FALSE(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov));
    ASSERT_TRUE(peer->Send({2, 'b', 'y', 'e'}));
    ASSERT_TRUE(peer->Send({2, 'l', 'a', 's', 't'}));
    peer->Hangup();
    EXPECT_EQ(r.Result(h), std::make_pair(DWORD{4}, DWORD{0}));
    EXPECT_TRUE(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov));
    EXPECT_EQ(r.n, 5u);
    EXPECT_EQ(Answer(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov)),
              std::make_pair(FALSE, ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(Answer(WriteFile(h, "\x03z", 2, &r.n, &r.ov)),
              std::make_pair(FALSE, ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(h);

    // Unplugged while a read waits.
    h = OpenDisplay(*peer);
    Transfer waiting;
    ASSERT_FALSE(ReadFile(h, waiting.buf, sizeof waiting.buf, &waiting.n, &waiting.ov));
    peer->Hangup();
    EXPECT_EQ(waiting.Result(h), std::make_pair(DWORD{0}, DWORD{ERROR_DEVICE_NOT_CONNECTED}));
    CloseHandle(h);

    // Then the kernel removes it: no longer listed, and its path opens nothing.
    host.RemoveClassEntry("hidraw", "hidraw3");
    EXPECT_TRUE(Paths(kHidInterfaceClass).empty());
    EXPECT_EQ(Open(kDisplayPath), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(HostHid, APathOpensOnlyTheDeviceItNamesWhileItIsThere) {
    auto peer = AddDisplay();
    const auto fails = [](const std::string& path) {
        HANDLE h = Open(path);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    };
    EXPECT_EQ(fails("\\\\?\\hid#vid_04b8&pid_0202#hidraw3" + kHid), ERROR_FILE_NOT_FOUND)
        << "without the interface of a composite device";
    EXPECT_EQ(fails("\\\\?\\hid#vid_04b8&pid_0202&mi_00#hidraw03" + kHid), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(fails("\\\\?\\hid#vid_04b8&pid_0202&mi_00#hidraw3#{00000000-0000-0000-0000-000000000000}"),
              ERROR_FILE_NOT_FOUND);

    // The node number taken over by another device: the old path is not that device.
    host.RemoveClassEntry("hidraw", "hidraw3");
    const auto other = host.AddDevice(0x0519, 0x0001, 1);
    host.AddHidraw(other, 0, 3, kBootKeyboard, 0x0519, 0x0001);
    EXPECT_EQ(fails(kDisplayPath), ERROR_FILE_NOT_FOUND);
    const std::string now = "\\\\?\\hid#vid_0519&pid_0001#hidraw3" + kHid;
    HANDLE h = Open(now);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    // Listed, but nothing behind the node: a bridge that stopped, a file that is no device, no
    // node at all, and a device node whose device has gone.
    peer->StopListening();
    EXPECT_EQ(fails(now), ERROR_FILE_NOT_FOUND);
    peer.reset();
    host.WriteFile("dev/hidraw3", "not a device");
    EXPECT_EQ(fails(now), ERROR_FILE_NOT_FOUND);
    unlink(host.Dev("hidraw3").c_str());
    EXPECT_EQ(fails(now), ERROR_FILE_NOT_FOUND);
    if (geteuid() == 0) {
        ASSERT_EQ(mknod(host.Dev("hidraw3").c_str(), S_IFCHR | 0600, makedev(245, 250)), 0);
        EXPECT_EQ(fails(now), ERROR_FILE_NOT_FOUND) << "hidraw major, no device";
    }
}

// Root opens anything, so a user who may not open the node is a child that has dropped to
// nobody; without root the test process is such a user already.
TEST_F(HostHid, ANodeTheUserMayNotOpenFailsWithAccessDenied) {
    auto peer = AddDisplay();
    const auto keyboard = host.AddDevice(0x0519, 0x0001, 1);
    host.AddHidraw(keyboard, 0, 4, kBootKeyboard, 0x0519, 0x0001);
    ASSERT_EQ(chmod(host.Dev("hidraw3").c_str(), 0), 0);
    const bool root = geteuid() == 0;
    // A device node too (mode 0000; only root may make one), beside the bridge socket.
    std::vector<std::string> all = {kDisplayPath};
    if (root) {
        ASSERT_EQ(mknod(host.Dev("hidraw4").c_str(), S_IFCHR, makedev(245, 251)), 0);
        all.push_back("\\\\?\\hid#vid_0519&pid_0001#hidraw4" + kHid);
    }

    const auto errors = [&] {
        std::vector<DWORD> out;
        for (const std::string& p : all) {
            HANDLE h = Open(p);
            out.push_back(h == INVALID_HANDLE_VALUE ? GetLastError() : 0);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
        return out;
    };
    std::vector<DWORD> got;
    if (!root) {
        got = errors();
    } else {
        int pipe_[2];
        ASSERT_EQ(pipe(pipe_), 0);
        const passwd* nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipe_[0]);
            if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(2);
            const std::vector<DWORD> e = errors();
            const ssize_t w = write(pipe_[1], e.data(), e.size() * sizeof(DWORD));
            _exit(w == static_cast<ssize_t>(e.size() * sizeof(DWORD)) ? 0 : 3);
        }
        close(pipe_[1]);
        got.resize(all.size());
        const ssize_t n = read(pipe_[0], got.data(), got.size() * sizeof(DWORD));
        close(pipe_[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        ASSERT_EQ(n, static_cast<ssize_t>(got.size() * sizeof(DWORD)));
    }
    EXPECT_EQ(got, std::vector<DWORD>(all.size(), ERROR_ACCESS_DENIED));
}

TEST_F(HostHid, PrintersAreByteStreamsWithoutHidCapabilities) {
    const auto printer = host.AddDevice(0x04b8, 0x0e15, 1);
    host.AddPrinter(printer, 0, 0);
    Peer peer(host.Dev("usb/lp0"));
    const std::string path = "\\\\?\\usb#vid_04b8&pid_0e15#lp0" + kPrinter;
    HANDLE h = Open(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(peer.Accept(kWaitMs));

    Transfer w;
    EXPECT_TRUE(WriteFile(h, "\x1b@receipt", 9, &w.n, &w.ov));
    EXPECT_EQ(w.n, 9u);
    Bytes got;
    ASSERT_TRUE(peer.Receive(&got, kWaitMs));
    EXPECT_EQ(std::string(got.begin(), got.end()), "\x1b@receipt");

    Transfer r;
    ASSERT_FALSE(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov));
    ASSERT_TRUE(peer.Send({0x12}));
    EXPECT_EQ(r.Result(h), std::make_pair(DWORD{1}, DWORD{0}));
    EXPECT_EQ(r.buf[0], 0x12) << "nothing put in front of a printer's bytes";

    PHIDP_PREPARSED_DATA pp = nullptr;
    EXPECT_FALSE(HidD_GetPreparsedData(h, &pp));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    CloseHandle(h);

    // A handle opened for writing only reads nothing.
    h = Open(path, GENERIC_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(peer.Accept(kWaitMs));
    EXPECT_EQ(Answer(ReadFile(h, r.buf, sizeof r.buf, &r.n, &r.ov)), std::make_pair(FALSE, ERROR_ACCESS_DENIED));
    CloseHandle(h);

    // Without FILE_FLAG_OVERLAPPED a call returns when its transfer has ended.
    h = CreateFileA(path.c_str(), kBoth, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(peer.Accept(kWaitMs));
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "ok", 2, &n, nullptr));
    EXPECT_EQ(n, 2u);
    ASSERT_TRUE(peer.Receive(&got, kWaitMs));
    EXPECT_EQ(got, (Bytes{'o', 'k'}));
    ASSERT_TRUE(peer.Send({0x7f}));
    EXPECT_TRUE(ReadFile(h, r.buf, sizeof r.buf, &n, nullptr));
    EXPECT_EQ(n, 1u);
    CloseHandle(h);
}

// Every pending transfer of every port waits in one I/O thread, which costs nothing while nothing
// arrives.
TEST_F(HostHid, PendingReadsShareOneIoThreadThatIdlesWithoutProcessorTime) {
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<HANDLE> handles;
    std::vector<std::unique_ptr<Transfer>> reads;
    // Whatever ends the test, the handles close (cancelling the reads) before the reads' records
    // go away.
    struct CloseAll {
        std::vector<HANDLE>& handles;
        ~CloseAll() {
            for (HANDLE h : handles) CloseHandle(h);
        }
    } closeAll{handles};
    const int threadsBefore = ThreadCount();
    for (unsigned node = 0; node < 4; ++node) {
        const auto dev = host.AddDevice(0x04b8, 0x0400 + node, 1);
        host.AddHidraw(dev, 0, node, kPosDisplay, 0x04b8, 0x0400 + node);
        peers.emplace_back(new Peer(host.Dev("hidraw" + std::to_string(node))));
        handles.push_back(Open(Paths(kHidInterfaceClass).back()));
        ASSERT_NE(handles.back(), INVALID_HANDLE_VALUE);
        ASSERT_TRUE(peers.back()->Accept(kWaitMs));
        for (int k = 0; k < 3; ++k) {
            reads.emplace_back(new Transfer);
            ASSERT_FALSE(ReadFile(handles.back(), reads.back()->buf, 64, &reads.back()->n,
                                  &reads.back()->ov));
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        }
    }
    EXPECT_LE(ThreadCount(), threadsBefore + 1) << "twelve pending reads, at most one new thread";

    const long ioBefore = ThreadTicks("caldrix-io");
    const long processBefore = ProcessTicks();
    ASSERT_GE(ioBefore, 0) << "the I/O thread is named caldrix-io";
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the span measured, not a wait
    const long ioIdle = ThreadTicks("caldrix-io") - ioBefore;
    const long processIdle = ProcessTicks() - processBefore;
    std::cout << "[ idle     ] 2 s with 12 pending reads: I/O thread " << ioIdle
              << " ticks, whole process " << processIdle << " ticks (1 tick = "
              << 1000 / sysconf(_SC_CLK_TCK) << " ms)\n";
    EXPECT_EQ(ioIdle, 0);
    EXPECT_LE(processIdle, 2);

    // The thread still serves every port, in the order the reads were started.
    for (size_t i = 0; i < peers.size(); ++i) {
        for (uint8_t k = 0; k < 3; ++k) ASSERT_TRUE(peers[i]->Send({2, k}));
        for (size_t k = 0; k < 3; ++k) {
            Transfer& r = *reads[i * 3 + k];
            EXPECT_EQ(r.Result(handles[i]), std::make_pair(DWORD{2}, DWORD{0}));
            EXPECT_EQ(r.buf[1], k);
        }
    }
}

}  // namespace
