// Named events against what other processes can do to them: other users' files where events are
// kept, a full file system, and holders that are stopped or killed while they hold an event.
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "platform/posix/shared_event.h"
#include "platform/win32.h"

extern "C" char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string Unique(const char* stem) { return stem + std::to_string(getpid()); }

// Waits up to 20 s for a child to end (it makes a few calls only), then kills it.
std::string Reap(pid_t pid) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd ended = {pidfd, POLLIN, 0};
    const bool hung = pidfd < 0 || poll(&ended, 1, 20000) != 1;
    if (hung) kill(pid, SIGKILL);
    if (pidfd >= 0) close(pidfd);
    int st = 0;
    waitpid(pid, &st, 0);
    if (hung) return "hung";
    return WIFEXITED(st) ? "exit " + std::to_string(WEXITSTATUS(st))
                         : "signal " + std::to_string(WTERMSIG(st));
}

// A child that opens the event through the header, does `then` and stays until killed.
pid_t HoldInChild(const std::string& name, const std::function<void(caldrix_shared_event*)>& then) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        caldrix_shared_event ev;
        int existed = 0;
        if (caldrix_event_open(name.c_str(), 1, 0, &ev, &existed) != 0) _exit(10);
        then(&ev);
        if (write(ready[1], "r", 1) != 1) _exit(11);
        for (;;) pause();
    }
    char byte = 0;
    pollfd p = {ready[0], POLLIN, 0};
    const bool up = poll(&p, 1, 20000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    close(ready[1]);
    if (!up) Reap(pid);
    return up ? pid : -1;
}

TEST(PlatformSharedEvent, AFullFileSystemIsAnErrorNotACrash) {
    const std::string name = Unique("Full");
    const std::string last = "/dev/shm/caldrix-" + std::to_string(geteuid()) + "/event-" + name;
    const pid_t pid = fork();
    if (pid == 0) {  // a private mount namespace: a 64 KiB tmpfs on /dev/shm, the runtime folder in it
        char path[512];
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=64k,mode=1777") != 0 ||
            mkdir("/dev/shm/run", 0700) != 0 || setenv("XDG_RUNTIME_DIR", "/dev/shm/run", 1) != 0 ||
            caldrix_event_locate(name.c_str(), path, sizeof path) != 0 ||
            path != "/dev/shm/run/caldrix/event-" + name) {
            _exit(10);
        }
        // A runtime folder that others may enter is passed over, as is a home that is not there.
        if (chmod("/dev/shm/run", 0755) != 0 || setenv("HOME", "/nonexistent", 1) != 0 ||
            caldrix_event_locate(name.c_str(), path, sizeof path) != 0 || path != last) {
            _exit(11);
        }
        static char block[4096];
        const int fd = open("/dev/shm/filler", O_CREAT | O_WRONLY, 0600);
        while (write(fd, block, sizeof block) > 0) {
        }
        if (errno != ENOSPC) _exit(12);
        HANDLE h = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        _exit(h == nullptr && GetLastError() == ERROR_DISK_FULL ? 0 : 1);
    }
    EXPECT_EQ(Reap(pid), "exit 0");
}

// What `body` answers, run in a child process as the user nobody.
std::string AsNobody(const std::function<bool()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        _exit(body() ? 0 : 1);
    }
    return Reap(pid);
}

