// Handles, mutexes, events, waits and threads of the POSIX subset, checked against what Windows
// answers for the same calls.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/posix/provider.h"
#include "platform/posix/shared_event.h"
#include "platform/win32.h"
#include "unit_support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kBound = 10000;  // ms: long enough never to be hit when the code is right

// A call's result and the last error it left; the error is cleared first so none is stale.
using Answer = std::pair<DWORD, DWORD>;
template <typename F>
Answer Outcome(F call) {
    SetLastError(0);
    const DWORD result = static_cast<DWORD>(call());
    return {result, GetLastError()};
}

template <typename F>
auto OnOtherThread(F f) {
    return std::async(std::launch::async, f).get();
}

// Whether another thread could take mutex m at once; it lets go of it again if so.
DWORD TakeElsewhere(HANDLE m) {
    return OnOtherThread([m] {
        const DWORD r = WaitForSingleObject(m, 0);
        if (r == WAIT_OBJECT_0) ReleaseMutex(m);
        return r;
    });
}

HANDLE NewEvent(bool manual, bool initial) {
    HANDLE h = CreateEventA(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr);
    EXPECT_NE(h, nullptr);
    return h;
}

// ---- mutexes -----------------------------------------------------------------------------------

TEST(PlatformMutex, IsRecursiveOwnedByOneThreadAndPassedOnAtTheLastRelease) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "the owner takes it again";
    EXPECT_EQ(TakeElsewhere(m), WAIT_TIMEOUT);
    EXPECT_EQ(OnOtherThread([m] { return Outcome([m] { return ReleaseMutex(m); }); }),
              Answer(FALSE, ERROR_NOT_OWNER));
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(TakeElsewhere(m), WAIT_TIMEOUT) << "one release of two leaves it owned";

    auto waiter = std::async(std::launch::async, [m] {
        const DWORD r = WaitForSingleObject(m, kBound);
        if (r == WAIT_OBJECT_0) ReleaseMutex(m);
        return r;
    });
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
    EXPECT_EQ(Outcome([m] { return ReleaseMutex(m); }), Answer(FALSE, ERROR_NOT_OWNER))
        << "released once too often";
    CloseHandle(m);
}

// True once `n` waits are queued on mutex `m` within the bound.
bool AwaitWaiters(HANDLE m, DWORD n, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        if (caldrix_posix::MutexWaiterCount(m) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A released mutex goes to the thread that has waited longest, also through
// WaitForMultipleObjects; the thread that let it go and asks again at once (a writer going
// straight into its next write) queues behind them.
TEST(PlatformMutex, GoesToItsLongestWaiterNotBackToTheThreadThatLetItGo) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE never = NewEvent(true, false);
    HANDLE checked = NewEvent(true, false);  // the first waiter holds it until the check is made
    std::atomic<int> order{0};
    auto reader = std::async(std::launch::async, [&] {
        const DWORD r = WaitForSingleObject(m, kBound);
        const int place = ++order;
        WaitForSingleObject(checked, kBound);
        ReleaseMutex(m);
        return std::make_pair(r, place);
    });
    ASSERT_TRUE(AwaitWaiters(m, 1, static_cast<int>(kBound)));
    auto other = std::async(std::launch::async, [&] {
        const HANDLE both[2] = {never, m};
        const DWORD r = WaitForMultipleObjects(2, both, FALSE, kBound);
        const int place = ++order;
        ReleaseMutex(m);
        return std::make_pair(r, place);
    });
    ASSERT_TRUE(AwaitWaiters(m, 2, static_cast<int>(kBound)));

    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT) << "taken back ahead of its waiters";
    SetEvent(checked);
    EXPECT_EQ(reader.get(), std::make_pair(WAIT_OBJECT_0, 1));
    EXPECT_EQ(other.get(), std::make_pair(WAIT_OBJECT_0 + 1, 2));
    EXPECT_EQ(WaitForSingleObject(m, kBound), WAIT_OBJECT_0);
    ReleaseMutex(m);
    CloseHandle(checked);
    CloseHandle(never);
    CloseHandle(m);
}

