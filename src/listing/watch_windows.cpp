// The device watch on Windows: a message-only window on a thread of the watch's own, registered
// for device notifications of the HID, COM-port and USB-printer interface classes
// (RegisterDeviceNotification, there from XP on). A notice only says which kinds changed; the
// caller lists them again. The registrations are let go after the window's message loop has
// ended, never from inside a notice, where unregistering can deadlock.
#include <string.h>

#include "../platform/win32.h"
#include "watch.h"

#include <dbt.h>

namespace caldrix_watch {
namespace {

const GUID kHidClass = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kComPortClass = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
const GUID kPrinterClass = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};
const char kWindowClass[] = "caldrix-watch";

enum class State { kFree, kOpen, kClosing };

struct Watch {
    State state;
    bool stopped;
    int32_t pending;    // kinds changed and not yet answered
    int inside;         // waits inside; the last to leave a closing watch frees it
    HANDLE changed;     // manual-reset: pending is not 0, or the watch stopped
    HANDLE thread;      // the window's
    HWND window;
    DWORD error;        // what the window thread failed at, before it was ready
    HANDLE ready;       // set by the window thread once it runs its loop or has failed
};

CRITICAL_SECTION g_lock;  // everything below
Watch g_watches[kMaxWatches];

struct LockSetUp {
    LockSetUp() { InitializeCriticalSection(&g_lock); }
} g_lockSetUp;

class Locked {
public:
    Locked() { EnterCriticalSection(&g_lock); }
    ~Locked() { LeaveCriticalSection(&g_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

int32_t KindOfInterface(const GUID& cls) {
    if (IsEqualGUID(cls, kHidClass)) return kHid;
    if (IsEqualGUID(cls, kComPortClass)) return kSerial;
    if (IsEqualGUID(cls, kPrinterClass)) return kPrinter;
    return 0;
}

// The kinds a WM_DEVICECHANGE is about; a notice without a record (DBT_DEVNODES_CHANGED) may be
// about any.
int32_t KindsOf(WPARAM event, LPARAM data) {
    if (event == DBT_DEVNODES_CHANGED) return kAllKinds;
    if ((event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) || data == 0) return 0;
    const DEV_BROADCAST_HDR* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header->dbch_devicetype == DBT_DEVTYP_PORT) return kSerial;
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return 0;
    return KindOfInterface(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(data)
                               ->dbcc_classguid);
}

LRESULT CALLBACK WatchWindow(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_DEVICECHANGE) {
        const int32_t kinds = KindsOf(wp, lp);
        Watch* w = reinterpret_cast<Watch*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (kinds != 0 && w != nullptr) {
            Locked guard;
            w->pending |= kinds;
            SetEvent(w->changed);
        }
        return TRUE;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wp, lp);
}

DWORD WINAPI WatchThread(LPVOID param) {
    Watch* w = static_cast<Watch*>(param);
    // The class belongs to this DLL, not to the program: a DLL's classes outlive its unloading,
    // and a later load at another address must not find the old one, whose procedure is gone.
    HMODULE instance = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&WatchWindow), &instance);
    WNDCLASSA cls;
    memset(&cls, 0, sizeof cls);
    cls.lpfnWndProc = WatchWindow;
    cls.hInstance = instance;
    cls.lpszClassName = kWindowClass;
    // A second watch finds the class registered already.
    if (!RegisterClassA(&cls) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        w->error = GetLastError();
        SetEvent(w->ready);
        return 0;
    }
    HWND window = CreateWindowExA(0, kWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  instance, nullptr);
    if (window == nullptr) {
        w->error = GetLastError();
        SetEvent(w->ready);
        return 0;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(w));
    HDEVNOTIFY notices[3] = {};
    const GUID* classes[3] = {&kHidClass, &kComPortClass, &kPrinterClass};
    for (int i = 0; i < 3; ++i) {
        DEV_BROADCAST_DEVICEINTERFACE_A filter;
        memset(&filter, 0, sizeof filter);
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = *classes[i];
        notices[i] = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    // A watch that would hear nothing is refused rather than left silent.
    if (notices[0] == nullptr && notices[1] == nullptr && notices[2] == nullptr) {
        w->error = GetLastError();
        DestroyWindow(window);
        SetEvent(w->ready);
        return 0;
    }
    w->window = window;
    SetEvent(w->ready);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    // The loop has ended: no notice is being handled.
    for (HDEVNOTIFY n : notices) {
        if (n != nullptr) UnregisterDeviceNotification(n);
    }
    return 0;
}

Watch* Find(int32_t id) {
    if (id < 0 || id >= kMaxWatches || g_watches[id].state != State::kOpen) return nullptr;
    return &g_watches[id];
}

// Gives back what a closed watch held once no wait is inside. Caller holds g_lock.
void FreeIfDone(Watch& w) {
    if (w.state != State::kClosing || w.inside != 0) return;
    CloseHandle(w.changed);
    CloseHandle(w.ready);
    memset(&w, 0, sizeof w);
    w.state = State::kFree;
}

}  // namespace

