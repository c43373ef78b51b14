// Handles, the per-thread last error, errno translation, the version record and Sleep.
#include "handles.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "provider.h"

namespace caldrix_posix {
namespace {

// Handle values are drawn from a counter and never handed out twice (short of wrapping the whole
// address space), so a stale handle cannot name an object created after it was closed.
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kHandleStep = 4;

struct Registry {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> live;
    std::unordered_map<std::string, std::weak_ptr<HandleObject>> names;
    uintptr_t next = kFirstHandle;
};

// Never destroyed: detached threads may still close handles while the process exits.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// Caller holds the registry lock. Throws std::bad_alloc when the set cannot grow.
HANDLE InsertLocked(Registry& r, std::shared_ptr<HandleObject> object) {
    uintptr_t value;
    do {
        value = r.next;
        r.next += kHandleStep;
        if (r.next < kFirstHandle) r.next = kFirstHandle;  // wrapped
    } while (r.live.count(value) != 0);
    r.live.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

thread_local DWORD t_lastError = 0;
thread_local DWORD t_threadId = 0;
std::atomic<DWORD> g_nextThreadId{0};
std::atomic<SleepHook> g_sleepHook{nullptr};

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Registry& r = TheRegistry();
    try {
        std::lock_guard<std::mutex> guard(r.lock);
        return InsertLocked(r, std::move(object));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<HandleObject> LookupAnyHandle(HANDLE h) {
    Registry& r = TheRegistry();
    std::shared_ptr<HandleObject> found;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.live.find(reinterpret_cast<uintptr_t>(h));
        if (it != r.live.end()) found = it->second;
    }
    if (!found) SetLastError(ERROR_INVALID_HANDLE);
    return found;
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE h, HandleKind kind) {
    std::shared_ptr<HandleObject> found = LookupAnyHandle(h);
    if (found && found->kind != kind) {
        found.reset();
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return found;
}

HANDLE CreateNamedHandle(LPCSTR name, HandleKind kind,
                         const std::function<std::shared_ptr<HandleObject>()>& make) {
    // Windows treats an empty name as no name.
    if (name != nullptr && name[0] == '\0') name = nullptr;
    if (name != nullptr && strnlen(name, 261) > 260) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    Registry& r = TheRegistry();
    std::shared_ptr<HandleObject> object;
    HANDLE h = nullptr;
    DWORD result = ERROR_SUCCESS;
    try {
        std::lock_guard<std::mutex> guard(r.lock);
        if (name != nullptr) {
            auto it = r.names.find(name);
            if (it != r.names.end()) object = it->second.lock();
            if (object) {
                if (object->kind != kind) {
                    result = ERROR_INVALID_HANDLE;
                } else {
                    h = InsertLocked(r, object);
                    result = ERROR_ALREADY_EXISTS;
                }
            }
        }
        if (!object) {
            object = make();
            if (!object) throw std::bad_alloc();
            h = InsertLocked(r, object);
            if (name != nullptr) {
                // Forget names whose objects are gone, so the map stays as small as the set.
                for (auto it = r.names.begin(); it != r.names.end();) {
                    it = it->second.expired() ? r.names.erase(it) : std::next(it);
                }
                r.names[name] = object;
            }
        }
    } catch (const std::bad_alloc&) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        h = nullptr;
    }
    // A handle made before a failed name insert stays valid; only a failure with no handle fails.
    if (h == nullptr && result == ERROR_SUCCESS) result = ERROR_NOT_ENOUGH_MEMORY;
    SetLastError(result);
    return h;
}

DWORD AllocateThreadId() {
    DWORD id;
    do {
        id = g_nextThreadId.fetch_add(4, std::memory_order_relaxed) + 4;
    } while (id == 0);
    return id;
}

void AdoptThreadId(DWORD id) { t_threadId = id; }

void SetSleepHook(SleepHook hook) { g_sleepHook.store(hook); }

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EISDIR:  // Windows answers a directory opened as a file with access denied
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case ENOSYS:
        return ERROR_NOT_SUPPORTED;
    // The device has gone (unplugged USB adapter, removed hidraw node).
    case ENXIO:
    case ENODEV:
#ifdef ESHUTDOWN
    case ESHUTDOWN:
#endif
        return ERROR_DEVICE_NOT_CONNECTED;
    // EIO is also what a hung-up pseudo-terminal or a line fault gives, so it is not taken as
    // proof that the device vanished.
    case EIO:
        return ERROR_GEN_FAILURE;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ECANCELED:
    case EINTR:  // call sites retry; one that gives up reports an aborted operation
        return ERROR_OPERATION_ABORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace caldrix_posix

using namespace caldrix_posix;

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

BOOL CloseHandle(HANDLE h) {
    Registry& r = TheRegistry();
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.live.find(reinterpret_cast<uintptr_t>(h));
        if (it == r.live.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(it->second);
        r.live.erase(it);
    }
    // Outside the lock: closing a device may take time, and the object may be destroyed here.
    DWORD error = ERROR_SUCCESS;
    if (!object->HandleClosed(&error)) {
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

DWORD GetCurrentThreadId(void) {
    if (t_threadId == 0) t_threadId = AllocateThreadId();
    return t_threadId;
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (info == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    // OSVERSIONINFOA, or OSVERSIONINFOEXA with its eight extra bytes.
    const DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOA) + 8) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(reinterpret_cast<char*>(info) + sizeof(DWORD), 0, size - sizeof(DWORD));
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    strcpy(info->szCSDVersion, "Service Pack 1");
    if (size > sizeof(OSVERSIONINFOA)) {
        // wServicePackMajor = 1, the rest 0 but wProductType = VER_NT_WORKSTATION.
        unsigned char* ex = reinterpret_cast<unsigned char*>(info) + sizeof(OSVERSIONINFOA);
        const WORD servicePack = 1;
        memcpy(ex, &servicePack, sizeof servicePack);
        ex[6] = 1;
    }
    return TRUE;
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
