// A HID report descriptor read as Windows' HID parser reads it, for HidP_* over hidraw: which
// fields a device reports, grouped into value and button capabilities.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace caldrix_posix {

enum class HidReportKind { Input, Output, Feature };

// One capability: a usage (or usage range) and the fields a main item gives it.
struct HidFieldCaps {
    HidReportKind kind;
    bool isButton;  // an array item, or 1-bit variable fields; otherwise a value
    uint16_t usagePage;
    uint8_t reportId;  // 0 for a device without report IDs
    uint16_t bitField;  // the main item's flags
    uint16_t linkCollection;  // index of the innermost collection, 0 the top-level one
    uint16_t linkUsage, linkUsagePage;
    bool isRange;
    uint16_t usageMin, usageMax;  // the one usage in both when not a range
    bool isAbsolute;
    bool hasNull;
    uint16_t bitSize;
    uint16_t reportCount;
    int32_t logicalMin, logicalMax;
    int32_t physicalMin, physicalMax;
    uint32_t units, unitsExp;
};

struct HidDescriptor {
    std::vector<HidFieldCaps> caps;  // in descriptor order
    uint16_t usagePage = 0, usage = 0;  // of the top-level collection
};

// Parses `size` bytes. False with *why when the descriptor is malformed or truncated; nothing is
// read past its end.
bool ParseHidDescriptor(const uint8_t* data, size_t size, HidDescriptor* out, std::string* why);

}  // namespace caldrix_posix
