// Serial ports over termios: the device a COM handle stands for on POSIX hosts.
//
// What Windows does in its serial driver happens here: the DCB becomes termios settings and
// modem-line changes, COMMTIMEOUTS become poll() deadlines on a non-blocking descriptor, an
// exclusive open is refused with ERROR_ACCESS_DENIED, and PurgeComm's abort flags end the read
// or write waiting in the other direction.
//
// Where termios cannot say what a DCB says, the device keeps the DCB as it was last set, so that
// GetCommState gives back exactly what SetCommState was given. Known approximations:
//  * Linux has one flag, CRTSCTS, for both CTS output flow and RTS input flow: fOutxCtsFlow or
//    RTS_CONTROL_HANDSHAKE turns it on, and the kernel may then drop RTS while its input buffer
//    is full even when the DCB says RTS_CONTROL_ENABLE.
//  * DSR flow control, DSR sensitivity, fNull, the error, event and end-of-file characters and
//    the Xon/Xoff limits are kept but not acted on. DTR_CONTROL_HANDSHAKE holds DTR on;
//    RTS_CONTROL_TOGGLE holds RTS off.
//  * fParity does not turn on INPCK: with parity checking on, the line discipline would replace a
//    bad byte by NUL, which Windows does not do without fErrorChar. The driver still counts the
//    error, which ClearCommError reports.
//  * Line errors (framing, overrun, parity, break) are known only where the driver counts them
//    (TIOCGICOUNT: real UARTs and most USB adapters). Pseudo-terminals never report any, so
//    fAbortOnError has nothing to act on there.
//  * A baud rate that is no Bxxx constant (56000, 14400, 128000) goes to the driver as an exact
//    rate through termios2 (BOTHER). Without termios2 the nearest standard rate is used, and the
//    DCB still reports the rate asked for.
//  * A terminal without modem-control lines (a pseudo-terminal) takes RTS and DTR changes without
//    effect and reports a ready peer: CTS, DSR and carrier on, ring off. It also always reads
//    back as 8 data bits without parity; the DCB keeps what was asked for.
//  * A hung-up terminal (read gives 0, or EIO/ENXIO/ENODEV) is a device that is no longer
//    connected: ERROR_DEVICE_NOT_CONNECTED.
//
// The handle layer lets one read, one write and one comm call in at a time, the three at once,
// and closes the terminal only once no call is inside. What stays here is what those calls
// share, under one lock, and how to end a wait early: a read waits polling the read direction's
// eventfd as well, a write the write direction's, and a wait that began before a Cancel (both
// directions) or a purge that aborts its direction ends with ERROR_OPERATION_ABORTED. Each
// direction has its own eventfd because a wait drains its eventfd when woken: with one for both,
// the read could drain the wake that was meant for the write as well.

#include "tty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <mutex>
#include <new>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/eventfd.h>
#endif

#include "../provider.h"

