// Mutexes, events, threads and the waits on them. Every waitable object's state is guarded by
// one process-wide lock: a single lock makes WaitForMultipleObjects with waitAll atomic without
// any lock ordering. Each wait sleeps on a condition variable of its own, listed on the objects
// it waits for, and a change wakes only the waits on the object that changed: traffic on one port
// does not wake every other port's threads.
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_set>
#include <vector>

#include "handles.h"
#include "provider.h"
#include "shared_event.h"

namespace caldrix_posix {
namespace {

constexpr DWORD kCreateSuspended = 0x00000004u;
// How often a wait looks again at objects that other processes change.
constexpr std::chrono::milliseconds kRemotePoll{5};

struct MutexObject;

struct SyncState {
    std::mutex lock;
    std::unordered_set<MutexObject*> mutexes;  // for abandonment when an owner thread ends
};

struct WaitBlock;

// Never destroyed: threads may still wait or release while the process exits.
SyncState& Sync() {
    static SyncState* state = new SyncState;
    return *state;
}

// A waitable object; every member is read and written under Sync().lock.
struct Waitable : HandleObject {
    using HandleObject::HandleObject;
    virtual bool Signalled(DWORD tid) const = 0;
    // Takes the object for thread tid; answers WAIT_OBJECT_0 or WAIT_ABANDONED_0.
    virtual DWORD Acquire(DWORD tid) = 0;
    // Changed by other processes too, which cannot wake this one's waits: those look again often.
    virtual bool Remote() const { return false; }

    std::vector<WaitBlock*> watchers;  // the waits asleep on this object
};

void ArmExitGuard();

// One WaitForSingleObject/WaitForMultipleObjects while it waits, queued on every mutex it waits
// for, so that a released mutex can be handed to it.
struct WaitBlock {
    WaitBlock(DWORD t, bool a, const std::vector<std::shared_ptr<Waitable>>* o)
        : tid(t), all(a), objects(o) {}
    DWORD tid;
    bool all;
    const std::vector<std::shared_ptr<Waitable>>* objects;
    bool granted = false;  // a release has handed it what it waited for
    DWORD result = 0;
    std::condition_variable wake;
};

// Wakes the waits asleep on an object that has just changed. Caller holds Sync().lock.
void Wake(const Waitable& o) {
    for (WaitBlock* b : o.watchers) b->wake.notify_one();
}

struct MutexObject : Waitable {
    explicit MutexObject(DWORD initialOwner) : Waitable(HandleKind::Mutex) {
        std::lock_guard<std::mutex> guard(Sync().lock);
        owner = initialOwner;
        count = initialOwner != 0 ? 1 : 0;
        Sync().mutexes.insert(this);
    }
    ~MutexObject() override {
        std::lock_guard<std::mutex> guard(Sync().lock);
        Sync().mutexes.erase(this);
    }
    bool Signalled(DWORD tid) const override { return owner == 0 || owner == tid; }
    DWORD Acquire(DWORD tid) override {
        owner = tid;
        ++count;
        if (abandoned) {
            abandoned = false;
            return WAIT_ABANDONED_0;
        }
        return WAIT_OBJECT_0;
    }

    DWORD owner = 0;  // thread id, 0 when free
    DWORD count = 0;  // recursion depth of the owner
    bool abandoned = false;
    std::deque<WaitBlock*> waiters;  // in the order they began to wait
};

// Acquire's answer when another process took an auto-reset signal first.
constexpr DWORD kAcquireLost = 0xFFFFFFFEu;

// An unnamed event lives here; a named one in a record that other processes map too.
struct EventObject : Waitable {
    EventObject(bool manual, bool initial)
        : Waitable(HandleKind::Event), manualReset(manual), signalled(initial) {}
    ~EventObject() override {
        if (shared.record != nullptr) caldrix_event_close(&shared);
    }
    bool Signalled(DWORD) const override {
        if (shared.record == nullptr) return signalled;
        return __atomic_load_n(&shared.record->signalled, __ATOMIC_ACQUIRE) != 0;
    }
    DWORD Acquire(DWORD) override {
        if (shared.record != nullptr) {
            return caldrix_event_try(&shared) ? WAIT_OBJECT_0 : kAcquireLost;
        }
        if (!manualReset) signalled = false;
        return WAIT_OBJECT_0;
    }
    bool Remote() const override { return shared.record != nullptr; }

