// SetupDi* over the providers' interface lists: a device information set is a snapshot of the
// interfaces present when it was made, behind a handle of its own.
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "handles.h"
#include "provider.h"

namespace caldrix_posix {

const GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF,
                                 {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kPrinterInterfaceClass = {0x28D78FAD, 0x5A12, 0x11D1,
                                     {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

namespace {

bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof a) == 0; }

struct DeviceInfoSet : HandleObject {
    DeviceInfoSet() : HandleObject(HandleKind::DeviceInfoSet) {}
    std::vector<DeviceInterface> interfaces;
};

// The registered providers' interfaces, then the host's, each provider in its own stable order.
std::vector<DeviceInterface> AllInterfaces() {
    std::vector<DeviceInterface> all;
    for (DeviceProvider* p : RegisteredProviders()) p->Interfaces(&all);
    for (DeviceProvider* p : {&HidrawProvider(), &UsblpProvider()}) p->Interfaces(&all);
    return all;
}

}  // namespace
}  // namespace caldrix_posix

using namespace caldrix_posix;

HDEVINFO SetupDiGetClassDevsA(const GUID* cls, PCSTR, HWND, DWORD flags) {
    if (cls == nullptr && !(flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        auto set = std::make_shared<DeviceInfoSet>();
        for (DeviceInterface& i : AllInterfaces()) {
            if ((flags & DIGCF_ALLCLASSES) || SameGuid(i.cls, *cls)) set->interfaces.push_back(i);
        }
        HANDLE h = RegisterHandle(set);
        if (h == nullptr) return INVALID_HANDLE_VALUE;
        SetLastError(ERROR_SUCCESS);
        return h;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* cls, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    std::shared_ptr<DeviceInfoSet> s = Lookup<DeviceInfoSet>(set, HandleKind::DeviceInfoSet);
    if (!s) return FALSE;
    if (cls == nullptr || data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return CallFails(ERROR_INVALID_PARAMETER);
    }
    DWORD seen = 0;
    for (size_t i = 0; i < s->interfaces.size(); ++i) {
        if (!SameGuid(s->interfaces[i].cls, *cls)) continue;
        if (seen++ != index) continue;
        data->InterfaceClassGuid = *cls;
        data->Flags = SPINT_ACTIVE;
        data->Reserved = i;  // which interface of the set, for the detail call
        return TRUE;
    }
    return CallFails(ERROR_NO_MORE_ITEMS);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                      PDWORD required, PSP_DEVINFO_DATA) {
    std::shared_ptr<DeviceInfoSet> s = Lookup<DeviceInfoSet>(set, HandleKind::DeviceInfoSet);
    if (!s) return FALSE;
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        data->Reserved >= s->interfaces.size()) {
        return CallFails(ERROR_INVALID_PARAMETER);
    }
    const std::string& path = s->interfaces[data->Reserved].path;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != nullptr) *required = needed;
    if (detail == nullptr) {
        return CallFails(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    }
    // Too small for even the size field and one character: not a detail record at all.
    if (size < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1 ||
        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return CallFails(ERROR_INVALID_USER_BUFFER);
    }
    if (size < needed) return CallFails(ERROR_INSUFFICIENT_BUFFER);
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!Lookup<DeviceInfoSet>(set, HandleKind::DeviceInfoSet)) return FALSE;
    return CloseHandle(set);
}