int32_t OpenWatch(uint32_t* error) {
    int32_t id = 0;
    Watch* w = nullptr;
    {
        Locked guard;
        while (id < kMaxWatches && g_watches[id].state != State::kFree) ++id;
        if (id == kMaxWatches) {
            *error = ERROR_TOO_MANY_OPEN_FILES;
            return -1;
        }
        w = &g_watches[id];
        memset(w, 0, sizeof *w);
        w->state = State::kClosing;  // invisible to the others until it runs
        w->changed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        w->ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    if (w->changed != nullptr && w->ready != nullptr) {
        w->thread = CreateThread(nullptr, 0, WatchThread, w, 0, nullptr);
        if (w->thread != nullptr) WaitForSingleObject(w->ready, INFINITE);
    }
    Locked guard;
    if (w->window == nullptr) {
        *error = w->thread == nullptr ? GetLastError() : w->error;
        if (w->thread != nullptr) {
            WaitForSingleObject(w->thread, INFINITE);
            CloseHandle(w->thread);
        }
        if (w->changed != nullptr) CloseHandle(w->changed);
        if (w->ready != nullptr) CloseHandle(w->ready);
        memset(w, 0, sizeof *w);
        w->state = State::kFree;
        return -1;
    }
    w->state = State::kOpen;
    return id;
}

int32_t AwaitWatch(int32_t id, uint32_t ms) {
    EnterCriticalSection(&g_lock);
    Watch* w = Find(id);
    if (w == nullptr) {
        LeaveCriticalSection(&g_lock);
        return -1;
    }
    ++w->inside;
    const DWORD started = GetTickCount();
    int32_t answer = 0;
    for (;;) {
        if (w->stopped) {
            answer = -1;
            break;
        }
        if (w->pending != 0) {
            answer = w->pending;
            w->pending = 0;
            ResetEvent(w->changed);
            break;
        }
        DWORD left = INFINITE;
        if (ms != INFINITE) {
            const DWORD spent = GetTickCount() - started;
            if (spent >= ms) break;
            left = ms - spent;
        }
        ResetEvent(w->changed);
        LeaveCriticalSection(&g_lock);
        const DWORD woke = WaitForSingleObject(w->changed, left);
        EnterCriticalSection(&g_lock);
        if (woke == WAIT_FAILED) break;
    }
    --w->inside;
    FreeIfDone(*w);
    LeaveCriticalSection(&g_lock);
    return answer;
}

void StopWatch(int32_t id) {
    Locked guard;
    if (Watch* w = Find(id)) {
        w->stopped = true;
        SetEvent(w->changed);
    }
}

void CloseWatch(int32_t id) {
    HANDLE thread = nullptr;
    {
        Locked guard;
        Watch* w = Find(id);
        // Open and no close under way: the thread is still there to end.
        if (w == nullptr || w->thread == nullptr) return;
        w->stopped = true;
        SetEvent(w->changed);
        PostMessageA(w->window, WM_CLOSE, 0, 0);
        thread = w->thread;
        w->thread = nullptr;
    }
    // The window's thread ends its loop, lets its registrations go and returns; it takes this
    // lock only inside a notice, never while it waits. Until it has returned the watch stays
    // open (stopped), so nothing it may still touch is given back or handed out again.
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    Locked guard;
    g_watches[id].state = State::kClosing;
    FreeIfDone(g_watches[id]);
}

}  // namespace caldrix_watch