    const bool manualReset;
    bool signalled;
    caldrix_shared_event shared = {};
};

struct ThreadObject : Waitable {
    explicit ThreadObject(DWORD tid) : Waitable(HandleKind::Thread), id(tid) {}
    bool Signalled(DWORD) const override { return done; }
    DWORD Acquire(DWORD) override { return WAIT_OBJECT_0; }

    const DWORD id;
    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
};

// A started child process: signalled once it has ended and been reaped.
struct ProcessObject : Waitable {
    ProcessObject() : Waitable(HandleKind::Process) {}
    bool Signalled(DWORD) const override { return done; }
    DWORD Acquire(DWORD) override { return WAIT_OBJECT_0; }

    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
};

// Takes every object for thread tid; the answer of a wait for all of them.
DWORD AcquireAll(const std::vector<std::shared_ptr<Waitable>>& objects, DWORD tid) {
    DWORD result = WAIT_OBJECT_0;
    for (DWORD i = 0; i < objects.size(); ++i) {
        if (objects[i]->Acquire(tid) == WAIT_ABANDONED_0 && result == WAIT_OBJECT_0) {
            result = WAIT_ABANDONED_0 + i;
        }
    }
    return result;
}

// A mutex that has just become free goes to the thread that has waited for it longest and can
// take it now, as on Windows: a thread that lets it go and asks again at once queues behind the
// waiters instead of taking it back before they run. Caller holds Sync().lock.
void HandOff(MutexObject* m) {
    for (WaitBlock* b : m->waiters) {
        if (b->granted) continue;
        const auto& objects = *b->objects;
        if (b->all) {
            bool ready = true;
            for (const auto& o : objects) ready = ready && !o->Remote() && o->Signalled(b->tid);
            if (!ready) continue;
            b->result = AcquireAll(objects, b->tid);
        } else {
            DWORD i = 0;
            while (objects[i].get() != m) ++i;
            b->result = m->Acquire(b->tid) + i;
        }
        b->granted = true;
        return;
    }
}

// A thread that ends while owning mutexes leaves them abandoned, as on Windows: the next
// waiter gets them with WAIT_ABANDONED_0 instead of waiting for ever.
void AbandonMutexesOf(DWORD tid) {
    SyncState& s = Sync();
    std::lock_guard<std::mutex> guard(s.lock);
    for (MutexObject* m : s.mutexes) {
        if (m->owner == tid) {
            m->owner = 0;
            m->count = 0;
            m->abandoned = true;
            HandOff(m);
            Wake(*m);
        }
    }
}

// Threads not started by CreateThread (the JVM's, the tests') are covered by a thread-local
// guard, armed the first time the thread takes a mutex.
struct ExitGuard {
    bool armed = false;
    ~ExitGuard() {
        if (armed) AbandonMutexesOf(GetCurrentThreadId());
    }
};
thread_local ExitGuard t_exitGuard;

void ArmExitGuard() { t_exitGuard.armed = true; }

DWORD Wait(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (handles == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return WAIT_FAILED;
    }
    // Declared before the lock, so the objects are let go after it is released.
    std::vector<std::shared_ptr<Waitable>> objects;
    objects.reserve(count);
    bool mutexes = false;
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<HandleObject> object = LookupAnyHandle(handles[i]);
        if (!object) return WAIT_FAILED;
        // Files and device information sets cannot be waited on here.
        std::shared_ptr<Waitable> waitable = std::dynamic_pointer_cast<Waitable>(object);
        if (!waitable) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        mutexes = mutexes || waitable->kind == HandleKind::Mutex;
        objects.push_back(std::move(waitable));
    }
    if (waitAll) {
        for (DWORD i = 0; i < count; ++i) {
            for (DWORD j = i + 1; j < count; ++j) {
                if (objects[i] == objects[j]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
    }

    bool remote = false;
    for (const auto& o : objects) remote = remote || o->Remote();
    const DWORD tid = GetCurrentThreadId();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(milliseconds == INFINITE ? 0 : milliseconds);
    // A thread that took a mutex leaves it abandoned if it ends owning it.
    struct Taken {
        bool mutexes;
        DWORD Arm(DWORD result) const {
            if (mutexes) ArmExitGuard();
            return result;
        }
    } taken{mutexes};
    SyncState& s = Sync();
    std::unique_lock<std::mutex> guard(s.lock);
    // Listed on its objects (and queued on its mutexes) while it waits; taken off them under the
    // lock on every way out.
    WaitBlock block{tid, waitAll, &objects};
    struct Queued {
        WaitBlock& block;
        bool on = false;
        ~Queued() {
            if (!on) return;
            for (const auto& o : *block.objects) {
                auto& w = o->watchers;
                w.erase(std::remove(w.begin(), w.end(), &block), w.end());
                if (o->kind != HandleKind::Mutex) continue;
                auto& q = static_cast<MutexObject&>(*o).waiters;
                q.erase(std::remove(q.begin(), q.end(), &block), q.end());
            }
        }
    } queued{block};
    for (;;) {
        if (block.granted) return taken.Arm(block.result);
        if (waitAll) {
            bool all = true;
            for (const auto& o : objects) all = all && o->Signalled(tid);
            if (all) return taken.Arm(AcquireAll(objects, tid));
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (!objects[i]->Signalled(tid)) continue;
                const DWORD got = objects[i]->Acquire(tid);
                if (got != kAcquireLost) return taken.Arm(got + i);
            }
        }
        if (milliseconds == 0) return WAIT_TIMEOUT;
        if (!queued.on) {
            for (const auto& o : objects) {
                auto& w = o->watchers;
                if (std::find(w.begin(), w.end(), &block) == w.end()) w.push_back(&block);
                if (o->kind != HandleKind::Mutex) continue;
                auto& q = static_cast<MutexObject&>(*o).waiters;
                if (std::find(q.begin(), q.end(), &block) == q.end()) q.push_back(&block);
            }
            queued.on = true;
        }
        const auto slice = std::chrono::steady_clock::now() + kRemotePoll;
        if (remote && (milliseconds == INFINITE || slice < deadline)) {
            block.wake.wait_until(guard, slice);
        } else if (milliseconds == INFINITE) {
            block.wake.wait(guard);
        } else if (block.wake.wait_until(guard, deadline) == std::cv_status::timeout &&
                   std::chrono::steady_clock::now() >= deadline) {
            // One last look: an object signalled right at the deadline still counts.
            milliseconds = 0;
        }
    }
}

struct ThreadStart {
    std::shared_ptr<ThreadObject> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID param;
};

void* ThreadMain(void* p) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(p));
    AdoptThreadId(start->thread->id);
    const DWORD code = start->routine(start->param);
    AbandonMutexesOf(start->thread->id);
    std::lock_guard<std::mutex> guard(Sync().lock);
    start->thread->exitCode = code;
    start->thread->done = true;
    Wake(*start->thread);
    return nullptr;
}

}  // namespace

