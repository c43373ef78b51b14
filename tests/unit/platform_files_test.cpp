// CreateFileA over the device providers, the file and comm calls on the handles it makes, failure
// injection in the simulated serial device, and errno translation.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/provider.h"
#include "sim/sim_provider.h"
#include "platform/win32.h"
#include "unit_support.h"

namespace {

using caldrix_posix::Device;
using caldrix_posix::DeviceProvider;
using caldrix_posix::OpenResult;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

// A call's result and the last error it left; the error is cleared first so none is stale.
using Answer = std::pair<DWORD, DWORD>;
template <typename F>
Answer Outcome(F call) {
    SetLastError(0);
    const DWORD result = static_cast<DWORD>(call());
    return {result, GetLastError()};
}

HANDLE Open(const char* name) {
    return CreateFileA(name, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Opens `name`, closing what opened, and answers the last error left: ERROR_SUCCESS only for a
// handle, since a successful open must clear it.
DWORD OpenError(const char* name) {
    SetLastError(0xFFFF);
    HANDLE h = Open(name);
    const DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return error;
}

class SimFiles : public SimulatedPlatformTest {};

// ---- failure injection, as the library tests use it --------------------------------------------

TEST_F(SimFiles, FailMakesTheChosenOccurrenceOfEachCallFailOnce) {
    sim::SerialDevice& dev = sim::AddSerial("COM6");
    sim::Fail("CreateFileA", ERROR_SHARING_VIOLATION, 2);
    HANDLE h = Open("COM6");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenError("/dev/null"), ERROR_SHARING_VIOLATION) << "a host name counts too";

    uint8_t buf[4] = {};
    DWORD n = 0;
    DCB dcb = dev.dcb;
    COMSTAT stat;
    const std::pair<const char*, std::function<BOOL()>> calls[] = {
        {"ReadFile", [&] { return ReadFile(h, buf, 4, &n, nullptr); }},
        {"WriteFile", [&] { return WriteFile(h, buf, 4, &n, nullptr); }},
        {"GetCommState", [&] { return GetCommState(h, &dcb); }},
        {"SetCommState", [&] { return SetCommState(h, &dcb); }},
        {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXCLEAR); }},
        {"ClearCommError", [&] { return ClearCommError(h, &n, &stat); }},
        {"GetCommModemStatus", [&] { return GetCommModemStatus(h, &n); }},
        {"EscapeCommFunction", [&] { return EscapeCommFunction(h, SETDTR); }},
    };
    DWORD code = 1000;
    for (const auto& c : calls) {
        sim::Fail(c.first, ++code, 2);
        EXPECT_TRUE(c.second()) << c.first << ": not the chosen occurrence";
        EXPECT_EQ(Outcome(c.second), Answer(FALSE, code)) << c.first;
        EXPECT_TRUE(c.second()) << c.first << ": one failure, once";
    }

