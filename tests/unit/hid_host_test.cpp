// HID and printer ports through the native methods on the host's providers, over a fake sysfs and
// /dev tree: the port names of a Windows terminal find the same device, reads come without the
// report ID, writes carry it, an unplugged device and a forbidden node answer as on Windows, and
// an all-in-one open starts the monitor program, which sees its event set a second later.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "fake_usb_host.h"
#include "unit_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 5000;
const std::string kDisplayPath =
    "\\\\?\\hid#vid_04b8&pid_0202&mi_00#hidraw3#{4d1e55b2-f16f-11cf-88cb-001111000030}";

// Waits within the bound until `done` holds, looking again every few milliseconds: the receive
// queue has no event a test can wait on.
template <typename F>
bool Eventually(F done, int timeoutMs = kWaitMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class HidOnHost : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        const auto dev = host.AddDevice(0x04b8, 0x0202, 2);
        host.AddHidraw(dev, 0, 3, kPosDisplay, 0x04b8, 0x0202);
        host.AddPrinter(dev, 1, 0);
        display.reset(new Peer(host.Dev("hidraw3")));
        printer.reset(new Peer(host.Dev("usb/lp0")));
    }

    jint Count(jint h) { return CALDRIX(PortGetReadCount)(env, nullptr, h); }
    std::string Read(jint h, jint n) {
        jbyteArray a = jni.NewByteArray(static_cast<size_t>(n));
        const jint got = CALDRIX(PortRead)(env, nullptr, h, a, n);
        if (got < 0) return "<" + std::to_string(got) + ">";
        return std::string(jni.Bytes(a).begin(), jni.Bytes(a).begin() + got);
    }
    jint Write(jint h, const std::string& s) {
        jbyteArray a = jni.NewByteArray(Bytes(s.begin(), s.end()));
        return CALDRIX(PortWrite)(env, nullptr, h, a, static_cast<jint>(s.size()));
    }

    FakeUsbHost host;
    std::unique_ptr<Peer> display, printer;
};

TEST_F(HidOnHost, PortNamesOfAWindowsTerminalOpenTheSameDeviceWithTheSameBytes) {
    struct Case {
        const char* name;
        Bytes written;  // what "abc" becomes on the wire
    };
    const Case cases[] = {
        {"USBHID: VID_04B8+PID_0202", {2, 'a', 'b', 'c'}},  // the report ID in front
        {"/USB/0x04b8/0x0202", {'a', 'b', 'c'}},          // as given
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const jint h = Open(c.name);
        ASSERT_GE(h, 1) << Pending();
        ASSERT_TRUE(display->Accept(kWaitMs));
        ASSERT_TRUE(display->Send({2, 'h', 'i'}));
        ASSERT_TRUE(display->Send({2, '!'}));
        ASSERT_TRUE(Eventually([&] { return Count(h) == 3; }));
        EXPECT_EQ(Read(h, 10), "hi!") << "report IDs stripped";

        // Counted before the write: the node's writer thread ends by itself when it is done.
        const int threads = ThreadCount();
        EXPECT_EQ(Write(h, "abc"), 0) << Pending();
        Bytes got;
        ASSERT_TRUE(display->Receive(&got, kWaitMs));
        EXPECT_EQ(got, c.written);

        const auto start = Clock::now();
        EXPECT_EQ(Close(h), -1);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
        // Its routine has returned when the close does; the kernel lets the thread go a moment later.
        EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads - 1; }, 1000))
            << "the receive thread has gone";
        EXPECT_FALSE(jni.HasPending());
    }
}

TEST_F(HidOnHost, APrinterPortKeepsEveryByte) {
    const jint h = Open("USBPTR: VID_04B8");
    ASSERT_GE(h, 1) << Pending();
    ASSERT_TRUE(printer->Accept(kWaitMs));
    EXPECT_EQ(Write(h, "\x1b@hello"), 0);
    Bytes got;
    ASSERT_TRUE(printer->Receive(&got, kWaitMs));
    EXPECT_EQ(std::string(got.begin(), got.end()), "\x1b@hello");
    ASSERT_TRUE(printer->Send({0x12, 0x34}));
    ASSERT_TRUE(Eventually([&] { return Count(h) == 2; }));
    EXPECT_EQ(Read(h, 2), "\x12\x34");
    EXPECT_EQ(Close(h), -1);
}