void PublishCompletion(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR bytes, HandleObject* event) {
    EventObject* e = static_cast<EventObject*>(event);  // the transfer's start checked its kind
    {
        std::lock_guard<std::mutex> guard(Sync().lock);
        __atomic_store_n(&ov->InternalHigh, bytes, __ATOMIC_RELAXED);
        __atomic_store_n(&ov->Internal, status, __ATOMIC_RELEASE);
        if (e != nullptr && e->shared.record == nullptr) {
            e->signalled = true;
            Wake(*e);
        }
    }
    // An event other processes share is set as SetEvent sets it, after the lock; the waits on
    // it look at it again on their own.
    if (e != nullptr && e->shared.record != nullptr) caldrix_event_set(&e->shared);
}

// Each child gets a thread that waits for it to end, so none is left a zombie whether or not
// anybody waits on its handle; the thread sleeps in waitpid and costs nothing meanwhile.
HANDLE RegisterProcess(int pid) {
    std::shared_ptr<ProcessObject> process;
    try {
        process = std::make_shared<ProcessObject>();
        if (pid > 0) {
            std::thread([process, pid] {
                int status = 0;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                std::lock_guard<std::mutex> guard(Sync().lock);
                process->exitCode = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status))
                                                      : 1;
                process->done = true;
                Wake(*process);
            }).detach();
        }
    } catch (const std::exception&) {
        // No thread to reap it: the child stays a zombie until the process ends.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return RegisterHandle(process);
}

}  // namespace caldrix_posix

using namespace caldrix_posix;

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    const DWORD owner = initialOwner ? GetCurrentThreadId() : 0;
    HANDLE h = CreateNamedHandle(name, HandleKind::Mutex, [owner] {
        return std::static_pointer_cast<HandleObject>(std::make_shared<MutexObject>(owner));
    });
    if (h != nullptr && owner != 0 && GetLastError() != ERROR_ALREADY_EXISTS) ArmExitGuard();
    return h;
}

DWORD caldrix_posix::MutexWaiterCount(HANDLE mutex) {
    std::shared_ptr<MutexObject> m = Lookup<MutexObject>(mutex, HandleKind::Mutex);
    if (!m) return 0;
    std::lock_guard<std::mutex> guard(Sync().lock);
    return static_cast<DWORD>(m->waiters.size());
}

