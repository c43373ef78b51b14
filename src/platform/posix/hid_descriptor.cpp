// The HID report-descriptor parser. Items are read one at a time with their size checked against
// what is left, so a truncated descriptor ends with a clear answer instead of a read past its end.
#include "hid_descriptor.h"

#include <string.h>

namespace caldrix_posix {
namespace {

// Item types and tags of a HID report descriptor.
enum : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };
enum : uint8_t { kInput = 8, kOutput = 9, kCollection = 10, kFeature = 11, kEndCollection = 12 };
enum : uint8_t {
    kUsagePage = 0, kLogicalMin, kLogicalMax, kPhysicalMin, kPhysicalMax, kUnitExp, kUnit,
    kReportSize, kReportId, kReportCount, kPush, kPop
};
enum : uint8_t { kUsage = 0, kUsageMin = 1, kUsageMax = 2 };

constexpr uint16_t kConstant = 0x01, kVariable = 0x02, kRelative = 0x04, kNullState = 0x40;
constexpr size_t kMaxPushDepth = 16;
constexpr uint32_t kMaxReportBits = 0xFFFF * 8;

struct Globals {
    uint16_t usagePage = 0;
    int32_t logicalMin = 0, logicalMax = 0, physicalMin = 0, physicalMax = 0;
    uint32_t unitExp = 0, unit = 0;
    uint32_t reportSize = 0, reportCount = 0;
    uint8_t reportId = 0;
};

// Usages of the coming main item; a 4-byte usage carries its own page in the high half.
struct Usage {
    uint16_t page, min, max;
    bool range;
};

struct Locals {
    std::vector<Usage> usages;
    bool haveMin = false;
    uint32_t min = 0;
};

struct Collection {
    uint16_t usagePage, usage, index;
};

bool Fail(std::string* why, const char* text, size_t at) {
    if (why != nullptr) *why = std::string(text) + " at byte " + std::to_string(at);
    return false;
}

uint32_t Unsigned(const uint8_t* p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

int32_t Signed(const uint8_t* p, size_t n) {
    const uint32_t v = Unsigned(p, n);
    if (n == 0 || n == 4) return static_cast<int32_t>(v);
    const uint32_t sign = 1u << (8 * n - 1);
    return static_cast<int32_t>((v ^ sign) - sign);
}

Usage MakeUsage(uint32_t value, size_t n, uint16_t page, bool range, uint32_t max = 0) {
    Usage u;
    u.page = n == 4 ? static_cast<uint16_t>(value >> 16) : page;
    u.min = static_cast<uint16_t>(value);
    u.max = range ? static_cast<uint16_t>(max) : u.min;
    u.range = range;
    return u;
}

}  // namespace

bool ParseHidDescriptor(const uint8_t* data, size_t size, HidDescriptor* out, std::string* why) {
    out->caps.clear();
    Globals g;
    std::vector<Globals> stack;
    Locals l;
    std::vector<Collection> open;
    uint16_t collections = 0;
    bool sawReportId = false;

    for (size_t at = 0; at < size;) {
        const uint8_t prefix = data[at];
        if (prefix == 0xFE) {  // a long item: its size and tag follow; nothing here reads it
            if (size - at < 3) return Fail(why, "truncated long item", at);
            const size_t n = data[at + 1];
            if (size - at - 3 < n) return Fail(why, "truncated long item", at);
            at += 3 + n;
            continue;
        }
        static const size_t kSizes[] = {0, 1, 2, 4};
        const size_t n = kSizes[prefix & 3];
        const uint8_t type = (prefix >> 2) & 3, tag = prefix >> 4;
        if (size - at - 1 < n) return Fail(why, "truncated item", at);
        const uint8_t* p = data + at + 1;
        const uint32_t u = Unsigned(p, n);
        const size_t item = at;
        at += 1 + n;

        if (type == kGlobal) {
            switch (tag) {
                case kUsagePage: g.usagePage = static_cast<uint16_t>(u); break;
                case kLogicalMin: g.logicalMin = Signed(p, n); break;
                case kLogicalMax: g.logicalMax = Signed(p, n); break;
                case kPhysicalMin: g.physicalMin = Signed(p, n); break;
                case kPhysicalMax: g.physicalMax = Signed(p, n); break;
                case kUnitExp: g.unitExp = u; break;
                case kUnit: g.unit = u; break;
                case kReportSize:
                    if (u == 0 || u > 32) return Fail(why, "report size out of range", item);
                    g.reportSize = u;
                    break;
                case kReportId:
                    if (u == 0 || u > 255) return Fail(why, "report ID out of range", item);
                    g.reportId = static_cast<uint8_t>(u);
                    sawReportId = true;
                    break;
                case kReportCount:
                    if (u == 0 || u > 0xFFFF) return Fail(why, "report count out of range", item);
                    g.reportCount = u;
                    break;
                case kPush:
                    if (stack.size() == kMaxPushDepth) return Fail(why, "push too deep", item);
                    stack.push_back(g);
                    break;
                case kPop:
                    if (stack.empty()) return Fail(why, "pop without push", item);
                    g = stack.back();
                    stack.pop_back();
                    break;
                default:
                    return Fail(why, "unknown global item", item);
            }
            continue;
        }
        if (type == kLocal) {
            if (tag == kUsage) {
                l.usages.push_back(MakeUsage(u, n, g.usagePage, false));
            } else if (tag == kUsageMin) {
                l.haveMin = true;
                l.min = u;
            } else if (tag == kUsageMax) {
                if (!l.haveMin) return Fail(why, "usage maximum without minimum", item);
                l.usages.push_back(MakeUsage(l.min, n, g.usagePage, true, u));
                l.haveMin = false;
            }
            continue;  // designators, strings and delimiters do not shape the report
        }
        if (type != kMain) return Fail(why, "reserved item type", item);

        if (tag == kCollection) {
            const uint16_t usage = l.usages.empty() ? 0 : l.usages.front().min;
            const uint16_t page = l.usages.empty() ? g.usagePage : l.usages.front().page;
            if (open.empty() && collections == 0) {
                out->usagePage = page;
                out->usage = usage;
            }
            open.push_back(Collection{page, usage, collections++});
        } else if (tag == kEndCollection) {
            if (open.empty()) return Fail(why, "end of a collection never opened", item);
            open.pop_back();
        } else if (tag == kInput || tag == kOutput || tag == kFeature) {
            if (g.reportSize == 0 || g.reportCount == 0)
                return Fail(why, "main item without report size or count", item);
            if (g.reportSize * g.reportCount > kMaxReportBits)
                return Fail(why, "report too long", item);
            const uint16_t flags = static_cast<uint16_t>(u);
            // Constant fields are padding: no capability.
            if (!(flags & kConstant) && !l.usages.empty()) {
                HidFieldCaps c;
                memset(&c, 0, sizeof c);
                c.kind = tag == kInput    ? HidReportKind::Input
                         : tag == kOutput ? HidReportKind::Output
                                          : HidReportKind::Feature;
                const bool variable = flags & kVariable;
                c.isButton = !variable || g.reportSize == 1;
                c.reportId = g.reportId;
                c.bitField = flags;
                if (!open.empty()) {
                    c.linkCollection = open.back().index;
                    c.linkUsage = open.back().usage;
                    c.linkUsagePage = open.back().usagePage;
                }
                c.isAbsolute = !(flags & kRelative);
                c.hasNull = flags & kNullState;
                c.bitSize = static_cast<uint16_t>(g.reportSize);
                c.logicalMin = g.logicalMin;
                c.logicalMax = g.logicalMax;
                c.physicalMin = g.physicalMin;
                c.physicalMax = g.physicalMax;
                c.units = g.unit;
                c.unitsExp = g.unitExp;
                if (!variable) {
                    // An array: one capability for its usages, the count its slots.
                    for (const Usage& us : l.usages) {
                        c.usagePage = us.page;
                        c.isRange = us.range;
                        c.usageMin = us.min;
                        c.usageMax = us.max;
                        c.reportCount = static_cast<uint16_t>(g.reportCount);
                        out->caps.push_back(c);
                    }
                } else {
                    // Variables: a field per usage in order, ranges taking as many fields as they
                    // hold; the last usage covers the fields left over.
                    uint32_t left = g.reportCount;
                    for (size_t i = 0; i < l.usages.size() && left > 0; ++i) {
                        const Usage& us = l.usages[i];
                        const uint32_t span = us.range ? static_cast<uint32_t>(us.max - us.min) + 1 : 1;
                        const bool last = i + 1 == l.usages.size();
                        const uint32_t take = last ? left : (span < left ? span : left);
                        c.usagePage = us.page;
                        c.isRange = us.range;
                        c.usageMin = us.min;
                        c.usageMax = us.max;
                        c.reportCount = static_cast<uint16_t>(take);
                        out->caps.push_back(c);
                        left -= take;
                    }
                }
            }
        }
        l = Locals();  // local items last for one main item
    }
    if (!open.empty()) return Fail(why, "collection not closed", size);
    if (!stack.empty()) return Fail(why, "push without pop", size);
    // A device that names report IDs names one for every report; fields before the first ID
    // would belong to report 0, which such a device cannot send.
    if (sawReportId) {
        for (const HidFieldCaps& c : out->caps) {
            if (c.reportId == 0) return Fail(why, "fields outside any report ID", 0);
        }
    }
    return true;
}

}  // namespace caldrix_posix