TEST_F(HidOnHost, AnUnpluggedDeviceLeavesWhatArrivedThenReadsNothingAndRefusesWrites) {
    const jint h = Open("USBHID: VID_04B8+PID_0202");
    ASSERT_GE(h, 1) << Pending();
    ASSERT_TRUE(display->Accept(kWaitMs));
    ASSERT_TRUE(display->Send({2, 'l', 'a', 's', 't'}));
    display->Hangup();
    ASSERT_TRUE(Eventually([&] { return Count(h) == 4; }));
    EXPECT_EQ(Read(h, 10), "last");
    EXPECT_EQ(Read(h, 10), "");
    EXPECT_EQ(Count(h), 0);
    EXPECT_FALSE(jni.HasPending());
    EXPECT_EQ(Write(h, "x"), -1);
    EXPECT_EQ(Pending(), "Number of bytes written != number of bytes requested");
    jni.ClearPending();
    const auto start = Clock::now();
    EXPECT_EQ(Close(h), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

// The open of a node the user may not open, in a child that has dropped root (root opens
// anything); without root this process is such a user already.
TEST_F(HidOnHost, ANodeTheUserMayNotOpenFailsTheOpenWithItsPath) {
    ASSERT_EQ(chmod(host.Dev("hidraw3").c_str(), 0), 0);
    const auto attempt = [&] {
        const jint h = Open("USBHID: VID_04B8+PID_0202");
        return std::to_string(h) + " " + Pending();
    };
    std::string got;
    if (geteuid() != 0) {
        got = attempt();
    } else {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const passwd* nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[0]);
            if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(2);
            const std::string answer = attempt();
            _exit(write(fds[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()) ? 0 : 3);
        }
        close(fds[1]);
        char buf[512];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(got, "-1 INVALID_HANDLE - " + kDisplayPath);
}

// Real pauses here: the open's 500 ms, and the second between the monitor's start and its signal.
class HostWithRealPauses : public ::testing::Test {
protected:
    void SetUp() override {
        LoadLibraryOnce();
        ResetPortTable();
        const auto dev = host.AddDevice(0x04b8, 0x0202, 1);
        host.AddHidraw(dev, 0, 0, kPosDisplay, 0x04b8, 0x0202);
        peer.reset(new Peer(host.Dev("hidraw0")));
        ASSERT_EQ(mkdir((host.root() + "/Calbrest").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((host.root() + "/Calbrest/Sentivo").c_str(), 0755), 0);
        ASSERT_EQ(symlink(CALDRIX_STANDIN_PATH, (host.root() + "/Calbrest/Sentivo/Sentivo.exe").c_str()), 0);
        log = host.root() + "/monitor.log";
        setenv("SENTIVO_STANDIN_LOG", log.c_str(), 1);  // the stand-in's, not the library's
    }
    void TearDown() override {
        unsetenv("SENTIVO_STANDIN_LOG");
        ResetPortTable();
    }

    std::string Log() const {
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Children of this process that have ended and not been reaped.
    static int Zombies() {
        int zombies = 0;
        DIR* proc = opendir("/proc");
        while (const dirent* e = proc != nullptr ? readdir(proc) : nullptr) {
            std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
            std::string line;
            if (!std::getline(in, line) || line.rfind(')') == std::string::npos) continue;
            std::istringstream rest(line.substr(line.rfind(')') + 2));
            char state = 0;
            long ppid = 0;
            rest >> state >> ppid;
            if (state == 'Z' && ppid == getpid()) ++zombies;
        }
        if (proc != nullptr) closedir(proc);
        return zombies;
    }

    FakeUsbHost host;
    std::unique_ptr<Peer> peer;
    std::string log;
    FakeJni jni;
    JNIEnv* env = jni.env();
};

// An open port that receives nothing costs no processor time, and closes promptly: the open
// pauses 500 ms after starting the receive thread, whose first step is a read, so the close comes
// while that read waits in the device.
TEST_F(HostWithRealPauses, AnIdlePortCostsNothingAndClosesPromptlyWithItsReceiveThreadGone) {
    const jint h = CALDRIX(PortOpen)(env, nullptr, jni.NewString("USBHID: VID_04B8+PID_0202"));
    ASSERT_GE(h, 1) << jni.PendingMessage();
    ASSERT_TRUE(peer->Accept(kWaitMs));
    // An open port with nothing arriving: its receive thread and the I/O thread both wait.
    const long before = ProcessTicks();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the span measured, not a wait
    const long idle = ProcessTicks() - before;
    std::cout << "[ idle     ] an open HID port over 2 s: " << idle << " ticks of processor time\n";
    EXPECT_LE(idle, 2);

    const int threads = ThreadCount();
    // On a thread of its own, so that a close that never returns fails the test instead of
    // stalling it; the device sees its node closed when the close is done.
    std::atomic<jint> closed{0};
    const auto start = Clock::now();
    std::thread close([&] { closed = CALDRIX(PortClose)(env, nullptr, h); });
    const bool ended = peer->AwaitHangup(kWaitMs);
    if (!ended) {
        close.detach();
        FAIL() << "the close did not end";
    }
    close.join();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(closed.load(), -1);
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads - 1; }, 1000))
        << "the receive thread has gone";
}

// The monitor's timing is measured on the library's side by the HID close tests; here the
// program is started and reaped over the host's devices. The event is held here from the outset,
// so that it lasts however late the monitor gets to run (other test processes may set it too:
// events are shared by name); the waits on the monitor are hang guards only.
TEST_F(HostWithRealPauses, AnAllInOneOpenStartsTheMonitorAndSetsItsEventASecondLater) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "SentivoAIO");
    ResetEvent(event);  // whatever an earlier run left
    const auto start = Clock::now();
    const jint h = CALDRIX(PortOpen)(env, nullptr, jni.NewString("USBAIO"));
    ASSERT_GE(h, 1) << jni.PendingMessage();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1500)) << "the launch and the open's pause";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "set before the open returned";
    ASSERT_TRUE(peer->Accept(kWaitMs));
    ASSERT_TRUE(Eventually([&] { return Log().find("set after") != std::string::npos; }, 30000))
        << Log();
    CloseHandle(event);
    EXPECT_EQ(Log().rfind("args Sentivo.exe /AIO\n", 0), 0u) << Log();
    EXPECT_NE(Log().find("\nopened SentivoAIO existed=1\n"), std::string::npos) << Log();
    EXPECT_TRUE(Eventually([] { return Zombies() == 0; }, 30000)) << "the monitor is reaped when it ends";
    EXPECT_EQ(CALDRIX(PortClose)(env, nullptr, h), -1);
}

}  // namespace
