// Closing HID ports in every state of their receive thread and with calls inside, several ports
// busy at once (run under ThreadSanitizer), thousands of open/close cycles, and the start of the
// sensor monitor.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "hid_support.h"

namespace {

class HidClose : public HidPortTest {
protected:
    jint OpenDevice(int n, sim::HidDevice** device) {
        char ids[32];
        snprintf(ids, sizeof ids, "vid_5151&pid_%04d", n);
        *device = &sim::AddHid(HidPath(ids));
        return OpenHid(std::string("USBHID::vid_5151+pid_") + (ids + 13));
    }
    // Every packet the library owns is back in the pool (no port is open).
    static void ExpectAllPacketsInThePool() {
        EXPECT_EQ(FreePacketPool.count, PoolShare.owned);
        EXPECT_EQ(PoolShare.ports, 0);
    }
    long TimedClose(jint h) {
        std::string log;
        const auto start = Clock::now();
        EXPECT_EQ(CloseHid(h, &log), -1);
        const long took = MsSince(start);
        EXPECT_EQ(log, " USBPortClose: \n intUSBPortClose: Complete \n");
        return took;
    }
};

TEST_F(HidClose, ReturnsPromptlyInEveryStateOfTheThreadAndGivesBackEveryPacket) {
    sim::HidDevice* dev;

    // Waiting for a report, with packets queued and one split by a read.
    jint h = OpenDevice(1, &dev);
    Deliver(*dev, {1, 1, 2, 3});
    Deliver(*dev, {1, 4, 5});
    EXPECT_EQ(Read(h, 2).size(), 2u);
    ASSERT_TRUE(sim::AwaitPendingReads(*dev, 1, 2000));
    EXPECT_LT(TimedClose(h), 200);
    EXPECT_EQ(dev->pendingReads, 0) << "the read was cancelled and finished before the close";
    EXPECT_EQ(dev->openNow, 0);
    ExpectAllPacketsInThePool();

    // In its pause right after a report.
    h = OpenDevice(2, &dev);
    ASSERT_TRUE(sim::AwaitPendingReads(*dev, 1, 2000));
    sim::PushReport(*dev, {1, 9});
    ASSERT_TRUE(AwaitCount(h, 1));
    // The pause is 100 ms: a close that waited it out would take about that long.
    EXPECT_LT(TimedClose(h), 50) << "the close ends the pause";
    ExpectAllPacketsInThePool();

    // Pausing turn after turn with the pool dry, never reading.
    h = OpenDevice(3, &dev);
    ASSERT_TRUE(sim::AwaitPendingReads(*dev, 1, 2000));
    std::vector<RxPacket*> taken;
    while (RxPacket* p = PopPacket(&FreePacketPool)) taken.push_back(p);
    sim::PushReport(*dev, {1, 9});
    ASSERT_TRUE(AwaitCount(h, 1));
    EXPECT_LT(TimedClose(h), 50) << "the close ends the pause";
    for (RxPacket* p : taken) AppendPacket(&FreePacketPool, p);
    ExpectAllPacketsInThePool();

    // Just opened: the thread may not have run yet.
    h = OpenDevice(4, &dev);
    EXPECT_LT(TimedClose(h), 200);
    ExpectAllPacketsInThePool();
}

// A close while a write waits on the device: the close interrupts the write, which fails with its
// message, and both return well within the write's own 1000 ms wait.
TEST_F(HidClose, ACloseEndsAPendingWrite) {
    sim::HidDevice* dev;
    const jint h = OpenDevice(5, &dev);
    dev->writeMode = sim::WriteMode::Never;
    std::atomic<jint> result{0};
    std::string message;
    const auto start = Clock::now();
    std::thread writer([&] {
        FakeJni own;
        result = CALDRIX(PortWrite)(own.env(), nullptr, h, own.NewByteArray(Bytes(20000, 7)),
                                    20000);
        message = own.PendingMessage();
    });
    ASSERT_TRUE(sim::AwaitPendingWrites(*dev, 1, 2000));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Close(h), -1);
    writer.join();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(message, "Number of bytes written != number of bytes requested");
    // Caught while it starts, the write fails at once (its line says 2); caught pending, it
    // ends without a line. Never the time-out's 1.
    const std::string closeLines = " USBPortClose: \n intUSBPortClose: Complete \n";
    EXPECT_TRUE(log == closeLines || log == WriteLine(2, h) + closeLines) << log;
    EXPECT_EQ(dev->writes.size(), 1u) << "the chunks after it were not sent";
    EXPECT_EQ(dev->pendingWrites, 0);
    ExpectAllPacketsInThePool();
}

