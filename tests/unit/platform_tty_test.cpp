// The terminal provider over real pseudo-terminals: the test holds the master side and a slave
// descriptor of its own, through which it checks what the device did to the terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/posix/provider.h"
#include "platform/posix/devices/tty.h"
#include "platform/win32.h"
#include "unit_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using caldrix_posix::ComNameToTtyPath;
using caldrix_posix::Device;
using caldrix_posix::OpenResult;
using caldrix_posix::TtyProvider;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// The kernel's termios2, to see the exact rate a non-standard speed was set to.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr tcflag_t kBother = 0010000;

// A pseudo-terminal pair. The slave path is what the provider opens.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name, sizeof name) != 0)
            return;
        path = name;
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    bool ok() const { return master >= 0 && slave >= 0; }

    // Sends bytes to the device and, unless a reader may take them first, waits (at most 5 s)
    // until they are in the slave's input queue: a kernel worker hands them over, not at once.
    void Send(const std::string& bytes, bool await = true) {
        int queued = 0;
        ASSERT_EQ(ioctl(slave, FIONREAD, &queued), 0);
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        const auto until = Clock::now() + std::chrono::seconds(5);
        for (int now = 0; await && now < queued + static_cast<int>(bytes.size());) {
            ASSERT_LT(Clock::now(), until) << "the bytes never arrived";
            struct pollfd p = {slave, POLLIN, 0};
            poll(&p, 1, 10);
            ASSERT_EQ(ioctl(slave, FIONREAD, &now), 0);
        }
    }
    // What the device sent, up to `n` bytes, waiting at most 5 s for them.
    std::string Received(size_t n) {
        std::string got;
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (got.size() < n && Clock::now() < until) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[256];
            const ssize_t r = read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    struct termios Attr() const {
        struct termios t;
        memset(&t, 0, sizeof t);
        tcgetattr(slave, &t);
        return t;
    }

    int master = -1;
    int slave = -1;
    std::string path;
};