DWORD WINAPI TakeAndReturn(LPVOID param) {
    return WaitForSingleObject(static_cast<HANDLE>(param), 0);
}

TEST(PlatformMutex, OwnerThreadEndingAbandonsIt) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, TakeAndReturn, m, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, kBound), WAIT_OBJECT_0);
    DWORD took = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &took));
    ASSERT_EQ(took, WAIT_OBJECT_0);

    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(m)) << "an abandoned mutex is owned by the thread that got it";
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "abandonment is reported once";
    ReleaseMutex(m);

    // The same for a thread the library did not start.
    std::thread([m] { WaitForSingleObject(m, 0); }).join();
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED_0);
    ReleaseMutex(m);
    CloseHandle(t);
    CloseHandle(m);
}

// ---- events ------------------------------------------------------------------------------------

TEST(PlatformEvent, AutoResetLetsOneWaitThroughPerSet) {
    HANDLE e = NewEvent(false, true);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(e));
    ASSERT_TRUE(SetEvent(e)) << "setting a set event is no error";
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "two sets do not count twice";

    auto wait = [e] { return WaitForSingleObject(e, 300); };
    auto a = std::async(std::launch::async, wait), b = std::async(std::launch::async, wait);
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ((std::multiset<DWORD>{a.get(), b.get()}),
              (std::multiset<DWORD>{WAIT_OBJECT_0, WAIT_TIMEOUT}))
        << "one set wakes exactly one of two waiters";
    CloseHandle(e);
}

TEST(PlatformEvent, ManualResetReleasesEveryWaiterAndStaysSetUntilReset) {
    HANDLE e = NewEvent(true, false);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    HANDLE through[2] = {NewEvent(true, false), NewEvent(true, false)};
    std::vector<std::thread> waiters;
    for (HANDLE done : through) {
        waiters.emplace_back([e, done] {
            if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0) SetEvent(done);
        });
    }
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForMultipleObjects(2, through, TRUE, kBound), WAIT_OBJECT_0);
    for (auto& w : waiters) w.join();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    for (HANDLE h : {e, through[0], through[1]}) CloseHandle(h);
}

// ---- WaitForMultipleObjects --------------------------------------------------------------------

TEST(PlatformWait, AnyAnswersTheLowestSignalledIndexTakesOnlyItAndTimesOut) {
    HANDLE h[3] = {NewEvent(false, false), NewEvent(false, true), NewEvent(false, true)};
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(h[1], 0), WAIT_TIMEOUT) << "index 1 was taken";
    EXPECT_EQ(WaitForSingleObject(h[2], 0), WAIT_OBJECT_0) << "index 2 was not";

    const auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 120), WAIT_TIMEOUT);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(120));
    EXPECT_LT(waited, std::chrono::milliseconds(kBound));

    auto later = std::async(std::launch::async, [&] { return SetEvent(h[2]); });
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, kBound), WAIT_OBJECT_0 + 2);
    EXPECT_TRUE(later.get());
    for (HANDLE e : h) CloseHandle(e);
}

// A change wakes only the waits on the object that changed: a thread asleep on one event sleeps
// on while another event is set and reset a thousand times.
TEST(PlatformWait, AChangeWakesOnlyTheWaitsOnItsObject) {
    HANDLE mine = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::promise<long> tid;
    std::future<DWORD> wait = std::async(std::launch::async, [&] {
        tid.set_value(static_cast<long>(syscall(SYS_gettid)));
        return WaitForSingleObject(mine, 10000);
    });
    const long thread = tid.get_future().get();
    ASSERT_TRUE(AwaitAsleep(thread));
    const long before = VoluntarySwitches(thread);
    for (int i = 0; i < 1000; ++i) {
        SetEvent(other);
        ResetEvent(other);
    }
    EXPECT_LE(VoluntarySwitches(thread) - before, 2) << "woken by another object's changes";
    SetEvent(mine);
    EXPECT_EQ(wait.get(), WAIT_OBJECT_0);
    CloseHandle(mine);
    CloseHandle(other);
}

