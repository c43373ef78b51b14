#include "hid_search.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// GUID_DEVINTERFACE_USBPRINT, the USB printer device-interface class.
const GUID kUsbPrinterClass = {0x28D78FAD, 0x5A12, 0x11D1,
                               {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

// DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE
const DWORD kClassDevsFlags = 0x16;

}  // namespace

GUID InterfaceClass(const HidLibrary* hid, bool printer) {
    GUID cls = kUsbPrinterClass;
    if (!printer) hid->GetHidGuid(&cls);
    return cls;
}

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

bool SeekInterface(InterfaceWalk* walk, const char* match, int32_t instance) {
    int32_t matches = 0;
    while (walk->Next())
        if (strstr(walk->Path(), match) != nullptr && ++matches == instance) return true;
    return false;
}

InterfaceWalk::InterfaceWalk(const GUID& cls) : cls_(cls) {
    set_ = SetupDiGetClassDevsA(&cls_, nullptr, nullptr, kClassDevsFlags);
    if (set_ == INVALID_HANDLE_VALUE) Fail("SetupDiGetClassDevsA", GetLastError());
}

InterfaceWalk::~InterfaceWalk() {
    EndKeepingPath();
    free(detail_);
}

void InterfaceWalk::EndKeepingPath() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    set_ = INVALID_HANDLE_VALUE;
}

void InterfaceWalk::Fail(const char* step, DWORD error) {
    step_ = step;
    error_ = error;
}

bool InterfaceWalk::Next() {
    free(detail_);
    detail_ = nullptr;
    if (set_ == INVALID_HANDLE_VALUE) return false;
    for (;; ++index_) {
        SP_DEVICE_INTERFACE_DATA iface;
        memset(&iface, 0, sizeof iface);
        // The platform's own record size: 28 in the 32-bit DLL, 32 in the 64-bit one.
        iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &cls_, index_, &iface)) {
            Fail("SetupDiEnumDeviceInterfaces", GetLastError());
            return false;
        }

        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set_, &iface, nullptr, 0, &required, nullptr);
        // No room for a path: the size query itself failed, so the detail cannot be read and
        // the interface is not counted.
        if (required <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1) continue;
        // One byte more than asked for, kept zero, so the path is terminated whatever the
        // platform wrote.
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(calloc(1, required + 1));
        if (detail == nullptr) {
            Fail("SetupDiGetDeviceInterfaceDetailA", ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        // 5 in the 32-bit DLL, 8 in the 64-bit one, as each platform checks it.
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set_, &iface, detail, required, nullptr, nullptr)) {
            detail_ = detail;
            ++index_;
            return true;
        }
        free(detail);
    }
}