// A close while a write pauses after a full chunk: the pause ends, and no further chunk goes.
TEST_F(HidClose, ACloseEndsAWritesPause) {
    sim::HidDevice* dev;
    const jint h = OpenDevice(6, &dev);
    std::atomic<jint> result{0};
    std::string message;
    std::thread writer([&] {
        FakeJni own;
        result = CALDRIX(PortWrite)(own.env(), nullptr, h, own.NewByteArray(Bytes(3 * 8192, 7)),
                                    3 * 8192);
        message = own.PendingMessage();
    });
    ASSERT_TRUE(sim::AwaitCalls("WriteFile", 1, 2000));
    const auto start = Clock::now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Close(h), -1);
    writer.join();
    testing::internal::GetCapturedStdout();
    EXPECT_LT(MsSince(start), 200) << "the 250 ms pause did not run out";
    EXPECT_EQ(result, -1);
    EXPECT_EQ(message, "Number of bytes written != number of bytes requested");
    EXPECT_EQ(dev->writes.size(), 1u);
}

// Several ports delivering while Java threads read, count and write them, and purge another
// one. Every byte a port's reader gets is what its device sent, in order.
TEST_F(HidClose, PortsBusyAtOnceKeepTheirBytesInOrder) {
    constexpr int kPorts = 3, kReports = 12;
    constexpr size_t kBytes = kReports * (kReports + 1) / 2;
    sim::HidDevice* devs[kPorts + 1];
    jint handles[kPorts + 1];
    for (int i = 0; i <= kPorts; ++i) handles[i] = OpenDevice(10 + i, &devs[i]);

    std::vector<std::thread> threads;
    std::vector<Bytes> got(kPorts);
    for (int i = 0; i <= kPorts; ++i) {
        threads.emplace_back([&, i] {  // the device sends reports of 1 to 12 bytes
            for (int r = 1; r <= kReports; ++r) {
                Bytes report(static_cast<size_t>(r) + 1, static_cast<uint8_t>(16 * i + r));
                report[0] = 1;
                sim::PushReport(*devs[i], report);
            }
        });
    }
    for (int i = 0; i < kPorts; ++i) {
        threads.emplace_back([&, i] {  // reads, counts and writes until all has come
            FakeJni own;
            jbyteArray array = own.NewByteArray(5);
            const auto start = Clock::now();
            while (got[i].size() < kBytes && MsSince(start) < 10000) {
                EXPECT_GE(CALDRIX(PortGetReadCount)(own.env(), nullptr, handles[i]), 0);
                const jint n = CALDRIX(PortRead)(own.env(), nullptr, handles[i], array, 5);
                const Bytes& bytes = own.Bytes(array);
                got[i].insert(got[i].end(), bytes.begin(), bytes.begin() + std::max(n, 0));
                EXPECT_EQ(CALDRIX(PortWrite)(own.env(), nullptr, handles[i], array, 5), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pacing only
            }
        });
    }
    threads.emplace_back([&] {  // purges, counts and reads the last port meanwhile
        FakeJni own;
        jbyteArray array = own.NewByteArray(3);
        for (int k = 0; k < 200; ++k) {
            EXPECT_EQ(CALDRIX(PortPurge)(own.env(), nullptr, handles[kPorts], 0, 1), 0);
            EXPECT_GE(CALDRIX(PortGetReadCount)(own.env(), nullptr, handles[kPorts]), 0);
            EXPECT_GE(CALDRIX(PortRead)(own.env(), nullptr, handles[kPorts], array, 3), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kPorts; ++i) {
        Bytes want;
        for (int r = 1; r <= kReports; ++r) want.insert(want.end(), r, static_cast<uint8_t>(16 * i + r));
        EXPECT_EQ(got[i], want) << "port " << i;
        for (const Bytes& w : devs[i]->writes) EXPECT_EQ(w.size(), 6u);
    }
}

// Thousands of opens and closes with reports in flight: the packets stay at 20 per open port,
// and threads, handles and device handles do not pile up.
TEST_F(HidClose, OpenCloseCyclesLeaveNothingBehind) {
    auto threadsNow = [] {
        struct stat st;
        return stat("/proc/self/task", &st) == 0 ? static_cast<long>(st.st_nlink) : -1L;
    };
    // Counted before any receive thread of this test exists: one that has just ended may stay in
    // the kernel's list a while on a busy machine.
    const long threads = threadsNow();
    sim::HidDevice *a, *b;
    OpenDevice(30, &a);
    OpenDevice(31, &b);
    CloseHid(1);
    CloseHid(2);
    const int32_t owned = PoolShare.owned;
    ASSERT_GE(owned, 2 * RX_PACKET_COUNT);

    testing::internal::CaptureStdout();
    for (int cycle = 0; cycle < 2000; ++cycle) {
        const jint h1 = Open("USBHID::vid_5151+pid_0030");
        const jint h2 = Open("USBHID::vid_5151+pid_0031");
        ASSERT_EQ(h1, 1);
        ASSERT_EQ(h2, 2);
        sim::PushReport(*a, {1, 1, 2});
        sim::PushReport(*b, {1, 3});
        if (cycle % 2 == 0) Read(h1, 1);  // now and then a packet split at the close
        const USBDev& d = PortTable[h1].dev;
        const HANDLE kept[] = {d.hDevice,    d.hThread, d.hReadEvent,          d.hStopEvent,
                               d.hWriteEvent, d.hLock,  d.rxQueue.hQueueLock};
        ASSERT_EQ(Close(h1), -1);
        ASSERT_EQ(Close(h2), -1);
        for (HANDLE h : kept) {
            ASSERT_FALSE(CloseHandle(h)) << "cycle " << cycle << ": a handle left open";
        }
        ASSERT_EQ(PoolShare.owned, owned) << "cycle " << cycle;
        ASSERT_EQ(FreePacketPool.count, owned) << "cycle " << cycle;
        sim::ClearCalls();
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(a->openNow + b->openNow, 0);
    EXPECT_EQ(a->opens, 2001);
    // A thread's handle is signalled just before the thread itself is gone.
    const auto start = Clock::now();
    while (threadsNow() > threads && MsSince(start) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LE(threadsNow(), threads) << "every receive thread has ended";
}

// ---- the sensor monitor ------------------------------------------------------------------------

TEST_F(HidClose, SensorPortsStartTheMonitorAndOthersDoNot) {
    sim::AddHid(HidPath("vid_6161&pid_0001", 1));
    sim::AddHid(HidPath("vid_6161&pid_0001", 2));
    sim::AddHid("\\\\?\\usb#vid_6161&pid_0001#lp0#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
                caldrix_posix::kPrinterInterfaceClass);
    // No program at the path: the opens succeed all the same.
    for (const char* name : {"USBHID::vid_6161+pid_0001", "USBPTR::vid_6161+pid_0001",
                             "/USB/0x6161/0x0001"}) {
        EXPECT_GT(OpenHid(name), 0) << name;
    }
    EXPECT_TRUE(sim::ProcessStarts().empty());
    EXPECT_EQ(sim::Sleeps(), (std::vector<DWORD>{500, 500, 500}));

    sim::ClearCalls();
    for (const char* name : {"USBAIO::vid_6161+pid_0001", "USBAIO::vid_6161+pid_0001",
                             "USBLCD1:vid_6161+pid_0001", "USBLCD2:vid_6161+pid_0001"}) {
        EXPECT_GT(OpenHid(name), 0) << name;
    }
    const auto starts = sim::ProcessStarts();
    const char* const lines[] = {"Sentivo.exe /AIO", "Sentivo.exe /AIO", "Sentivo.exe /LCD1",
                                 "Sentivo.exe /LCD2"};
    ASSERT_EQ(starts.size(), 4u);
    for (size_t i = 0; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i].application, "\\Calbrest\\Sentivo\\Sentivo.exe");
        EXPECT_EQ(starts[i].path, "/Calbrest/Sentivo/Sentivo.exe") << "under the root only";
        EXPECT_EQ(starts[i].commandLine, lines[i]);
    }
    EXPECT_EQ(sim::Sleeps(), (std::vector<DWORD>{1000, 500, 1000, 500, 1000, 500, 1000, 500}));
}

// Notes when the library starts a program, just before it does; the start goes on.
struct StartWatch : caldrix_posix::DeviceProvider, caldrix_posix::ProviderHooks {
    Clock::time_point at;
    caldrix_posix::OpenResult Open(const char*, DWORD, DWORD, DWORD,
                                   std::unique_ptr<caldrix_posix::Device>*, DWORD*) override {
        return caldrix_posix::OpenResult::NotMine;
    }
    bool ProcessStart(const char*, const char*, const char*, DWORD*) override {
        at = Clock::now();
        return false;
    }
};

// The library's pauses, slept for real, with the moment each ended.
std::mutex g_pausesLock;
std::vector<std::pair<DWORD, Clock::time_point>> g_pauses;
void SleepAndNote(DWORD ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    std::lock_guard<std::mutex> guard(g_pausesLock);
    g_pauses.emplace_back(ms, Clock::now());
}

// The stand-in monitor, a program of its own under a host root of the test's, is given its
// command line and sees its event set. The second before the signal is the library's, measured
// on its side: from the start of the program to the end of the pause after which it sets the
// event. Events are shared by name across the machine and other test processes may set this one,
// so it is held here from the outset (it lasts however late the monitor gets to run) and only
// looked at once the open is over; the wait on the monitor is a hang guard only.
TEST_F(HidClose, TheMonitorSeesItsEventSetAboutASecondLater) {
    const std::string root = LayOutMonitorHost("caldrix-monitor");
    ASSERT_FALSE(root.empty());
    const std::string log = root + "/standin.log";
    g_pauses.clear();
    caldrix_posix::SetSleepHook(SleepAndNote);
    StartWatch watch;
    caldrix_posix::RegisterDeviceProvider(&watch, &watch);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "SentivoLCD1");
    ResetEvent(event);  // whatever an earlier run left

    sim::AddHid(HidPath("vid_6161&pid_0002"));
    EXPECT_EQ(OpenHid("USBLCD1:vid_6161+pid_0002"), 1);
    caldrix_posix::UnregisterDeviceProvider(&watch);
    caldrix_posix::SetSleepHook(nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "set before the open returned";
    std::lock_guard<std::mutex> guard(g_pausesLock);
    ASSERT_EQ(g_pauses.size(), 2u);
    EXPECT_EQ(g_pauses[0].first, 1000u) << "the monitor's second, then the open's half second";
    EXPECT_EQ(g_pauses[1].first, 500u);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(g_pauses[0].second - watch.at)
            .count());
    std::cout << "[ monitor  ] signalled " << ms << " ms after the program's start\n";
    EXPECT_GE(ms, 1000);
    EXPECT_LE(ms, 2000);

    std::string record;
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (record.find("set after") == std::string::npos &&
           record.find("not set") == std::string::npos && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a file has no event
        std::ifstream in(log);
        std::stringstream all;
        all << in.rdbuf();
        record = all.str();
    }
    CloseHandle(event);
    caldrix_posix::SetHostRoot("/");
    unsetenv("SENTIVO_STANDIN_LOG");
    EXPECT_EQ(record.rfind("args Sentivo.exe /LCD1\n", 0), 0u) << record;
    EXPECT_NE(record.find("\nopened SentivoLCD1 existed=1\nset after "), std::string::npos)
        << record;
    unlink(log.c_str());
    unlink((root + "/Calbrest/Sentivo/Sentivo.exe").c_str());
    ASSERT_EQ(system(("rm -r " + root).c_str()), 0);
}

}  // namespace
