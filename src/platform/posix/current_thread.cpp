// The calling thread and time: thread ids (GetCurrentThreadId, and the ids CreateThread hands
// out before a thread runs), Sleep with the hook tests put in place of its pause, and the tick
// count.
#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "handles.h"
#include "provider.h"

namespace caldrix_posix {
namespace {

thread_local DWORD t_threadId = 0;
std::atomic<DWORD> g_nextThreadId{0};
std::atomic<SleepHook> g_sleepHook{nullptr};

}  // namespace

DWORD AllocateThreadId() {
    DWORD id;
    do {
        id = g_nextThreadId.fetch_add(4, std::memory_order_relaxed) + 4;
    } while (id == 0);
    return id;
}

void AdoptThreadId(DWORD id) { t_threadId = id; }

void SetSleepHook(SleepHook hook) { g_sleepHook.store(hook); }

}  // namespace caldrix_posix

using namespace caldrix_posix;

DWORD GetCurrentThreadId(void) {
    if (t_threadId == 0) t_threadId = AllocateThreadId();
    return t_threadId;
}

void Sleep(DWORD milliseconds) {
    if (SleepHook hook = g_sleepHook.load()) {
        hook(milliseconds);
        return;
    }
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) {
            struct timespec day = {86400, 0};
            nanosleep(&day, nullptr);
        }
    }
    struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

DWORD GetTickCount(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                              static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}
