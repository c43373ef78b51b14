// Handles, mutexes, events, waits and threads of the POSIX subset, checked against what Windows
// answers for the same calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/provider.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kBound = 10000;  // ms: long enough never to be hit when the code is right

// Runs f on a thread of its own and returns its result.
template <typename F>
auto OnOtherThread(F f) {
    return std::async(std::launch::async, f).get();
}

HANDLE NewEvent(bool manual, bool initial) {
    HANDLE h = CreateEventA(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr);
    EXPECT_NE(h, nullptr);
    return h;
}

// ---- mutexes -----------------------------------------------------------------------------------

TEST(PlatformMutex, IsRecursiveAndOwnedByOneThread) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "the owner takes it again";

    EXPECT_EQ(OnOtherThread([m] { return WaitForSingleObject(m, 0); }), WAIT_TIMEOUT);
    auto release = OnOtherThread([m] {
        BOOL ok = ReleaseMutex(m);
        return std::make_pair(ok, GetLastError());
    });
    EXPECT_EQ(release.first, FALSE);
    EXPECT_EQ(release.second, ERROR_NOT_OWNER);

    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(OnOtherThread([m] { return WaitForSingleObject(m, 0); }), WAIT_TIMEOUT)
        << "one release of two leaves it owned";
    ASSERT_TRUE(ReleaseMutex(m));

    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_EQ(OnOtherThread([m] {
                  DWORD r = WaitForSingleObject(m, 0);
                  if (r == WAIT_OBJECT_0) ReleaseMutex(m);
                  return r;
              }),
              WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(m));
}

TEST(PlatformMutex, InitialOwnerHoldsItUntilRelease) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(OnOtherThread([m] { return WaitForSingleObject(m, 0); }), WAIT_TIMEOUT);
    ASSERT_TRUE(ReleaseMutex(m));

    // A waiter blocked on the mutex gets it when the owner lets go.
    ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    HANDLE started = NewEvent(true, false);
    auto waiter = std::async(std::launch::async, [m, started] {
        SetEvent(started);
        DWORD r = WaitForSingleObject(m, kBound);
        if (r == WAIT_OBJECT_0) ReleaseMutex(m);
        return r;
    });
    ASSERT_EQ(WaitForSingleObject(started, kBound), WAIT_OBJECT_0);
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
    CloseHandle(started);
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

TEST(PlatformMutex, KeepsCountersConsistentUnderContention) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    int counter = 0;  // guarded by m only
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (WaitForSingleObject(m, kBound) != WAIT_OBJECT_0) {
                    ++failures;
                    continue;
                }
                ++counter;
                ReleaseMutex(m);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(counter, 8000);
    CloseHandle(m);
}

TEST(PlatformMutex, NamedMutexIsSharedAndNameKindIsChecked) {
    HANDLE a = CreateMutexA(nullptr, FALSE, "caldrix-test-mutex");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateMutexA(nullptr, TRUE, "caldrix-test-mutex");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(a, b);
    EXPECT_EQ(OnOtherThread([b] {
                  DWORD r = WaitForSingleObject(b, 0);
                  if (r == WAIT_OBJECT_0) ReleaseMutex(b);
                  return r;
              }),
              WAIT_OBJECT_0)
        << "opening an existing mutex does not take it, whatever initialOwner says";

    ASSERT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(OnOtherThread([b] { return WaitForSingleObject(b, 0); }), WAIT_TIMEOUT)
        << "both handles name one mutex";
    EXPECT_TRUE(ReleaseMutex(b));

    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "caldrix-test-mutex"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(a);
    CloseHandle(b);
}

// ---- events ------------------------------------------------------------------------------------

TEST(PlatformEvent, AutoResetReleasesOneWaitThenResets) {
    HANDLE e = NewEvent(false, true);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(e));
    ASSERT_TRUE(SetEvent(e)) << "setting a set event is no error";
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "two sets do not count twice";
    CloseHandle(e);
}

TEST(PlatformEvent, AutoResetWakesExactlyOneOfTwoWaiters) {
    HANDLE e = NewEvent(false, false);
    auto wait = [e] { return WaitForSingleObject(e, 300); };
    auto a = std::async(std::launch::async, wait);
    auto b = std::async(std::launch::async, wait);
    ASSERT_TRUE(SetEvent(e));
    DWORD ra = a.get(), rb = b.get();
    EXPECT_EQ((ra == WAIT_OBJECT_0) + (rb == WAIT_OBJECT_0), 1) << ra << " " << rb;
    EXPECT_EQ((ra == WAIT_TIMEOUT) + (rb == WAIT_TIMEOUT), 1) << ra << " " << rb;
    CloseHandle(e);
}