namespace caldrix_posix {

namespace {

int64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int64_t kNoDeadline = -1;

// A deadline `ms` milliseconds from now; kNoDeadline for none.
int64_t DeadlineIn(uint64_t ms) {
    // A wait of centuries (a multiplier near MAXDWORD) would overflow the clock: take it as
    // having no end.
    if (ms > static_cast<uint64_t>(INT64_MAX / 2000000)) return kNoDeadline;
    return NowNs() + static_cast<int64_t>(ms) * 1000000;
}

int PollTimeout(int64_t deadline) {
    if (deadline == kNoDeadline) return -1;
    const int64_t left = deadline - NowNs();
    if (left <= 0) return 0;
    // Rounded up: a wait that ended early would only have to be started again.
    const int64_t ms = (left + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int64_t Earlier(int64_t a, int64_t b) {
    if (a == kNoDeadline) return b;
    if (b == kNoDeadline) return a;
    return a < b ? a : b;
}

// errno of a read, write or ioctl on an open terminal, as the Win32 code.
DWORD IoError(int err) {
    switch (err) {
        case EIO:
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_NOT_CONNECTED;
        default:
            return Win32ErrorFromErrno(err);
    }
}

// errno of opening a /dev path, as CreateFileA reports it for a COM name.
DWORD OpenError(int err) {
    switch (err) {
        case ENOENT:
        case ENXIO:  // a device node without hardware behind it: no such port
        case ENODEV:
        case EIO:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:  // TIOCEXCL held by another opener
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ELOOP:
            return ERROR_INVALID_NAME;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        default:
            return Win32ErrorFromErrno(err);
    }
}

bool NoModemLines(int err) { return err == ENOTTY || err == EINVAL; }

// What ends one direction's wait early: readable once signalled, until drained.
struct Waker {
    int recv = -1, send = -1;  // one eventfd, or the two ends of a pipe

    bool Open() {
#ifdef __linux__
        recv = send = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        return recv >= 0;
#else
        int p[2];
        if (pipe(p) != 0) return false;
        recv = p[0];
        send = p[1];
        for (int w : p) {
            fcntl(w, F_SETFD, FD_CLOEXEC);
            fcntl(w, F_SETFL, O_NONBLOCK);
        }
        return true;
#endif
    }
    void Signal() const {
        const uint64_t one = 1;  // an eventfd takes eight bytes; a pipe any
        const ssize_t ignored = write(send, &one, sizeof one);
        (void)ignored;
    }
    void Drain() const {
        uint64_t drained;
        const ssize_t ignored = read(recv, &drained, sizeof drained);
        (void)ignored;
    }
    void Close() {
        if (recv >= 0) close(recv);
        if (send >= 0 && send != recv) close(send);
        recv = send = -1;
    }
};

enum Direction { kIn, kOut };

class TtyDevice final : public Device {
public:
    TtyDevice(int fd, const Waker& wakeIn, const Waker& wakeOut, DWORD access, bool exclusive,
              bool modemLines, bool lineCounts, const DCB& dcb)
        : fd_(fd),
          wake_{wakeIn, wakeOut},
          access_(access),
          exclusive_(exclusive),
          modemLines_(modemLines),
          lineCounts_(lineCounts),
          dcb_(dcb) {
        memset(&timeouts_, 0, sizeof timeouts_);
        if (lineCounts_) UpdateLineErrors();
        lineErrors_ = 0;
    }

    ~TtyDevice() override {
        DWORD ignored;
        Close(&ignored);
    }

    BOOL Read(void* buf, DWORD n, DWORD* got, DWORD* error) override;
    BOOL Write(const void* buf, DWORD n, DWORD* done, DWORD* error) override;
    BOOL GetCommState(DCB* dcb, DWORD* error) override;
    BOOL SetCommState(const DCB* dcb, DWORD* error) override;
    BOOL SetupComm(DWORD inQueue, DWORD outQueue, DWORD* error) override;
    BOOL GetCommTimeouts(COMMTIMEOUTS* t, DWORD* error) override;
    BOOL SetCommTimeouts(const COMMTIMEOUTS* t, DWORD* error) override;
    BOOL PurgeComm(DWORD flags, DWORD* error) override;
    BOOL ClearCommError(DWORD* errors, COMSTAT* stat, DWORD* error) override;
    BOOL GetCommModemStatus(DWORD* status, DWORD* error) override;
    BOOL EscapeCommFunction(DWORD func, DWORD* error) override;
    BOOL Close(DWORD* error) override;
    void Cancel(IoCompletion* which) override;
    BOOL WaitInput(DWORD ms, DWORD* outcome, DWORD* error) override;

private:
    enum class Wait { Ready, TimedOut, Cancelled, Failed };
    Wait WaitFor(Direction dir, int64_t deadline, uint64_t cancelsSeen, int* err);
    // A wait in a read or write; false when the call ends there, with *result its answer.
    bool AwaitReady(Direction dir, int64_t deadline, uint64_t cancelsSeen, size_t moved,
                    DWORD* count, DWORD* error, BOOL* result);
    // Ends the wait of a call in that direction that began before.
    void Abort(Direction dir);
    void UpdateLineErrors();  // caller holds lock_
    bool AbortedByLineError();
    COMMTIMEOUTS Timeouts();
    DCB Dcb();
    BOOL ModemBits(bool set, int bits, DWORD* error);

    int fd_;
    Waker wake_[2];  // by direction
    const DWORD access_;
    const bool exclusive_;
    std::atomic<bool> modemLines_;
    const bool lineCounts_;
    std::atomic<uint64_t> cancels_[2] = {{0}, {0}};  // by direction: Cancel and abort calls so far

    // What a read, a write and a comm call share; held for no system call that may wait.
    std::mutex lock_;
    DCB dcb_;
    COMMTIMEOUTS timeouts_;
    DWORD lineErrors_ = 0;  // CE_* bits not yet cleared by ClearCommError
#ifdef TIOCGICOUNT
    struct serial_icounter_struct counts_ {};
#endif
    // Whether the next read should try the descriptor before waiting on it. A read that finds
    // nothing costs a read, a poll and another read; a poll when data is waiting returns at once.
    // The guess follows the last evidence: a read that found data, or a queue count. Only a hint:
    // a read that guesses wrong costs a system call, so a count racing a read needs no order.
    std::atomic<bool> expectData_{false};
};

TtyDevice::Wait TtyDevice::WaitFor(Direction dir, int64_t deadline, uint64_t cancelsSeen,
                                    int* err) {
    const short events = dir == kIn ? POLLIN : POLLOUT;
    for (;;) {
        if (cancels_[dir].load() != cancelsSeen) return Wait::Cancelled;
        struct pollfd p[2] = {{fd_, events, 0}, {wake_[dir].recv, POLLIN, 0}};
        const int r = poll(p, 2, PollTimeout(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return Wait::Failed;
        }
        if (p[1].revents != 0) {
            // Drained, so a Cancel that came while no call waited does not wake the next one.
            wake_[dir].Drain();
            continue;  // the count decides whether this wait was cancelled
        }
        if (r == 0) {
            if (deadline != kNoDeadline && NowNs() >= deadline) return Wait::TimedOut;
            continue;  // a wait longer than poll() can express
        }
        if (p[0].revents & POLLNVAL) {
            *err = EBADF;
            return Wait::Failed;
        }
        // Readiness, a hang-up or an error: the next read or write tells which.
        return Wait::Ready;
    }
}

bool TtyDevice::AwaitReady(Direction dir, int64_t deadline, uint64_t cancelsSeen, size_t moved,
                           DWORD* count, DWORD* error, BOOL* result) {
    int err = 0;
    DWORD code = ERROR_OPERATION_ABORTED;
    switch (WaitFor(dir, deadline, cancelsSeen, &err)) {
        case Wait::Ready:
            if (!AbortedByLineError()) return true;
            break;
        case Wait::TimedOut:  // running out of time is success with what was moved
            *count = static_cast<DWORD>(moved);
            *result = TRUE;
            return false;
        case Wait::Cancelled:
            break;
        case Wait::Failed:
            code = IoError(err);
            break;
    }
    *count = static_cast<DWORD>(moved);
    *result = DeviceFails(error, code);
    return false;
}

void TtyDevice::UpdateLineErrors() {
#ifdef TIOCGICOUNT
    struct serial_icounter_struct now;
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return;
    if (now.frame != counts_.frame) lineErrors_ |= CE_FRAME;
    if (now.overrun != counts_.overrun) lineErrors_ |= CE_OVERRUN;
    if (now.parity != counts_.parity) lineErrors_ |= CE_RXPARITY;
    if (now.brk != counts_.brk) lineErrors_ |= CE_BREAK;
    if (now.buf_overrun != counts_.buf_overrun) lineErrors_ |= CE_RXOVER;
    counts_ = now;
#endif
}

bool TtyDevice::AbortedByLineError() {
    if (!lineCounts_) return false;
    std::lock_guard<std::mutex> guard(lock_);
    if (!dcb_.fAbortOnError) return false;
    UpdateLineErrors();
    return lineErrors_ != 0;
}

COMMTIMEOUTS TtyDevice::Timeouts() {
    std::lock_guard<std::mutex> guard(lock_);
    return timeouts_;
}

DCB TtyDevice::Dcb() {
    std::lock_guard<std::mutex> guard(lock_);
    return dcb_;
}

void TtyDevice::Abort(Direction dir) {
    cancels_[dir].fetch_add(1);
    wake_[dir].Signal();
}

// How one ReadFile of n bytes ends under the handle's COMMTIMEOUTS, as the Windows serial driver
// applies them.
struct ReadRule {
    bool noWait;      // return at once with what is waiting
    bool anyBytes;    // return as soon as something has been read
    bool total;       // the whole call is bounded by totalMs
    uint64_t totalMs;
    DWORD gapMs;      // after a byte, the next must follow within this (0: no such limit)
};

ReadRule ReadRuleOf(const COMMTIMEOUTS& t, DWORD n) {
    const DWORD ri = t.ReadIntervalTimeout;
    const DWORD rm = t.ReadTotalTimeoutMultiplier;
    const DWORD rc = t.ReadTotalTimeoutConstant;
    ReadRule rule = {};
    if (ri == MAXDWORD && rm == 0 && rc == 0) {
        // What is waiting, at once.
        rule.noWait = true;
    } else if (ri == MAXDWORD) {
        // What is waiting, or else the first bytes to arrive within the total; a multiplier of
        // MAXDWORD leaves the constant alone as the total.
        rule.anyBytes = true;
        rule.total = true;
        rule.totalMs = rm == MAXDWORD ? rc : static_cast<uint64_t>(rm) * n + rc;
    } else {
        // All n bytes, or fewer when the total or the gap between two bytes runs out; with
        // neither set, all n bytes however long they take.
        rule.total = rm != 0 || rc != 0;
        rule.totalMs = static_cast<uint64_t>(rm) * n + rc;
        rule.gapMs = ri;
    }
    return rule;
}

BOOL TtyDevice::WaitInput(DWORD ms, DWORD* outcome, DWORD* error) {
    if (!(access_ & GENERIC_READ)) return DeviceFails(error, ERROR_ACCESS_DENIED);
    const uint64_t cancelsSeen = cancels_[kIn].load();
    int err = 0;
    switch (WaitFor(kIn, ms == INFINITE ? kNoDeadline : DeadlineIn(ms), cancelsSeen, &err)) {
        case Wait::TimedOut:
            *outcome = WAIT_TIMEOUT;
            return TRUE;
        case Wait::Cancelled:
            *outcome = WAIT_OBJECT_0 + 1;
            return TRUE;
        case Wait::Failed:
            return DeviceFails(error, IoError(err));
        case Wait::Ready:
            break;
    }
    // Readiness, a hang-up or an error. Bytes still waiting are input even on a terminal that has
    // just hung up, so none is lost; a hang-up with nothing left is a device that has gone, and
    // answering it as input would only bring the caller straight back.
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0) return DeviceFails(error, IoError(errno));
    if (waiting == 0) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
            return DeviceFails(error, ERROR_DEVICE_NOT_CONNECTED);
        }
    } else {
        expectData_.store(true, std::memory_order_relaxed);
    }
    *outcome = WAIT_OBJECT_0;
    return TRUE;
}

BOOL TtyDevice::Read(void* buf, DWORD n, DWORD* got, DWORD* error) {
    *got = 0;
    if (!(access_ & GENERIC_READ)) return DeviceFails(error, ERROR_ACCESS_DENIED);
    if (n == 0) return TRUE;
    if (AbortedByLineError()) return DeviceFails(error, ERROR_OPERATION_ABORTED);

    const uint64_t cancelsSeen = cancels_[kIn].load();
    const ReadRule rule = ReadRuleOf(Timeouts(), n);
    const int64_t deadline = rule.total ? DeadlineIn(rule.totalMs) : kNoDeadline;
    int64_t gapDeadline = kNoDeadline;
    unsigned char* out = static_cast<unsigned char*>(buf);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(n, SSIZE_MAX));
    size_t have = 0;
    bool readFirst = rule.noWait || expectData_.load(std::memory_order_relaxed);
    for (;;) {
        if (!readFirst) {
            BOOL result;
            if (!AwaitReady(kIn, Earlier(deadline, gapDeadline), cancelsSeen, have, got, error,
                            &result)) {
                return result;
            }
        }
        const ssize_t r = read(fd_, out + have, want - have);
        if (r > 0) {
            expectData_.store(true, std::memory_order_relaxed);
            have += static_cast<size_t>(r);
            if (have == want || rule.anyBytes || rule.noWait) break;
            if (rule.gapMs != 0) gapDeadline = DeadlineIn(rule.gapMs);
            readFirst = false;  // a short read emptied the queue
            continue;
        }
        if (r == 0) {  // the terminal was hung up
            *got = static_cast<DWORD>(have);
            return DeviceFails(error, ERROR_DEVICE_NOT_CONNECTED);
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            *got = static_cast<DWORD>(have);
            return DeviceFails(error, IoError(errno));
        }
        expectData_.store(false, std::memory_order_relaxed);
        if (rule.noWait) break;
        readFirst = false;
    }
    *got = static_cast<DWORD>(have);
    return TRUE;
}

BOOL TtyDevice::Write(const void* buf, DWORD n, DWORD* done, DWORD* error) {
    *done = 0;
    if (!(access_ & GENERIC_WRITE)) return DeviceFails(error, ERROR_ACCESS_DENIED);
    if (n == 0) return TRUE;
    if (AbortedByLineError()) return DeviceFails(error, ERROR_OPERATION_ABORTED);

    const uint64_t cancelsSeen = cancels_[kOut].load();
    const COMMTIMEOUTS timeouts = Timeouts();
    const DWORD wm = timeouts.WriteTotalTimeoutMultiplier;
    const DWORD wc = timeouts.WriteTotalTimeoutConstant;
    const unsigned char* in = static_cast<const unsigned char*>(buf);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(n, SSIZE_MAX));
    size_t sent = 0;
    // The total time-out runs from the first time the driver's queue is full.
    int64_t deadline = kNoDeadline;
    bool waited = false;
    for (;;) {
        const ssize_t r = write(fd_, in + sent, want - sent);
        if (r > 0) {
            sent += static_cast<size_t>(r);
            if (sent == want) break;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *done = static_cast<DWORD>(sent);
            return DeviceFails(error, IoError(errno));
        }
        if (!waited) {
            waited = true;
            if (wm != 0 || wc != 0) deadline = DeadlineIn(static_cast<uint64_t>(wm) * n + wc);
        }
        BOOL result;
        if (!AwaitReady(kOut, deadline, cancelsSeen, sent, done, error, &result)) return result;
    }
    *done = static_cast<DWORD>(sent);
    return TRUE;
}

