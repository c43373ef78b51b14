// A HID report descriptor read as Windows' HID parser reads it, for HidP_* over hidraw: which
// fields a device reports, grouped into value and button capabilities, one set for each top-level
// collection (each of which Windows opens as an interface of its own). What the descriptor may be
// is what the Linux kernel's parser accepts: a device whose descriptor it refuses has no hidraw
// node at all, and every device it accepts must be read here too.
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
    uint8_t reportId;         // 0 for a report without an ID
    uint16_t bitField;        // the main item's flags
    uint16_t linkCollection;  // index of the innermost collection, 0 the top-level one
    uint16_t linkUsage, linkUsagePage;
    bool isRange;
    uint16_t usageMin, usageMax;  // the one usage in both when not a range
    bool isAbsolute;
    bool hasNull;
    uint16_t bitSize;  // up to 256, as the kernel allows; wider than 32 is one value of that size
    uint16_t reportCount;
    int32_t logicalMin, logicalMax;
    int32_t physicalMin, physicalMax;
    uint32_t units, unitsExp;
};

// One top-level collection: what one device interface answers.
struct HidDescriptor {
    std::vector<HidFieldCaps> caps;     // in descriptor order
    uint16_t usagePage = 0, usage = 0;  // of the collection
    std::vector<uint8_t> inputReports;  // IDs of its input reports, constant-only ones too
};

struct HidReportDescriptor {
    std::vector<HidDescriptor> collections;  // in descriptor order
    // Input reports carry their ID byte first: some input main item lies under a Report ID,
    // whether or not it has data. Decided as the kernel decides, since the kernel reads reports
    // by it and a device that works there sends them so. Decided for a refused descriptor too,
    // from every item as the kernel's first pass reads them: a node exists only for a descriptor
    // the kernel took, so one this parser cannot read still loses no byte of a report by it.
    bool numbered = false;
};

// Parses `size` bytes. False with *why (the kernel's reason and the byte it stopped at) when the
// kernel would refuse the descriptor, with `numbered` still set; nothing is read past its end.
bool ParseHidDescriptor(const uint8_t* data, size_t size, HidReportDescriptor* out,
                        std::string* why);

}  // namespace caldrix_posix
