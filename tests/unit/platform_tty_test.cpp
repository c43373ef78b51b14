// The terminal provider over real pseudo-terminals: the test holds the master side and a slave
// descriptor of its own, through which it checks what the device did to the terminal.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/posix/provider.h"
#include "platform/posix/tty.h"
#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;
using caldrix_posix::ComNameToTtyPath;
using caldrix_posix::Device;
using caldrix_posix::OpenResult;
using caldrix_posix::TtyProvider;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

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

    void Send(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Waits until the slave's input queue holds `count` bytes: what reaches the master is
    // handed to the slave by a kernel worker, not at once.
    bool Arrived(int count) {
        const auto until = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            int queued = 0;
            if (ioctl(slave, FIONREAD, &queued) != 0) return false;
            if (queued >= count) return true;
            if (Clock::now() >= until) return false;
            struct pollfd p = {slave, POLLIN, 0};
            poll(&p, 1, 10);
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

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

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

COMMTIMEOUTS Timeouts(DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
    return t;
}

// ---- names ------------------------------------------------------------------------------------

TEST(TtyNames, ComNamesMapToTheNthSerialPort) {
    const struct {
        const char* name;
        const char* path;
    } good[] = {
        {"COM1", "/dev/ttyS0"},         {"COM2:", "/dev/ttyS1"},
        {"com3", "/dev/ttyS2"},         {"cOm4:", "/dev/ttyS3"},
        {"\\\\.\\COM10", "/dev/ttyS9"}, {"\\\\.\\com1", "/dev/ttyS0"},
        {"COM256", "/dev/ttyS255"},     {"COM999999999", "/dev/ttyS999999998"},
    };
    for (const auto& c : good) {
        std::string path = "untouched";
        EXPECT_TRUE(ComNameToTtyPath(c.name, &path)) << c.name;
        EXPECT_EQ(path, c.path) << c.name;
    }
    const char* bad[] = {"COM",     "COM0",          "COM01",        "COMx",
                         "COM1x",   "COM1::",        "COM-1",        " COM1",
                         "COM1 ",   "LPT1",          "\\\\.\\COM1:", "\\\\?\\COM1",
                         "\\\\.\\", "COM1234567890", "/dev/ttyS0",   ""};
    for (const char* name : bad) {
        std::string path = "untouched";
        EXPECT_FALSE(ComNameToTtyPath(name, &path)) << name;
        EXPECT_EQ(path, "untouched") << name;
    }
    std::string path;
    EXPECT_FALSE(ComNameToTtyPath(nullptr, &path));
}

TEST(TtyNames, OnlyTerminalsAndDevicePathsAreOwned) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    std::unique_ptr<Device> dev;
    DWORD error = 0;
    auto& provider = TtyProvider();

    EXPECT_EQ(provider.Open("USBHID", kReadWrite, 0, 0, &dev, &error), OpenResult::NotMine);
    EXPECT_EQ(provider.Open("", kReadWrite, 0, 0, &dev, &error), OpenResult::NotMine);
    EXPECT_EQ(provider.Open(nullptr, kReadWrite, 0, 0, &dev, &error), OpenResult::NotMine);

    char dir[] = "/tmp/caldrix-tty-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string plain = std::string(dir) + "/plain";
    const std::string link = std::string(dir) + "/port";
    { std::ofstream(plain) << "x"; }
    ASSERT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);

    EXPECT_EQ(provider.Open(plain.c_str(), kReadWrite, 0, 0, &dev, &error), OpenResult::NotMine)
        << "a regular file is no port";
    EXPECT_EQ(provider.Open((std::string(dir) + "/none").c_str(), kReadWrite, 0, 0, &dev, &error),
              OpenResult::NotMine);
    EXPECT_EQ(dev, nullptr);

    // A terminal reached through a link outside /dev, as socat makes them, is a port.
    ASSERT_EQ(provider.Open(link.c_str(), kReadWrite, 0, 0, &dev, &error), OpenResult::Opened);
    ASSERT_NE(dev, nullptr);
    EXPECT_TRUE(dev->Close(&error));
    dev.reset();

    unlink(link.c_str());
    unlink(plain.c_str());
    rmdir(dir);
}