BOOL TtyDevice::GetCommState(DCB* dcb, DWORD* error) {
    if (dcb == nullptr) return DeviceFails(error, ERROR_INVALID_PARAMETER);
    *dcb = Dcb();
    return TRUE;
}

BOOL TtyDevice::SetCommState(const DCB* dcb, DWORD* error) {
    if (dcb == nullptr) return DeviceFails(error, ERROR_INVALID_PARAMETER);
    const DCB& d = *dcb;
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
        d.StopBits > TWOSTOPBITS || d.StopBits == ONE5STOPBITS)
        return DeviceFails(error, ERROR_INVALID_PARAMETER);
    if ((d.Parity == MARKPARITY || d.Parity == SPACEPARITY) && CMSPAR == 0)
        return DeviceFails(error, ERROR_INVALID_PARAMETER);
    // Windows refuses software flow control that could not tell Xon from Xoff.
    if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar) return DeviceFails(error, ERROR_INVALID_PARAMETER);

    Attr old;
    if (!GetAttr(fd_, &old)) return DeviceFails(error, IoError(errno));
    Attr a = old;
    MakeRaw(&a);
    LineFlagsFromDcb(d, &a.c_cflag, &a.c_iflag);
    a.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    a.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
    SetRate(&a, d.BaudRate);

    if (!SetAttr(fd_, a)) {
        const int err = errno;
        SetAttr(fd_, old);
        return DeviceFails(error, err == EINVAL ? ERROR_INVALID_PARAMETER : IoError(err));
    }
    // A serial driver that cannot do what was asked changes the settings instead of failing;
    // Windows refuses such a DCB, so this does too. Rates within 2% count as met, as in the
    // kernel's own rate matching. A pseudo-terminal has no line to frame and always reads back
    // as 8 bits without parity, so it is taken at its word.
    Attr back;
    if (modemLines_.load() && GetAttr(fd_, &back)) {
        const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR;
        const DWORD want = GetRate(a), is = GetRate(back);
        const DWORD diff = want > is ? want - is : is - want;
        if ((back.c_cflag & framing) != (a.c_cflag & framing) || diff > want / 50) {
            SetAttr(fd_, old);
            return DeviceFails(error, ERROR_INVALID_PARAMETER);
        }
    }

    int on = 0, off = 0;
    (d.fDtrControl != DTR_CONTROL_DISABLE ? on : off) |= TIOCM_DTR;
    (d.fRtsControl == RTS_CONTROL_ENABLE || d.fRtsControl == RTS_CONTROL_HANDSHAKE ? on : off) |=
        TIOCM_RTS;
    DWORD lineError = 0;
    if (!ModemBits(true, on, &lineError) || !ModemBits(false, off, &lineError)) {
        SetAttr(fd_, old);
        return DeviceFails(error, lineError);
    }
    std::lock_guard<std::mutex> guard(lock_);
    dcb_ = d;
    return TRUE;
}

