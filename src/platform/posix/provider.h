// The device-provider seam of the POSIX subset. CreateFileA and Netbios do not reach the host
// directly: they ask a short list of providers, the real ones (terminals, network interfaces) and,
// in tests, a simulated one registered in front of them. A provider answers for the names it
// owns; an open device sits behind a file handle and receives the Win32 file and comm calls.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "hid_descriptor.h"
#include "win32_posix.h"

namespace caldrix_posix {

// One overlapped transfer, owned by the handle layer (files.cpp). The device calls Complete
// exactly once, from any thread, when the transfer ends (at once or later), with the bytes moved
// and 0 or the Win32 error; it never touches the transfer's buffer after that. Complete may close
// the device (the last transfer of a closed handle): call it holding none of the device's locks.
struct IoCompletion {
    virtual void Complete(DWORD bytes, DWORD error) = 0;

protected:
    ~IoCompletion() = default;
};

// One open device behind a file handle. Every method follows the Win32 rule: TRUE on success,
// FALSE with the error code in *error (the caller stores it as the thread's last error). The
// defaults refuse what a device does not support, as Windows does for a non-comm handle.
struct Device {
    virtual ~Device() = default;
    virtual BOOL Read(void* buf, DWORD n, DWORD* got, DWORD* error);
    virtual BOOL Write(const void* buf, DWORD n, DWORD* done, DWORD* error);
    virtual BOOL GetCommState(DCB* dcb, DWORD* error);
    virtual BOOL SetCommState(const DCB* dcb, DWORD* error);
    virtual BOOL SetupComm(DWORD inQueue, DWORD outQueue, DWORD* error);
    virtual BOOL GetCommTimeouts(COMMTIMEOUTS* t, DWORD* error);
    virtual BOOL SetCommTimeouts(const COMMTIMEOUTS* t, DWORD* error);
    virtual BOOL PurgeComm(DWORD flags, DWORD* error);
    virtual BOOL ClearCommError(DWORD* errors, COMSTAT* stat, DWORD* error);
    virtual BOOL GetCommModemStatus(DWORD* status, DWORD* error);
    virtual BOOL EscapeCommFunction(DWORD func, DWORD* error);
    // Called once by CloseHandle, after the handle layer has refused new calls, cancelled the
    // ones in progress and waited for them to leave; the device is destroyed afterwards whatever
    // it answers. The handle layer lets in one read, one write and one other call at a time, but
    // these three at once, so a device guards what they share.
    virtual BOOL Close(DWORD* error);

    // Overlapped transfers, on handles opened with FILE_FLAG_OVERLAPPED. TRUE: the transfer has
    // started and `done` will be completed once. FALSE with *error: refused at once, `done` is
    // never called. The defaults run the synchronous call and complete at once.
    virtual BOOL StartRead(void* buf, DWORD n, IoCompletion* done, DWORD* error);
    virtual BOOL StartWrite(const void* buf, DWORD n, IoCompletion* done, DWORD* error);

    // Ends transfers in progress: a wait inside Read or Write returns ERROR_OPERATION_ABORTED
    // with what it had moved, and a pending overlapped transfer (`which`, or all when null)
    // completes with ERROR_OPERATION_ABORTED. Calls that start afterwards are not affected. May be
    // called from any thread, also while nothing is in progress.
    virtual void Cancel(IoCompletion* which);

    // Waits until input is there to read (or a line error to report), `ms` pass (INFINITE: no
    // limit) or Cancel ends the wait; reads nothing. TRUE with *outcome as WaitCommInput answers
    // it (WAIT_OBJECT_0 input, WAIT_OBJECT_0 + 1 cancelled, WAIT_TIMEOUT); FALSE with *error when
    // the device has failed or gone. The default refuses, as for a handle that is no comm port.
    virtual BOOL WaitInput(DWORD ms, DWORD* outcome, DWORD* error);

