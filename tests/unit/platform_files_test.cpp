// CreateFileA over the providers, the file and comm calls on the handles it makes, the
// simulated serial device behind them, and errno translation.
#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/provider.h"
#include "platform/posix/sim_provider.h"
#include "platform/win32.h"

namespace {

namespace sim = caldrix_sim;
using caldrix_posix::Device;
using caldrix_posix::DeviceProvider;
using caldrix_posix::OpenResult;

constexpr DWORD kBound = 10000;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

uint32_t FlagsWord(const DCB& dcb) {
    uint32_t flags;
    memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 8, sizeof flags);
    return flags;
}

// ---- the simulated serial device behind the file calls -----------------------------------------

class SimFiles : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Install();
        sim::Reset();
    }
    void TearDown() override {
        sim::Reset();
        sim::Uninstall();
    }
    static HANDLE Open(const char* name, DWORD share = 0) {
        return CreateFileA(name, kReadWrite, share, nullptr, OPEN_EXISTING, 0, nullptr);
    }
};

TEST_F(SimFiles, OpenReachesTheScriptedDeviceAndRecordsItsArguments) {
    sim::SerialDevice& dev = sim::AddSerial("COM7");
    SetLastError(ERROR_BUSY);
    HANDLE h = CreateFileA("COM7", kReadWrite, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(dev.open);
    EXPECT_EQ(dev.opens, 1);
    auto calls = sim::CallsOf("CreateFileA");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].device, "COM7");
    EXPECT_EQ(calls[0].args, (std::vector<uint64_t>{0xC0000000u, 0, OPEN_EXISTING, 0xA0000000u}));

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(dev.open);
    ASSERT_EQ(sim::CallsOf("CloseHandle").size(), 1u);
    EXPECT_EQ(sim::CallsOf("CloseHandle")[0].device, "COM7");
}

TEST_F(SimFiles, NamesNobodyOwnsAreNotFound) {
    sim::AddSerial("COM7");
    SetLastError(0);
    EXPECT_EQ(Open("caldrix-no-such-device"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("com7"), INVALID_HANDLE_VALUE) << "device names match exactly";
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    auto calls = sim::CallsOf("CreateFileA");
    ASSERT_EQ(calls.size(), 2u) << "the simulation sees every name";
    EXPECT_EQ(calls[0].device, "caldrix-no-such-device");

    SetLastError(0);
    EXPECT_EQ(Open(nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(Open(""), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(sim::CallsOf("CreateFileA").size(), 2u);
}

TEST_F(SimFiles, ASecondOpenIsRefusedUntilTheFirstIsClosed) {
    sim::SerialDevice& dev = sim::AddSerial("/dev/ttyS4");
    HANDLE h = Open("/dev/ttyS4");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (DWORD share : {0u, FILE_SHARE_READ | FILE_SHARE_WRITE}) {
        SetLastError(0);
        EXPECT_EQ(Open("/dev/ttyS4", share), INVALID_HANDLE_VALUE) << share;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << share;
    }
    EXPECT_EQ(dev.opens, 1);
    ASSERT_TRUE(CloseHandle(h));
    h = Open("/dev/ttyS4");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(dev.opens, 2);
    CloseHandle(h);
}

TEST_F(SimFiles, ReadsDeliverTheScriptOneCallAtATime) {
    sim::SerialDevice& dev = sim::AddSerial("COM1");
    dev.reads = {{1, 2, 3}, {4}, {}, {5}};
    HANDLE h = Open("COM1");
    uint8_t buf[8];
    memset(buf, 0xEE, sizeof buf);
    DWORD got = 99;

    ASSERT_TRUE(ReadFile(h, buf, 2, &got, nullptr));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 2);
    EXPECT_EQ(buf[2], 0xEE) << "nothing past the count asked";
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    ASSERT_EQ(got, 1u) << "the rest of the first chunk";
    EXPECT_EQ(buf[0], 3);
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 4);
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 0u) << "a scripted empty read";
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 1u);
    got = 99;
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 0u) << "script exhausted";

    auto reads = sim::CallsOf("ReadFile");
    ASSERT_EQ(reads.size(), 6u);
    EXPECT_EQ(reads[0].args, std::vector<uint64_t>{2});
    EXPECT_EQ(reads[1].args, std::vector<uint64_t>{8});
    EXPECT_EQ(reads[0].device, "COM1");
    CloseHandle(h);
}