BOOL TtyDevice::ModemBits(bool set, int bits, DWORD* error) {
    if (!modemLines_.load() || bits == 0) return TRUE;
    if (ioctl(fd_, set ? TIOCMBIS : TIOCMBIC, &bits) == 0) return TRUE;
    const int err = errno;
    if (NoModemLines(err)) {
        modemLines_.store(false);
        return TRUE;
    }
    return DeviceFails(error, IoError(err));
}

BOOL TtyDevice::SetupComm(DWORD inQueue, DWORD outQueue, DWORD* error) {
    // The terminal's queues have the sizes its driver gave them; the request is only checked.
    if (inQueue == 0 || outQueue == 0) return DeviceFails(error, ERROR_INVALID_PARAMETER);
    return TRUE;
}

BOOL TtyDevice::GetCommTimeouts(COMMTIMEOUTS* t, DWORD* error) {
    if (t == nullptr) return DeviceFails(error, ERROR_INVALID_PARAMETER);
    *t = Timeouts();
    return TRUE;
}

BOOL TtyDevice::SetCommTimeouts(const COMMTIMEOUTS* t, DWORD* error) {
    if (t == nullptr) return DeviceFails(error, ERROR_INVALID_PARAMETER);
    // The one combination the Windows serial driver rejects.
    if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
        t->ReadTotalTimeoutConstant == MAXDWORD)
        return DeviceFails(error, ERROR_INVALID_PARAMETER);
    // A read or write already inside keeps the time-outs it started with, as on Windows.
    std::lock_guard<std::mutex> guard(lock_);
    timeouts_ = *t;
    return TRUE;
}