    // A failing read still hands over its bytes; a failing write takes none.
    dev.reads = {{1, 2}};
    sim::Fail("ReadFile", ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Outcome(calls[0].second), Answer(FALSE, ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buf[1], 2);
    const size_t written = dev.written.size();
    sim::Fail("WriteFile", ERROR_SEM_TIMEOUT);
    EXPECT_EQ(Outcome(calls[1].second), Answer(FALSE, ERROR_SEM_TIMEOUT));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(dev.written.size(), written);

    // A failing close still closes.
    sim::Fail("CloseHandle", ERROR_INVALID_FUNCTION);
    EXPECT_EQ(Outcome([&] { return CloseHandle(h); }), Answer(FALSE, ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(dev.open);
    EXPECT_EQ(Outcome([&] { return CloseHandle(h); }), Answer(FALSE, ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenError("COM6"), ERROR_SUCCESS);
}

// ---- bad arguments and bad handles -------------------------------------------------------------

TEST_F(SimFiles, BadArgumentsGetAnAnswerAndNeverReachTheDevice) {
    sim::SerialDevice& dev = sim::AddSerial("COM9");
    dev.reads = {{1}};
    HANDLE h = Open("COM9");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
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
        {"GetCommState", [&] { return GetCommState(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"SetCommState", [&] { return SetCommState(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"GetCommTimeouts", [&] { return GetCommTimeouts(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"SetCommTimeouts", [&] { return SetCommTimeouts(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"GetCommModemStatus", [&] { return GetCommModemStatus(h, nullptr); },
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) EXPECT_EQ(Outcome(c.call), Answer(FALSE, c.error)) << c.what;
    n = 5;
    ReadFile(h, nullptr, 4, &n, nullptr);
    EXPECT_EQ(n, 0u) << "the count is cleared before anything else";
    EXPECT_TRUE(sim::Calls().empty()) << "nothing reached the device";
    EXPECT_EQ(dev.reads.size(), 1u);

    EXPECT_TRUE(ReadFile(h, nullptr, 0, &n, nullptr)) << "a read of nothing needs no buffer";
    EXPECT_EQ(n, 0u);
    dev.commErrors = CE_BREAK;
    EXPECT_TRUE(ClearCommError(h, nullptr, nullptr)) << "both outputs are optional";
    EXPECT_EQ(dev.commErrors, 0u);
    CloseHandle(h);
}

TEST_F(SimFiles, FileCallsOnClosedOrOtherHandlesAreInvalid) {
    sim::AddSerial("COM1");
    HANDLE closed = Open("COM1");
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    uint8_t buf[2];
    DWORD n = 7;
    DCB dcb = {};
    COMMTIMEOUTS t = {};
    const std::function<BOOL(HANDLE)> calls[] = {
        [&](HANDLE h) { return ReadFile(h, buf, 2, &n, nullptr); },
        [&](HANDLE h) { return WriteFile(h, buf, 2, &n, nullptr); },
        [&](HANDLE h) { return GetCommState(h, &dcb); },
        [&](HANDLE h) { return SetCommState(h, &dcb); },
        [&](HANDLE h) { return SetupComm(h, 1024, 1024); },
        [&](HANDLE h) { return GetCommTimeouts(h, &t); },
        [&](HANDLE h) { return SetCommTimeouts(h, &t); },
        [&](HANDLE h) { return PurgeComm(h, 0); },
        [&](HANDLE h) { return ClearCommError(h, &n, nullptr); },
        [&](HANDLE h) { return GetCommModemStatus(h, &n); },
        [&](HANDLE h) { return EscapeCommFunction(h, SETDTR); },
    };
    for (HANDLE bad : {closed, e, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        for (size_t i = 0; i < std::size(calls); ++i) {
            n = 7;
            EXPECT_EQ(Outcome([&] { return calls[i](bad); }), Answer(FALSE, ERROR_INVALID_HANDLE))
                << "call " << i << " on " << bad;
            if (i < 2) {
                EXPECT_EQ(n, 0u) << "a transfer clears its count: call " << i;
            }
        }
    }
    HANDLE file = Open("COM1");
    EXPECT_EQ(Outcome([&] { return WaitForSingleObject(file, 0); }),
              Answer(WAIT_FAILED, ERROR_INVALID_HANDLE))
        << "a file is no waitable object";
    CloseHandle(file);
    CloseHandle(e);
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
        if (name != asked) return OpenResult::NotMine;
        if (answer == OpenResult::Failed) *error = failure;
        if (answer == OpenResult::Opened && !giveNothing) out->reset(new TagDevice(tag));
        return answer;
    }
    std::string name;
    uint8_t tag;
    OpenResult answer = OpenResult::Opened;
    DWORD failure = 0;
    bool giveNothing = false;
};

uint8_t TagOf(HANDLE h) {
    uint8_t tag = 0;
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, &tag, 1, &n, nullptr));
    CloseHandle(h);
    return tag;
}

TEST(PlatformProviders, AreAskedMostRecentFirstThenTheHost) {
    TestProvider a("caldrix-dev", 'a'), b("caldrix-dev", 'b'), onlyA("caldrix-a-only", 'A');
    caldrix_posix::RegisterDeviceProvider(&onlyA);
    caldrix_posix::RegisterDeviceProvider(&a);
    caldrix_posix::RegisterDeviceProvider(&b);
    EXPECT_EQ(TagOf(Open("caldrix-dev")), 'b') << "the last registered is asked first";
    EXPECT_EQ(TagOf(Open("caldrix-a-only")), 'A') << "names passed on down the list";
    HANDLE h = Open("caldrix-a-only");
    DWORD n;
    DCB dcb;
    EXPECT_EQ(Outcome([&] { return WriteFile(h, "x", 1, &n, nullptr); }),
              Answer(FALSE, ERROR_INVALID_FUNCTION))
        << "a device refuses what it does not implement";
    EXPECT_EQ(Outcome([&] { return GetCommState(h, &dcb); }),
              Answer(FALSE, ERROR_INVALID_FUNCTION));
    CloseHandle(h);

    caldrix_posix::RegisterDeviceProvider(&a);  // again: moves to the front
    EXPECT_EQ(TagOf(Open("caldrix-dev")), 'a');
    caldrix_posix::UnregisterDeviceProvider(&a);
    EXPECT_EQ(TagOf(Open("caldrix-dev")), 'b') << "a registered twice is listed once";

    b.answer = OpenResult::Failed;
    b.failure = ERROR_SHARING_VIOLATION;
    EXPECT_EQ(OpenError("caldrix-dev"), ERROR_SHARING_VIOLATION);
    b.answer = OpenResult::Opened;
    b.giveNothing = true;
    EXPECT_EQ(OpenError("caldrix-dev"), ERROR_GEN_FAILURE) << "opened, but no device";

    caldrix_posix::UnregisterDeviceProvider(&b);
    caldrix_posix::UnregisterDeviceProvider(&onlyA);
    caldrix_posix::UnregisterDeviceProvider(&onlyA);  // not registered: nothing happens
    caldrix_posix::RegisterDeviceProvider(nullptr);
    EXPECT_EQ(OpenError("caldrix-dev"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(""), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenError(nullptr), ERROR_PATH_NOT_FOUND);
}

// ---- errno -------------------------------------------------------------------------------------

TEST(PlatformErrno, MapsToTheCodesWindowsReports) {
    const std::pair<DWORD, std::vector<int>> table[] = {
        {ERROR_SUCCESS, {0}},
        {ERROR_FILE_NOT_FOUND, {ENOENT}},
        {ERROR_PATH_NOT_FOUND, {ENOTDIR}},
        {ERROR_TOO_MANY_OPEN_FILES, {EMFILE, ENFILE}},
        {ERROR_ACCESS_DENIED, {EACCES, EPERM, EBUSY, EWOULDBLOCK, EAGAIN, EISDIR}},
        {ERROR_INVALID_HANDLE, {EBADF}},
        {ERROR_NOT_ENOUGH_MEMORY, {ENOMEM}},
        {ERROR_INVALID_PARAMETER, {EINVAL}},
        {ERROR_NOT_SUPPORTED, {ENOTTY, EOPNOTSUPP, ENOSYS}},
        {ERROR_DEVICE_NOT_CONNECTED, {ENXIO, ENODEV, ESHUTDOWN}},
        {ERROR_BROKEN_PIPE, {EPIPE}},
        {ERROR_SEM_TIMEOUT, {ETIMEDOUT}},
        {ERROR_FILENAME_EXCED_RANGE, {ENAMETOOLONG}},
        {ERROR_OPERATION_ABORTED, {ECANCELED, EINTR}},
        {ERROR_GEN_FAILURE, {EIO, EDOM, -1}},
    };
    for (const auto& row : table) {
        for (int err : row.second) {
            EXPECT_EQ(caldrix_posix::Win32ErrorFromErrno(err), row.first)
                << "errno " << err << " (" << strerror(err) << ")";
        }
    }
}

}  // namespace

// ---- overlapped transfers and cancellation -----------------------------------------------------

// A device whose transfers stay pending until the test completes them or a cancel ends them.
// Close is recorded with how many transfers were still pending then.
struct PendingDevice : Device {
    struct Shared {
        std::mutex lock;
        std::vector<caldrix_posix::IoCompletion*> pending;
        int closes = 0;
        size_t pendingAtClose = 0;
        int cancels = 0;
    };
    explicit PendingDevice(std::shared_ptr<Shared> s) : shared(std::move(s)) {}
    BOOL StartRead(void*, DWORD, caldrix_posix::IoCompletion* done, DWORD*) override {
        std::lock_guard<std::mutex> g(shared->lock);
        shared->pending.push_back(done);
        return TRUE;
    }
    BOOL StartWrite(const void*, DWORD n, caldrix_posix::IoCompletion* done, DWORD*) override {
        done->Complete(n, ERROR_SUCCESS);  // a write completes while it starts
        return TRUE;
    }
    void Cancel(caldrix_posix::IoCompletion* which) override {
        std::vector<caldrix_posix::IoCompletion*> ended;
        {
            std::lock_guard<std::mutex> g(shared->lock);
            ++shared->cancels;
            auto& p = shared->pending;
            for (auto it = p.begin(); it != p.end();) {
                if (which == nullptr || *it == which) {
                    ended.push_back(*it);
                    it = p.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto* c : ended) c->Complete(0, ERROR_OPERATION_ABORTED);  // outside the lock
    }
    BOOL Close(DWORD*) override {
        std::lock_guard<std::mutex> g(shared->lock);
        ++shared->closes;
        shared->pendingAtClose = shared->pending.size();
        return TRUE;
    }
    // Completes the oldest pending transfer, as a device does when its data arrives.
    static void CompleteOldest(Shared& s, DWORD bytes) {
        caldrix_posix::IoCompletion* c;
        {
            std::lock_guard<std::mutex> g(s.lock);
            ASSERT_FALSE(s.pending.empty());
            c = s.pending.front();
            s.pending.erase(s.pending.begin());
        }
        c->Complete(bytes, ERROR_SUCCESS);
    }
    std::shared_ptr<Shared> shared;
};

struct PendingProvider : DeviceProvider {
    OpenResult Open(const char* name, DWORD, DWORD, DWORD, std::unique_ptr<Device>* out,
                    DWORD*) override {
        if (std::string(name) != "PENDING") return OpenResult::NotMine;
        out->reset(new PendingDevice(shared));
        return OpenResult::Opened;
    }
    std::shared_ptr<PendingDevice::Shared> shared = std::make_shared<PendingDevice::Shared>();
};

class Overlapped : public ::testing::Test {
protected:
    void SetUp() override {
        caldrix_posix::RegisterDeviceProvider(&provider);
        h = CreateFileA("PENDING", kReadWrite, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // set: a start must reset it
    }
    void TearDown() override {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        CloseHandle(ov.hEvent);
        caldrix_posix::UnregisterDeviceProvider(&provider);
    }
    PendingDevice::Shared& dev() { return *provider.shared; }

    PendingProvider provider;
    HANDLE h = INVALID_HANDLE_VALUE;
    OVERLAPPED ov = {};
    char buf[16] = {};
    DWORD n = 99;
};

TEST_F(Overlapped, APendingReadCompletesThroughItsEventAndRecord) {
    EXPECT_EQ(Outcome([&] { return ReadFile(h, buf, sizeof buf, &n, &ov); }),
              Answer(FALSE, ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT) << "the start resets the event";
    EXPECT_EQ(Outcome([&] { return GetOverlappedResult(h, &ov, &n, FALSE); }),
              Answer(FALSE, ERROR_IO_INCOMPLETE));
    EXPECT_EQ(Outcome([&] { return ReadFile(h, buf, sizeof buf, &n, nullptr); }),
              Answer(FALSE, ERROR_INVALID_PARAMETER))
        << "an overlapped handle needs a record";

    std::thread device([&] { PendingDevice::CompleteOldest(dev(), 5); });
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    device.join();
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);

    // Finished while starting: answered at once, event set all the same.
    n = 0;
    EXPECT_TRUE(WriteFile(h, buf, 7, &n, &ov));
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
}

TEST_F(Overlapped, CancelEndsTheChosenTransferOrAll) {
    OVERLAPPED other = {};
    other.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(Outcome([&] { return CancelIoEx(h, nullptr); }), Answer(FALSE, ERROR_NOT_FOUND))
        << "nothing in progress";
    ASSERT_FALSE(ReadFile(h, buf, 4, &n, &ov));
    ASSERT_FALSE(ReadFile(h, buf + 4, 4, &n, &other));
    EXPECT_EQ(Outcome([&] { return CancelIoEx(h, &ov); }), Answer(TRUE, 0u));
    EXPECT_EQ(Outcome([&] { return GetOverlappedResult(h, &ov, &n, TRUE); }),
              Answer(FALSE, ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Outcome([&] { return CancelIoEx(h, &ov); }), Answer(FALSE, ERROR_NOT_FOUND))
        << "that one has ended";
    EXPECT_EQ(Outcome([&] { return GetOverlappedResult(h, &other, &n, FALSE); }),
              Answer(FALSE, ERROR_IO_INCOMPLETE))
        << "the other goes on";
    EXPECT_TRUE(CancelIoEx(h, nullptr));
    EXPECT_EQ(Outcome([&] { return GetOverlappedResult(h, &other, &n, TRUE); }),
              Answer(FALSE, ERROR_OPERATION_ABORTED));
    CloseHandle(other.hEvent);
}

TEST_F(Overlapped, CloseCancelsWhatIsPendingAndClosesTheDeviceAfterIt) {
    ASSERT_FALSE(ReadFile(h, buf, 4, &n, &ov));
    EXPECT_TRUE(CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Outcome([&] { return GetOverlappedResult(nullptr, &ov, &n, TRUE); }),
              Answer(FALSE, ERROR_OPERATION_ABORTED));
    EXPECT_EQ(dev().closes, 1);
    EXPECT_EQ(dev().pendingAtClose, 0u) << "the device closed only after its transfer ended";
}

// A completed transfer signals the event it was started with and touches nothing of the record
// after publishing its end: the caller may reuse the record, with another event, at once. The
// record lies across a page edge so that hEvent and what follows are on a page taken away once
// the transfer has started; a completion that reaches for them faults, and the fault is noted.
namespace {
char* g_guarded = nullptr;
long g_page = 0;
volatile sig_atomic_t g_touched = 0;

void NoteTouch(int, siginfo_t* info, void*) {
    char* at = static_cast<char*>(info->si_addr);
    if (at < g_guarded || at >= g_guarded + g_page) signal(SIGSEGV, SIG_DFL);  // a real fault
    g_touched = 1;
    mprotect(g_guarded, static_cast<size_t>(g_page), PROT_READ | PROT_WRITE);
}
}  // namespace

TEST_F(Overlapped, ACompletionSignalsItsStartingEventAndLeavesTheRecordAlone) {
    g_page = sysconf(_SC_PAGESIZE);
    void* mem = mmap(nullptr, static_cast<size_t>(2 * g_page), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    g_guarded = static_cast<char*>(mem) + g_page;
    auto* record = reinterpret_cast<OVERLAPPED*>(g_guarded - offsetof(OVERLAPPED, hEvent));
    record->hEvent = ov.hEvent;
    struct sigaction note = {}, old = {};
    note.sa_sigaction = NoteTouch;
    note.sa_flags = SA_SIGINFO;
    ASSERT_EQ(sigaction(SIGSEGV, &note, &old), 0);

    ASSERT_EQ(Outcome([&] { return ReadFile(h, buf, sizeof buf, &n, record); }),
              Answer(FALSE, ERROR_IO_PENDING));
    g_touched = 0;
    ASSERT_EQ(mprotect(g_guarded, static_cast<size_t>(g_page), PROT_NONE), 0);
    PendingDevice::CompleteOldest(dev(), 3);
    EXPECT_EQ(g_touched, 0) << "the completion read the record's event after publishing its end";
    EXPECT_EQ(record->Internal, 0u);
    EXPECT_EQ(record->InternalHigh, 3u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0) << "the event it started with";

    sigaction(SIGSEGV, &old, nullptr);
    munmap(mem, static_cast<size_t>(2 * g_page));
}

// A caller that sees a transfer done, resets its event and starts again (as the library's writes
// and reads do) never finds the event set by the transfer that ended: GetOverlappedResult answers
// only once that transfer has set it.
TEST_F(Overlapped, AnEventResetAfterTheResultIsNeverSetByTheTransferThatEnded) {
    std::atomic<int> asked{0}, completed{0};
    std::atomic<bool> stop{false};
    std::thread device([&] {
        for (int done = 0; !stop.load();) {
            if (asked.load() == done) {
                std::this_thread::yield();
                continue;
            }
            PendingDevice::CompleteOldest(dev(), 1);
            completed.store(++done);
        }
    });
    int stray = 0;
    const int rounds = 20000;
    for (int i = 1; i <= rounds && stray == 0; ++i) {
        ASSERT_FALSE(ReadFile(h, buf, 4, &n, &ov));
        asked.store(i);
        while (!GetOverlappedResult(h, &ov, &n, FALSE)) ASSERT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
        ResetEvent(ov.hEvent);
        while (completed.load() != i) std::this_thread::yield();  // its Complete has returned
        if (WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0) stray = i;
    }
    stop.store(true);
    device.join();
    EXPECT_EQ(stray, 0) << "round " << stray << " of " << rounds;
}
