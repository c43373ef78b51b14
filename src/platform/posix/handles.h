// What the POSIX subset's own files share: the handle registry and the provider list.
// A HANDLE is a number that names a kind-tagged object in the set of live handles; every call
// looks its handle up there, so a stale, closed or foreign handle is refused instead of
// dereferenced. Look-ups hand out shared ownership, so a call in flight keeps its object alive
// across a CloseHandle on another thread.
#pragma once

#include <functional>
#include <memory>

#include <vector>

#include "provider.h"
#include "win32_posix.h"

namespace caldrix_posix {

enum class HandleKind { Mutex, Event, Thread, File, DeviceInfoSet, Process };

struct HandleObject {
    explicit HandleObject(HandleKind k) : kind(k) {}
    virtual ~HandleObject() = default;
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;

    // Called by CloseHandle once the handle has left the live set (once per handle; several
    // handles may name one object). FALSE with *error fails the CloseHandle all the same.
    virtual BOOL HandleClosed(DWORD* error) {
        (void)error;
        return TRUE;
    }

    const HandleKind kind;
};

// A new live handle for `object`; NULL with ERROR_NOT_ENOUGH_MEMORY if none can be made.
HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);

// The object behind a live handle of the given kind; null with ERROR_INVALID_HANDLE otherwise.
std::shared_ptr<HandleObject> LookupHandle(HANDLE h, HandleKind kind);

// The object behind a live handle of any kind; null with ERROR_INVALID_HANDLE otherwise.
std::shared_ptr<HandleObject> LookupAnyHandle(HANDLE h);

template <typename T>
std::shared_ptr<T> Lookup(HANDLE h, HandleKind kind) {
    return std::static_pointer_cast<T>(LookupHandle(h, kind));
}

// As Lookup, for the calls made most often: the reference stays in *holder, so the cast costs no
// second reference count.
template <typename T>
T* LookupInto(HANDLE h, HandleKind kind, std::shared_ptr<HandleObject>* holder) {
    *holder = LookupHandle(h, kind);
    return static_cast<T*>(holder->get());
}

// CreateMutexA/CreateEventA with a name: a second handle on the live object of that name
// (last error ERROR_ALREADY_EXISTS), or a new object from `make` (last error 0). A name held
// by an object of another kind fails with ERROR_INVALID_HANDLE, as on Windows. A null name
// always makes a new object. `make` runs outside the registry's lock, so it may wait on other
// processes; of two threads making one name at once, the first to register wins and the other's
// object is let go.
HANDLE CreateNamedHandle(LPCSTR name, HandleKind kind,
                         const std::function<std::shared_ptr<HandleObject>()>& make);

// The providers registered in front of the host's, most recent first, each with its hooks
// (null when it has none) (providers.cpp).
struct Registration {
    DeviceProvider* provider;
    ProviderHooks* hooks;
};
std::vector<Registration> Registrations();
std::vector<DeviceProvider*> RegisteredProviders();
// The hooks of the registered providers that have them, in the same order.
std::vector<ProviderHooks*> RegisteredHooks();

// The parsed report descriptor of the HID device behind a file handle, through the handle
// layer's rules (files.cpp).
BOOL DeviceHidDescriptor(HANDLE h, HidDescriptor* out);

// The function of the HID class library named `name`, or null: what GetProcAddress answers on
// the module LoadLibraryA gives for "hid.dll" (hid.cpp).
FARPROC HidExport(LPCSTR name);

// The end of an overlapped transfer: its status and byte count stored in `ov` and `event` (an
// event object, or null) signalled, as one step for every wait and every change of the event.
// Nothing of `ov` is touched after its status is stored (sync.cpp).
void PublishCompletion(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR bytes, HandleObject* event);
// ResetEvent on an event object already looked up (a transfer's start holds it).
void ResetEventObject(HandleObject* event);

// A waitable handle for a started child process; the child is reaped when it ends (sync.cpp).
HANDLE RegisterProcess(int pid);

// How many waits are queued on a mutex (tests wait for a waiter to be queued, not just asleep).
DWORD MutexWaiterCount(HANDLE mutex);

// Thread identities: unique, never 0. CreateThread picks the new thread's id before it runs
// (current_thread.cpp).
DWORD AllocateThreadId();
void AdoptThreadId(DWORD id);

}  // namespace caldrix_posix