TEST(PlatformWait, AllTakesEverythingAtOnceOrNothing) {
    HANDLE h[2] = {NewEvent(false, true), NewEvent(false, false)};
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0) << "a failed wait-all takes nothing";

    SetEvent(h[0]);
    auto later = std::async(std::launch::async, [&] { return SetEvent(h[1]); });
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, kBound), WAIT_OBJECT_0);
    EXPECT_TRUE(later.get());
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h[1], 0), WAIT_TIMEOUT);

    // A mutex held elsewhere holds back the whole set; once free, the wait takes it too.
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE mixed[2] = {h[0], m};
    SetEvent(h[0]);
    EXPECT_EQ(OnOtherThread([&] { return WaitForMultipleObjects(2, mixed, TRUE, 30); }),
              WAIT_TIMEOUT);
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(OnOtherThread([&] {
        return WaitForMultipleObjects(2, mixed, TRUE, kBound) == WAIT_OBJECT_0 && ReleaseMutex(m);
    }));
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_TIMEOUT);
    for (HANDLE e : {h[0], h[1], m}) CloseHandle(e);
}

TEST(PlatformWait, RefusesBadArguments) {
    HANDLE e = NewEvent(true, true);
    HANDLE closed = NewEvent(true, true);
    CloseHandle(closed);
    const struct {
        const char* what;
        DWORD count;
        std::vector<HANDLE> handles;
        BOOL all;
        DWORD error;
    } cases[] = {
        {"no handles", 0, {e}, FALSE, ERROR_INVALID_PARAMETER},
        {"more than 64", 65, std::vector<HANDLE>(65, e), FALSE, ERROR_INVALID_PARAMETER},
        {"null array", 1, {}, FALSE, ERROR_NOACCESS},
        {"one closed handle", 2, {e, closed}, FALSE, ERROR_INVALID_HANDLE},
        {"null handle", 1, {nullptr}, FALSE, ERROR_INVALID_HANDLE},
        {"duplicates with wait-all", 2, {e, e}, TRUE, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        const HANDLE* array = c.handles.empty() ? nullptr : c.handles.data();
        EXPECT_EQ(Outcome([&] { return WaitForMultipleObjects(c.count, array, c.all, 0); }),
                  Answer(WAIT_FAILED, c.error))
            << c.what;
    }
    HANDLE twice[2] = {e, e};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0)
        << "duplicates are fine when any one will do";

    // Handles of kinds nothing can wait on.
    HANDLE set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    HANDLE file = CreateFileA("/dev/ttyS0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    for (HANDLE h : {set, file}) {
        if (h == INVALID_HANDLE_VALUE) continue;
        EXPECT_EQ(Outcome([&] { return WaitForSingleObject(h, 0); }),
                  Answer(WAIT_FAILED, ERROR_INVALID_HANDLE));
        const HANDLE both[2] = {e, h};
        EXPECT_EQ(Outcome([&] { return WaitForMultipleObjects(2, both, FALSE, 0); }),
                  Answer(WAIT_FAILED, ERROR_INVALID_HANDLE));
    }
    SetupDiDestroyDeviceInfoList(set);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    CloseHandle(e);
}

// ---- threads -----------------------------------------------------------------------------------

struct ThreadProbe {
    HANDLE go;
    DWORD seenId = 0;
    DWORD lastErrorSeen = 0;
};

DWORD WINAPI ProbeRoutine(LPVOID param) {
    ThreadProbe* probe = static_cast<ThreadProbe*>(param);
    probe->lastErrorSeen = GetLastError();
    SetLastError(ERROR_BUSY);
    probe->seenId = GetCurrentThreadId();
    return WaitForSingleObject(probe->go, kBound) == WAIT_OBJECT_0 ? 42 : 1;
}