// Waits (at most 5 s) until thread `tid` of this process sits in poll(): the moment a read or
// write is known to be blocked rather than about to start.
bool BlockedInPoll(pid_t tid) {
    const std::string file = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until) {
        std::ifstream in(file);
        long nr = -1;
        if (in >> nr) {
#ifdef SYS_poll
            if (nr == SYS_poll) return true;
#endif
            if (nr == SYS_ppoll) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Runs `call` on a thread of its own and answers once that thread is blocked in poll().
template <typename F>
auto StartBlocked(F call) {
    std::promise<pid_t> tid;
    std::future<pid_t> started = tid.get_future();
    auto result = std::async(std::launch::async, [call, tid = std::move(tid)]() mutable {
        tid.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
        return call();
    });
    EXPECT_TRUE(BlockedInPoll(started.get())) << "the call never blocked";
    return result;
}

HANDLE OpenPort(const std::string& path, DWORD share = 0) {
    return CreateFileA(path.c_str(), kReadWrite, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The last error an open leaves, closing what opened: ERROR_SUCCESS only for a handle.
DWORD OpenError(const std::string& path, DWORD share = 0) {
    SetLastError(0xFFFF);
    HANDLE h = OpenPort(path, share);
    const DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return error;
}

// Opens `path` through the terminal provider in a child process, as `user` if given, and
// answers the child's exit status: the open's error code, or 0 for opened.
int OpenErrorInChild(const std::string& path, const struct passwd* user = nullptr) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (user != nullptr && (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)) _exit(100);
        std::unique_ptr<Device> dev;
        DWORD error = 0;
        const OpenResult r = TtyProvider().Open(path.c_str(), kReadWrite, 0, 0, &dev, &error);
        _exit(r == OpenResult::Failed   ? static_cast<int>(error)
              : r == OpenResult::Opened ? 0
                                        : 101);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::vector<uint8_t> Raw(const DCB& d) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&d);
    return std::vector<uint8_t>(p, p + sizeof d);
}

// ---- names and opening ------------------------------------------------------------------------

TEST(TtyNames, ComNamesMapToTheNthSerialPort) {
    const std::pair<const char*, const char*> good[] = {
        {"COM1", "/dev/ttyS0"},         {"COM2:", "/dev/ttyS1"},
        {"com3", "/dev/ttyS2"},         {"cOm4:", "/dev/ttyS3"},
        {"\\\\.\\COM10", "/dev/ttyS9"}, {"\\\\.\\com1", "/dev/ttyS0"},
        {"COM256", "/dev/ttyS255"},     {"COM999999999", "/dev/ttyS999999998"},
    };
    const char* bad[] = {"COM",     "COM0",          "COM01",        "COMx",
                         "COM1x",   "COM1::",        "COM-1",        " COM1",
                         "COM1 ",   "LPT1",          "\\\\.\\COM1:", "\\\\?\\COM1",
                         "\\\\.\\", "COM1234567890", "/dev/ttyS0",   ""};
    for (const auto& c : good) {
        std::string path;
        EXPECT_TRUE(ComNameToTtyPath(c.first, &path)) << c.first;
        EXPECT_EQ(path, c.second) << c.first;
    }
    for (const char* name : bad) {
        std::string path = "untouched";
        EXPECT_FALSE(ComNameToTtyPath(name, &path)) << name;
        EXPECT_EQ(path, "untouched") << name;
    }
    std::string path;
    EXPECT_FALSE(ComNameToTtyPath(nullptr, &path));
}

TEST(TtyNames, CreateFileAnswersAsWindowsDoes) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    char dir[] = "/tmp/caldrix-tty-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string plain = std::string(dir) + "/plain", link = std::string(dir) + "/port";
    { std::ofstream(plain) << "x"; }
    ASSERT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);
    const std::pair<std::string, DWORD> cases[] = {
        {link, ERROR_SUCCESS},          // a terminal reached through a link, as socat makes them
        {plain, ERROR_FILE_NOT_FOUND},  // outside /dev only terminals are ports
        {"/dev/caldrix-no-such-port", ERROR_FILE_NOT_FOUND},
        {"/dev/no-such-dir/ttyS0", ERROR_FILE_NOT_FOUND},
        {"/dev/null/ttyS0", ERROR_PATH_NOT_FOUND},
        {"/dev/null", ERROR_NOT_SUPPORTED},  // a device, but no terminal
        {"COM4000", ERROR_FILE_NOT_FOUND},   // /dev/ttyS3999: no such port
        {"/tmp", ERROR_FILE_NOT_FOUND},      // nobody's name
        {"NOTAPORT", ERROR_FILE_NOT_FOUND},
        {"/dev/" + std::string(5000, 'a'), ERROR_FILENAME_EXCED_RANGE},
        {"COM" + std::string(5000, '1'), ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) EXPECT_EQ(OpenError(c.first), c.second) << c.first.substr(0, 40);
    unlink(link.c_str());
    unlink(plain.c_str());
    rmdir(dir);
}

TEST(TtyNames, PermissionDeniedIsAccessDenied) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    const struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
    ASSERT_EQ(chmod(pty.path.c_str(), 0600), 0);
    EXPECT_EQ(OpenErrorInChild(pty.path, nobody), static_cast<int>(ERROR_ACCESS_DENIED));
}

TEST(TtyOpen, AnExclusiveOpenShutsOutEveryOtherUntilItCloses) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    HANDLE first = OpenPort(pty.path);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenError(pty.path), ERROR_ACCESS_DENIED) << "exclusive after exclusive";
    EXPECT_EQ(OpenError(pty.path, kShared), ERROR_ACCESS_DENIED) << "shared after exclusive";
    // Another process keeping the same discipline is refused too, root or not.
    EXPECT_EQ(OpenErrorInChild(pty.path), static_cast<int>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(first));

    HANDLE a = OpenPort(pty.path, kShared), b = OpenPort(pty.path, kShared);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE) << "shared opens coexist";
    EXPECT_EQ(OpenError(pty.path), ERROR_ACCESS_DENIED) << "exclusive after shared";
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_EQ(OpenError(pty.path), ERROR_SUCCESS) << "the closes released the port";
}

// ---- line settings ----------------------------------------------------------------------------

class TtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        h = OpenPort(pty.path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    DCB State() {
        DCB d;
        memset(&d, 0xA5, sizeof d);
        EXPECT_TRUE(GetCommState(h, &d));
        return d;
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
    }
    // ReadFile of up to n bytes: its result, the bytes and the last error it left.
    using ReadResult = std::tuple<BOOL, std::string, DWORD>;
    static ReadResult ReadNow(HANDLE port, DWORD n) {
        std::vector<char> buf(n + 1, '\x7f');
        DWORD got = 12345;
        SetLastError(0);
        const BOOL r = ReadFile(port, buf.data(), n, &got, nullptr);
        EXPECT_LE(got, n);
        EXPECT_EQ(buf[n], '\x7f') << "written past the count";
        return ReadResult(r, std::string(buf.data(), std::min(got, n)), GetLastError());
    }
    // The same on a thread of its own; if `blocked`, answered once the read waits in poll().
    std::future<ReadResult> StartRead(DWORD n, bool blocked = false) {
        auto read = [port = h, n] { return ReadNow(port, n); };
        return blocked ? StartBlocked(read) : std::async(std::launch::async, read);
    }
    // A call's result, waiting at most 10 s: one still blocked then is ended by closing the port.
    template <typename T>
    T Finish(std::future<T> call) {
        if (call.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the call did not end";
            CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
        }
        return call.get();
    }
    ReadResult Read(DWORD n) { return Finish(StartRead(n)); }
    // WriteFile of the bytes, bounded likewise: its result, the count written and the last error.
    using WriteResult = std::tuple<BOOL, DWORD, DWORD>;
    WriteResult Write(const std::string& bytes) {
        return Finish(std::async(std::launch::async, [port = h, &bytes] {
            DWORD written = 12345;
            SetLastError(0);
            const BOOL r =
                WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            return WriteResult(r, written, GetLastError());
        }));
    }
    Pty pty;
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(TtyPort, AFreshOpenReportsTheTerminalAndDriverDefaultsAndLeavesItRaw) {
    CloseHandle(h);
    struct termios t = pty.Attr();
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
    h = OpenPort(pty.path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // The terminal's rate and stop bits, 8N1 as the open made it, and a Windows driver's defaults.
    DCB want = {};
    want.DCBlength = sizeof(DCB), want.BaudRate = 4800, want.StopBits = TWOSTOPBITS;
    want.ByteSize = 8, want.Parity = NOPARITY, want.fBinary = 1, want.fTXContinueOnXoff = 1;
    want.fDtrControl = DTR_CONTROL_ENABLE, want.fRtsControl = RTS_CONTROL_ENABLE;
    want.XonLim = 2048, want.XoffLim = 512, want.XonChar = 0x11, want.XoffChar = 0x13;
    EXPECT_EQ(Raw(State()), Raw(want));

    // Raw: bytes pass untouched and a read waits for one byte.
    t = pty.Attr();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | CSIZE), static_cast<tcflag_t>(CLOCAL | CREAD | CS8));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

// Every framing the DCB can ask for, as termios flags. A pseudo-terminal always reads back as
// 8 bits without parity, so the data bits and parity enable are checked here, off the terminal.
TEST(TtyLineFlags, EveryFramingMapsToItsTermiosFlags) {
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const std::pair<BYTE, tcflag_t> parities[] = {{NOPARITY, 0},
                                                  {ODDPARITY, PARENB | PARODD},
                                                  {EVENPARITY, PARENB},
                                                  {MARKPARITY, PARENB | PARODD | CMSPAR},
                                                  {SPACEPARITY, PARENB | CMSPAR}};
    const tcflag_t keptC = CREAD | CLOCAL | HUPCL | B9600;
    const tcflag_t keptI = IGNBRK | IGNPAR;
    for (BYTE size = 5; size <= 8; ++size) {
        for (const auto& p : parities) {
            for (BYTE stop : {ONESTOPBIT, TWOSTOPBITS}) {
                DCB d = {};
                d.ByteSize = size;
                d.Parity = p.first;
                d.StopBits = stop;
                // Start from every bit the mapping owns set, to see it clear the unwanted ones.
                tcflag_t c = keptC | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
                tcflag_t i = keptI | IXON | IXOFF | IXANY;
                caldrix_posix::LineFlagsFromDcb(d, &c, &i);
                EXPECT_EQ(c,
                          keptC | sizes[size - 5] | p.second | (stop == TWOSTOPBITS ? CSTOPB : 0))
                    << int(size) << " bits, parity " << int(p.first) << ", stop " << int(stop);
                EXPECT_EQ(i, keptI);
            }
        }
    }
}

TEST_F(TtyPort, LineSettingsReachTheTerminalAndLeaveItRaw) {
    DCB d = State();
    d.BaudRate = 19200, d.ByteSize = 7, d.Parity = MARKPARITY, d.StopBits = TWOSTOPBITS;
    d.fOutxCtsFlow = d.fOutX = d.fInX = 1, d.XonChar = 0x01, d.XoffChar = 0x02;
    struct termios t = pty.Attr();  // someone cooks the terminal behind the port's back
    t.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
    ASSERT_TRUE(SetCommState(h, &d)) << GetLastError();
    t = pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    const tcflag_t lineFlags = PARODD | CMSPAR | CSTOPB | CRTSCTS;
    EXPECT_EQ(t.c_cflag & lineFlags, lineFlags);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "raw again";
    EXPECT_EQ(State().ByteSize, 7) << "the DCB keeps what the pseudo-terminal cannot";

    d.BaudRate = 115200, d.Parity = NOPARITY, d.StopBits = ONESTOPBIT;
    d.fOutxCtsFlow = d.fOutX = 0;
    ASSERT_TRUE(SetCommState(h, &d));
    t = pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & lineFlags, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXOFF)) << "Xon/Xoff input only";
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;  // Linux has one flag for both directions
    ASSERT_TRUE(SetCommState(h, &d));
    EXPECT_EQ(pty.Attr().c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
}

