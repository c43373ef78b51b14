// Finding and opening a HID port's device: the match text, the SetupAPI search, the overlapped
// open, the report ID, and the port's events, queue, thread and lock.
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>
#include <string>

#include "../fail/raise.h"
#include "hid.h"
#include "hid_internal.h"

namespace {

// GUID_DEVINTERFACE_USBPRINT, the USB printer device-interface class.
const GUID kUsbPrinterClass = {0x28D78FAD, 0x5A12, 0x11D1,
                               {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

// DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE
const DWORD kClassDevsFlags = 0x16;

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

// The `instance`-th interface of the class whose path contains `match`, in enumeration order, as
// a malloc'd detail record; null, with the exception raised, when the search ends without it.
SP_DEVICE_INTERFACE_DETAIL_DATA_A* FindInterface(JNIEnv* env, HDEVINFO set, const GUID* cls,
                                                 const char* match, int32_t instance) {
    int32_t matches = 0;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA iface;
        memset(&iface, 0, sizeof iface);
        // The platform's own record size: 28 in the 32-bit DLL, 32 in the 64-bit one.
        iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, cls, index, &iface)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_ITEMS) {
                Raise(env, "Device Not Found - ", match);
            } else {
                RaiseStep(env, "SetupDiEnumDeviceInterfaces", error);
            }
            return nullptr;
        }

        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &required, nullptr);
        // No room for a path: the size query itself failed, so the detail cannot be read and
        // the interface is not counted.
        if (required <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1) continue;
        // One byte more than asked for, kept zero, so the path is terminated whatever the
        // platform wrote.
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(calloc(1, required + 1));
        if (detail == nullptr) {
            RaiseStep(env, "SetupDiGetDeviceInterfaceDetailA", ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        // 5 in the 32-bit DLL, 8 in the 64-bit one, as each platform checks it.
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, nullptr, nullptr) &&
            strstr(detail->DevicePath, match) != nullptr && ++matches == instance) {
            return detail;
        }
        free(detail);
    }
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
                         &dev->hLock,      &dev->rxQueue.hQueueLock, &dev->hDevice};
    for (HANDLE* h : handles) {
        if (*h != nullptr) CloseHandle(*h);
        *h = nullptr;
    }
}

// What an open has taken so far, given back when it returns early: the device-info set, the
// detail record, the device and its events, then the buffer pool's share InitUSB took. One
// place undoes every failed step, so no exit can forget a piece; Dismiss keeps it all.
struct OpenRollback {
    explicit OpenRollback(USBDev* d) : dev(d) {}
    OpenRollback(const OpenRollback&) = delete;
    OpenRollback& operator=(const OpenRollback&) = delete;
    ~OpenRollback() {
        DestroySet();
        FreeDetail();
        if (dismissed) return;
        if (deviceOpen) UndoOpen(dev);
        ReleasePoolShare();
    }

    void DestroySet() {
        if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
        set = INVALID_HANDLE_VALUE;
    }
    void FreeDetail() {
        free(detail);
        detail = nullptr;
    }
    void Dismiss() { dismissed = true; }

    USBDev* dev;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = nullptr;
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

void BuildMatchText(const PortSlot* slot, char* out, size_t size) {
    if (size == 0) return;
    const USBDev& dev = slot->dev;
    if (dev.deviceType == DEVICE_VIDPID) {
        snprintf(out, size, "vid_%4.4x&pid_%4.4x", static_cast<unsigned>(dev.vid),
                 static_cast<unsigned>(dev.pid));
        return;
    }
    size_t n = 0;
    const size_t length = strnlen(slot->name, sizeof slot->name);
    for (size_t i = 8; i < length && n + 1 < size; ++i) {
        char c = slot->name[i];
        if (c == '/') {
            // The character after a '/' is taken as it is, without either rule.
            if (++i >= length) break;
            c = slot->name[i];
        } else if (c == '+') {
            c = '&';
        }
        out[n++] = c;
    }
    out[n] = '\0';
    for (size_t i = 0; i < n; ++i) {
        if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
    }
}

int32_t USBPortOpen(JNIEnv* env, PortSlot* slot) {
    USBDev* dev = &slot->dev;
    InitUSB();
    OpenRollback rollback(dev);

    const HidLibrary* hid = LoadHidLibrary();
    if (hid == nullptr) {
        printf("HID load error\n");
        fflush(stdout);
        return -1;
    }

    char match[MAX_PORT_NAME + 1];
    BuildMatchText(slot, match, sizeof match);

    GUID cls;
    if (dev->deviceType == DEVICE_USBPTR) {
        cls = kUsbPrinterClass;
    } else {
        hid->GetHidGuid(&cls);
    }

    rollback.set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, kClassDevsFlags);
    if (rollback.set == INVALID_HANDLE_VALUE) {
        raiseIOException(env, "INVALID HANDLE!");
        return -1;
    }
    rollback.detail = FindInterface(env, rollback.set, &cls, match, dev->instance);
    // The set is needed only for the search.
    rollback.DestroySet();
    if (rollback.detail == nullptr) return -1;

    HANDLE device = CreateFileA(rollback.detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        Raise(env, "INVALID_HANDLE - ", rollback.detail->DevicePath);
        return -1;
    }
    rollback.FreeDetail();
    dev->hDevice = device;
    rollback.deviceOpen = true;
    dev->reportId = dev->deviceType == DEVICE_USBPTR ? 0 : ReadReportId(hid, device);

    // A port without its events, queue lock or device lock could neither receive nor be closed
    // safely, so their creation is checked, and its failure fails the open.
    InitQueue(&dev->rxQueue);
    struct Made {
        HANDLE* h;
        bool event;
    };
    const Made made[] = {{&dev->hReadEvent, true},           {&dev->hStopEvent, true},
                         {&dev->hWriteEvent, true},          {&dev->rxQueue.hQueueLock, false},
                         {&dev->hLock, false}};
    for (const Made& m : made) {
        *m.h = m.event ? CreateEventA(nullptr, FALSE, FALSE, nullptr)
                       : CreateMutexA(nullptr, FALSE, nullptr);
        if (*m.h == nullptr) {
            RaiseStep(env, m.event ? "CreateEventA" : "CreateMutexA", GetLastError());
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
