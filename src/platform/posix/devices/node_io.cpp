// The I/O thread of the device nodes, and the nodes' transfers.
//
// A transfer is tried at once; one that would block waits in its node's queue, and the node is
// armed in epoll (one-shot) for as long as something waits. The I/O thread moves the bytes of the
// head transfer when the node is ready and completes it. Everything a node holds is guarded by its
// own lock; completions are delivered after that lock is let go, since a completion may end in
// the handle layer closing the device.
//
// Report writes are the exception. hidraw's write() blocks in the kernel until the device takes
// the report (up to the USB time-out), whatever O_NONBLOCK says, so no report is written on the
// caller's thread, on the I/O thread or under a lock: the node's writer thread moves a copy of
// each, started when one waits and ended when none does. A transfer cancelled or closed while its
// report is in the kernel ends at once; the write finishes later into the writer's copy.
#include "node_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bitset>
#include <cstddef>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace caldrix_posix {

namespace {

struct Pending {
    uint8_t* buf;
    DWORD n;
    DWORD moved;
    IoCompletion* done;
};

struct Finished {
    IoCompletion* done;
    DWORD bytes, error;
};

// A report waiting for the writer thread, in a copy of its own.
struct Report {
    std::vector<uint8_t> bytes;
    IoCompletion* done;
};

void Deliver(const std::vector<Finished>& list) {
    for (const Finished& f : list) f.done->Complete(f.bytes, f.error);
}

class Reactor;

}  // namespace

struct NodeIo {
    NodeIo(int f, bool b, DWORD a) : fd(f), bridge(b), access(a) {}
    ~NodeIo() {
        if (fd >= 0) close(fd);
    }
    NodeIo(const NodeIo&) = delete;
    NodeIo& operator=(const NodeIo&) = delete;

    const int fd;
    const bool bridge;
    const DWORD access;
    DWORD prefix = 0;
    std::bitset<256> accepted = std::bitset<256>().set();  // the first bytes of reports read
    bool stream = false;
    Reactor* reactor = nullptr;
    uint64_t id = 0;
    DWORD setupError = ERROR_SUCCESS;

    std::mutex lock;
    std::deque<Pending> reads, writes;
    bool gone = false;    // the device has vanished: every transfer fails with 1167
    bool closed = false;  // Close has run: nothing starts any more

    // Report writes (not on a stream), moved by the writer thread outside this lock.
    std::deque<Report> reports;           // waiting for the writer
    IoCompletion* writing = nullptr;      // the report in the writer's hands; null once it ended
    bool writer = false;                  // a writer thread runs
};