TEST(PlatformSharedEvent, AnotherUserCannotBlockAnEvent) {
    const std::string stem = Unique("Blk");
    const char* kinds[] = {"File", "Link", "Fifo", "Dir"};
    const std::string uid = std::to_string(geteuid());
    std::vector<std::string> blockers;  // where events were kept once, and the last rule's folder
    for (const char* kind : kinds) blockers.push_back("/dev/shm/caldrix-event-" + uid + "-Sentivo" + stem + kind);
    blockers.push_back("/dev/shm/caldrix-" + uid);
    struct Cleanup {
        std::vector<std::string>& paths;
        ~Cleanup() {
            for (const std::string& p : paths) remove(p.c_str());
        }
    } cleanup{blockers};
    EXPECT_EQ(AsNobody([&] {
        return open(blockers[0].c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666) >= 0 &&
               symlink("/etc/passwd", blockers[1].c_str()) == 0 && mkfifo(blockers[2].c_str(), 0666) == 0 &&
               mkdir(blockers[3].c_str(), 0777) == 0 && (mkdir(blockers[4].c_str(), 0777) == 0 || errno == EEXIST);
    }), "exit 0");
    std::vector<HANDLE> events;
    for (const char* kind : kinds) {
        events.push_back(CreateEventA(nullptr, TRUE, FALSE, ("Sentivo" + stem + kind).c_str()));
        EXPECT_NE(events.back(), nullptr) << kind << ": error " << GetLastError();
    }
    // The monitor finds the same event by the same rule and sees it set (else it waits 5 s, exit 1).
    EXPECT_TRUE(SetEvent(events[0]));
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    std::string quiet = "SENTIVO_STANDIN_LOG=/dev/null", device = "/" + stem + "File";
    env.push_back(&quiet[0]);
    env.push_back(nullptr);
    char* argv[] = {const_cast<char*>("Sentivo.exe"), &device[0], nullptr};
    pid_t monitor = -1;
    ASSERT_EQ(posix_spawn(&monitor, CALDRIX_STANDIN_PATH, nullptr, nullptr, argv, env.data()), 0);
    EXPECT_EQ(Reap(monitor), "exit 0");
    // Nor can that user put anything where the events are.
    char real[512];
    ASSERT_EQ(caldrix_event_locate(("Sentivo" + stem + "Fifo").c_str(), real, sizeof real), 0);
    EXPECT_EQ(AsNobody([&] { return open(real, O_CREAT | O_WRONLY, 0666) < 0 && errno == EACCES; }), "exit 0");
    for (HANDLE h : events) CloseHandle(h);
}

TEST(PlatformSharedEvent, AStoppedHolderHoldsUpOnlyItsOwnEventAndForABoundedTime) {
    const std::string held = Unique("StopHeld"), gated = Unique("StopGated"), other = Unique("StopOther");
    HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, held.c_str());
    ASSERT_NE(mine, nullptr);
    // It takes the mutex of both records and the gate of one, and is stopped.
    const pid_t pid = HoldInChild(held, [&](caldrix_shared_event* ev) {
        caldrix_shared_event g;
        int existed = 0;
        if (caldrix_event_open(gated.c_str(), 1, 0, &g, &existed) != 0) _exit(12);
        pthread_mutex_lock(&ev->record->lock);
        pthread_mutex_lock(&g.record->lock);
        caldrix_event_lock_byte(g.fd, F_WRLCK, CALDRIX_EVENT_GATE_BYTE, 0);
    });
    ASSERT_GT(pid, 0);
    int st = 0;
    kill(pid, SIGSTOP);
    ASSERT_EQ(waitpid(pid, &st, WUNTRACED), pid);

    auto timed = [](auto call) {
        const auto start = Clock::now();
        const auto result = call();
        return std::make_pair(result, std::chrono::duration_cast<milliseconds>(Clock::now() - start));
    };
    auto setHeld = std::async(std::launch::async, [&] { return timed([&] { return SetEvent(mine); }); });
    auto openGated = std::async(std::launch::async, [&] {
        return timed([&] {
            HANDLE h = CreateEventA(nullptr, TRUE, FALSE, gated.c_str());
            return std::make_pair(h, GetLastError());
        });
    });
    // Meanwhile, for as long as those last, calls on other events finish at once.
    auto others = std::async(std::launch::async, [&] {
        milliseconds slowest{0};
        auto note = [&](milliseconds took) { slowest = std::max(slowest, took); };
        const auto zero = std::chrono::seconds(0);
        do {
            auto unnamed = timed([] { return CreateEventA(nullptr, FALSE, FALSE, nullptr); });
            HANDLE u = unnamed.first;
            note(unnamed.second);
            note(timed([&] { return SetEvent(u) && WaitForSingleObject(u, 0) == WAIT_OBJECT_0; }).second);
            note(timed([&] { return CloseHandle(u); }).second);
            auto made = timed([&] { return CreateEventA(nullptr, TRUE, FALSE, other.c_str()); });
            note(made.second);
            note(timed([&] { return CloseHandle(made.first); }).second);
        } while (setHeld.wait_for(zero) != std::future_status::ready ||
                 openGated.wait_for(zero) != std::future_status::ready);
        return slowest;
    });
    EXPECT_EQ(others.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "calls on other events waited for the stopped process";
    kill(pid, SIGKILL);  // dies holding the mutexes
    EXPECT_EQ(Reap(pid), "signal 9");
    EXPECT_LT(others.get().count(), 500);
    const auto set = setHeld.get();
    EXPECT_TRUE(set.first) << "the flag is set, only the wake-up could not be sent";
    EXPECT_LT(set.second.count(), CALDRIX_EVENT_SET_WAIT_MS + 1000);
    const auto refused = openGated.get();
    EXPECT_EQ(refused.first, std::make_pair(HANDLE{nullptr}, DWORD{ERROR_SEM_TIMEOUT}));
    EXPECT_LT(refused.second.count(), CALDRIX_EVENT_OPEN_WAIT_MS + 1000);

    // The holder gone, both events work again; its mutexes are made consistent by the next taker.
    caldrix_shared_event view;
    int existed = 0;
    ASSERT_EQ(caldrix_event_open(held.c_str(), 1, 0, &view, &existed), 0);
    EXPECT_EQ(caldrix_event_wait(&view, 0), 0);
    EXPECT_EQ(caldrix_event_set(&view), 0);
    caldrix_event_close(&view);
    HANDLE g = CreateEventA(nullptr, TRUE, FALSE, gated.c_str());
    EXPECT_NE(g, nullptr);
    CloseHandle(g);
    CloseHandle(mine);
}