TEST(PlatformEvent, ManualResetStaysSetUntilReset) {
    HANDLE e = NewEvent(true, false);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(OnOtherThread([e] { return WaitForSingleObject(e, 0); }), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(PlatformEvent, SetFromAnotherThreadEndsAnInfiniteWait) {
    HANDLE e = NewEvent(false, false);
    HANDLE done = NewEvent(true, false);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] {
        result = WaitForSingleObject(e, INFINITE);
        SetEvent(done);
    });
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(done, kBound), WAIT_OBJECT_0);
    SetEvent(e);  // frees the waiter should the wait above have failed
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(e);
    CloseHandle(done);
}

TEST(PlatformEvent, TimedWaitLastsItsTime) {
    HANDLE e = NewEvent(true, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 120), WAIT_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(120));
    EXPECT_LT(waited, std::chrono::milliseconds(kBound));
    CloseHandle(e);
}

TEST(PlatformEvent, NamedEventIsOneObjectUntilTheLastHandleCloses) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "caldrix-test-event");
    ASSERT_NE(a, nullptr);
    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, "caldrix-test-event");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT) << "the existing event keeps its state";
    ASSERT_TRUE(SetEvent(b));
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "and its manual reset";
    CloseHandle(a);
    CloseHandle(b);

    HANDLE c = CreateEventA(nullptr, TRUE, FALSE, "caldrix-test-event");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "the name died with its last handle";
    EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_TIMEOUT);
    CloseHandle(c);

    std::string tooLong(261, 'n');
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

// ---- WaitForMultipleObjects --------------------------------------------------------------------

TEST(PlatformWait, AnyAnswersTheLowestSignalledIndexAndTakesOnlyIt) {
    HANDLE h[3] = {NewEvent(false, false), NewEvent(false, true), NewEvent(false, true)};
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(h[1], 0), WAIT_TIMEOUT) << "index 1 was taken";
    EXPECT_EQ(WaitForSingleObject(h[2], 0), WAIT_OBJECT_0) << "index 2 was not";
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 50), WAIT_TIMEOUT);

    auto later = std::async(std::launch::async, [&] { return SetEvent(h[2]); });
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, kBound), WAIT_OBJECT_0 + 2);
    EXPECT_TRUE(later.get());
    for (HANDLE e : h) CloseHandle(e);
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

    // A mutex held elsewhere holds back the whole set.
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE held = NewEvent(true, false), letGo = NewEvent(true, false);
    std::thread owner([&] {
        WaitForSingleObject(m, 0);
        SetEvent(held);
        WaitForSingleObject(letGo, kBound);
        ReleaseMutex(m);
    });
    ASSERT_EQ(WaitForSingleObject(held, kBound), WAIT_OBJECT_0);
    HANDLE mixed[2] = {h[0], m};
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, TRUE, 30), WAIT_TIMEOUT);
    SetEvent(letGo);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, TRUE, kBound), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m)) << "the wait took the mutex";
    owner.join();
    for (HANDLE e : {h[0], h[1], m, held, letGo}) CloseHandle(e);
}

TEST(PlatformWait, RefusesBadArguments) {
    HANDLE e = NewEvent(true, true);
    HANDLE closed = NewEvent(true, true);
    CloseHandle(closed);
    struct Case {
        const char* what;
        DWORD count;
        std::vector<HANDLE> handles;
        bool nullArray;
        BOOL all;
        DWORD error;
    } cases[] = {
        {"no handles", 0, {e}, false, FALSE, ERROR_INVALID_PARAMETER},
        {"more than 64", 65, std::vector<HANDLE>(65, e), false, FALSE, ERROR_INVALID_PARAMETER},
        {"null array", 1, {}, true, FALSE, ERROR_NOACCESS},
        {"one closed handle", 2, {e, closed}, false, FALSE, ERROR_INVALID_HANDLE},
        {"null handle", 1, {nullptr}, false, FALSE, ERROR_INVALID_HANDLE},
        {"duplicates with wait-all", 2, {e, e}, false, TRUE, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        const HANDLE* array = c.nullArray ? nullptr : c.handles.data();
        EXPECT_EQ(WaitForMultipleObjects(c.count, array, c.all, 0), WAIT_FAILED) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    HANDLE twice[2] = {e, e};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0)
        << "duplicates are fine when any one will do";
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
    if (WaitForSingleObject(probe->go, kBound) != WAIT_OBJECT_0) return 1;
    return 42;
}

TEST(PlatformThread, RunsTheRoutineWithItsParameterAndReportsItsExit) {
    ThreadProbe probe;
    probe.go = NewEvent(true, false);
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, ProbeRoutine, &probe, 0, &id);
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
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    CloseHandle(t);
    CloseHandle(probe.go);
}