TEST_F(TtyPort, RatesWithoutAConstantAreSetExactly) {
    for (DWORD rate : {56000u, 14400u, 128000u, 1200u}) {
        DCB d = State();
        d.BaudRate = rate;
        ASSERT_TRUE(SetCommState(h, &d)) << rate << " error " << GetLastError();
        EXPECT_EQ(State().BaudRate, rate);
        KernelTermios2 k;
        ASSERT_EQ(ioctl(pty.slave, _IOR('T', 0x2A, KernelTermios2), &k), 0);
        EXPECT_EQ(k.c_ospeed, rate);
        EXPECT_EQ(k.c_ispeed, rate);
        EXPECT_EQ(k.c_cflag & CBAUD, rate == 1200u ? static_cast<tcflag_t>(B1200) : kBother)
            << rate;
    }
}

TEST_F(TtyPort, GetCommStateGivesBackExactlyWhatWasSet) {
    DCB d = State();
    d.DCBlength = 4321;  // Windows ignores it; a round trip keeps it
    d.BaudRate = 56000;
    d.fParity = d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = d.fOutX = 1;
    d.fErrorChar = d.fNull = d.fAbortOnError = 1;
    d.fTXContinueOnXoff = d.fInX = 0;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE, d.fRtsControl = RTS_CONTROL_TOGGLE;
    d.fDummy2 = 0x1ABCD, d.wReserved = 0x3344, d.wReserved1 = 0x5566;
    d.XonLim = 1234, d.XoffLim = 4321;
    d.ByteSize = 6, d.Parity = SPACEPARITY, d.StopBits = TWOSTOPBITS;
    d.XonChar = 0x21, d.XoffChar = 0x22, d.ErrorChar = '?', d.EofChar = 0x1A, d.EvtChar = 0x7E;
    DCB set = d;
    ASSERT_TRUE(SetCommState(h, &set));
    EXPECT_EQ(Raw(set), Raw(d)) << "SetCommState changed its argument";
    DCB back = State();
    EXPECT_EQ(Raw(back), Raw(d));
    // And what a later GetCommState/SetCommState round trip writes is the same.
    ASSERT_TRUE(SetCommState(h, &back));
    EXPECT_EQ(Raw(State()), Raw(d));
}

TEST_F(TtyPort, InvalidSettingsAreRefusedAndChangeNothing) {
    DCB good = State();
    good.BaudRate = 9600;
    ASSERT_TRUE(SetCommState(h, &good));
    const struct termios before = pty.Attr();
    const struct {
        const char* what;
        void (*spoil)(DCB*);
    } cases[] = {
        {"ByteSize 4", [](DCB* d) { d->ByteSize = 4; }},
        {"ByteSize 9", [](DCB* d) { d->ByteSize = 9; }},
        {"Parity 5", [](DCB* d) { d->Parity = 5; }},
        {"StopBits 3", [](DCB* d) { d->StopBits = 3; }},
        {"1.5 stop bits", [](DCB* d) { d->StopBits = ONE5STOPBITS; }},
        {"BaudRate 0", [](DCB* d) { d->BaudRate = 0; }},
        {"Xon is Xoff, Xon/Xoff output",
         [](DCB* d) { d->fOutX = 1, d->XonChar = d->XoffChar = 1; }},
        {"Xon is Xoff, Xon/Xoff input", [](DCB* d) { d->fInX = 1, d->XonChar = d->XoffChar = 0; }},
    };
    for (const auto& c : cases) {
        DCB bad = good;
        bad.BaudRate = 57600;  // a valid change that must not be applied either
        c.spoil(&bad);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(h, &bad)) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(Raw(State()), Raw(good)) << c.what;
        const struct termios after = pty.Attr();
        EXPECT_EQ(after.c_cflag, before.c_cflag) << c.what;
        EXPECT_EQ(after.c_iflag, before.c_iflag) << c.what;
    }
    // Equal Xon and Xoff characters are fine while neither direction uses them, as the
    // library's own open leaves them.
    DCB zero = good;
    zero.XonChar = zero.XoffChar = 0;
    EXPECT_TRUE(SetCommState(h, &zero));
}