// A monitor's wait keeps its own time while a stopped process has the record's mutex, and still
// sees a set, which stores the flag even when it cannot have the mutex.
TEST(PlatformSharedEvent, AWaitKeepsItsTimeWhileAStoppedHolderHasTheMutex) {
    const std::string name = Unique("StopWait");
    caldrix_shared_event view;
    int existed = 0;
    ASSERT_EQ(caldrix_event_open(name.c_str(), 0, 0, &view, &existed), 0);
    const pid_t pid = HoldInChild(name, [](caldrix_shared_event* ev) { pthread_mutex_lock(&ev->record->lock); });
    ASSERT_GT(pid, 0);
    int st = 0;
    kill(pid, SIGSTOP);
    ASSERT_EQ(waitpid(pid, &st, WUNTRACED), pid);

    auto timedWait = [&](int ms) {
        return std::async(std::launch::async, [&view, ms] {
            const auto start = Clock::now();
            const int rc = caldrix_event_wait(&view, ms);
            return std::make_pair(rc, std::chrono::duration_cast<milliseconds>(Clock::now() - start));
        });
    };
    auto runsOut = timedWait(500);
    const bool ranOut = runsOut.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    auto seesSet = timedWait(5000);
    EXPECT_EQ(caldrix_event_set(&view), ETIMEDOUT) << "the wake-up needs the mutex";
    const bool sawSet = seesSet.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    kill(pid, SIGKILL);  // its mutex then passes to whoever waits for it, so nothing here hangs
    EXPECT_EQ(Reap(pid), "signal 9");
    EXPECT_TRUE(ranOut) << "wait(500) still blocked after 2 s";
    EXPECT_TRUE(sawSet) << "wait(5000) did not see the set within 2 s";
    const auto out = runsOut.get(), set = seesSet.get();
    EXPECT_EQ(out.first, ETIMEDOUT);
    EXPECT_GE(out.second.count(), 500);
    EXPECT_EQ(set.first, 0);
    caldrix_event_close(&view);
}

TEST(PlatformSharedEvent, AKilledHolderLeavesNothingBehind) {
    const std::string name = Unique("Killed");
    HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(mine, nullptr);
    pid_t pid = HoldInChild(name, [](caldrix_shared_event* ev) { pthread_mutex_lock(&ev->record->lock); });
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    EXPECT_EQ(Reap(pid), "signal 9");
    // Killed holding the mutex: whoever takes it next makes it consistent, for all that follow.
    EXPECT_TRUE(SetEvent(mine));
    caldrix_shared_event view;
    int existed = 0;
    ASSERT_EQ(caldrix_event_open(name.c_str(), 1, 0, &view, &existed), 0);
    EXPECT_EQ(existed, 1);
    EXPECT_EQ(caldrix_event_wait(&view, 0), 0);
    caldrix_event_close(&view);
    EXPECT_TRUE(CloseHandle(mine));

    // Killed as its last holder, with the event set: the next open starts afresh.
    pid = HoldInChild(name, [](caldrix_shared_event* ev) { caldrix_event_set(ev); });
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    EXPECT_EQ(Reap(pid), "signal 9");
    SetLastError(0);
    HANDLE again = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "made afresh";
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_TIMEOUT);
    char path[512];
    ASSERT_EQ(caldrix_event_locate(name.c_str(), path, sizeof path), 0);
    EXPECT_TRUE(CloseHandle(again));
    struct stat st;
    EXPECT_NE(stat(path, &st), 0) << "removed by its last holder";
}

}  // namespace