TEST_F(SimFiles, WritesAcceptUpToTheirLimits) {
    sim::SerialDevice& dev = sim::AddSerial("COM1");
    dev.writeLimits = {3, 0};
    HANDLE h = Open("COM1");
    const uint8_t data[5] = {10, 11, 12, 13, 14};
    DWORD done = 99;
    ASSERT_TRUE(WriteFile(h, data, 5, &done, nullptr));
    EXPECT_EQ(done, 3u);
    ASSERT_TRUE(WriteFile(h, data, 5, &done, nullptr));
    EXPECT_EQ(done, 0u);
    ASSERT_TRUE(WriteFile(h, data + 3, 2, &done, nullptr));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(dev.written, (std::vector<uint8_t>{10, 11, 12, 13, 14}));
    auto writes = sim::CallsOf("WriteFile");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2].args, std::vector<uint64_t>{2});
    CloseHandle(h);
}

TEST_F(SimFiles, CommCallsReachTheDeviceAndAreRecordedWithTheirArguments) {
    sim::SerialDevice& dev = sim::AddSerial("COM2");
    HANDLE h = Open("COM2");
    sim::ClearCalls();

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    ASSERT_TRUE(GetCommState(h, &dcb));
    const DCB fresh = sim::DefaultDriverDcb();
    EXPECT_EQ(memcmp(&dcb, &fresh, sizeof dcb), 0) << "a fresh driver's state";
    EXPECT_EQ(FlagsWord(dcb) & 0x80u, 0x80u) << "fTXContinueOnXoff";
    EXPECT_NE(FlagsWord(dcb) & 0xFFFF8000u, 0u) << "a reserved bit";

    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fAbortOnError = 1;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(dev.dcb.BaudRate, 9600u);
    EXPECT_EQ(dev.dcb.ByteSize, 8);
    ASSERT_TRUE(SetupComm(h, 1024, 2048));
    EXPECT_EQ(dev.inQueue, 1024u);
    EXPECT_EQ(dev.outQueue, 2048u);
    COMMTIMEOUTS t = {1, 2, 3, 4, 5000};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    COMMTIMEOUTS back = {};
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(memcmp(&back, &t, sizeof t), 0);
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    ASSERT_TRUE(PurgeComm(h, 0));
    dev.modemStatus = MS_CTS_ON | MS_RING_ON;
    DWORD lines = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &lines));
    EXPECT_EQ(lines, MS_CTS_ON | MS_RING_ON);
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));

    const std::vector<sim::Call>& calls = sim::Calls();
    const std::vector<std::pair<std::string, std::vector<uint64_t>>> expected = {
        {"GetCommState", {}},
        {"SetCommState", {FlagsWord(dcb)}},
        {"SetupComm", {1024, 2048}},
        {"SetCommTimeouts", {1, 2, 3, 4, 5000}},
        {"GetCommTimeouts", {}},
        {"PurgeComm", {15}},
        {"PurgeComm", {0}},
        {"GetCommModemStatus", {}},
        {"EscapeCommFunction", {SETDTR}},
    };
    ASSERT_EQ(calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(calls[i].fn, expected[i].first) << i;
        EXPECT_EQ(calls[i].args, expected[i].second) << calls[i].fn;
        EXPECT_EQ(calls[i].device, "COM2") << calls[i].fn;
    }
    CloseHandle(h);
}