TEST_F(TtyPort, TimeoutsAreKeptAndTheOneForbiddenCombinationRefused) {
    COMMTIMEOUTS t, none = {}, set = {MAXDWORD, MAXDWORD, 100, 7, 5000};
    memset(&t, 0xA5, sizeof t);
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(memcmp(&t, &none, sizeof t), 0) << "a fresh handle has no time-outs";
    ASSERT_TRUE(SetCommTimeouts(h, &set));
    COMMTIMEOUTS forbidden = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    SetLastError(0);
    EXPECT_FALSE(SetCommTimeouts(h, &forbidden));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(memcmp(&t, &set, sizeof t), 0) << "the last ones set, not the refused ones";

    EXPECT_TRUE(SetupComm(h, 1024, 1024));
    for (const auto& sizes : {std::make_pair(0u, 1024u), std::make_pair(1024u, 0u)}) {
        SetLastError(0);
        EXPECT_FALSE(SetupComm(h, sizes.first, sizes.second)) << sizes.first;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

// ---- reading and writing ----------------------------------------------------------------------

TEST_F(TtyPort, BytesCrossThePseudoTerminalBothWays) {
    SetTimeouts(MAXDWORD, MAXDWORD, 1000);
    const std::string out("hello\r\n\0\x11\x13\xff", 11);
    EXPECT_EQ(Write(out), WriteResult(TRUE, 11, 0));
    EXPECT_EQ(pty.Received(out.size()), out) << "raw: no translation on the way out";

    const std::string in("world\r\n\0\x03\x7f", 10);
    pty.Send(in);
    EXPECT_EQ(Read(64), ReadResult(TRUE, in, 0)) << "raw: no translation, no signals on the way in";
}

TEST_F(TtyPort, EachReadTimeoutModeEndsAReadWithinItsBounds) {
    const struct {
        const char* what;
        DWORD interval, multiplier, constant;
        const char* waiting;  // sent before the read of 10 bytes
        long atLeast, below;  // ms
    } cases[] = {
        {"immediate, nothing waiting", MAXDWORD, 0, 0, "", 0, 50},
        {"immediate", MAXDWORD, 0, 0, "abc", 0, 50},
        {"the library's mode waits for the first bytes", MAXDWORD, MAXDWORD, 100, "", 95, 600},
        {"the library's mode returns bytes waiting at once", MAXDWORD, MAXDWORD, 100, "xyz", 0, 50},
        {"total: 10 ms a byte asked for plus 50", 0, 10, 50, "abc", 145, 1000},
        {"interval: 60 ms of silence after a byte, long before the total", 60, 0, 5000, "de", 55,
         1000},
        {"no interval before the first byte: the total ends it", 20, 0, 150, "", 145, 1000},
    };
    for (const auto& c : cases) {
        SetTimeouts(c.interval, c.multiplier, c.constant);
        const std::string waiting = c.waiting;
        if (!waiting.empty()) {
            ASSERT_NO_FATAL_FAILURE(pty.Send(waiting)) << c.what;
        }
        const auto start = Clock::now();
        EXPECT_EQ(Read(10), ReadResult(TRUE, waiting, 0)) << c.what << ": a time-out is no failure";
        const long waited = MsSince(start);
        EXPECT_GE(waited, c.atLeast) << c.what;
        EXPECT_LT(waited, c.below) << c.what;
    }
}

TEST_F(TtyPort, ABlockedReadEndsAsSoonAsItsModeIsSatisfied) {
    // The library's mode: the first byte ends a wait far shorter than the time-out.
    SetTimeouts(MAXDWORD, MAXDWORD, 5000);
    auto reader = StartRead(10, true);
    const auto sent = Clock::now();
    pty.Send("q", false);
    EXPECT_EQ(Finish(std::move(reader)), ReadResult(TRUE, "q", 0));
    EXPECT_LT(MsSince(sent), 1000) << "returned when the byte came, not at the time-out";

    // No time-outs: only every byte asked for ends it.
    SetTimeouts(0, 0, 0);
    pty.Send("12");
    reader = StartRead(4, true);
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "two of four bytes do not end the read";
    pty.Send("34", false);
    EXPECT_EQ(Finish(std::move(reader)), ReadResult(TRUE, "1234", 0));
}

TEST_F(TtyPort, AWriteEndsAtItsTimeoutReportingWhatWasWritten) {
    COMMTIMEOUTS t = {0, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(EscapeCommFunction(h, SETXOFF));
    EXPECT_EQ(Write("A"), WriteResult(TRUE, 0, 0)) << "output is held";
    ASSERT_TRUE(EscapeCommFunction(h, SETXON));
    EXPECT_EQ(Write("B"), WriteResult(TRUE, 1, 0));
    EXPECT_EQ(pty.Received(1), "B");

    // Nobody reads the master: the terminal's queues fill up and stay full.
    const std::string big(1 << 20, 'z');
    const auto start = Clock::now();
    const WriteResult r = Write(big);
    const long waited = MsSince(start);
    EXPECT_TRUE(std::get<0>(r));
    EXPECT_GT(std::get<1>(r), 0u);
    EXPECT_LT(std::get<1>(r), big.size());
    EXPECT_GE(waited, 95);
    EXPECT_LT(waited, 2000);
}

TEST_F(TtyPort, PurgeDropsWaitingInputAndClearCommErrorCountsIt) {
    SetTimeouts(MAXDWORD, 0, 0);
    pty.Send("12345");
    DWORD errors = 77;
    COMSTAT stat;
    memset(&stat, 0xA5, sizeof stat);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u) << "pseudo-terminals have no line errors";
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_EQ(stat.fCtsHold | stat.fDsrHold | stat.fRlsdHold | stat.fXoffHold, 0u);
    auto waiting = [this] {
        COMSTAT s = {};
        EXPECT_TRUE(ClearCommError(h, nullptr, &s));
        return s.cbInQue;
    };
    for (DWORD keeps : {0u, PURGE_TXABORT | PURGE_TXCLEAR}) {
        EXPECT_TRUE(PurgeComm(h, keeps));
        EXPECT_EQ(waiting(), 5u) << "purging no input keeps it: " << keeps;
    }
    for (DWORD drops : {PURGE_RXABORT | PURGE_RXCLEAR, 15u}) {
        if (drops == 15u) pty.Send("6");
        ASSERT_TRUE(PurgeComm(h, drops));
        EXPECT_EQ(waiting(), 0u) << drops;
        EXPECT_EQ(Read(10), ReadResult(TRUE, "", 0)) << drops;
    }
    SetLastError(0);
    EXPECT_FALSE(PurgeComm(h, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---- modem lines ------------------------------------------------------------------------------

TEST_F(TtyPort, APseudoTerminalLooksLikeAReadyPeerAndTakesLineChanges) {
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    for (DWORD f : {SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK, SETXOFF, SETXON})
        EXPECT_TRUE(EscapeCommFunction(h, f)) << f << " error " << GetLastError();
    auto expectRefused = [this](std::initializer_list<DWORD> functions) {
        for (DWORD f : functions) {
            SetLastError(0);
            EXPECT_FALSE(EscapeCommFunction(h, f)) << f;
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << f;
        }
    };
    expectRefused({0u, 7u, 10u, 0xFFFFFFFFu});
    // A line under handshake control cannot be driven by hand.
    DCB d = State();
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(h, &d));
    expectRefused({SETRTS, CLRRTS, SETDTR, CLRDTR});
}

// ---- a read and a write at once ---------------------------------------------------------------

// A read and a write of one handle each wait in their own direction, as POSIX allows: a read
// waiting for its first byte does not hold up a write (whose answer then ends the read), and a
// write blocked on a peer that stopped reading does not hold up a read of bytes that are there.
// A purge that aborts a direction ends the call waiting there.
TEST_F(TtyPort, AReadAndAWriteWaitingInTheTerminalDoNotHoldEachOtherUp) {
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 5000, 0, 5000};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    auto reader = StartRead(10, true);
    EXPECT_EQ(Write("ping"), WriteResult(TRUE, 4, 0));
    EXPECT_EQ(reader.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the write ended only after the read";
    EXPECT_EQ(pty.Received(4), "ping");
    pty.Send("pong", false);
    EXPECT_EQ(Finish(std::move(reader)), ReadResult(TRUE, "pong", 0));

    pty.Send("data");
    const std::string big(1 << 20, 'z');  // far more than the terminal's queues hold
    auto writer = StartBlocked([port = h, &big] {
        DWORD written = 0;
        SetLastError(0);
        const BOOL r =
            WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &written, nullptr);
        return WriteResult(r, written, GetLastError());
    });
    EXPECT_EQ(Read(10), ReadResult(TRUE, "data", 0));
    EXPECT_EQ(writer.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the read ended only after the write";
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    const WriteResult w = Finish(std::move(writer));
    EXPECT_EQ(std::get<0>(w), FALSE);
    EXPECT_EQ(std::get<2>(w), ERROR_OPERATION_ABORTED);
    EXPECT_GT(std::get<1>(w), 0u);
    EXPECT_LT(std::get<1>(w), big.size());

    reader = StartRead(10, true);
    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT));
    EXPECT_EQ(Finish(std::move(reader)), ReadResult(FALSE, "", ERROR_OPERATION_ABORTED));
    pty.Send("next");
    EXPECT_EQ(Read(10), ReadResult(TRUE, "next", 0)) << "the abort ended only the read inside";
}

// A reader, a writer and a thread of comm calls on one handle while the peer echoes: every call
// works, the reader gets exactly what was written, and (under ThreadSanitizer) what the three
// share does not race.
TEST_F(TtyPort, AReaderAWriterAndCommCallsShareOneHandleSafely) {
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 20, 0, 5000};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    std::atomic<bool> stop{false};
    std::thread echo([this, &stop] {
        char buf[256];
        while (!stop) {
            struct pollfd p = {pty.master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t r = read(pty.master, buf, sizeof buf);
            if (r <= 0 || write(pty.master, buf, static_cast<size_t>(r)) != r) return;
        }
    });
    std::string sent;
    for (int i = 0; i < 2000; ++i) sent += "msg" + std::to_string(i % 10) + ";";
    // The writer starts once the comm calls are under way, so on a busy machine they still
    // overlap the transfers instead of starting after them.
    std::promise<void> commStarted;
    std::shared_future<void> started = commStarted.get_future().share();
    auto writer = std::async(std::launch::async, [port = h, &sent, started] {
        if (started.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return false;
        for (size_t at = 0; at < sent.size(); at += 5) {
            DWORD n = 0;
            if (!WriteFile(port, sent.data() + at, 5, &n, nullptr) || n != 5) return false;
        }
        return true;
    });
    auto reader = std::async(std::launch::async, [port = h, want = sent.size()] {
        std::string got;
        while (got.size() < want) {  // Finish ends a reader left waiting by closing the port
            char buf[64];
            DWORD n = 0;
            if (!ReadFile(port, buf, sizeof buf, &n, nullptr)) break;
            got.append(buf, n);
        }
        return got;
    });
    auto comm = std::async(std::launch::async, [port = h, &stop, t, &commStarted] {
        int failures = 0, rounds = 0;
        for (; !stop; ++rounds) {
            if (rounds == 1) commStarted.set_value();
            COMMTIMEOUTS same = t, now;
            DCB d;
            DWORD errors, status;
            COMSTAT stat;
            failures += !SetCommTimeouts(port, &same);
            failures += !GetCommTimeouts(port, &now);
            failures += !(GetCommState(port, &d) && SetCommState(port, &d));
            failures += !ClearCommError(port, &errors, &stat);
            failures += !GetCommModemStatus(port, &status);
            failures += !EscapeCommFunction(port, SETRTS);
            failures += !PurgeComm(port, 0);
        }
        return std::make_pair(rounds, failures);
    });
    EXPECT_TRUE(Finish(std::move(writer)));
    const std::string got = Finish(std::move(reader));
    stop = true;
    const std::pair<int, int> c = Finish(std::move(comm));
    echo.join();
    EXPECT_EQ(got, sent);
    EXPECT_GT(c.first, 0);
    EXPECT_EQ(c.second, 0);
}

// ---- vanishing and closing --------------------------------------------------------------------

TEST_F(TtyPort, AVanishedPeerIsADisconnectedDevice) {
    SetTimeouts(MAXDWORD, MAXDWORD, 2000);
    pty.Send("last");
    close(pty.master);
    pty.master = -1;
    const auto start = Clock::now();
    // What was sent before the hang-up may or may not survive it; after it, the device is gone.
    ReadResult r = Read(10);
    if (std::get<0>(r)) {
        EXPECT_EQ(std::get<1>(r), "last");
        r = Read(10);
    }
    EXPECT_EQ(r, ReadResult(FALSE, "", ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(MsSince(start), 1000) << "a hang-up ends the wait";
    EXPECT_EQ(Write("x"), WriteResult(FALSE, 0, ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(TtyPort, ACloseEndsAReadBlockedWithoutTimeoutsAndReleasesThePort) {
    auto reader = StartRead(8, true);  // no time-outs: only the close can end it
    EXPECT_TRUE(CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Finish(std::move(reader)), ReadResult(FALSE, "", ERROR_OPERATION_ABORTED));
    EXPECT_EQ(OpenError(pty.path), ERROR_SUCCESS);
}

TEST_F(TtyPort, CloseHandleRacingCallsOfEveryKindIsSafe) {
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 20, 0, 20};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    // Several threads keep calling on the handle while it is closed under them; every call
    // either works or is refused, and none may touch a closed descriptor.
    std::atomic<bool> stop{false};
    auto caller = [&stop, h = h](int kind) {
        for (int done = 0; !stop; ++done) {
            char buf[4];
            DWORD n;
            DCB d;
            const BOOL ok = kind == 0   ? ReadFile(h, buf, sizeof buf, &n, nullptr)
                            : kind == 1 ? WriteFile(h, "w", 1, &n, nullptr)
                            : kind == 2 ? GetCommModemStatus(h, &n)
                                        : GetCommState(h, &d) && SetCommState(h, &d);
            if (ok) continue;
            const DWORD e = GetLastError();
            return e == ERROR_INVALID_HANDLE || e == ERROR_OPERATION_ABORTED ? done : -1;
        }
        return -2;  // stopped: the close never reached this thread
    };
    std::vector<std::future<int>> callers;
    for (int kind = 0; kind < 4; ++kind)
        callers.push_back(std::async(std::launch::async, caller, kind));
    pty.Send("data", false);
    EXPECT_EQ(pty.Received(1), "w") << "the writer is running";
    EXPECT_TRUE(CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    std::vector<std::future_status> ends;
    for (auto& c : callers) ends.push_back(c.wait_for(std::chrono::seconds(5)));
    stop = true;
    for (size_t i = 0; i < callers.size(); ++i) {
        EXPECT_EQ(ends[i], std::future_status::ready) << "caller " << i;
        EXPECT_GE(callers[i].get(), 0) << "caller " << i;
    }
    // The last call out closed the device: the port opens exclusively again.
    EXPECT_EQ(OpenError(pty.path), ERROR_SUCCESS);
}

// The library over a real terminal whose peer has stopped reading: a close ends the blocked
// write at once instead of waiting out its 5 s time-out, and the write fails as cancelled.
class TtyPortClose : public LibraryTest {};

TEST_F(TtyPortClose, ACloseEndsAWriteBlockedOnAStalledPeerAtOnce) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const jint h = Open(pty.path);
    ASSERT_EQ(h, 1) << Pending();
    // Fill the line towards the peer, which never reads, until the kernel takes no more.
    ASSERT_EQ(fcntl(pty.slave, F_SETFL, O_NONBLOCK), 0);
    const std::string block(4096, 'x');
    // The kernel moves bytes on towards the peer behind the writer's back: full means no room
    // for a while.
    for (struct pollfd p = {pty.slave, POLLOUT, 0}; poll(&p, 1, 100) > 0;) {
        while (write(pty.slave, block.data(), block.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
    }

    std::atomic<jint> written{-2};
    std::string message;
    std::thread writer([&] {
        FakeJni local;
        jbyteArray buf = local.NewByteArray(100, 'w');
        written = CALDRIX(PortWrite)(local.env(), nullptr, h, buf, 100);
        message = local.PendingMessage();
    });
    // Nothing marks a write blocked inside the kernel; this is long for it to get there and short
    // beside its 5 s time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    EXPECT_EQ(Close(h), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(300));
    writer.join();
    EXPECT_EQ(written.load(), -1);
    EXPECT_EQ(message, "WriteFile: GetLastError=995");
}

}  // namespace