    // A HID device's report descriptor, parsed (HidD_GetPreparsedData). The default refuses, as
    // Windows does for a handle that is no HID device.
    virtual BOOL GetHidDescriptor(HidDescriptor* out, DWORD* error);
};

// How the subset's calls fail. A Win32 call: the error as the thread's last error, FALSE as its
// answer. A device method: the error through *error, which the handle layer then stores.
inline BOOL CallFails(DWORD error) {
    SetLastError(error);
    return FALSE;
}
// A device that failed without saying why fails as a general failure.
inline DWORD OrGeneralFailure(DWORD error) {
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}
inline BOOL DeviceFails(DWORD* error, DWORD code) {
    if (error != nullptr) *error = code;
    return FALSE;
}

// One device interface as SetupAPI lists it: its class and the device path CreateFileA opens.
struct DeviceInterface {
    GUID cls;
    std::string path;
};

// The interface classes the library looks for.
extern const GUID kHidInterfaceClass;      // {4D1E55B2-F16F-11CF-88CB-001111000030}
extern const GUID kPrinterInterfaceClass;  // GUID_DEVINTERFACE_USBPRINT

// One network adapter as NetBIOS sees it: its address, and the return codes its reset and
// status commands give (NRC_GOODRET for a working adapter).
struct Adapter {
    UCHAR address[6];
    UCHAR resetRetcode;
    UCHAR statusRetcode;
};

enum class OpenResult { NotMine, Opened, Failed };

// A provider's open that fails: the error through *error, after closing `fd` when it has one.
inline OpenResult OpenFails(DWORD* error, DWORD code, int fd = -1) {
    if (fd >= 0) close(fd);
    if (error != nullptr) *error = code;
    return OpenResult::Failed;
}

// What a device provider implements: opening the names it owns, and the adapters and device
// interfaces it has.
struct DeviceProvider {
    virtual ~DeviceProvider() = default;
    // Opens `name` if this provider owns it. Opened: *out holds the device. Failed: *error holds
    // the Win32 code. NotMine: the next provider is asked.
    virtual OpenResult Open(const char* name, DWORD access, DWORD shareMode, DWORD flags,
                            std::unique_ptr<Device>* out, DWORD* error) = 0;
    // Lists the adapters in LANA order if this provider answers for the network; false passes
    // the question on.
    virtual bool Adapters(std::vector<Adapter>* out) {
        (void)out;
        return false;
    }
    // Appends the device interfaces this provider has, in its own stable order.
    virtual void Interfaces(std::vector<DeviceInterface>* out) { (void)out; }
};

// Hooks a registered provider may add, so that tests see and steer calls no device answers.
// The host's providers have none. The defaults let every call go on as it would.
struct ProviderHooks {
    virtual ~ProviderHooks() = default;
    // Told of every CreateFileA, with its creation disposition, before this provider's Open.
    // NotMine lets Open be asked; the other answers end the search as Open's would.
    virtual OpenResult Opening(const char* name, DWORD access, DWORD shareMode, DWORD creation,
                               DWORD flags, std::unique_ptr<Device>* out, DWORD* error) {
        (void)name;
        (void)access;
        (void)shareMode;
        (void)creation;
        (void)flags;
        (void)out;
        (void)error;
        return OpenResult::NotMine;
    }
    // Told of every Netbios command before it runs. Answering true ends the command with
    // *retcode; false lets it run.
    virtual bool NetbiosCommand(UCHAR command, UCHAR lana, UCHAR* retcode) {
        (void)command;
        (void)lana;
        (void)retcode;
        return false;
    }
    // Told of every LoadLibraryA. True refuses the load with *error.
    virtual bool RefuseLibrary(const char* name, DWORD* error) {
        (void)name;
        (void)error;
        return false;
    }
    // Told of every CreateProcessA before it starts anything, with the host path it resolved
    // to. True ends the call with *error (0: success, nothing started).
    virtual bool ProcessStart(const char* application, const char* path, const char* commandLine,
                              DWORD* error) {
        (void)application;
        (void)path;
        (void)commandLine;
        (void)error;
        return false;
    }
};

// The host's own providers, asked after any registered ones: terminals (devices/tty.cpp) and
// network interfaces (devices/network.cpp).
DeviceProvider& TtyProvider();
DeviceProvider& NetworkProvider();
// USB HID interfaces over hidraw and USB printers over usblp (devices/): their interfaces are
// listed after the registered providers' ones, and CreateFileA opens them by device path.
DeviceProvider& HidrawProvider();
DeviceProvider& UsblpProvider();

// Where the host's files are looked for: "/" on a real host; tests point it at a tree of their
// own. Nothing else in the subset decides where host files are. "C:\x" and "\x" both name
// <root>/x.
void SetHostRoot(const std::string& root);
std::string HostPath(const char* windowsPath);

// Providers registered here are asked before the real ones, most recent first, each with its
// hooks if it has any. Registering a provider again moves it to the front. Tests only.
void RegisterDeviceProvider(DeviceProvider* provider, ProviderHooks* hooks = nullptr);
void UnregisterDeviceProvider(DeviceProvider* provider);

// A hook that replaces the pause of Sleep (tests record pauses instead of waiting them out).
// Null restores real sleeping.
typedef void (*SleepHook)(DWORD milliseconds);
void SetSleepHook(SleepHook hook);

// errno to the Win32 code Windows reports for the same condition.
DWORD Win32ErrorFromErrno(int err);

}  // namespace caldrix_posix