TEST(PlatformThread, ClosingItsHandleLetsTheThreadRunOn) {
    ThreadProbe probe;
    probe.go = NewEvent(true, false);
    HANDLE done = NewEvent(true, false);
    struct Both {
        ThreadProbe* probe;
        HANDLE done;
    } both{&probe, done};
    HANDLE t = CreateThread(
        nullptr, 64 * 1024,
        [](LPVOID p) -> DWORD {
            Both* b = static_cast<Both*>(p);
            DWORD r = ProbeRoutine(b->probe);
            SetEvent(b->done);
            return r;
        },
        &both, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(CloseHandle(t));
    SetEvent(probe.go);
    EXPECT_EQ(WaitForSingleObject(done, kBound), WAIT_OBJECT_0);
    CloseHandle(done);
    CloseHandle(probe.go);
}

TEST(PlatformThread, RefusesWhatItCannotRun) {
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, TakeAndReturn, nullptr, 0x4 /* suspended */, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    HANDLE e = NewEvent(true, false);
    DWORD code = 7;
    EXPECT_FALSE(GetExitCodeThread(e, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(code, 7u);
    CloseHandle(e);
}

// ---- handles -----------------------------------------------------------------------------------

TEST(PlatformHandle, ClosedAndForeignHandlesAreRefusedWithoutBeingTouched) {
    HANDLE e = NewEvent(true, false);
    ASSERT_TRUE(CloseHandle(e));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(e)) << "closing twice";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    int onTheStack = 0;
    const HANDLE bad[] = {e, nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x12345),
                          &onTheStack};
    for (HANDLE h : bad) {
        SetLastError(0);
        EXPECT_FALSE(SetEvent(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(ResetEvent(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(onTheStack, 0);
}

TEST(PlatformHandle, AHandleOfTheWrongKindIsInvalid) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE e = NewEvent(true, false);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(m));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "the mutex is untouched";
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "the event is untouched";
    ReleaseMutex(m);
    CloseHandle(m);
    CloseHandle(e);
}

TEST(PlatformHandle, ValuesAreNotReusedAfterClose) {
    HANDLE first = NewEvent(true, false);
    CloseHandle(first);
    HANDLE second = NewEvent(true, true);
    EXPECT_NE(second, first);
    EXPECT_FALSE(ResetEvent(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0) << "the stale handle reached nothing";
    CloseHandle(second);
}

TEST(PlatformHandle, CloseRacingUseNeverTouchesFreedMemory) {
    for (int round = 0; round < 50; ++round) {
        HANDLE e = NewEvent(false, false);
        HANDLE go = NewEvent(true, false);
        std::atomic<int> odd{0};
        std::vector<std::thread> users;
        for (int t = 0; t < 3; ++t) {
            users.emplace_back([&] {
                WaitForSingleObject(go, kBound);
                for (int i = 0; i < 200; ++i) {
                    SetLastError(0);
                    if (!SetEvent(e) && GetLastError() != ERROR_INVALID_HANDLE) ++odd;
                    DWORD r = WaitForSingleObject(e, 0);
                    if (r == WAIT_FAILED && GetLastError() != ERROR_INVALID_HANDLE) ++odd;
                }
            });
        }
        SetEvent(go);
        EXPECT_TRUE(CloseHandle(e));
        for (auto& th : users) th.join();
        EXPECT_EQ(odd.load(), 0);
        CloseHandle(go);
    }
}

// ---- process-wide calls ------------------------------------------------------------------------

TEST(PlatformProcess, VersionIsAnNtFamilyRecordOfTheSizeAsked) {
    OSVERSIONINFOA info;
    memset(&info, 0xAB, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_EQ(sizeof info, 148u);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(memchr(info.szCSDVersion, 0, sizeof info.szCSDVersion) != nullptr, true);

    // The extended record: eight more bytes, written; nothing past them.
    unsigned char ex[156 + 4];
    memset(ex, 0xAB, sizeof ex);
    DWORD size = 156;
    memcpy(ex, &size, sizeof size);
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(ex)));
    EXPECT_EQ(ex[148 + 6], 1) << "wProductType: a workstation";
    for (int i = 156; i < 160; ++i) EXPECT_EQ(ex[i], 0xAB) << i;

    for (DWORD wrong : {0u, 147u, 149u, 0xFFFFFFFFu}) {
        memset(&info, 0, sizeof info);
        info.dwOSVersionInfoSize = wrong;
        SetLastError(0);
        EXPECT_FALSE(GetVersionExA(&info)) << wrong;
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << wrong;
        EXPECT_EQ(info.dwPlatformId, 0u) << wrong;
    }
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
}

std::vector<DWORD>* g_pauses = nullptr;
void RecordPause(DWORD ms) { g_pauses->push_back(ms); }

TEST(PlatformProcess, SleepGoesToTheHookWhileOneIsSet) {
    std::vector<DWORD> pauses;
    g_pauses = &pauses;
    caldrix_posix::SetSleepHook(RecordPause);
    auto start = std::chrono::steady_clock::now();
    Sleep(60000);
    Sleep(250);
    caldrix_posix::SetSleepHook(nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(pauses, (std::vector<DWORD>{60000, 250}));

    start = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(pauses.size(), 2u) << "no hook: a real pause";
    g_pauses = nullptr;
}

}  // namespace