BOOL TtyDevice::PurgeComm(DWORD flags, DWORD* error) {
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return DeviceFails(error, ERROR_INVALID_PARAMETER);
    // The abort flags end the read or write waiting in their direction, and clear its queue
    // like the clear flags.
    if (flags & PURGE_RXABORT) Abort(kIn);
    if (flags & PURGE_TXABORT) Abort(kOut);
    const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
    const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
    if (!rx && !tx) return TRUE;
    if (tcflush(fd_, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0)
        return DeviceFails(error, IoError(errno));
    if (rx) expectData_.store(false, std::memory_order_relaxed);
    return TRUE;
}

BOOL TtyDevice::ClearCommError(DWORD* errors, COMSTAT* stat, DWORD* error) {
    int inQueue = 0;
    if (ioctl(fd_, FIONREAD, &inQueue) != 0) return DeviceFails(error, IoError(errno));
    int outQueue = 0;
    if (stat != nullptr && ioctl(fd_, TIOCOUTQ, &outQueue) != 0) outQueue = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lineCounts_) UpdateLineErrors();
        if (errors != nullptr) *errors = lineErrors_;
        lineErrors_ = 0;
    }
    if (stat != nullptr) {
        memset(stat, 0, sizeof *stat);
        stat->cbInQue = inQueue > 0 ? static_cast<DWORD>(inQueue) : 0;
        stat->cbOutQue = outQueue > 0 ? static_cast<DWORD>(outQueue) : 0;
    }
    expectData_.store(inQueue > 0, std::memory_order_relaxed);
    return TRUE;
}