TEST(TtyNames, CreateFileAnswersAsWindowsDoes) {
    struct {
        const char* name;
        DWORD error;
    } cases[] = {
        {"/dev/caldrix-no-such-port", ERROR_FILE_NOT_FOUND},
        {"/dev/no-such-dir/ttyS0", ERROR_FILE_NOT_FOUND},
        {"/dev/null/ttyS0", ERROR_PATH_NOT_FOUND},
        {"/dev/null", ERROR_NOT_SUPPORTED},  // a device, but no terminal
        {"COM4000", ERROR_FILE_NOT_FOUND},   // /dev/ttyS3999: no such port
        {"/tmp", ERROR_FILE_NOT_FOUND},      // nobody's name
        {"NOTAPORT", ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        HANDLE h = CreateFileA(c.name, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    const std::string longPath = "/dev/" + std::string(5000, 'a');
    SetLastError(0);
    EXPECT_EQ(CreateFileA(longPath.c_str(), kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    const std::string longCom = "COM" + std::string(5000, '1');
    SetLastError(0);
    EXPECT_EQ(CreateFileA(longCom.c_str(), kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(TtyNames, PermissionDeniedIsAccessDenied) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    const struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
    ASSERT_EQ(chmod(pty.path.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(100);
        std::unique_ptr<Device> dev;
        DWORD error = 0;
        const OpenResult r = TtyProvider().Open(pty.path.c_str(), kReadWrite, 0, 0, &dev, &error);
        _exit(r == OpenResult::Failed ? static_cast<int>(error) : 101);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ERROR_ACCESS_DENIED));
}

// ---- exclusive open ---------------------------------------------------------------------------

TEST(TtyOpen, ASecondOpenIsRefusedUntilTheFirstIsClosed) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const char* name = pty.path.c_str();
    HANDLE first = CreateFileA(name, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);

    SetLastError(0);
    EXPECT_EQ(CreateFileA(name, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "exclusive after exclusive";
    SetLastError(0);
    EXPECT_EQ(CreateFileA(name, kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "shared after exclusive";

    // Another process keeping the same discipline is refused too, root or not.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::unique_ptr<Device> dev;
        DWORD error = 0;
        const OpenResult r = TtyProvider().Open(name, kReadWrite, 0, 0, &dev, &error);
        _exit(r == OpenResult::Failed ? static_cast<int>(error) : 100);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = CreateFileA(name, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the close released the port";
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

TEST(TtyOpen, SharedOpensMayCoexistButExcludeAnExclusiveOne) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const char* name = pty.path.c_str();
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE a = CreateFileA(name, kReadWrite, share, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE b = CreateFileA(name, kReadWrite, share, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_EQ(CreateFileA(name, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(a);
    CloseHandle(b);
}

// ---- line settings ----------------------------------------------------------------------------

class TtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        h = CreateFileA(pty.path.c_str(), kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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
        COMMTIMEOUTS t = Timeouts(interval, multiplier, constant);
        ASSERT_TRUE(SetCommTimeouts(h, &t));
    }
    // ReadFile of up to n bytes; the bytes, with the result and error beside them.
    std::string Read(DWORD n, BOOL* ok = nullptr, DWORD* error = nullptr) {
        std::vector<char> buf(n + 1, '\x7f');
        DWORD got = 12345;
        SetLastError(0);
        const BOOL r = ReadFile(h, buf.data(), n, &got, nullptr);
        if (ok) *ok = r;
        if (error) *error = GetLastError();
        EXPECT_LE(got, n);
        EXPECT_EQ(buf[n], '\x7f') << "written past the count";
        return std::string(buf.data(), std::min(got, n));
    }

    Pty pty;
    HANDLE h = INVALID_HANDLE_VALUE;
};

static bool SameDcb(const DCB& a, const DCB& b) { return memcmp(&a, &b, sizeof a) == 0; }

TEST(TtyState, AFreshOpenReportsTheTerminalAndDriverDefaults) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    struct termios t = pty.Attr();
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);

    HANDLE h = CreateFileA(pty.path.c_str(), kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB d;
    memset(&d, 0xA5, sizeof d);
    ASSERT_TRUE(GetCommState(h, &d));
    EXPECT_EQ(d.DCBlength, sizeof(DCB));
    EXPECT_EQ(d.BaudRate, 4800u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
    EXPECT_EQ(d.fBinary, 1u);
    EXPECT_EQ(d.fParity, 0u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fInX, 0u);
    EXPECT_EQ(d.fTXContinueOnXoff, 1u);
    EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(d.fAbortOnError, 0u);
    EXPECT_EQ(d.XonLim, 2048);
    EXPECT_EQ(d.XoffLim, 512);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.ErrorChar, 0);
    EXPECT_EQ(d.EofChar, 0);
    EXPECT_EQ(d.EvtChar, 0);

    // The open left the terminal raw: bytes pass untouched and a read waits for one byte.
    t = pty.Attr();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    CloseHandle(h);
}

// Every framing the DCB can ask for, as termios flags. A pseudo-terminal always reads back as
// 8 bits without parity, so the data bits and parity enable are checked here, off the terminal.
TEST(TtyLineFlags, EveryFramingMapsToItsTermiosFlags) {
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const struct {
        BYTE parity;
        tcflag_t flags;
    } parities[] = {{NOPARITY, 0},
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
                d.Parity = p.parity;
                d.StopBits = stop;
                // Start from every bit the mapping owns set, to see it clear the unwanted ones.
                tcflag_t c = keptC | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
                tcflag_t i = keptI | IXON | IXOFF | IXANY;
                caldrix_posix::LineFlagsFromDcb(d, &c, &i);
                const tcflag_t want =
                    keptC | sizes[size - 5] | p.flags | (stop == TWOSTOPBITS ? CSTOPB : 0);
                EXPECT_EQ(c, want)
                    << int(size) << " bits, parity " << int(p.parity) << ", stop " << int(stop);
                EXPECT_EQ(i, keptI);
            }
        }
    }
    const struct {
        unsigned cts, rts, outX, inX;
        tcflag_t c, i;
    } flows[] = {
        {0, RTS_CONTROL_ENABLE, 0, 0, 0, 0},
        {1, RTS_CONTROL_ENABLE, 0, 0, CRTSCTS, 0},
        {0, RTS_CONTROL_HANDSHAKE, 0, 0, CRTSCTS, 0},
        {0, RTS_CONTROL_TOGGLE, 0, 0, 0, 0},
        {0, RTS_CONTROL_DISABLE, 1, 0, 0, IXON},
        {0, RTS_CONTROL_DISABLE, 0, 1, 0, IXOFF},
        {1, RTS_CONTROL_DISABLE, 1, 1, CRTSCTS, IXON | IXOFF},
    };
    for (const auto& f : flows) {
        DCB d = {};
        d.ByteSize = 8;
        d.fOutxCtsFlow = f.cts;
        d.fRtsControl = f.rts;
        d.fOutX = f.outX;
        d.fInX = f.inX;
        tcflag_t c = CS8 | CRTSCTS, i = IXON | IXOFF;
        caldrix_posix::LineFlagsFromDcb(d, &c, &i);
        EXPECT_EQ(c, CS8 | f.c) << "cts " << f.cts << " rts " << f.rts;
        EXPECT_EQ(i, f.i) << "outX " << f.outX << " inX " << f.inX;
    }
}

TEST_F(TtyPort, LineSettingsReachTheTerminal) {
    DCB d = State();
    d.BaudRate = 19200;
    d.ByteSize = 7;
    d.Parity = ODDPARITY;
    d.fParity = 1;
    d.StopBits = TWOSTOPBITS;
    d.fOutxCtsFlow = 1;
    ASSERT_TRUE(SetCommState(h, &d)) << GetLastError();
    struct termios t = pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    EXPECT_TRUE(t.c_cflag & PARODD);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_cc[VMIN], 1) << "still raw";
    EXPECT_EQ(t.c_lflag & ICANON, 0u) << "still raw";
    DCB back = State();
    EXPECT_EQ(back.ByteSize, 7) << "the DCB keeps what the pseudo-terminal cannot";
    EXPECT_EQ(back.Parity, ODDPARITY);

    d.BaudRate = 115200;
    d.ByteSize = 5;
    d.Parity = EVENPARITY;
    d.StopBits = ONESTOPBIT;
    d.fOutxCtsFlow = 0;
    d.fOutX = 1;
    d.fInX = 1;
    d.XonChar = 0x01;
    d.XoffChar = 0x02;
    ASSERT_TRUE(SetCommState(h, &d));
    t = pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);

    d.Parity = MARKPARITY;
    d.fOutX = 0;
    d.fInX = 0;
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;  // Linux has one flag for both directions
    ASSERT_TRUE(SetCommState(h, &d));
    t = pty.Attr();
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);

    d.Parity = NOPARITY;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &d));
    t = pty.Attr();
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), 0u);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
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
        if (rate == 1200u)
            EXPECT_EQ(k.c_cflag & CBAUD, static_cast<tcflag_t>(B1200));
        else
            EXPECT_EQ(k.c_cflag & CBAUD, kBother) << rate;
    }
}

TEST_F(TtyPort, GetCommStateGivesBackExactlyWhatWasSet) {
    DCB d = State();
    d.DCBlength = 4321;  // Windows ignores it; a round trip keeps it
    d.BaudRate = 56000;
    d.fBinary = 1;
    d.fParity = 1;
    d.fOutxCtsFlow = 1;
    d.fOutxDsrFlow = 1;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fDsrSensitivity = 1;
    d.fTXContinueOnXoff = 0;
    d.fOutX = 1;
    d.fInX = 0;
    d.fErrorChar = 1;
    d.fNull = 1;
    d.fRtsControl = RTS_CONTROL_TOGGLE;
    d.fAbortOnError = 1;
    d.fDummy2 = 0x1ABCD;
    d.wReserved = 0x3344;
    d.XonLim = 1234;
    d.XoffLim = 4321;
    d.ByteSize = 6;
    d.Parity = SPACEPARITY;
    d.StopBits = TWOSTOPBITS;
    d.XonChar = 0x21;
    d.XoffChar = 0x22;
    d.ErrorChar = '?';
    d.EofChar = 0x1A;
    d.EvtChar = 0x7E;
    d.wReserved1 = 0x5566;
    DCB set = d;
    ASSERT_TRUE(SetCommState(h, &set));
    EXPECT_TRUE(SameDcb(set, d)) << "SetCommState changed its argument";
    DCB back = State();
    EXPECT_TRUE(SameDcb(back, d));
    EXPECT_EQ(back.fDummy2, 0x1ABCDu);
    EXPECT_EQ(back.EvtChar, 0x7E);

    // And the settings a later GetCommState/SetCommState round trip writes are the same ones.
    ASSERT_TRUE(SetCommState(h, &back));
    EXPECT_TRUE(SameDcb(State(), d));
}

TEST_F(TtyPort, InvalidSettingsAreRefusedAndChangeNothing) {
    DCB good = State();
    good.BaudRate = 9600;
    ASSERT_TRUE(SetCommState(h, &good));
    const struct termios before = pty.Attr();
    struct Case {
        const char* what;
        void (*spoil)(DCB*);
    } cases[] = {
        {"ByteSize 4", [](DCB* d) { d->ByteSize = 4; }},
        {"ByteSize 9", [](DCB* d) { d->ByteSize = 9; }},
        {"ByteSize 0", [](DCB* d) { d->ByteSize = 0; }},
        {"Parity 5", [](DCB* d) { d->Parity = 5; }},
        {"Parity 255", [](DCB* d) { d->Parity = 255; }},
        {"StopBits 3", [](DCB* d) { d->StopBits = 3; }},
        {"1.5 stop bits", [](DCB* d) { d->StopBits = ONE5STOPBITS; }},
        {"BaudRate 0", [](DCB* d) { d->BaudRate = 0; }},
        {"Xon equal to Xoff with Xon/Xoff output",
         [](DCB* d) { d->fOutX = 1, d->XonChar = d->XoffChar = 0x11; }},
        {"Xon equal to Xoff with Xon/Xoff input",
         [](DCB* d) { d->fInX = 1, d->XonChar = d->XoffChar = 0; }},
    };
    for (const Case& c : cases) {
        DCB bad = good;
        bad.BaudRate = 57600;  // a valid change that must not be applied either
        c.spoil(&bad);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(h, &bad)) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.what;
        EXPECT_TRUE(SameDcb(State(), good)) << c.what;
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
    COMMTIMEOUTS t = {};
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout | t.ReadTotalTimeoutMultiplier | t.ReadTotalTimeoutConstant |
                  t.WriteTotalTimeoutMultiplier | t.WriteTotalTimeoutConstant,
              0u)
        << "a fresh handle has no time-outs";
    COMMTIMEOUTS set = {MAXDWORD, MAXDWORD, 100, 7, 5000};
    ASSERT_TRUE(SetCommTimeouts(h, &set));
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(memcmp(&t, &set, sizeof t), 0);
    COMMTIMEOUTS forbidden = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    SetLastError(0);
    EXPECT_FALSE(SetCommTimeouts(h, &forbidden));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(memcmp(&t, &set, sizeof t), 0) << "kept the previous ones";

    EXPECT_TRUE(SetupComm(h, 1024, 1024));
    SetLastError(0);
    EXPECT_FALSE(SetupComm(h, 0, 1024));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(SetupComm(h, 1024, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---- reading and writing ----------------------------------------------------------------------

TEST_F(TtyPort, BytesCrossThePseudoTerminalBothWays) {
    SetTimeouts(MAXDWORD, MAXDWORD, 1000);
    const std::string out("hello\r\n\0\x11\x13\xff", 11);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, out.data(), static_cast<DWORD>(out.size()), &written, nullptr));
    EXPECT_EQ(written, out.size());
    EXPECT_EQ(pty.Received(out.size()), out) << "raw: no translation on the way out";

    const std::string in("world\r\n\0\x03\x7f", 10);
    pty.Send(in);
    ASSERT_TRUE(pty.Arrived(static_cast<int>(in.size())));
    EXPECT_EQ(Read(64), in) << "raw: no translation, no signals on the way in";
}

TEST_F(TtyPort, AnImmediateReadReturnsWhatIsThereAtOnce) {
    SetTimeouts(MAXDWORD, 0, 0);
    BOOL ok = FALSE;
    auto start = Clock::now();
    EXPECT_EQ(Read(10, &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_LT(MsSince(start), 50);

    pty.Send("abc");
    ASSERT_TRUE(pty.Arrived(3));
    start = Clock::now();
    EXPECT_EQ(Read(10, &ok), "abc");
    EXPECT_TRUE(ok);
    EXPECT_LT(MsSince(start), 50);
}

TEST_F(TtyPort, TheLibrarysReadModeWaitsForTheFirstBytesOnly) {
    SetTimeouts(MAXDWORD, MAXDWORD, 100);
    BOOL ok = FALSE;
    auto start = Clock::now();
    EXPECT_EQ(Read(10, &ok), "");
    EXPECT_TRUE(ok) << "a time-out is no failure";
    const long waited = MsSince(start);
    EXPECT_GE(waited, 95);
    EXPECT_LT(waited, 600);

    pty.Send("xyz");
    ASSERT_TRUE(pty.Arrived(3));
    start = Clock::now();
    EXPECT_EQ(Read(10, &ok), "xyz");
    EXPECT_LT(MsSince(start), 50) << "bytes waiting come back at once";

    // Bytes that arrive during the wait end it: the constant is far longer than the bound.
    SetTimeouts(MAXDWORD, MAXDWORD, 5000);
    std::promise<pid_t> tid;
    auto reader = std::async(std::launch::async, [&] {
        tid.set_value(ThreadId());
        const auto t0 = Clock::now();
        std::vector<char> buf(10);
        DWORD got = 0;
        const BOOL r = ReadFile(h, buf.data(), 10, &got, nullptr);
        return std::make_tuple(r, std::string(buf.data(), got), MsSince(t0));
    });
    ASSERT_TRUE(BlockedInPoll(tid.get_future().get()));
    const auto sent = Clock::now();
    pty.Send("q");
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto result = reader.get();
    EXPECT_TRUE(std::get<0>(result));
    EXPECT_EQ(std::get<1>(result), "q");
    EXPECT_LT(MsSince(sent), 1000) << "returned when the byte came, not at the time-out";
}

TEST_F(TtyPort, TotalAndIntervalTimeoutsEndAShortRead) {
    pty.Send("abc");
    ASSERT_TRUE(pty.Arrived(3));
    // Total: 10 ms per byte asked for plus 50 ms.
    SetTimeouts(0, 10, 50);
    BOOL ok = FALSE;
    auto start = Clock::now();
    EXPECT_EQ(Read(10, &ok), "abc");
    EXPECT_TRUE(ok);
    long waited = MsSince(start);
    EXPECT_GE(waited, 145);
    EXPECT_LT(waited, 1000);

    // Interval: 60 ms of silence after a byte ends the read; no total.
    pty.Send("de");
    ASSERT_TRUE(pty.Arrived(2));
    SetTimeouts(60, 0, 0);
    start = Clock::now();
    EXPECT_EQ(Read(10, &ok), "de");
    EXPECT_TRUE(ok);
    waited = MsSince(start);
    EXPECT_GE(waited, 55);
    EXPECT_LT(waited, 1000);

    // The interval does not start before the first byte: a total still bounds an empty read.
    SetTimeouts(20, 0, 150);
    start = Clock::now();
    EXPECT_EQ(Read(10, &ok), "");
    EXPECT_TRUE(ok);
    waited = MsSince(start);
    EXPECT_GE(waited, 145);
    EXPECT_LT(waited, 1000);
}

TEST_F(TtyPort, WithoutTimeoutsAReadWaitsForEveryByte) {
    SetTimeouts(0, 0, 0);
    pty.Send("12");
    ASSERT_TRUE(pty.Arrived(2));
    std::promise<pid_t> tid;
    auto reader = std::async(std::launch::async, [&] {
        tid.set_value(ThreadId());
        std::vector<char> buf(4);
        DWORD got = 0;
        const BOOL r = ReadFile(h, buf.data(), 4, &got, nullptr);
        return std::make_pair(r, std::string(buf.data(), got));
    });
    ASSERT_TRUE(BlockedInPoll(tid.get_future().get()));
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "two of four bytes do not end the read";
    pty.Send("34");
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto result = reader.get();
    EXPECT_TRUE(result.first);
    EXPECT_EQ(result.second, "1234");
}

TEST_F(TtyPort, AWriteThatCannotFinishInTimeReportsWhatWasWritten) {
    COMMTIMEOUTS t = {0, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    // Nobody reads the master: the terminal's queues fill up and stay full.
    std::vector<char> big(1 << 20, 'z');
    DWORD written = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
    const long waited = MsSince(start);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(waited, 95);
    EXPECT_LT(waited, 2000);
}

TEST_F(TtyPort, OutputHeldByXoffResumesWithXon) {
    COMMTIMEOUTS t = {0, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(EscapeCommFunction(h, SETXOFF));
    DWORD written = 99;
    EXPECT_TRUE(WriteFile(h, "A", 1, &written, nullptr));
    EXPECT_EQ(written, 0u) << "output is held";
    ASSERT_TRUE(EscapeCommFunction(h, SETXON));
    EXPECT_TRUE(WriteFile(h, "B", 1, &written, nullptr));
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(pty.Received(1), "B");
}

TEST_F(TtyPort, PurgeDropsWaitingInputAndClearCommErrorCountsIt) {
    SetTimeouts(MAXDWORD, 0, 0);
    pty.Send("12345");
    ASSERT_TRUE(pty.Arrived(5));
    DWORD errors = 77;
    COMSTAT stat;
    memset(&stat, 0xA5, sizeof stat);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u) << "pseudo-terminals have no line errors";
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_EQ(stat.fCtsHold | stat.fDsrHold | stat.fRlsdHold | stat.fXoffHold, 0u);

    EXPECT_TRUE(PurgeComm(h, 0)) << "no flags: nothing to do";
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 5u) << "purging output keeps input";

    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(Read(10), "");

    pty.Send("6");
    ASSERT_TRUE(pty.Arrived(1));
    EXPECT_TRUE(PurgeComm(h, 15));
    EXPECT_EQ(Read(10), "");

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
    for (DWORD f : {0u, 7u, 10u, 0xFFFFFFFFu}) {
        SetLastError(0);
        EXPECT_FALSE(EscapeCommFunction(h, f)) << f;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << f;
    }
    // A line under handshake control cannot be driven by hand.
    DCB d = State();
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(h, &d));
    for (DWORD f : {SETRTS, CLRRTS, SETDTR, CLRDTR}) {
        SetLastError(0);
        EXPECT_FALSE(EscapeCommFunction(h, f)) << f;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << f;
    }
}

// ---- access, bad input, vanishing, closing ----------------------------------------------------

TEST(TtyAccess, AHandleOnlyDoesWhatItWasOpenedFor) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    HANDLE h = CreateFileA(pty.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 9;
    SetLastError(0);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    COMMTIMEOUTS t = Timeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    char c;
    EXPECT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    CloseHandle(h);

    h = CreateFileA(pty.path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    CloseHandle(h);
}

TEST(TtyDevice, BadArgumentsGetAnAnswerNotACrash) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    std::unique_ptr<Device> dev;
    DWORD error = 0;
    ASSERT_EQ(TtyProvider().Open(pty.path.c_str(), kReadWrite, 0, 0, &dev, &error),
              OpenResult::Opened);
    DWORD n = 5;
    EXPECT_FALSE(dev->Read(nullptr, 5, &n, &error));
    EXPECT_EQ(error, ERROR_NOACCESS);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(dev->Write(nullptr, 5, &n, &error));
    EXPECT_EQ(error, ERROR_NOACCESS);
    char c = 0;
    EXPECT_TRUE(dev->Read(&c, 0, &n, &error));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(dev->Write(&c, 0, nullptr, &error));
    for (bool (*call)(Device&, DWORD*) : {
             +[](Device&d, DWORD*e) -> bool { return d.GetCommState(nullptr, e); },
             +[](Device&d, DWORD*e) -> bool { return d.SetCommState(nullptr, e); },
             +[](Device&d, DWORD*e) -> bool { return d.GetCommTimeouts(nullptr, e); },
             +[](Device&d, DWORD*e) -> bool { return d.SetCommTimeouts(nullptr, e); },
             +[](Device&d, DWORD*e) -> bool { return d.GetCommModemStatus(nullptr, e); },
         }) {
        error = 0;
        EXPECT_FALSE(call(*dev, &error));
        EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(dev->ClearCommError(nullptr, nullptr, &error)) << "both outputs are optional";

    ASSERT_TRUE(dev->Close(&error));
    // After the close every call is refused; nothing touches the old descriptor.
    DCB d;
    error = 0;
    EXPECT_FALSE(dev->GetCommState(&d, &error));
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
    error = 0;
    EXPECT_FALSE(dev->Read(&c, 1, &n, &error));
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
    error = 0;
    EXPECT_FALSE(dev->Close(&error));
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
}

TEST_F(TtyPort, AVanishedPeerIsADisconnectedDevice) {
    SetTimeouts(MAXDWORD, MAXDWORD, 2000);
    pty.Send("last");
    ASSERT_TRUE(pty.Arrived(4));
    close(pty.master);
    pty.master = -1;
    BOOL ok = TRUE;
    DWORD error = 0;
    const auto start = Clock::now();
    // What was sent before the hang-up may or may not survive it; after it, the device is gone.
    std::string got = Read(10, &ok, &error);
    if (ok) {
        EXPECT_EQ(got, "last");
        got = Read(10, &ok, &error);
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(got, "");
    EXPECT_LT(MsSince(start), 1000) << "a hang-up ends the wait";
    DWORD written = 9;
    SetLastError(0);
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(written, 0u);
}

TEST(TtyClose, ACloseWakesAReadBlockedOnTheDevice) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    std::unique_ptr<Device> dev;
    DWORD error = 0;
    ASSERT_EQ(TtyProvider().Open(pty.path.c_str(), kReadWrite, 0, 0, &dev, &error),
              OpenResult::Opened);
    // No time-outs at all: only the close can end this read.
    std::promise<pid_t> tid;
    auto reader = std::async(std::launch::async, [&] {
        tid.set_value(ThreadId());
        char buf[8];
        DWORD got = 99, err = 0;
        const BOOL r = dev->Read(buf, sizeof buf, &got, &err);
        return std::make_tuple(r, got, err);
    });
    ASSERT_TRUE(BlockedInPoll(tid.get_future().get()));
    DWORD closeError = 0;
    EXPECT_TRUE(dev->Close(&closeError));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto result = reader.get();
    EXPECT_FALSE(std::get<0>(result));
    EXPECT_EQ(std::get<1>(result), 0u);
    EXPECT_EQ(std::get<2>(result), ERROR_OPERATION_ABORTED);
    dev.reset();

    // The port was released: it opens exclusively again.
    ASSERT_EQ(TtyProvider().Open(pty.path.c_str(), kReadWrite, 0, 0, &dev, &error),
              OpenResult::Opened);
    EXPECT_TRUE(dev->Close(&error));
}

TEST(TtyClose, CloseHandleRacingBlockedCallsIsSafe) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    HANDLE h = CreateFileA(pty.path.c_str(), kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 20, 0, 20};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    // Several threads keep calling on the handle while it is closed under them; every call
    // either works or is refused, and none may touch a closed descriptor.
    std::atomic<bool> stop{false};
    std::vector<std::future<int>> callers;
    for (int i = 0; i < 4; ++i) {
        callers.push_back(std::async(std::launch::async, [&, i] {
            int calls = 0;
            while (!stop) {
                char buf[4];
                DWORD n = 0, status = 0;
                BOOL ok;
                switch (i) {
                    case 0:
                        ok = ReadFile(h, buf, sizeof buf, &n, nullptr);
                        break;
                    case 1:
                        ok = WriteFile(h, "w", 1, &n, nullptr);
                        break;
                    case 2:
                        ok = GetCommModemStatus(h, &status);
                        break;
                    default: {
                        DCB d;
                        ok = GetCommState(h, &d) && SetCommState(h, &d);
                        break;
                    }
                }
                if (!ok) {
                    const DWORD e = GetLastError();
                    return e == ERROR_INVALID_HANDLE || e == ERROR_OPERATION_ABORTED ? calls : -1;
                }
                ++calls;
            }
            return -2;  // stopped: the close never reached this thread
        }));
    }
    pty.Send("data");
    ASSERT_EQ(pty.Received(1), "w") << "the writer is running";
    EXPECT_TRUE(CloseHandle(h));
    std::vector<std::future_status> ends;
    for (auto& c : callers) ends.push_back(c.wait_for(std::chrono::seconds(5)));
    stop = true;
    for (size_t i = 0; i < callers.size(); ++i) {
        EXPECT_EQ(ends[i], std::future_status::ready) << "caller " << i;
        EXPECT_GE(callers[i].get(), 0) << "caller " << i;
    }
    // The last call out closed the device: the port opens exclusively again.
    HANDLE again = CreateFileA(pty.path.c_str(), kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

}  // namespace