TEST_F(SimFiles, ClearCommErrorReportsWaitingBytesAndClearsTheErrors) {
    sim::SerialDevice& dev = sim::AddSerial("COM3");
    dev.reads = {{1, 2, 3}, {4, 5}};
    dev.commErrors = CE_FRAME | CE_OVERRUN;
    HANDLE h = Open("COM3");
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0xFF, sizeof stat);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, CE_FRAME | CE_OVERRUN);
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_EQ(dev.commErrors, 0u);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u);

    // Both out-parameters are optional.
    dev.commErrors = CE_BREAK;
    EXPECT_TRUE(ClearCommError(h, nullptr, nullptr));
    EXPECT_EQ(dev.commErrors, 0u);
    CloseHandle(h);
}

TEST_F(SimFiles, LinesFollowEscapesAndTheControlFields) {
    sim::SerialDevice& dev = sim::AddSerial("COM4");
    HANDLE h = Open("COM4");
    EXPECT_FALSE(dev.dtr);
    EXPECT_FALSE(dev.rts);
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    EXPECT_TRUE(dev.dtr);
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_TRUE(dev.rts);
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_FALSE(dev.dtr);
    EXPECT_TRUE(dev.rts);
    ASSERT_TRUE(EscapeCommFunction(h, CLRRTS));
    EXPECT_FALSE(dev.rts);
    EXPECT_TRUE(EscapeCommFunction(h, SETBREAK));
    EXPECT_TRUE(EscapeCommFunction(h, CLRBREAK));
    for (DWORD bad : {0u, 7u, 10u, 99u}) {
        SetLastError(0);
        EXPECT_FALSE(EscapeCommFunction(h, bad)) << bad;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << bad;
    }

    DCB dcb = dev.dcb;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(dev.dtr);
    EXPECT_TRUE(dev.rts);
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(dev.dtr);
    EXPECT_FALSE(dev.rts);
    CloseHandle(h);
}

