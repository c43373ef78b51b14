// Opening a HID port's device: hid.dll, the search for the device (hid_search.cpp), the
// overlapped open, the report ID, and the port's events, queue, thread and lock.
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>
#include <string>

#include "../fail/log.h"
#include "../fail/raise.h"
#include "hid.h"
#include "hid_internal.h"
#include "hid_search.h"

namespace {

// Room for every input value capability a device is likely to have; only the first is read.
const USHORT kMaxValueCaps = 64;

std::atomic<const HidLibrary*> g_hidLibrary{nullptr};

// GetProcAddress answers a generic function pointer; going through void(*)() tells the compiler
// the cast to the real signature is meant.
template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn* out) {
    FARPROC proc = GetProcAddress(module, name);
    *out = reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(proc));
    return proc != nullptr;
}

void Raise(JNIEnv* env, const char* prefix, const char* text) {
    std::string message(prefix);
    message += text;
    raiseIOException(env, message.c_str());
}

void RaiseStep(JNIEnv* env, const char* step, DWORD error) {
    raiseIOExceptionf(env, "%s error %d", step, static_cast<int>(error));
}

// The ReportID of the device's first input value capability; 0 (no report IDs) when the device
// has none or cannot be asked.
uint16_t ReadReportId(const HidLibrary* hid, HANDLE device) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!hid->GetPreparsedData(device, &preparsed)) return 0;
    HIDP_VALUE_CAPS* caps =
        static_cast<HIDP_VALUE_CAPS*>(calloc(kMaxValueCaps, sizeof(HIDP_VALUE_CAPS)));
    uint16_t reportId = 0;
    if (caps != nullptr) {
        USHORT length = kMaxValueCaps;
        if (hid->GetSpecificValueCaps(HidP_Input, 0, 0, 0, caps, &length, preparsed) ==
                HIDP_STATUS_SUCCESS &&
            length > 0) {
            reportId = caps[0].ReportID;
        }
        free(caps);
    }
    hid->FreePreparsedData(preparsed);
    return reportId;
}

// Closes whatever the open made before a later step failed, so a failed open leaves nothing.
void UndoOpen(USBDev* dev) {
    HANDLE* handles[] = {&dev->hReadEvent, &dev->hStopEvent,          &dev->hWriteEvent,
                         &dev->hDataEvent, &dev->hLock,               &dev->rxQueue.hQueueLock,
                         &dev->hDevice};
    for (HANDLE* h : handles) {
        if (*h != nullptr) CloseHandle(*h);
        *h = nullptr;
    }
}

// What an open has taken so far, given back when it returns early: the device and its events,
// then the buffer pool's share InitUSB took. One place undoes every failed step, so no exit can
// forget a piece; Dismiss keeps it all.
struct OpenRollback {
    explicit OpenRollback(USBDev* d) : dev(d) {}
    OpenRollback(const OpenRollback&) = delete;
    OpenRollback& operator=(const OpenRollback&) = delete;
    ~OpenRollback() {
        if (dismissed) return;
        if (deviceOpen) UndoOpen(dev);
        ReleasePoolShare();
    }

    void Dismiss() { dismissed = true; }

    USBDev* dev;
    bool deviceOpen = false;  // dev->hDevice is this open's, with whatever handles follow it
    bool dismissed = false;
};

}  // namespace

const HidLibrary* LoadHidLibrary(void) {
    if (const HidLibrary* loaded = g_hidLibrary.load(std::memory_order_acquire)) return loaded;
    HMODULE module = LoadLibraryA("hid.dll");
    if (module == nullptr) return nullptr;
    HidLibrary* hid = new (std::nothrow) HidLibrary;
    if (hid == nullptr || !Resolve(module, "HidD_GetHidGuid", &hid->GetHidGuid) ||
        !Resolve(module, "HidD_GetPreparsedData", &hid->GetPreparsedData) ||
        !Resolve(module, "HidD_FreePreparsedData", &hid->FreePreparsedData) ||
        !Resolve(module, "HidP_GetSpecificValueCaps", &hid->GetSpecificValueCaps)) {
        delete hid;
        FreeLibrary(module);
        return nullptr;
    }
    // Two opens at once may both get here: one record is kept, the other one's reference to
    // the module is given back.
    const HidLibrary* expected = nullptr;
    if (!g_hidLibrary.compare_exchange_strong(expected, hid, std::memory_order_acq_rel)) {
        delete hid;
        FreeLibrary(module);
        return expected;
    }
    return hid;
}

