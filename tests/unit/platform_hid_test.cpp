// The POSIX subset's HID side against simulated devices: SetupDi* enumeration as Windows answers
// it, overlapped reports and writes on a device handle, capabilities through the HID class
// library, hid.dll by name, and process starts under the host root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/provider.h"
#include "sim/sim_hid.h"
#include "unit_support.h"

namespace {

using caldrix_posix::kHidInterfaceClass;
using caldrix_posix::kPrinterInterfaceClass;
using Bytes = std::vector<uint8_t>;

constexpr DWORD kAllInterfaces = DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE;

class PlatformHid : public SimulatedPlatformTest {
protected:
    // The device paths SetupAPI lists for `cls`, in order.
    static std::vector<std::string> Paths(const GUID& cls) {
        std::vector<std::string> out;
        HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, kAllInterfaces);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data); ++i) {
            DWORD need = 0;
            EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr));
            EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
            std::vector<char> room(need);
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(room.data());
            detail->cbSize = sizeof *detail;
            EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, nullptr));
            out.push_back(detail->DevicePath);
        }
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return out;
    }
    static HANDLE OpenOverlapped(const std::string& path) {
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
};

TEST_F(PlatformHid, InterfacesAreListedByClassInOrderWithWindowsRecordChecks) {
    sim::AddHid("\\\\?\\hid#vid_04b8&pid_0202#1#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    sim::AddHid("\\\\?\\usb#vid_04b8&pid_0e15#lp0#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
                kPrinterInterfaceClass);
    sim::AddHid("\\\\?\\hid#vid_0519&pid_0001#2#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    EXPECT_EQ(Paths(kHidInterfaceClass),
              (std::vector<std::string>{
                  "\\\\?\\hid#vid_04b8&pid_0202#1#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  "\\\\?\\hid#vid_0519&pid_0001#2#{4d1e55b2-f16f-11cf-88cb-001111000030}"}));
    EXPECT_EQ(Paths(kPrinterInterfaceClass).size(), 1u);

    HDEVINFO set = SetupDiGetClassDevsA(&kHidInterfaceClass, nullptr, nullptr, kAllInterfaces);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data - 4;  // the other bitness's size
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kHidInterfaceClass, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kHidInterfaceClass, 0, &data));
    char room[256];
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(room);
    detail->cbSize = 5;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof room, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof *detail;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 20, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << "too small for the path";
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set)) << "destroyed sets are refused";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PlatformHid, ReportsAndWritesMoveThroughOverlappedTransfers) {
    sim::HidDevice& dev = sim::AddHid("\\\\?\\hid#vid_1234&pid_5678#1#{x}");
    HANDLE h = OpenOverlapped("\\\\?\\HID#VID_1234&PID_5678#1#{X}");  // any letter case
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t buf[8] = {};
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(sim::AwaitPendingReads(dev, 1, 5000));
    sim::PushReport(dev, {5, 1, 2, 3});
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{5, 1, 2, 3}));

    // A report that arrived first is read at once.
    sim::PushReport(dev, {5, 9});
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(n, 2u);

    EXPECT_TRUE(WriteFile(h, "\x05""abc", 4, &n, &ov));
    EXPECT_EQ(dev.writes.back(), (Bytes{5, 'a', 'b', 'c'}));
    dev.writeMode = sim::WriteMode::Never;
    EXPECT_FALSE(WriteFile(h, "xy", 2, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(CancelIoEx(h, &ov));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    dev.writeMode = sim::WriteMode::Fail;
    dev.writeError = ERROR_INVALID_PARAMETER;
    EXPECT_FALSE(WriteFile(h, "xy", 2, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "as Wine's devices refuse output";

    // Unplugged: the pending read and later ones fail as Windows fails them.
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    ASSERT_TRUE(sim::AwaitPendingReads(dev, 1, 5000));
    sim::Unplug(dev);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(dev.openNow, 0);
    CloseHandle(ov.hEvent);
}

TEST_F(PlatformHid, CapabilitiesComeThroughHidDllByName) {
    sim::HidDevice& dev = sim::AddHid("hiddev");
    sim::AddInputValue(dev, 7);
    HMODULE hid = LoadLibraryA("HID.DLL");
    ASSERT_NE(hid, nullptr);
    auto getCaps = reinterpret_cast<decltype(&HidP_GetSpecificValueCaps)>(
        GetProcAddress(hid, "HidP_GetSpecificValueCaps"));
    ASSERT_NE(getCaps, nullptr);
    EXPECT_EQ(GetProcAddress(hid, "HidD_Nothing"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

    HANDLE h = OpenOverlapped("hiddev");
    PHIDP_PREPARSED_DATA pp = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &pp));
    HIDP_VALUE_CAPS caps[4];
    USHORT n = 4;
    EXPECT_EQ(getCaps(HidP_Input, 0, 0, 0, caps, &n, pp), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(caps[0].ReportID, 7);
    n = 4;
    EXPECT_EQ(getCaps(HidP_Output, 0, 0, 0, caps, &n, pp), HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(HidD_FreePreparsedData(pp));
    EXPECT_EQ(getCaps(HidP_Input, 0, 0, 0, caps, &n, nullptr), HIDP_STATUS_INVALID_PREPARSED_DATA);

    sim::Fail("HidD_GetPreparsedData", ERROR_GEN_FAILURE);
    EXPECT_FALSE(HidD_GetPreparsedData(h, &pp));
    EXPECT_EQ(pp, nullptr);
    CloseHandle(h);

    sim::SetHidLibraryMissing(true);
    EXPECT_EQ(LoadLibraryA("hid.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(PlatformHid, AProgramStartsUnderTheHostRootWithItsArgumentsAndIsReaped) {
    char dir[] = "/tmp/caldrix-root-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string root = dir;
    ASSERT_EQ(mkdir((root + "/Calbrest").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/Calbrest/Sentivo").c_str(), 0700), 0);
    const std::string program = root + "/Calbrest/Sentivo/Sentivo.exe";
    const std::string record = root + "/args";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > " << record << "\n";
    }
    ASSERT_EQ(chmod(program.c_str(), 0700), 0);
    caldrix_posix::SetHostRoot(root);

    char line[] = "Sentivo.exe /AIO \"two words\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA("\\Calbrest\\Sentivo\\Sentivo.exe", line, nullptr, nullptr, TRUE, 0,
                               nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 5000), WAIT_OBJECT_0) << "ended, and reaped";
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    std::ifstream in(record);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), program + "|/AIO|two words|") << "argv[0] is the program itself";
    ASSERT_EQ(sim::ProcessStarts().size(), 1u);
    EXPECT_EQ(sim::ProcessStarts()[0].path, program);
    EXPECT_EQ(sim::ProcessStarts()[0].commandLine, "Sentivo.exe /AIO \"two words\"");

    // With no file there, nothing starts.
    unlink(program.c_str());
    char again[] = "Sentivo.exe /LCD1";
    EXPECT_FALSE(CreateProcessA("\\Calbrest\\Sentivo\\Sentivo.exe", again, nullptr, nullptr, TRUE,
                                0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    caldrix_posix::SetHostRoot("/");
    unlink(record.c_str());
    rmdir((root + "/Calbrest/Sentivo").c_str());
    rmdir((root + "/Calbrest").c_str());
    rmdir(root.c_str());
}

}  // namespace