TEST_F(SimFiles, TheDeviceActsAsAWindowsDriverWouldOnLineErrorsAndFlowControl) {
    sim::SerialDevice& dev = sim::AddSerial("COM5");
    dev.reads = {{1, 2}};
    HANDLE h = Open("COM5");
    DCB dcb = dev.dcb;
    dcb.ByteSize = 9;
    SetLastError(0);
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(dev.dcb.ByteSize, 7) << "a refused state changes nothing";
    dcb.ByteSize = 8;
    dcb.fAbortOnError = 1;
    ASSERT_TRUE(SetCommState(h, &dcb));

    // A line error under fAbortOnError stops reads and writes until it is cleared.
    dev.commErrors = CE_FRAME;
    uint8_t buf[4];
    DWORD n = 99;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(dev.written.empty());
    ASSERT_TRUE(ClearCommError(h, nullptr, nullptr));
    ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(n, 2u) << "the refused read took none of the script";

    // Output waits for CTS when CTS flow control is on: the write times out with nothing sent.
    dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(SetCommState(h, &dcb));
    dev.modemStatus = MS_DSR_ON;
    ASSERT_TRUE(WriteFile(h, buf, 2, &n, nullptr));
    EXPECT_EQ(n, 0u);
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.fCtsHold, 1u);
    dev.modemStatus = MS_CTS_ON;
    ASSERT_TRUE(WriteFile(h, buf, 2, &n, nullptr));
    EXPECT_EQ(n, 2u);

    SetLastError(0);
    EXPECT_FALSE(PurgeComm(h, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(h);
}

TEST_F(SimFiles, FailTargetsTheChosenOccurrenceOfTheChosenCall) {
    sim::SerialDevice& dev = sim::AddSerial("COM6");
    dev.reads = {{1, 2}, {3}};
    HANDLE h = Open("COM6");

    sim::Fail("PurgeComm", ERROR_GEN_FAILURE, 3);
    EXPECT_TRUE(PurgeComm(h, 0));
    EXPECT_TRUE(PurgeComm(h, 0));
    SetLastError(0);
    EXPECT_FALSE(PurgeComm(h, 0));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_TRUE(PurgeComm(h, 0)) << "one failure, once";

    sim::Fail("GetCommState", 1234);
    DCB dcb;
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), 1234u);

    // A failing read still hands over its bytes; a failing write takes none.
    sim::Fail("ReadFile", ERROR_OPERATION_ABORTED);
    uint8_t buf[4] = {};
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buf[1], 2);
    sim::Fail("WriteFile", ERROR_SEM_TIMEOUT);
    n = 99;
    EXPECT_FALSE(WriteFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(dev.written.empty());

    // A failing close still closes.
    sim::Fail("CloseHandle", ERROR_INVALID_FUNCTION);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(dev.open);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    h = Open("COM6");
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(SimFiles, FailingCreateFileCoversEveryName) {
    sim::AddSerial("COM8");
    sim::Fail("CreateFileA", ERROR_SHARING_VIOLATION, 2);
    HANDLE first = Open("COM8");
    EXPECT_NE(first, INVALID_HANDLE_VALUE);
    CloseHandle(first);
    SetLastError(0);
    EXPECT_EQ(Open("/dev/null"), INVALID_HANDLE_VALUE) << "a host name";
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(sim::CallsOf("CreateFileA").back().device, "/dev/null");
    sim::Fail("CreateFileA", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("COM8"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sim::FindSerial("COM8")->opens, 1);
}

TEST_F(SimFiles, BadArgumentsGetAnAnswerNotACrash) {
    sim::SerialDevice& dev = sim::AddSerial("COM9");
    dev.reads = {{1}};
    HANDLE h = Open("COM9");
    sim::ClearCalls();
    uint8_t buf[4];
    DWORD n = 5;
    OVERLAPPED ov = {};
    const struct {
        const char* what;
        std::function<BOOL()> call;
        DWORD error;
    } cases[] = {
        {"read into null", [&] { return ReadFile(h, nullptr, 4, &n, nullptr); }, ERROR_NOACCESS},
        {"read without count", [&] { return ReadFile(h, buf, 4, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"overlapped read", [&] { return ReadFile(h, buf, 4, &n, &ov); }, ERROR_INVALID_PARAMETER},
        {"write from null", [&] { return WriteFile(h, nullptr, 4, &n, nullptr); }, ERROR_NOACCESS},
        {"write without count", [&] { return WriteFile(h, buf, 4, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"GetCommState null", [&] { return GetCommState(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"SetCommState null", [&] { return SetCommState(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"GetCommTimeouts null", [&] { return GetCommTimeouts(h, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"SetCommTimeouts null", [&] { return SetCommTimeouts(h, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"GetCommModemStatus null", [&] { return GetCommModemStatus(h, nullptr); },
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    n = 5;
    ReadFile(h, nullptr, 4, &n, nullptr);
    EXPECT_EQ(n, 0u) << "the count is cleared before anything else";
    EXPECT_TRUE(sim::Calls().empty()) << "nothing reached the device";
    EXPECT_EQ(dev.reads.size(), 1u);

    ASSERT_TRUE(ReadFile(h, nullptr, 0, &n, nullptr)) << "a read of nothing needs no buffer";
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

TEST_F(SimFiles, FileCallsOnOtherHandlesAreInvalid) {
    sim::AddSerial("COM1");
    HANDLE h = Open("COM1");
    CloseHandle(h);
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    uint8_t buf[2];
    DWORD n = 7;
    DCB dcb;
    DWORD lines;
    for (HANDLE bad : {h, e, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        SetLastError(0);
        EXPECT_FALSE(ReadFile(bad, buf, 2, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(n, 0u);
        SetLastError(0);
        EXPECT_FALSE(WriteFile(bad, buf, 2, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(GetCommState(bad, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(GetCommModemStatus(bad, &lines));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(EscapeCommFunction(bad, SETDTR));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(PurgeComm(bad, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(e);
}

TEST_F(SimFiles, SleepIsRecordedInsteadOfSlept) {
    auto start = std::chrono::steady_clock::now();
    Sleep(250);
    Sleep(60000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(sim::Sleeps(), (std::vector<DWORD>{250, 60000}));
    auto calls = sim::CallsOf("Sleep");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].device, "");
    EXPECT_EQ(calls[0].args, std::vector<uint64_t>{250});
}

TEST_F(SimFiles, ResetForgetsDevicesButOpenHandlesKeepWorking) {
    sim::SerialDevice& dev = sim::AddSerial("caldrix-sim-1");
    dev.reads = {{7}};
    HANDLE h = Open("caldrix-sim-1");
    sim::Fail("ReadFile", 5);
    sim::Reset();
    EXPECT_EQ(sim::FindSerial("caldrix-sim-1"), nullptr);
    uint8_t b = 0;
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, &b, 1, &n, nullptr)) << "the failure went with the reset";
    EXPECT_EQ(b, 7);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Open("caldrix-sim-1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimFiles, ConcurrentCallsAndACloseLoseAndDuplicateNothing) {
    for (int round = 0; round < 20; ++round) {
        sim::Reset();
        sim::SerialDevice& dev = sim::AddSerial("COM1");
        for (int i = 0; i < 300; ++i) dev.reads.push_back({static_cast<uint8_t>(i), 0});
        HANDLE h = Open("COM1");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::atomic<int> bytes{0}, odd{0};
        std::vector<std::thread> users;
        for (int t = 0; t < 3; ++t) {
            users.emplace_back([&] {
                WaitForSingleObject(go, kBound);
                for (int i = 0; i < 200; ++i) {
                    uint8_t buf[1];
                    DWORD n = 0, lines = 0;
                    SetLastError(0);
                    if (ReadFile(h, buf, 1, &n, nullptr)) {
                        bytes += static_cast<int>(n);
                    } else if (GetLastError() != ERROR_INVALID_HANDLE) {
                        ++odd;
                    }
                    if (!GetCommModemStatus(h, &lines) && GetLastError() != ERROR_INVALID_HANDLE) {
                        ++odd;
                    }
                }
            });
        }
        SetEvent(go);
        EXPECT_TRUE(CloseHandle(h));
        for (auto& th : users) th.join();
        EXPECT_EQ(odd.load(), 0);
        EXPECT_EQ(sim::CallsOf("CloseHandle").size(), 1u);
        int left = 0;
        for (const auto& chunk : dev.reads) left += static_cast<int>(chunk.size());
        EXPECT_EQ(bytes.load() + left, 600) << "every scripted byte once";
        CloseHandle(go);
    }
}

TEST_F(SimFiles, DevicesOnSeveralThreadsStayApart) {
    std::vector<std::thread> threads;
    std::vector<sim::SerialDevice*> devs;
    for (int t = 0; t < 4; ++t) devs.push_back(&sim::AddSerial("COM" + std::to_string(t + 1)));
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            HANDLE h = Open(("COM" + std::to_string(t + 1)).c_str());
            for (int i = 0; i < 100; ++i) {
                uint8_t b = static_cast<uint8_t>(t);
                DWORD n;
                WriteFile(h, &b, 1, &n, nullptr);
                EscapeCommFunction(h, (i & 1) ? SETDTR : CLRDTR);
            }
            CloseHandle(h);
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(devs[t]->written, std::vector<uint8_t>(100, static_cast<uint8_t>(t)));
        EXPECT_TRUE(devs[t]->dtr);
        EXPECT_FALSE(devs[t]->open);
    }
    EXPECT_EQ(sim::CallsOf("WriteFile").size(), 400u);
}

// ---- the provider list -------------------------------------------------------------------------

// A device that says who made it through its reads and supports nothing else.
struct TagDevice : Device {
    explicit TagDevice(uint8_t t) : tag(t) {}
    BOOL Read(void* buf, DWORD n, DWORD* got, DWORD*) override {
        if (n > 0) *static_cast<uint8_t*>(buf) = tag;
        *got = n > 0 ? 1 : 0;
        return TRUE;
    }
    uint8_t tag;
};

struct TestProvider : DeviceProvider {
    TestProvider(const char* n, uint8_t t) : name(n), tag(t) {}
    OpenResult Open(const char* asked, DWORD, DWORD, DWORD, std::unique_ptr<Device>* out,
                    DWORD* error) override {
        ++asks;
        if (name != asked) return OpenResult::NotMine;
        if (answer == OpenResult::Failed) {
            *error = failure;
        } else if (answer == OpenResult::Opened && !giveNothing) {
            out->reset(new TagDevice(tag));
        }
        return answer;
    }
    std::string name;
    uint8_t tag;
    OpenResult answer = OpenResult::Opened;
    DWORD failure = 0;
    bool giveNothing = false;
    int asks = 0;
};

uint8_t TagOf(HANDLE h) {
    uint8_t tag = 0;
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, &tag, 1, &n, nullptr));
    CloseHandle(h);
    return tag;
}

HANDLE OpenName(const char* name) {
    return CreateFileA(name, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(PlatformProviders, AreAskedMostRecentFirstThenTheHost) {
    TestProvider a("caldrix-dev", 'a'), b("caldrix-dev", 'b'), onlyA("caldrix-a-only", 'A');
    caldrix_posix::RegisterDeviceProvider(&onlyA);
    caldrix_posix::RegisterDeviceProvider(&a);
    caldrix_posix::RegisterDeviceProvider(&b);
    EXPECT_EQ(TagOf(OpenName("caldrix-dev")), 'b');
    EXPECT_EQ(a.asks, 0) << "the first to claim a name ends the search";
    EXPECT_EQ(TagOf(OpenName("caldrix-a-only")), 'A') << "names passed on down the list";

    caldrix_posix::RegisterDeviceProvider(&a);  // again: moves to the front, once
    a.asks = 0;
    EXPECT_EQ(TagOf(OpenName("caldrix-dev")), 'a');
    EXPECT_EQ(a.asks, 1);

    caldrix_posix::UnregisterDeviceProvider(&a);
    EXPECT_EQ(TagOf(OpenName("caldrix-dev")), 'b');

    b.answer = OpenResult::Failed;
    b.failure = ERROR_SHARING_VIOLATION;
    SetLastError(0);
    EXPECT_EQ(OpenName("caldrix-dev"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    b.answer = OpenResult::Opened;
    b.giveNothing = true;
    SetLastError(0);
    EXPECT_EQ(OpenName("caldrix-dev"), INVALID_HANDLE_VALUE) << "opened, but no device";
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);

    caldrix_posix::UnregisterDeviceProvider(&b);
    caldrix_posix::UnregisterDeviceProvider(&onlyA);
    caldrix_posix::UnregisterDeviceProvider(&onlyA);  // not registered: nothing happens
    caldrix_posix::RegisterDeviceProvider(nullptr);
    SetLastError(0);
    EXPECT_EQ(OpenName("caldrix-dev"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformProviders, ADeviceRefusesWhatItDoesNotImplement) {
    TestProvider p("caldrix-plain", 'p');
    caldrix_posix::RegisterDeviceProvider(&p);
    HANDLE h = OpenName("caldrix-plain");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    COMMTIMEOUTS t = {};
    DWORD v = 0;
    uint8_t b = 0;
    const std::pair<const char*, BOOL> calls[] = {
        {"WriteFile", WriteFile(h, &b, 1, &v, nullptr)},
        {"GetCommState", GetCommState(h, &dcb)},
        {"SetCommState", SetCommState(h, &dcb)},
        {"SetupComm", SetupComm(h, 1, 1)},
        {"GetCommTimeouts", GetCommTimeouts(h, &t)},
        {"SetCommTimeouts", SetCommTimeouts(h, &t)},
        {"PurgeComm", PurgeComm(h, 0)},
        {"ClearCommError", ClearCommError(h, &v, nullptr)},
        {"GetCommModemStatus", GetCommModemStatus(h, &v)},
        {"EscapeCommFunction", EscapeCommFunction(h, SETDTR)},
    };
    for (const auto& c : calls) EXPECT_FALSE(c.second) << c.first;
    SetLastError(0);
    GetCommModemStatus(h, &v);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    SetLastError(0);
    EscapeCommFunction(h, SETRTS);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(CloseHandle(h));
    caldrix_posix::UnregisterDeviceProvider(&p);
}

// A device whose reads wait until it is closed or let go, and which counts what reaches it.
struct GateDevice : Device {
    std::mutex m;
    std::condition_variable cv;
    bool closing = false, letGo = false;
    int inside = 0, writes = 0, closes = 0;
    HANDLE readEntered, writeEntered;
    int* destroyed;

    GateDevice(HANDLE r, HANDLE w, int* d) : readEntered(r), writeEntered(w), destroyed(d) {}
    ~GateDevice() override { ++*destroyed; }

    BOOL Read(void*, DWORD, DWORD* got, DWORD* error) override {
        std::unique_lock<std::mutex> lock(m);
        ++inside;
        SetEvent(readEntered);
        cv.wait(lock, [this] { return closing || letGo; });
        --inside;
        cv.notify_all();
        *got = 0;
        if (closing) {
            *error = ERROR_OPERATION_ABORTED;
            return FALSE;
        }
        return TRUE;
    }
    BOOL Write(const void*, DWORD n, DWORD* done, DWORD*) override {
        std::lock_guard<std::mutex> lock(m);
        ++writes;
        SetEvent(writeEntered);
        *done = n;
        return TRUE;
    }
    BOOL Close(DWORD*) override {
        std::unique_lock<std::mutex> lock(m);
        ++closes;
        closing = true;
        cv.notify_all();
        cv.wait(lock, [this] { return inside == 0; });  // as a terminal drains its waits
        return TRUE;
    }
    void LetGo() {
        std::lock_guard<std::mutex> lock(m);
        letGo = true;
        cv.notify_all();
    }
};

struct GateProvider : DeviceProvider {
    GateDevice* made = nullptr;
    HANDLE readEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int destroyed = 0;
    ~GateProvider() override {
        CloseHandle(readEntered);
        CloseHandle(writeEntered);
    }
    OpenResult Open(const char* name, DWORD, DWORD, DWORD, std::unique_ptr<Device>* out,
                    DWORD*) override {
        if (strcmp(name, "caldrix-gate") != 0) return OpenResult::NotMine;
        made = new GateDevice(readEntered, writeEntered, &destroyed);
        out->reset(made);
        return OpenResult::Opened;
    }
};

TEST(PlatformProviders, CloseEndsAReadInsideTheDeviceAndRefusesCallsQueuedBehindIt) {
    GateProvider p;
    caldrix_posix::RegisterDeviceProvider(&p);
    HANDLE h = OpenName("caldrix-gate");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    std::pair<BOOL, DWORD> readResult{TRUE, 0}, writeResult{TRUE, 0};
    std::thread reader([&] {
        uint8_t b;
        DWORD n;
        readResult.first = ReadFile(h, &b, 1, &n, nullptr);
        readResult.second = GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(p.readEntered, kBound), WAIT_OBJECT_0);
    std::thread writer([&] {
        uint8_t b = 1;
        DWORD n;
        writeResult.first = WriteFile(h, &b, 1, &n, nullptr);
        writeResult.second = GetLastError();
    });
    EXPECT_TRUE(CloseHandle(h));
    reader.join();
    writer.join();
    EXPECT_FALSE(readResult.first);
    EXPECT_EQ(readResult.second, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(writeResult.first);
    EXPECT_EQ(writeResult.second, ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(p.writeEntered, 0), WAIT_TIMEOUT) << "the write never got in";
    EXPECT_EQ(p.destroyed, 1) << "freed once the last call had left";
    caldrix_posix::UnregisterDeviceProvider(&p);
}

TEST(PlatformProviders, ASynchronousHandleRunsOneCallAtATime) {
    GateProvider p;
    caldrix_posix::RegisterDeviceProvider(&p);
    HANDLE h = OpenName("caldrix-gate");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    GateDevice* dev = p.made;

    std::thread reader([&] {
        uint8_t b;
        DWORD n;
        ReadFile(h, &b, 1, &n, nullptr);
    });
    ASSERT_EQ(WaitForSingleObject(p.readEntered, kBound), WAIT_OBJECT_0);
    std::thread writer([&] {
        uint8_t b = 1;
        DWORD n;
        WriteFile(h, &b, 1, &n, nullptr);
    });
    EXPECT_EQ(WaitForSingleObject(p.writeEntered, 200), WAIT_TIMEOUT)
        << "the write waits behind the read";
    dev->LetGo();
    EXPECT_EQ(WaitForSingleObject(p.writeEntered, kBound), WAIT_OBJECT_0);
    reader.join();
    writer.join();
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(p.destroyed, 1);

    // Opened for overlapped I/O, the handle does not hold the write back.
    ResetEvent(p.readEntered);
    ResetEvent(p.writeEntered);
    h = CreateFileA("caldrix-gate", kReadWrite, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                    nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::thread reader2([&] {
        uint8_t b;
        DWORD n;
        ReadFile(h, &b, 1, &n, nullptr);
    });
    ASSERT_EQ(WaitForSingleObject(p.readEntered, kBound), WAIT_OBJECT_0);
    uint8_t b = 1;
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, &b, 1, &n, nullptr));
    EXPECT_EQ(WaitForSingleObject(p.writeEntered, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(h));
    reader2.join();
    EXPECT_EQ(p.destroyed, 2);
    caldrix_posix::UnregisterDeviceProvider(&p);
}

// ---- errno -------------------------------------------------------------------------------------

TEST(PlatformErrno, MapsToTheCodesWindowsReports) {
    const std::pair<int, DWORD> table[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
        {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED},
        {EBUSY, ERROR_ACCESS_DENIED},
        {EWOULDBLOCK, ERROR_ACCESS_DENIED},
        {EAGAIN, ERROR_ACCESS_DENIED},
        {EISDIR, ERROR_ACCESS_DENIED},
        {EBADF, ERROR_INVALID_HANDLE},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EINVAL, ERROR_INVALID_PARAMETER},
        {ENOTTY, ERROR_NOT_SUPPORTED},
        {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
        {ENOSYS, ERROR_NOT_SUPPORTED},
        {ENXIO, ERROR_DEVICE_NOT_CONNECTED},
        {ENODEV, ERROR_DEVICE_NOT_CONNECTED},
        {ESHUTDOWN, ERROR_DEVICE_NOT_CONNECTED},
        {EIO, ERROR_GEN_FAILURE},
        {EPIPE, ERROR_BROKEN_PIPE},
        {ETIMEDOUT, ERROR_SEM_TIMEOUT},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
        {ECANCELED, ERROR_OPERATION_ABORTED},
        {EINTR, ERROR_OPERATION_ABORTED},
        {EDOM, ERROR_GEN_FAILURE},
        {-1, ERROR_GEN_FAILURE},
    };
    for (const auto& row : table) {
        EXPECT_EQ(caldrix_posix::Win32ErrorFromErrno(row.first), row.second)
            << "errno " << row.first << " (" << strerror(row.first) << ")";
    }
}

}  // namespace