void ForgetHidLibrary(void) { delete g_hidLibrary.exchange(nullptr); }

int32_t USBPortOpen(JNIEnv* env, PortSlot* slot) {
    USBDev* dev = &slot->dev;
    InitUSB();
    OpenRollback rollback(dev);

    const HidLibrary* hid = LoadHidLibrary();
    if (hid == nullptr) {
        LogLine("HID load error\n");
        return -1;
    }

    char match[MAX_PORT_NAME + 1];
    BuildMatchText(slot, match, sizeof match);

    // The walk is made after the rollback, so it gives its set and path back first, as the
    // search's own steps come before the device's.
    InterfaceWalk walk(InterfaceClass(hid, dev->deviceType == DEVICE_USBPTR));
    if (!walk.Opened()) {
        raiseIOException(env, "INVALID HANDLE!");
        return -1;
    }
    if (!SeekInterface(&walk, match, dev->instance)) {
        if (walk.Error() == ERROR_NO_MORE_ITEMS) {
            Raise(env, "Device Not Found - ", match);
        } else {
            RaiseStep(env, walk.FailedStep(), walk.Error());
        }
        return -1;
    }
    // The set is needed only for the search.
    walk.EndKeepingPath();

    HANDLE device = CreateFileA(walk.Path(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        Raise(env, "INVALID_HANDLE - ", walk.Path());
        return -1;
    }
    dev->hDevice = device;
    rollback.deviceOpen = true;
    dev->reportId = dev->deviceType == DEVICE_USBPTR ? 0 : ReadReportId(hid, device);

    // A port without its events, queue lock or device lock could neither receive nor be closed
    // safely, so their creation is checked, and its failure fails the open.
    InitQueue(&dev->rxQueue);
    enum Kind { kAutoEvent, kManualEvent, kMutex };
    struct Made {
        HANDLE* h;
        Kind kind;
    };
    // The data event is manual-reset: every waiter sees the bytes, and each resets it before it
    // looks at the count, so none sleeps past bytes that came meanwhile.
    const Made made[] = {{&dev->hReadEvent, kAutoEvent},  {&dev->hStopEvent, kAutoEvent},
                         {&dev->hWriteEvent, kAutoEvent}, {&dev->hDataEvent, kManualEvent},
                         {&dev->rxQueue.hQueueLock, kMutex}, {&dev->hLock, kMutex}};
    for (const Made& m : made) {
        const bool event = m.kind != kMutex;
        *m.h = event ? CreateEventA(nullptr, m.kind == kManualEvent, FALSE, nullptr)
                     : CreateMutexA(nullptr, FALSE, nullptr);
        if (*m.h == nullptr) {
            RaiseStep(env, event ? "CreateEventA" : "CreateMutexA", GetLastError());
            return -1;
        }
    }
    memset(&dev->writeOverlapped, 0, sizeof dev->writeOverlapped);
    dev->writeOverlapped.hEvent = dev->hWriteEvent;

    if (dev->deviceType == DEVICE_USBAIO || dev->deviceType == DEVICE_USBLCD1 ||
        dev->deviceType == DEVICE_USBLCD2) {
        LaunchSensorMonitor(dev->deviceType);
    }

    dev->hThread = CreateThread(nullptr, 0, USBRxThread, dev, 0, nullptr);
    if (dev->hThread == nullptr) {
        RaiseStep(env, "CreateThread", GetLastError());
        return -1;
    }

    rollback.Dismiss();
    Sleep(HID_OPEN_SETTLE_MS);
    return 0;
}