BOOL TtyDevice::GetCommModemStatus(DWORD* status, DWORD* error) {
    if (status == nullptr) return DeviceFails(error, ERROR_INVALID_PARAMETER);
    if (modemLines_.load()) {
        int lines = 0;
        if (ioctl(fd_, TIOCMGET, &lines) == 0) {
            DWORD s = 0;
            if (lines & TIOCM_CTS) s |= MS_CTS_ON;
            if (lines & TIOCM_DSR) s |= MS_DSR_ON;
            if (lines & TIOCM_RNG) s |= MS_RING_ON;
            if (lines & TIOCM_CAR) s |= MS_RLSD_ON;
            *status = s;
            return TRUE;
        }
        const int err = errno;
        if (!NoModemLines(err)) return DeviceFails(error, IoError(err));
        modemLines_.store(false);
    }
    *status = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    return TRUE;
}

BOOL TtyDevice::EscapeCommFunction(DWORD func, DWORD* error) {
    const DCB dcb = Dcb();
    switch (func) {
        case SETXOFF:
        case SETXON:
            if (tcflow(fd_, func == SETXOFF ? TCOOFF : TCOON) != 0)
                return DeviceFails(error, IoError(errno));
            return TRUE;
        case SETRTS:
        case CLRRTS:
            // As in the Windows driver: a line under handshake control cannot be set by hand.
            if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE)
                return DeviceFails(error, ERROR_INVALID_PARAMETER);
            return ModemBits(func == SETRTS, TIOCM_RTS, error);
        case SETDTR:
        case CLRDTR:
            if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
                return DeviceFails(error, ERROR_INVALID_PARAMETER);
            return ModemBits(func == SETDTR, TIOCM_DTR, error);
        case SETBREAK:
        case CLRBREAK:
            if (ioctl(fd_, func == SETBREAK ? TIOCSBRK : TIOCCBRK) != 0) {
                const int err = errno;
                if (!NoModemLines(err)) return DeviceFails(error, IoError(err));
            }
            return TRUE;
        default:
            return DeviceFails(error, ERROR_INVALID_PARAMETER);
    }
}