TEST(PlatformThread, RunsTheRoutineWithItsParameterAndReportsItsExit) {
    ThreadProbe probe{NewEvent(true, false)};
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 64 * 1024, ProbeRoutine, &probe, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);

    SetEvent(probe.go);
    ASSERT_EQ(WaitForSingleObject(t, kBound), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(probe.seenId, id);
    EXPECT_EQ(probe.lastErrorSeen, ERROR_SUCCESS) << "a new thread starts with no last error";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "the last error is per thread";
    CloseHandle(t);
    CloseHandle(probe.go);
}

// ---- handles -----------------------------------------------------------------------------------

TEST(PlatformHandle, ClosedForeignAndWrongKindHandlesAreRefusedWithoutBeingTouched) {
    HANDLE closed = NewEvent(true, false);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE e = NewEvent(true, false);
    int onTheStack = 0;
    const std::function<DWORD(HANDLE)> calls[] = {
        [](HANDLE h) { return SetEvent(h); },
        [](HANDLE h) { return ResetEvent(h); },
        [](HANDLE h) { return ReleaseMutex(h); },
        [](HANDLE h) { return WaitForSingleObject(h, 0) != WAIT_FAILED; },
        [](HANDLE h) { return CloseHandle(h); },
    };
    for (HANDLE bad : {closed, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                       reinterpret_cast<HANDLE>(0x12345), static_cast<HANDLE>(&onTheStack)}) {
        for (size_t i = 0; i < std::size(calls); ++i) {
            EXPECT_EQ(Outcome([&] { return calls[i](bad); }), Answer(FALSE, ERROR_INVALID_HANDLE))
                << "call " << i << " on " << bad;
        }
    }
    EXPECT_EQ(onTheStack, 0);
    EXPECT_EQ(Outcome([&] { return SetEvent(m); }), Answer(FALSE, ERROR_INVALID_HANDLE));
    EXPECT_EQ(Outcome([&] { return ReleaseMutex(e); }), Answer(FALSE, ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "the mutex is untouched";
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "the event is untouched";
    ReleaseMutex(m);
    CloseHandle(m);

    // A new object never reuses a closed handle's value.
    HANDLE fresh = NewEvent(true, true);
    EXPECT_NE(fresh, closed);
    EXPECT_FALSE(ResetEvent(closed));
    EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_OBJECT_0) << "the stale handle reached nothing";
    CloseHandle(fresh);
    CloseHandle(e);
}

// ---- process-wide calls ------------------------------------------------------------------------

TEST(PlatformProcess, VersionIsAnNtFamilyRecordOfTheSizeAsked) {
    unsigned char buf[sizeof(OSVERSIONINFOA) + 4];
    memset(buf, 0xAB, sizeof buf);
    OSVERSIONINFOA* info = reinterpret_cast<OSVERSIONINFOA*>(buf);
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    ASSERT_TRUE(GetVersionExA(info));
    EXPECT_EQ(info->dwOSVersionInfoSize, sizeof(OSVERSIONINFOA));
    EXPECT_EQ(info->dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info->dwMajorVersion, 6u);
    EXPECT_EQ(info->dwMinorVersion, 1u);
    EXPECT_NE(memchr(info->szCSDVersion, 0, sizeof info->szCSDVersion), nullptr);
    EXPECT_EQ(buf[sizeof(OSVERSIONINFOA)], 0xAB) << "nothing past the record";
    for (DWORD wrong : {0u, 147u, 149u, 0xFFFFFFFFu}) {
        OSVERSIONINFOA small = {};
        small.dwOSVersionInfoSize = wrong;
        EXPECT_EQ(Outcome([&] { return GetVersionExA(&small); }),
                  Answer(FALSE, ERROR_INSUFFICIENT_BUFFER))
            << wrong;
        EXPECT_EQ(small.dwPlatformId, 0u) << wrong;
    }
    EXPECT_EQ(Outcome([] { return GetVersionExA(nullptr); }), Answer(FALSE, ERROR_NOACCESS));
}

std::vector<DWORD>* g_pauses = nullptr;
void RecordPause(DWORD ms) { g_pauses->push_back(ms); }

TEST(PlatformProcess, SleepGoesToTheHookWhileOneIsSetAndPausesOtherwise) {
    std::vector<DWORD> pauses;
    g_pauses = &pauses;
    caldrix_posix::SetSleepHook(RecordPause);
    auto start = Clock::now();
    Sleep(20000);
    caldrix_posix::SetSleepHook(nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "the hook replaced the pause";
    EXPECT_EQ(pauses, std::vector<DWORD>{20000});
    start = Clock::now();
    Sleep(30);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(pauses.size(), 1u);
    g_pauses = nullptr;
}

// ---- named events across processes -------------------------------------------------------------

extern "C" char** environ;

// The stand-in monitor in a process of its own, its record in a file of the test's.
struct Standin {
    explicit Standin(const std::string& device) {
        log = "/tmp/caldrix-standin-" + std::to_string(getpid()) + device.substr(1) + ".log";
        unlink(log.c_str());
        const std::string env = "SENTIVO_STANDIN_LOG=" + log;
        char* argv[] = {const_cast<char*>("Sentivo.exe"), const_cast<char*>(device.c_str()),
                        nullptr};
        // The folders that decide where named events live, as a monitor started by the library has.
        std::string runtime = std::string("XDG_RUNTIME_DIR=") + (getenv("XDG_RUNTIME_DIR") ?: "");
        std::string home = std::string("HOME=") + (getenv("HOME") ?: "");
        char* envp[] = {const_cast<char*>(env.c_str()), &runtime[0], &home[0], nullptr};
        spawned = posix_spawn(&pid, CALDRIX_STANDIN_PATH, nullptr, nullptr, argv, envp) == 0;
    }
    ~Standin() {
        if (spawned && status < 0) Wait();
        unlink(log.c_str());
    }
    std::string Record() const {
        std::ifstream in(log);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    // Waits up to 5 s for the record to hold `text`.
    bool AwaitRecord(const std::string& text) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (Record().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a file has no event
        }
        return true;
    }
    int Wait() {
        int st = 0;
        if (waitpid(pid, &st, 0) == pid) status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
        return status;
    }

    std::string log;
    pid_t pid = -1;
    bool spawned = false;
    int status = -1;
};

std::string ShmFileOf(const char* name) {
    char path[512] = "";
    caldrix_event_locate(name, path, sizeof path);
    return path;
}

TEST(PlatformNamedEvent, IsSeenByAnotherProcessAndLastsWhileOneHoldsIt) {
    const std::string name = "SentivoLCD7";
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "made here first";
    struct stat st;
    ASSERT_EQ(stat(ShmFileOf(name.c_str()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "private to the user";

    Standin monitor("/LCD7");
    ASSERT_TRUE(monitor.spawned);
    ASSERT_TRUE(monitor.AwaitRecord("opened SentivoLCD7 existed=1")) << monitor.Record();
    EXPECT_TRUE(SetEvent(ev));
    EXPECT_EQ(monitor.Wait(), 0) << monitor.Record();
    EXPECT_NE(monitor.Record().find("set after"), std::string::npos);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << "manual reset: still set";

    // A second handle here names the same event; the event goes with the last handle.
    HANDLE again = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_EQ(stat(ShmFileOf(name.c_str()).c_str(), &st), 0);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_NE(stat(ShmFileOf(name.c_str()).c_str(), &st), 0) << "gone with its last holder";
}

TEST(PlatformNamedEvent, AnEventMadeElsewhereIsOpenedAndAnotherUsersObjectRefused) {
    Standin monitor("/AIO9");  // makes "SentivoAIO9" and waits on it
    ASSERT_TRUE(monitor.spawned);
    ASSERT_TRUE(monitor.AwaitRecord("opened SentivoAIO9 existed=0")) << monitor.Record();
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, "SentivoAIO9");
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(SetEvent(ev));
    EXPECT_EQ(monitor.Wait(), 0) << monitor.Record();
    EXPECT_TRUE(CloseHandle(ev));

    // An object of that name that others may write is not trusted.
    const std::string path = ShmFileOf("Foreign1");
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    close(fd);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Foreign1"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    unlink(path.c_str());
}

}  // namespace