namespace {

// Errors after which a node will never move another byte: hidraw answers EIO once its device has
// been unplugged, usblp ENODEV, a bridge socket a reset or a broken pipe.
bool Vanished(const NodeIo& io, int err) {
    switch (err) {
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
        case ECONNRESET:
        case ENOTCONN:
        case EPIPE:
            return true;
        case EIO:
            return !io.stream;  // a printer's EIO is a failed transfer, not a gone device
        default:
            return false;
    }
}

enum class Step { Done, Again, Gone, Failed };

// A node's answer other than EINTR and EAGAIN: its device has gone, or this transfer failed.
Step Refused(const NodeIo& io, int err, DWORD* error) {
    if (Vanished(io, err)) return Step::Gone;
    *error = Win32ErrorFromErrno(err);
    return Step::Failed;
}

// One read system call into the head transfer `p`: one report from a report node, what is there
// from a stream.
Step TryRead(NodeIo& io, Pending& p, DWORD* error) {
    for (;;) {
        uint8_t* at = p.buf + io.prefix;
        const size_t room = p.n - io.prefix;
        const ssize_t r = io.bridge ? recv(io.fd, at, room, MSG_DONTWAIT) : read(io.fd, at, room);
        // A report this handle does not take is dropped, and the read waits for the next one.
        if (r > 0 && !io.accepted.test(at[0])) continue;
        if (r > 0 || (r == 0 && !io.bridge)) {
            memset(p.buf, 0, io.prefix);
            p.moved = static_cast<DWORD>(r) + io.prefix;
            return Step::Done;
        }
        if (r == 0) return Step::Gone;  // the bridge's far end has closed
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Again;
        return Refused(io, errno, error);
    }
}

// As TryRead, for the writes of a stream (a printer, whose usblp honours O_NONBLOCK): the node may
// take part of the transfer, and the rest waits for it to be ready again.
Step TryWrite(NodeIo& io, Pending& p, DWORD* error) {
    for (;;) {
        const uint8_t* at = p.buf + p.moved;
        const size_t left = p.n - p.moved;
        const ssize_t w = io.bridge ? send(io.fd, at, left, MSG_DONTWAIT | MSG_NOSIGNAL)
                                    : write(io.fd, at, left);
        if (w >= 0) {
            p.moved += static_cast<DWORD>(w);
            if (p.moved == p.n) return Step::Done;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Again;
        return Refused(io, errno, error);
    }
}

// Ends every waiting transfer with `error`. Caller holds the node's lock.
void EndAll(NodeIo& io, IoCompletion* which, DWORD error, std::vector<Finished>* out) {
    for (auto* queue : {&io.reads, &io.writes}) {
        for (auto it = queue->begin(); it != queue->end();) {
            if (which != nullptr && it->done != which) {
                ++it;
                continue;
            }
            out->push_back(Finished{it->done, it->moved, error});
            it = queue->erase(it);
        }
    }
    for (auto it = io.reports.begin(); it != io.reports.end();) {
        if (which != nullptr && it->done != which) {
            ++it;
            continue;
        }
        out->push_back(Finished{it->done, 0, error});
        it = io.reports.erase(it);
    }
    // The writer finishes its system call into its own copy and completes nothing.
    if (io.writing != nullptr && (which == nullptr || io.writing == which)) {
        out->push_back(Finished{io.writing, 0, error});
        io.writing = nullptr;
    }
}

// Starts a thread that takes no asynchronous signals (in a JVM they belong to the VM's own
// threads), named `name`; false if none can be had.
bool StartQuietThread(std::function<void()> body, const char* name) {
    sigset_t all, old;
    sigfillset(&all);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigdelset(&all, s);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool started = true;
    try {
        std::thread t(std::move(body));
        // Named from here, so the name is there before the thread's first work.
        pthread_setname_np(t.native_handle(), name);
        t.detach();
    } catch (const std::system_error&) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

// One report to the node, blocking until the node has taken it or refused it. A node that does
// honour O_NONBLOCK is waited for in slices, so a writer whose report was ended meanwhile gives up.
Step WriteReport(NodeIo& io, const Report& r, DWORD* moved, DWORD* error) {
    for (;;) {
        const ssize_t w = io.bridge ? send(io.fd, r.bytes.data(), r.bytes.size(), MSG_NOSIGNAL)
                                    : write(io.fd, r.bytes.data(), r.bytes.size());
        if (w >= 0) {
            *moved = static_cast<DWORD>(w);
            return Step::Done;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p = {io.fd, POLLOUT, 0};
            if (poll(&p, 1, 100) >= 0 || errno == EINTR) {
                std::lock_guard<std::mutex> guard(io.lock);
                if (io.writing == nullptr) return Step::Again;  // ended meanwhile: not sent
                continue;
            }
        }
        return Refused(io, errno, error);
    }
}

// The writer thread of a node: moves the waiting reports in order and ends when none waits.
void RunWriter(const std::shared_ptr<NodeIo>& node) {
    NodeIo& io = *node;
    std::unique_lock<std::mutex> guard(io.lock);
    while (!io.closed && !io.gone && !io.reports.empty()) {
        Report r = std::move(io.reports.front());
        io.reports.pop_front();
        io.writing = r.done;
        guard.unlock();
        DWORD moved = 0, error = ERROR_SUCCESS;
        const Step s = WriteReport(io, r, &moved, &error);
        std::vector<Finished> finished;
        guard.lock();
        if (s == Step::Gone) {
            io.gone = true;
            EndAll(io, nullptr, ERROR_DEVICE_NOT_CONNECTED, &finished);
        } else if (io.writing != nullptr) {
            finished.push_back(Finished{io.writing, moved, s == Step::Done ? ERROR_SUCCESS : error});
        }
        io.writing = nullptr;
        guard.unlock();
        Deliver(finished);
        guard.lock();
    }
    // Reports that came while the device went or the node closed have been ended already.
    io.writer = false;
}

// epoll_event is packed on x86-64, so its data may lie misaligned: it is copied in and out,
// never accessed in place.
epoll_event EventFor(uint32_t events, uint64_t id) {
    epoll_event e;
    memset(&e, 0, sizeof e);
    e.events = events;
    memcpy(reinterpret_cast<char*>(&e) + offsetof(epoll_event, data), &id, sizeof id);
    return e;
}

uint64_t NodeOf(const epoll_event& e) {
    uint64_t id = 0;
    memcpy(&id, reinterpret_cast<const char*>(&e) + offsetof(epoll_event, data), sizeof id);
    return id;
}

class Reactor {
public:
    // The process's one I/O thread, started on first use; null with *error if it cannot be.
    static Reactor* Get(DWORD* error);

    bool Watch(const std::shared_ptr<NodeIo>& io, DWORD* error) {
        std::lock_guard<std::mutex> guard(lock_);
        io->id = next_++;
        epoll_event e = EventFor(EPOLLONESHOT, io->id);  // disarmed until a transfer waits
        if (epoll_ctl(epfd_, EPOLL_CTL_ADD, io->fd, &e) != 0) {
            *error = Win32ErrorFromErrno(errno);
            return false;
        }
        try {
            nodes_.emplace(io->id, io);
        } catch (const std::bad_alloc&) {
            epoll_ctl(epfd_, EPOLL_CTL_DEL, io->fd, nullptr);
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        return true;
    }

    // Arms the node for what its transfers wait for. Caller holds the node's lock.
    bool Arm(NodeIo& io, DWORD* error) {
        uint32_t events = EPOLLONESHOT;
        if (!io.reads.empty()) events |= EPOLLIN | EPOLLRDHUP;
        if (!io.writes.empty()) events |= EPOLLOUT;
        if (events == EPOLLONESHOT) return true;
        epoll_event e = EventFor(events, io.id);
        if (epoll_ctl(epfd_, EPOLL_CTL_MOD, io.fd, &e) == 0) return true;
        *error = Win32ErrorFromErrno(errno);
        return false;
    }

    void Forget(NodeIo& io) {
        std::lock_guard<std::mutex> guard(lock_);
        if (nodes_.erase(io.id) != 0) epoll_ctl(epfd_, EPOLL_CTL_DEL, io.fd, nullptr);
    }

private:
    explicit Reactor(int epfd) : epfd_(epfd) {}

    void Run() {
        epoll_event events[16];
        for (;;) {
            const int n = epoll_wait(epfd_, events, 16, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;  // the epoll descriptor itself is broken; nothing can be waited on
            }
            for (int i = 0; i < n; ++i) {
                std::shared_ptr<NodeIo> io;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    auto it = nodes_.find(NodeOf(events[i]));
                    if (it != nodes_.end()) io = it->second;
                }
                if (io) Serve(*io);  // a node forgotten meanwhile is skipped
            }
        }
    }

    // Moves what the node is ready for, in queue order, and completes what has finished.
    void Serve(NodeIo& io) {
        std::vector<Finished> finished;
        {
            std::lock_guard<std::mutex> guard(io.lock);
            DWORD error = ERROR_SUCCESS;
            // A failed transfer ends with what it moved (a read moves nothing until it is done).
            auto serveQueue = [&](std::deque<Pending>& queue,
                                  Step (*attempt)(NodeIo&, Pending&, DWORD*)) {
                while (!io.gone && !queue.empty()) {
                    Pending& p = queue.front();
                    const Step s = attempt(io, p, &error);
                    if (s == Step::Again) break;
                    if (s == Step::Gone) {
                        io.gone = true;
                        break;
                    }
                    finished.push_back(
                        Finished{p.done, p.moved, s == Step::Done ? ERROR_SUCCESS : error});
                    queue.pop_front();
                }
            };
            serveQueue(io.reads, TryRead);
            serveQueue(io.writes, TryWrite);
            if (io.gone) EndAll(io, nullptr, ERROR_DEVICE_NOT_CONNECTED, &finished);
            if (!Arm(io, &error)) EndAll(io, nullptr, error, &finished);
        }
        Deliver(finished);
    }

    const int epfd_;
    std::mutex lock_;
    std::unordered_map<uint64_t, std::shared_ptr<NodeIo>> nodes_;
    uint64_t next_ = 1;
};

Reactor* Reactor::Get(DWORD* error) {
    static std::mutex made;
    static Reactor* reactor = nullptr;
    std::lock_guard<std::mutex> guard(made);
    if (reactor != nullptr) return reactor;
    const int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) {
        *error = Win32ErrorFromErrno(errno);
        return nullptr;
    }
    Reactor* r = new (std::nothrow) Reactor(epfd);
    if (r == nullptr) {
        close(epfd);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (!StartQuietThread([r] { r->Run(); }, "caldrix-io")) {
        close(epfd);
        delete r;
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    reactor = r;
    return reactor;
}

// The completion a synchronous call waits for.
struct Waiter final : IoCompletion {
    void Complete(DWORD b, DWORD e) override {
        std::lock_guard<std::mutex> guard(lock);
        bytes = b;
        error = e;
        done = true;
        changed.notify_all();  // under the lock: the waiter's frame outlives this call
    }
    void Wait() {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return done; });
    }
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    DWORD bytes = 0, error = ERROR_SUCCESS;
};

}  // namespace

NodeDevice::NodeDevice(int fd, bool bridge, DWORD access) {
    try {
        io_ = std::make_shared<NodeIo>(fd, bridge, access);
    } catch (const std::bad_alloc&) {
        close(fd);
        throw;
    }
    // A bridge blocks its writer as hidraw does; its other calls never wait (MSG_DONTWAIT).
    if (bridge) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    DWORD error = ERROR_SUCCESS;
    io_->reactor = Reactor::Get(&error);
    if (io_->reactor == nullptr || !io_->reactor->Watch(io_, &error)) {
        io_->reactor = nullptr;
        io_->setupError = OrGeneralFailure(error);
    }
}

NodeDevice::~NodeDevice() {
    if (io_->reactor != nullptr) io_->reactor->Forget(*io_);
}

bool NodeDevice::Ready(DWORD* error) const {
    if (io_->reactor != nullptr) return true;
    *error = io_->setupError;
    return false;
}

int NodeDevice::fd() const { return io_->fd; }
void NodeDevice::SetReadPrefix(DWORD zeros) { io_->prefix = zeros; }
void NodeDevice::SetReportFilter(const std::bitset<256>& accepted) { io_->accepted = accepted; }
void NodeDevice::SetStream(bool stream) { io_->stream = stream; }

// The start of a transfer in either direction: tried at once when nothing of its direction waits
// ahead of it (a transfer that finds the node busy waits its turn in the epoll thread), else
// queued. A write that moved part of a stream before failing ends with what it moved.
static BOOL StartOn(NodeIo& io, std::deque<Pending> NodeIo::*queue,
                    Step (*attempt)(NodeIo&, Pending&, DWORD*), uint8_t* buf, DWORD n,
                    IoCompletion* done, DWORD* error) {
    std::vector<Finished> finished;
    BOOL answer = TRUE;
    {
        std::lock_guard<std::mutex> guard(io.lock);
        if (io.closed || io.reactor == nullptr) return DeviceFails(error, ERROR_INVALID_HANDLE);
        if (io.gone) return DeviceFails(error, ERROR_DEVICE_NOT_CONNECTED);
        Pending p{buf, n, 0, done};
        Step s = Step::Again;
        DWORD code = ERROR_SUCCESS;
        if (n == 0) {
            s = Step::Done;
        } else if ((io.*queue).empty()) {
            s = attempt(io, p, &code);
        }
        switch (s) {
            case Step::Done:
                finished.push_back(Finished{done, p.moved, ERROR_SUCCESS});
                break;
            case Step::Failed:
                if (p.moved > 0) {
                    finished.push_back(Finished{done, p.moved, code});
                    break;
                }
                return DeviceFails(error, code);
            case Step::Gone:
                io.gone = true;
                EndAll(io, nullptr, ERROR_DEVICE_NOT_CONNECTED, &finished);
                answer = DeviceFails(error, ERROR_DEVICE_NOT_CONNECTED);
                break;
            case Step::Again:
                (io.*queue).push_back(p);
                if (!io.reactor->Arm(io, &code)) {
                    (io.*queue).pop_back();
                    return DeviceFails(error, code);
                }
                break;
        }
    }
    Deliver(finished);
    return answer;
}

BOOL NodeDevice::StartRead(void* buf, DWORD n, IoCompletion* done, DWORD* error) {
    if (!(io_->access & GENERIC_READ)) return DeviceFails(error, ERROR_ACCESS_DENIED);
    // A report needs room for its ID byte and more; a stream read of nothing ends at once.
    if (io_->prefix > 0 && n <= io_->prefix) return DeviceFails(error, ERROR_INVALID_USER_BUFFER);
    return StartOn(*io_, &NodeIo::reads, TryRead, static_cast<uint8_t*>(buf), n, done, error);
}

// A report write always waits for the node's writer thread, which is started if none runs.
static BOOL StartReport(const std::shared_ptr<NodeIo>& node, const uint8_t* buf, DWORD n,
                        IoCompletion* done, DWORD* error) {
    NodeIo& io = *node;
    Report r{std::vector<uint8_t>(buf, buf + n), done};
    std::lock_guard<std::mutex> guard(io.lock);
    if (io.closed || io.reactor == nullptr) return DeviceFails(error, ERROR_INVALID_HANDLE);
    if (io.gone) return DeviceFails(error, ERROR_DEVICE_NOT_CONNECTED);
    io.reports.push_back(std::move(r));
    if (!io.writer) {
        if (!StartQuietThread([node] { RunWriter(node); }, "caldrix-write")) {
            io.reports.pop_back();
            return DeviceFails(error, ERROR_NOT_ENOUGH_MEMORY);
        }
        io.writer = true;  // before the thread can look: it needs this lock first
    }
    return TRUE;
}

BOOL NodeDevice::StartWrite(const void* buf, DWORD n, IoCompletion* done, DWORD* error) {
    if (!(io_->access & GENERIC_WRITE)) return DeviceFails(error, ERROR_ACCESS_DENIED);
    const uint8_t* bytes = static_cast<const uint8_t*>(buf);
    // hidraw refuses a report without even its ID byte; an empty stream write ends at once.
    if (!io_->stream) {
        if (n == 0) return DeviceFails(error, ERROR_INVALID_PARAMETER);
        try {
            return StartReport(io_, bytes, n, done, error);
        } catch (const std::bad_alloc&) {
            return DeviceFails(error, ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    return StartOn(*io_, &NodeIo::writes, TryWrite, const_cast<uint8_t*>(bytes), n, done, error);
}

void NodeDevice::Cancel(IoCompletion* which) {
    std::vector<Finished> ended;
    {
        std::lock_guard<std::mutex> guard(io_->lock);
        EndAll(*io_, which, ERROR_OPERATION_ABORTED, &ended);
    }
    Deliver(ended);
}

BOOL NodeDevice::Close(DWORD*) {
    std::vector<Finished> ended;
    {
        std::lock_guard<std::mutex> guard(io_->lock);
        io_->closed = true;
        EndAll(*io_, nullptr, ERROR_OPERATION_ABORTED, &ended);
    }
    Deliver(ended);
    if (io_->reactor != nullptr) io_->reactor->Forget(*io_);
    return TRUE;
}

BOOL NodeDevice::Read(void* buf, DWORD n, DWORD* got, DWORD* error) {
    Waiter w;
    if (!StartRead(buf, n, &w, error)) return FALSE;
    w.Wait();
    *got = w.bytes;
    if (w.error == ERROR_SUCCESS) return TRUE;
    return DeviceFails(error, w.error);
}

BOOL NodeDevice::Write(const void* buf, DWORD n, DWORD* done, DWORD* error) {
    Waiter w;
    if (!StartWrite(buf, n, &w, error)) return FALSE;
    w.Wait();
    *done = w.bytes;
    if (w.error == ERROR_SUCCESS) return TRUE;
    return DeviceFails(error, w.error);
}

}  // namespace caldrix_posix
