// The HID class library over the devices' report descriptors, and the table of its exports by
// which GetProcAddress answers for "hid.dll" (process.cpp).
#include <string.h>

#include <new>

#include "handles.h"
#include "provider.h"

namespace caldrix_posix {
namespace {

constexpr uint32_t kPreparsedMagic = 0x48494450;  // "HIDP": a record this library made

}  // namespace
}  // namespace caldrix_posix

// What HidD_GetPreparsedData hands out: the parsed descriptor, recognised by its mark so that a
// stray pointer is refused instead of read.
struct _HIDP_PREPARSED_DATA {
    uint32_t magic;
    caldrix_posix::HidDescriptor descriptor;
};

using namespace caldrix_posix;

void HidD_GetHidGuid(LPGUID guid) {
    if (guid != nullptr) *guid = kHidInterfaceClass;
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
    if (data == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
    *data = nullptr;
    _HIDP_PREPARSED_DATA* parsed = new (std::nothrow) _HIDP_PREPARSED_DATA;
    if (parsed == nullptr) return CallFails(ERROR_NOT_ENOUGH_MEMORY);
    parsed->magic = kPreparsedMagic;
    if (!DeviceHidDescriptor(device, &parsed->descriptor)) {
        delete parsed;
        return FALSE;
    }
    *data = parsed;
    return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    if (data == nullptr || data->magic != kPreparsedMagic) return FALSE;
    data->magic = 0;
    delete data;
    return TRUE;
}

NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                   USAGE usage, PHIDP_VALUE_CAPS caps, PUSHORT length,
                                   PHIDP_PREPARSED_DATA data) {
    if (data == nullptr || data->magic != kPreparsedMagic) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    HidReportKind kind;
    switch (type) {
        case HidP_Input: kind = HidReportKind::Input; break;
        case HidP_Output: kind = HidReportKind::Output; break;
        case HidP_Feature: kind = HidReportKind::Feature; break;
        default: return HIDP_STATUS_INVALID_REPORT_TYPE;
    }
    if (length == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    const USHORT room = caps != nullptr ? *length : 0;
    USHORT found = 0, given = 0;
    for (const HidFieldCaps& c : data->descriptor.caps) {
        if (c.kind != kind || c.isButton) continue;
        if (usagePage != 0 && c.usagePage != usagePage) continue;
        if (linkCollection != 0 && c.linkCollection != linkCollection) continue;
        if (usage != 0 && (usage < c.usageMin || usage > c.usageMax)) continue;
        ++found;
        if (given == room) continue;
        HIDP_VALUE_CAPS& v = caps[given++];
        memset(&v, 0, sizeof v);
        v.UsagePage = c.usagePage;
        v.ReportID = c.reportId;
        v.BitField = c.bitField;
        v.LinkCollection = c.linkCollection;
        v.LinkUsage = c.linkUsage;
        v.LinkUsagePage = c.linkUsagePage;
        v.IsRange = c.isRange;
        v.IsAbsolute = c.isAbsolute;
        v.HasNull = c.hasNull;
        v.BitSize = c.bitSize;
        v.ReportCount = c.reportCount;
        v.UnitsExp = c.unitsExp;
        v.Units = c.units;
        v.LogicalMin = c.logicalMin;
        v.LogicalMax = c.logicalMax;
        v.PhysicalMin = c.physicalMin;
        v.PhysicalMax = c.physicalMax;
        v.Range.UsageMin = c.usageMin;
        v.Range.UsageMax = c.usageMax;
    }
    if (found == 0) {
        *length = 0;
        return HIDP_STATUS_USAGE_NOT_FOUND;
    }
    // Too small an array, as Windows answers it: the first entries filled in, and the length set
    // to how many there are, so a caller can size its array and ask again.
    *length = found;
    return given < found ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

// ---- exports ------------------------------------------------------------------------------------

namespace {

struct Export {
    const char* name;
    FARPROC proc;
};

template <typename F>
FARPROC AsProc(F* f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace

FARPROC caldrix_posix::HidExport(LPCSTR name) {
    static const Export kExports[] = {
        {"HidD_GetHidGuid", AsProc(&HidD_GetHidGuid)},
        {"HidD_GetPreparsedData", AsProc(&HidD_GetPreparsedData)},
        {"HidD_FreePreparsedData", AsProc(&HidD_FreePreparsedData)},
        {"HidP_GetSpecificValueCaps", AsProc(&HidP_GetSpecificValueCaps)},
    };
    for (const Export& e : kExports) {
        if (strcmp(e.name, name) == 0) return e.proc;
    }
    return nullptr;
}