BOOL ReleaseMutex(HANDLE mutex) {
    std::shared_ptr<MutexObject> m = Lookup<MutexObject>(mutex, HandleKind::Mutex);
    if (!m) return FALSE;
    std::lock_guard<std::mutex> guard(Sync().lock);
    if (m->owner != GetCurrentThreadId() || m->count == 0) return CallFails(ERROR_NOT_OWNER);
    if (--m->count == 0) {
        m->owner = 0;
        HandOff(m.get());
        Wake(*m);
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    const bool manual = manualReset != FALSE;
    const bool initial = initialState != FALSE;
    const bool named = name != nullptr && name[0] != '\0';
    bool elsewhere = false;  // another process made it first
    int error = 0;
    HANDLE h = CreateNamedHandle(name, HandleKind::Event, [&]() -> std::shared_ptr<HandleObject> {
        auto event = std::make_shared<EventObject>(manual, initial);
        if (named) {
            int existed = 0;
            error = caldrix_event_open(name, manual, initial, &event->shared, &existed);
            if (error != 0) return nullptr;
            elsewhere = existed != 0;
        }
        return event;
    });
    if (h == nullptr && error != 0) {
        SetLastError(error == EACCES ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(error));
    } else if (h != nullptr && elsewhere) {
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    return h;
}

static void ChangeEvent(EventObject& e, bool state) {
    SyncState& s = Sync();
    if (e.shared.record != nullptr) {
        // Outside the lock: waking other processes' waiters may wait on one of them. The flag is
        // set even when that wait runs out, and those waiters look again on their own.
        if (state) {
            caldrix_event_set(&e.shared);
        } else {
            caldrix_event_reset(&e.shared);
        }
    }
    std::lock_guard<std::mutex> guard(s.lock);  // a waiter here is asleep or sees the change
    if (e.shared.record == nullptr) e.signalled = state;
    if (state) Wake(e);
}

static BOOL SetEventState(HANDLE event, bool state) {
    std::shared_ptr<EventObject> e = Lookup<EventObject>(event, HandleKind::Event);
    if (!e) return FALSE;
    ChangeEvent(*e, state);
    return TRUE;
}

void caldrix_posix::ResetEventObject(HandleObject* event) {
    ChangeEvent(*static_cast<EventObject*>(event), false);  // the caller checked its kind
}

BOOL SetEvent(HANDLE event) { return SetEventState(event, true); }

BOOL ResetEvent(HANDLE event) { return SetEventState(event, false); }

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
    return Wait(1, &h, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    return Wait(count, handles, waitAll != FALSE, milliseconds);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID param, DWORD flags, LPDWORD threadId) {
    // No ResumeThread in this subset, so a suspended thread could never run.
    if (start == nullptr || (flags & kCreateSuspended) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD id = AllocateThreadId();
    std::shared_ptr<ThreadObject> thread;
    ThreadStart* launch = nullptr;
    try {
        thread = std::make_shared<ThreadObject>(id);
        launch = new ThreadStart{thread, start, param};
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE h = RegisterHandle(thread);
    if (h == nullptr) {
        delete launch;
        return nullptr;
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // STACK_SIZE_PARAM_IS_A_RESERVATION or not, the size is just the stack's size here.
    if (stackSize != 0) {
        size_t size = stackSize < static_cast<size_t>(PTHREAD_STACK_MIN)
                          ? static_cast<size_t>(PTHREAD_STACK_MIN)
                          : stackSize;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        if (page != 0 && size <= SIZE_MAX - page) size = (size + page - 1) / page * page;
        pthread_attr_setstacksize(&attr, size);  // a refused size leaves the default
    }
    pthread_t native;
    const int rc = pthread_create(&native, &attr, ThreadMain, launch);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete launch;
        CloseHandle(h);
        SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(rc));
        return nullptr;
    }
    if (threadId != nullptr) *threadId = id;
    return h;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    std::shared_ptr<ThreadObject> t = Lookup<ThreadObject>(thread, HandleKind::Thread);
    if (!t) return FALSE;
    if (exitCode == nullptr) return CallFails(ERROR_NOACCESS);
    std::lock_guard<std::mutex> guard(Sync().lock);
    *exitCode = t->done ? t->exitCode : STILL_ACTIVE;
    return TRUE;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(&cs->mutex); }

void LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(&cs->mutex); }
