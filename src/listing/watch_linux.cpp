// The device watch on Linux: the kernel's device events (NETLINK_KOBJECT_UEVENT), one socket per
// process shared by every watch, read by whichever watch is waiting when an event comes; what it
// reads is handed to every watch. No library is needed beyond the C library.
//
// Each watch waits in one poll() on the socket and its own wake descriptor, and nothing else.
// A message counts only when its sender's credentials say root (the kernel, or udev's own
// re-sends): any other user could send a forged event to the group.
#include "watch.h"

#include <errno.h>
#include <linux/netlink.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

namespace caldrix_watch {
namespace {

enum class State { kFree, kOpen, kClosing };

struct Watch {
    State state = State::kFree;
    bool stopped = false;
    int wake = -1;         // eventfd: a stop, or events another watch read for this one
    int32_t pending = 0;   // kinds changed and not yet answered
    int inside = 0;        // waits inside; the last to leave a closing watch frees it
};

std::mutex g_lock;  // everything below
Watch g_watches[kMaxWatches];
int g_socket = -1;
int g_users = 0;  // open or closing watches holding the socket

constexpr uint32_t kKernelGroup = 1;

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Signal(int fd) {
    const uint64_t one = 1;
    const ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
}

void Drain(int fd) {
    uint64_t count;
    const ssize_t ignored = read(fd, &count, sizeof count);
    (void)ignored;
}

// The kind a device event is about, from its SUBSYSTEM key; 0 for any other.
int32_t KindOf(const char* message, size_t length) {
    for (size_t at = 0; at < length; at += strlen(message + at) + 1) {
        const char* field = message + at;
        if (strncmp(field, "SUBSYSTEM=", 10) != 0) continue;
        const char* value = field + 10;
        if (strcmp(value, "tty") == 0) return kSerial;
        if (strcmp(value, "hidraw") == 0) return kHid;
        if (strcmp(value, "usbmisc") == 0) return kPrinter;  // usblp's lpN nodes
        return 0;
    }
    return 0;
}

// Reads every message waiting on the socket: the kinds they name. A full receive buffer lost
// some: every kind may have changed. Caller holds g_lock.
int32_t ReadEvents() {
    int32_t kinds = 0;
    for (;;) {
        char buffer[8192];
        char control[CMSG_SPACE(sizeof(struct ucred))];
        struct iovec iov = {buffer, sizeof buffer - 1};
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(g_socket, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOBUFS) {
                kinds |= kAllKinds;
                continue;
            }
            return kinds;  // EAGAIN: all read
        }
        const struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        const bool fromRoot = c != nullptr && c->cmsg_level == SOL_SOCKET &&
                              c->cmsg_type == SCM_CREDENTIALS &&
                              reinterpret_cast<const struct ucred*>(CMSG_DATA(c))->uid == 0;
        if (!fromRoot || (msg.msg_flags & MSG_TRUNC) != 0) continue;
        buffer[n] = '\0';
        kinds |= KindOf(buffer, static_cast<size_t>(n));
    }
}

// Opens the shared socket if no watch holds it. Caller holds g_lock.
bool HoldSocket(uint32_t* error) {
    if (g_users++ > 0) return true;
    g_socket = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      NETLINK_KOBJECT_UEVENT);
    const int on = 1;
    struct sockaddr_nl address;
    memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelGroup;
    if (g_socket >= 0 &&
        setsockopt(g_socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0 &&
        bind(g_socket, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    *error = static_cast<uint32_t>(errno);
    if (g_socket >= 0) close(g_socket);
    g_socket = -1;
    g_users = 0;
    return false;
}

void LetSocketGo() {
    if (--g_users == 0) {
        close(g_socket);
        g_socket = -1;
    }
}

// Frees a closing watch that no wait is inside. Caller holds g_lock.
void FreeIfDone(Watch& w) {
    if (w.state != State::kClosing || w.inside != 0) return;
    close(w.wake);
    w = Watch();
    LetSocketGo();
}

Watch* Find(int32_t id) {
    if (id < 0 || id >= kMaxWatches || g_watches[id].state != State::kOpen) return nullptr;
    return &g_watches[id];
}

}  // namespace

int32_t OpenWatch(uint32_t* error) {
    std::lock_guard<std::mutex> guard(g_lock);
    int32_t id = 0;
    while (id < kMaxWatches && g_watches[id].state != State::kFree) ++id;
    if (id == kMaxWatches) {
        *error = EMFILE;
        return -1;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        *error = static_cast<uint32_t>(errno);
        return -1;
    }
    if (!HoldSocket(error)) {
        close(wake);
        return -1;
    }
    g_watches[id] = Watch();
    g_watches[id].state = State::kOpen;
    g_watches[id].wake = wake;
    return id;
}

int32_t AwaitWatch(int32_t id, uint32_t ms) {
    std::unique_lock<std::mutex> guard(g_lock);
    Watch* w = Find(id);
    if (w == nullptr) return -1;
    ++w->inside;
    const int64_t deadline = ms == 0xFFFFFFFFu ? -1 : NowMs() + ms;
    int32_t answer = 0;
    for (;;) {
        if (w->stopped) {
            answer = -1;
            break;
        }
        if (w->pending != 0) {
            answer = w->pending;
            w->pending = 0;
            break;
        }
        const int64_t left = deadline < 0 ? -1 : deadline - NowMs();
        if (deadline >= 0 && left <= 0) break;
        struct pollfd p[2] = {{g_socket, POLLIN, 0}, {w->wake, POLLIN, 0}};
        guard.unlock();
        const int r = poll(p, 2, left < 0 ? -1 : static_cast<int>(left > 86400000 ? 86400000 : left));
        guard.lock();
        if (r < 0 && errno != EINTR) break;
        if (p[1].revents != 0) Drain(w->wake);
        if (p[0].revents == 0) continue;
        // Another watch may have read them meanwhile: then this one has been told through its
        // pending kinds and its wake.
        const int32_t kinds = ReadEvents();
        if (kinds == 0) continue;
        for (Watch& other : g_watches) {
            if (other.state != State::kOpen) continue;
            other.pending |= kinds;
            if (&other != w) Signal(other.wake);
        }
    }
    --w->inside;
    FreeIfDone(*w);
    return answer;
}

void StopWatch(int32_t id) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Watch* w = Find(id)) {
        w->stopped = true;
        Signal(w->wake);
    }
}

void CloseWatch(int32_t id) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Watch* w = Find(id)) {
        w->stopped = true;
        w->state = State::kClosing;
        Signal(w->wake);
        FreeIfDone(*w);
    }
}

}  // namespace caldrix_watch
