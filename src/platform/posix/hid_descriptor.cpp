// The HID report-descriptor parser. Items are read one at a time with their size checked against
// what is left, so a truncated descriptor ends with a clear answer instead of a read past its end.
// It refuses what the kernel's parser refuses (drivers/hid/hid-core.c), with the kernel's reason,
// and nothing else: a field the kernel takes (a report size of 0, a 64-bit serial number) is a
// field here too.
#include "hid_descriptor.h"

#include <string.h>

#include <algorithm>
#include <optional>

namespace caldrix_posix {
namespace {

// Item types and tags of a HID report descriptor.
enum : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };
enum : uint8_t { kInput = 8, kOutput = 9, kCollection = 10, kFeature = 11, kEndCollection = 12 };
enum : uint8_t {
    kUsagePage = 0,
    kLogicalMin,
    kLogicalMax,
    kPhysicalMin,
    kPhysicalMax,
    kUnitExp,
    kUnit,
    kReportSize,
    kReportId,
    kReportCount,
    kPush,
    kPop
};
enum : uint8_t { kUsage = 0, kUsageMin = 1, kUsageMax = 2, kDelimiter = 10 };

constexpr uint16_t kConstant = 0x01, kVariable = 0x02, kRelative = 0x04, kNullState = 0x40;

// The kernel's limits (include/linux/hid.h and hid-core.c).
constexpr size_t kMaxPushDepth = 4;       // HID_GLOBAL_STACK_SIZE
constexpr uint32_t kMaxUsages = 12288;    // HID_MAX_USAGES, also the largest report count
constexpr uint32_t kMaxReportSize = 256;  // bits of one field
constexpr uint32_t kMaxReportBits = (16384 - 1) * 8;  // HID_MAX_BUFFER_SIZE less the ID byte

struct Globals {
    uint16_t usagePage = 0;
    int32_t logicalMin = 0, logicalMax = 0, physicalMin = 0, physicalMax = 0;
    // The maximum as the kernel checks it: unsigned unless the minimum before it is negative.
    int32_t kernelLogicalMax = 0;
    uint32_t unitExp = 0, unit = 0;
    uint32_t reportSize = 0, reportCount = 0;
    uint8_t reportId = 0;
};

// Usages of the coming main item. A 4-byte usage carries its own page; a shorter one takes the
// page in force at the main item (see BindPages).
struct Usage {
    uint16_t page, min, max;
    bool range, extended;
};

struct Locals {
    std::vector<Usage> usages;
    uint32_t count = 0;  // as the kernel counts them: a range is as many usages as it adds
    bool haveMin = false, haveMax = false;  // a half of a range waiting for the other half
    // The kernel counts a range from the last minimum, in force until the main item.
    uint32_t min = 0, max = 0;
    size_t maxSize = 0;
    unsigned delimiterDepth = 0, delimiterBranch = 0;
};

struct Collection {
    uint16_t usagePage, usage, index;
};

bool Fail(std::string* why, const std::string& text, size_t at) {
    if (why != nullptr) *why = text + " at byte " + std::to_string(at);
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

// The usages a Usage Maximum adds to the kernel's table of `count`, counted as the kernel counts
// them, in unsigned 32-bit arithmetic: from the minimum in force (the last Usage Minimum, else 0)
// up to the maximum, which is first cut to the room left once span and count reach the table's
// size. Its wrap-around is the kernel's too: after other usages a maximum below its minimum adds
// nothing, and so does a minimum of 2 or more on a full table.
std::optional<std::string> CountRange(uint32_t* count, uint32_t min, uint32_t max) {
    if (max - min + *count >= kMaxUsages) {
        max = kMaxUsages - *count + min - 1;
        if (max == 0) return std::string("no more usage index available");
    }
    if (max < min) return std::nullopt;
    if (uint64_t{max} - min + 1 > kMaxUsages - *count) return std::string("usage index exceeded");
    *count += max - min + 1;
    return std::nullopt;
}

// A usage range of the coming main item as Windows reads it, between its two ends whichever came
// first; one whose maximum is below its minimum names no usage.
void AddRange(Locals& l, uint32_t min, uint32_t max, size_t size, uint16_t page) {
    if (max < min) return;
    const uint64_t span = std::min<uint64_t>(uint64_t{max} - min + 1, kMaxUsages);
    const uint64_t last = (min & 0xFFFF) + span - 1;
    Usage u;
    u.extended = size == 4;
    u.page = u.extended ? static_cast<uint16_t>(max >> 16) : page;
    u.min = static_cast<uint16_t>(min);
    u.max = static_cast<uint16_t>(last > 0xFFFF ? 0xFFFF : last);
    u.range = true;
    l.usages.push_back(u);
}

// At a main item the page in force binds the usages given without one, from the last back to
// the first that already has it, as the kernel and Windows bind them: a Usage Page after its
// usages applies to them.
void BindPages(Locals& l, uint16_t page) {
    for (size_t i = l.usages.size(); i-- > 0;) {
        if (l.usages[i].extended) continue;
        if (l.usages[i].page == page) break;
        l.usages[i].page = page;
    }
}

// The capabilities one data main item gives, appended to `out`.
void AddCaps(const Locals& l, const Globals& g, HidReportKind kind, uint16_t flags,
             const Collection* inner, std::vector<HidFieldCaps>* out) {
    HidFieldCaps c;
    memset(&c, 0, sizeof c);
    c.kind = kind;
    const bool variable = flags & kVariable;
    c.isButton = !variable || g.reportSize == 1;
    c.reportId = g.reportId;
    c.bitField = flags;
    if (inner != nullptr) {
        c.linkCollection = inner->index;
        c.linkUsage = inner->usage;
        c.linkUsagePage = inner->usagePage;
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
    // An array: one capability per usage entry, the count its slots. Variables: a field per usage
    // in order, ranges taking as many fields as they hold; the last usage covers what is left.
    uint32_t left = g.reportCount;
    for (size_t i = 0; i < l.usages.size() && (left > 0 || !variable); ++i) {
        const Usage& us = l.usages[i];
        const uint32_t span = us.range ? static_cast<uint32_t>(us.max - us.min) + 1 : 1;
        const uint32_t take =
            !variable || i + 1 == l.usages.size() ? left : (span < left ? span : left);
        c.usagePage = us.page;
        c.isRange = us.range;
        c.usageMin = us.min;
        c.usageMax = us.max;
        c.reportCount = static_cast<uint16_t>(variable ? take : g.reportCount);
        out->push_back(c);
        if (variable) left -= take;
    }
}

// The value of one short item: its data bytes, their count and their unsigned reading.
struct ItemData {
    const uint8_t* p;
    size_t n;
    uint32_t u;
};

struct Item {
    bool isLong;
    uint8_t type, tag;
    ItemData d;
};

// Reads the item at *at and steps past it, as the kernel fetches items; false when it does not end
// inside the descriptor.
bool FetchItem(const uint8_t* data, size_t size, size_t* at, Item* item) {
    const uint8_t prefix = data[*at];
    item->isLong = (prefix & 0xF0) == 0xF0;  // its size and tag follow
    if (item->isLong) {
        if (size - *at < 3 || size - *at - 3 < data[*at + 1]) return false;
        *at += 3 + data[*at + 1];
        return true;
    }
    static const size_t kSizes[] = {0, 1, 2, 4};
    const size_t n = kSizes[prefix & 3];
    if (size - *at - 1 < n) return false;
    item->type = (prefix >> 2) & 3;
    item->tag = prefix >> 4;
    item->d = ItemData{data + *at + 1, n, Unsigned(data + *at + 1, n)};
    *at += 1 + n;
    return true;
}

// Whether input reports carry their ID byte: an input item lies under a Report ID. Read as the
// kernel's first pass reads a descriptor, item by item up to the last whole one, refusing nothing,
// so a descriptor this parser refuses is still numbered as the kernel numbers it.
bool InputsNumbered(const uint8_t* data, size_t size) {
    uint32_t id = 0;
    std::vector<uint32_t> pushed;
    Item item;
    for (size_t at = 0; at < size && FetchItem(data, size, &at, &item);) {
        if (item.isLong) continue;
        if (item.type == kMain && item.tag == kInput && id != 0) return true;
        if (item.type != kGlobal) continue;
        // What the kernel keeps when it refuses the item: an invalid ID, an unchanged stack.
        if (item.tag == kReportId) {
            id = item.d.u;
        } else if (item.tag == kPush && pushed.size() < kMaxPushDepth) {
            pushed.push_back(id);
        } else if (item.tag == kPop && !pushed.empty()) {
            id = pushed.back();
            pushed.pop_back();
        }
    }
    return false;
}

// What parsing carries from item to item. Each handler takes one item of its kind and answers
// with the reason it is refused, or none.
struct Parser {
    explicit Parser(HidReportDescriptor* o) : out(o) {}

    std::optional<std::string> Global(uint8_t tag, const ItemData& d);
    std::optional<std::string> Local(uint8_t tag, const ItemData& d);
    std::optional<std::string> Main(uint8_t tag, const ItemData& d);

    HidReportDescriptor* out;
    Globals g;
    std::vector<Globals> stack;
    Locals l;
    std::vector<Collection> open;
    uint16_t links = 0;  // collections opened so far in the current top-level one
    std::vector<uint32_t> reportBits = std::vector<uint32_t>(3 * 256, 0);  // by kind and ID
};

std::optional<std::string> Parser::Global(uint8_t tag, const ItemData& d) {
    const uint32_t u = d.u;
    switch (tag) {
        case kUsagePage:
            g.usagePage = static_cast<uint16_t>(u);
            break;
        case kLogicalMin:
            g.logicalMin = Signed(d.p, d.n);
            break;
        case kLogicalMax:
            g.logicalMax = Signed(d.p, d.n);
            g.kernelLogicalMax = g.logicalMin < 0 ? g.logicalMax : static_cast<int32_t>(u);
            break;
        case kPhysicalMin:
            g.physicalMin = Signed(d.p, d.n);
            break;
        case kPhysicalMax:
            g.physicalMax = Signed(d.p, d.n);
            break;
        case kUnitExp:
            g.unitExp = u;
            break;
        case kUnit:
            g.unit = u;
            break;
        case kReportSize:
            if (u > kMaxReportSize) return "invalid report_size " + std::to_string(u);
            g.reportSize = u;
            break;
        case kReportId:
            if (u == 0 || u > 255) return "report_id " + std::to_string(u) + " is invalid";
            g.reportId = static_cast<uint8_t>(u);
            break;
        case kReportCount:
            if (u > kMaxUsages) return "invalid report_count " + std::to_string(u);
            g.reportCount = u;
            break;
        case kPush:
            if (stack.size() == kMaxPushDepth)
                return std::string("global environment stack overflow");
            stack.push_back(g);
            break;
        case kPop:
            if (stack.empty()) return std::string("global environment stack underflow");
            g = stack.back();
            stack.pop_back();
            break;
        default:
            return "unknown global tag " + std::to_string(tag);
    }
    return std::nullopt;
}

std::optional<std::string> Parser::Local(uint8_t tag, const ItemData& d) {
    const uint32_t u = d.u;
    // Usages of a delimited set other than the first are alternatives nobody reads.
    const bool alternative = l.delimiterBranch > 1;
    if (tag == kDelimiter) {
        if (u != 0) {
            if (l.delimiterDepth != 0) return std::string("nested delimiters");
            ++l.delimiterDepth;
            ++l.delimiterBranch;
        } else {
            if (l.delimiterDepth == 0) return std::string("bogus close delimiter");
            --l.delimiterDepth;
        }
    } else if (tag == kUsage && !alternative) {
        if (l.count >= kMaxUsages) return std::string("usage index exceeded");
        ++l.count;
        Usage us;
        us.extended = d.n == 4;
        us.page = us.extended ? static_cast<uint16_t>(u >> 16) : g.usagePage;
        us.min = us.max = static_cast<uint16_t>(u);
        us.range = false;
        l.usages.push_back(us);
    } else if ((tag == kUsageMin || tag == kUsageMax) && !alternative) {
        // The kernel counts a range at its maximum; the capabilities pair the two halves up in
        // either order.
        if (tag == kUsageMin) {
            l.min = u;
            l.haveMin = true;
        } else {
            if (std::optional<std::string> refused = CountRange(&l.count, l.min, u)) return refused;
            l.max = u;
            l.maxSize = d.n;
            l.haveMax = true;
        }
        if (l.haveMin && l.haveMax) {
            AddRange(l, l.min, l.max, l.maxSize, g.usagePage);
            l.haveMin = l.haveMax = false;
        }
    }
    return std::nullopt;  // designators and strings do not shape the report
}

std::optional<std::string> Parser::Main(uint8_t tag, const ItemData& d) {
    // A maximum without a minimum after it spans from the minimum in force, 0 when none is given.
    if (l.haveMax) AddRange(l, l.min, l.max, l.maxSize, g.usagePage);
    BindPages(l, g.usagePage);
    if (tag == kCollection) {
        const uint16_t usage = l.usages.empty() ? 0 : l.usages.front().min;
        const uint16_t page = l.usages.empty() ? g.usagePage : l.usages.front().page;
        if (open.empty()) {
            HidDescriptor top;
            top.usagePage = page;
            top.usage = usage;
            out->collections.push_back(top);
            links = 0;
        }
        open.push_back(Collection{page, usage, links++});
    } else if (tag == kEndCollection) {
        if (open.empty()) return std::string("collection stack underflow");
        open.pop_back();
    } else if (tag == kInput || tag == kOutput || tag == kFeature) {
        if ((g.logicalMin < 0 && g.kernelLogicalMax < g.logicalMin) ||
            (g.logicalMin >= 0 &&
             static_cast<uint32_t>(g.kernelLogicalMax) < static_cast<uint32_t>(g.logicalMin)))
            return std::string("logical range invalid");
        const size_t kindIndex = tag == kInput ? 0 : tag == kOutput ? 1 : 2;
        uint32_t& bits = reportBits[kindIndex * 256 + g.reportId];
        bits += g.reportSize * g.reportCount;
        if (bits > kMaxReportBits) return std::string("report is too long");
        // A field outside every collection belongs to the last one opened (or to a first one
        // that it makes).
        if (out->collections.empty()) out->collections.push_back(HidDescriptor());
        HidDescriptor& top = out->collections.back();
        const HidReportKind kind = kindIndex == 0   ? HidReportKind::Input
                                   : kindIndex == 1 ? HidReportKind::Output
                                                    : HidReportKind::Feature;
        if (kind == HidReportKind::Input) {
            bool known = false;
            for (uint8_t id : top.inputReports) known = known || id == g.reportId;
            if (!known) top.inputReports.push_back(g.reportId);
        }
        // Constant fields and fields without usages are padding: no capability.
        const uint16_t flags = static_cast<uint16_t>(d.u);
        if (!(flags & kConstant) && !l.usages.empty())
            AddCaps(l, g, kind, flags, open.empty() ? nullptr : &open.back(), &top.caps);
    }
    l = Locals();  // local items last for one main item
    return std::nullopt;
}

}  // namespace

bool ParseHidDescriptor(const uint8_t* data, size_t size, HidReportDescriptor* out,
                        std::string* why) {
    out->collections.clear();
    out->numbered = InputsNumbered(data, size);
    Parser parser(out);

    // The kernel reads items until the last one ends exactly at the end; an empty descriptor
    // gives it nothing to read.
    if (size == 0) return Fail(why, "item fetching failed", 0);
    for (size_t at = 0; at < size;) {
        const size_t start = at;
        Item item;
        if (!FetchItem(data, size, &at, &item)) return Fail(why, "item fetching failed", start);
        if (item.isLong) return Fail(why, "unexpected long item", start);
        std::optional<std::string> refused;
        if (item.type == kGlobal)
            refused = parser.Global(item.tag, item.d);
        else if (item.type == kLocal)
            refused = parser.Local(item.tag, item.d);
        else if (item.type == kMain)
            refused = parser.Main(item.tag, item.d);
        // Reserved items: the kernel passes over them.
        if (refused) return Fail(why, *refused, start);
    }
    if (!parser.open.empty())
        return Fail(why, "unbalanced collection at end of report description", size);
    if (parser.l.delimiterDepth != 0)
        return Fail(why, "unbalanced delimiter at end of report description", size);
    return true;
}

}  // namespace caldrix_posix