BOOL TtyDevice::Close(DWORD* error) {
    if (fd_ < 0) return DeviceFails(error, ERROR_INVALID_HANDLE);
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    const int r = close(fd_);
    const int err = errno;
    fd_ = -1;
    for (Waker& w : wake_) w.Close();
    // close() of a terminal reports only a failed drain of its output; the descriptor is gone
    // either way.
    if (r != 0 && err != EINTR) return DeviceFails(error, IoError(err));
    return TRUE;
}

void TtyDevice::Cancel(IoCompletion*) {
    Abort(kIn);
    Abort(kOut);
}

struct TtyDeviceProvider final : DeviceProvider {
    OpenResult Open(const char* name, DWORD access, DWORD shareMode, DWORD flags,
                    std::unique_ptr<Device>* out, DWORD* error) override;
};

OpenResult TtyDeviceProvider::Open(const char* name, DWORD access, DWORD shareMode, DWORD flags,
                                   std::unique_ptr<Device>* out, DWORD* error) {
    (void)flags;  // write-through and unbuffered are what a terminal is anyway
    if (name == nullptr || out == nullptr) return OpenResult::NotMine;
    std::string path;
    bool devPath = true;
    if (!ComNameToTtyPath(name, &path)) {
        if (strncmp(name, "/dev/", 5) == 0) {
            path = name;
        } else if (strchr(name, '/') != nullptr) {
            // Elsewhere only a terminal is ours (a link made by socat, say); other files belong
            // to no provider.
            struct stat st;
            if (stat(name, &st) != 0 || !S_ISCHR(st.st_mode)) return OpenResult::NotMine;
            path = name;
            devPath = false;
        } else {
            return OpenResult::NotMine;
        }
    }

    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenFails(error, OpenError(errno));
    if (!isatty(fd)) {
        if (!devPath) {
            close(fd);
            return OpenResult::NotMine;
        }
        // Windows opens any device but fails every comm call on what is no serial port;
        // refusing at once gives the caller the same answer one step earlier.
        return OpenFails(error, ERROR_NOT_SUPPORTED, fd);
    }

    // Windows refuses a second open of a port. TIOCEXCL does that for everyone but root, so an
    // flock on the open file description does it for root too, and for a second open in this
    // process. A shared open takes a shared lock, so that it and an exclusive one exclude each
    // other. A file system without flock leaves TIOCEXCL alone to do it.
    const bool exclusive = shareMode == 0;
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return OpenFails(error, ERROR_ACCESS_DENIED, fd);

    Attr a;
    if (!GetAttr(fd, &a)) return OpenFails(error, IoError(errno), fd);
    MakeRaw(&a);
    a.c_cflag &= ~(CSIZE | PARENB);
    a.c_cflag |= CS8;
    if (!SetAttr(fd, a) || !GetAttr(fd, &a)) return OpenFails(error, IoError(errno), fd);

    int lines = 0;
    bool modemLines = true;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        modemLines = !NoModemLines(errno);
        lines = 0;
    }
    bool lineCounts = false;
#ifdef TIOCGICOUNT
    struct serial_icounter_struct counts;
    lineCounts = ioctl(fd, TIOCGICOUNT, &counts) == 0;
#endif

    Waker wakeIn, wakeOut;
    if (!wakeIn.Open() || !wakeOut.Open()) {
        const int err = errno;
        wakeIn.Close();
        wakeOut.Close();
        return OpenFails(error, OpenError(err), fd);
    }

    TtyDevice* device =
        new (std::nothrow) TtyDevice(fd, wakeIn, wakeOut, access, exclusive, modemLines,
                                     lineCounts, DcbFromTerminal(a, modemLines, lines));
    if (device == nullptr) {
        wakeIn.Close();
        wakeOut.Close();
        return OpenFails(error, ERROR_NOT_ENOUGH_MEMORY, fd);
    }
    if (exclusive) ioctl(fd, TIOCEXCL);
    out->reset(device);
    return OpenResult::Opened;
}

}  // namespace

DeviceProvider& TtyProvider() {
    static TtyDeviceProvider provider;
    return provider;
}

}  // namespace caldrix_posix
