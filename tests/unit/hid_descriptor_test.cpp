// The report-descriptor parser on real descriptors: what Windows would report as value and button
// capabilities for each top-level collection, whether reports carry their ID, and refusals of
// what the kernel refuses (and of nothing else), with the kernel's reason.
#include "platform/posix/hid_descriptor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid_descriptors.h"

namespace {

using caldrix_posix::HidDescriptor;
using caldrix_posix::HidFieldCaps;
using caldrix_posix::HidReportDescriptor;
using caldrix_posix::HidReportKind;
using caldrix_posix::ParseHidDescriptor;
using Bytes = std::vector<uint8_t>;

// The boot-protocol keyboard that USB HID devices describe.
const Bytes kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// The boot-protocol mouse: three buttons, padding, relative X and Y.
const Bytes kMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
                      0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
                      0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15,
                      0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};

// A vendor-defined customer display: input report 2 (status, 63 bytes), output report 3 (text).
// The output's size and count are pushed and popped around a feature report 4.
const Bytes kDisplay = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x09, 0x02,
                        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x81, 0x02,
                        0xA4, 0x85, 0x04, 0x09, 0x04, 0x75, 0x10, 0x95, 0x01, 0xB1, 0x02,
                        0xB4, 0x85, 0x03, 0x09, 0x03, 0x91, 0x02, 0xC0};

HidReportDescriptor ParseAll(const Bytes& d) {
    HidReportDescriptor out;
    std::string why;
    EXPECT_TRUE(ParseHidDescriptor(d.data(), d.size(), &out, &why)) << why;
    return out;
}

// The one top-level collection of a descriptor that has one.
HidDescriptor Parse(const Bytes& d) {
    const HidReportDescriptor all = ParseAll(d);
    EXPECT_EQ(all.collections.size(), 1u);
    return all.collections.empty() ? HidDescriptor() : all.collections[0];
}

std::vector<HidFieldCaps> Of(const HidDescriptor& d, HidReportKind kind, bool buttons) {
    std::vector<HidFieldCaps> out;
    for (const HidFieldCaps& c : d.caps)
        if (c.kind == kind && c.isButton == buttons) out.push_back(c);
    return out;
}

TEST(HidDescriptor, AKeyboardHasButtonsOnlyAndNoInputValue) {
    const HidDescriptor d = Parse(kKeyboard);
    EXPECT_EQ(d.usagePage, 1);
    EXPECT_EQ(d.usage, 6);
    EXPECT_TRUE(Of(d, HidReportKind::Input, false).empty());
    const auto buttons = Of(d, HidReportKind::Input, true);
    ASSERT_EQ(buttons.size(), 2u) << "modifier bits and the key array; the padding byte is none";
    EXPECT_EQ(buttons[0].usageMin, 0xE0);
    EXPECT_EQ(buttons[0].usageMax, 0xE7);
    EXPECT_EQ(buttons[0].reportCount, 8);
    EXPECT_EQ(buttons[1].usageMax, 0x65);
    EXPECT_EQ(buttons[1].reportCount, 6) << "an array's count is its slots";
    const auto leds = Of(d, HidReportKind::Output, true);
    ASSERT_EQ(leds.size(), 1u);
    EXPECT_EQ(leds[0].usagePage, 8);
    for (const HidFieldCaps& c : d.caps) EXPECT_EQ(c.reportId, 0);
}

TEST(HidDescriptor, AMouseReportsItsAxesAsValuesInDescriptorOrder) {
    const HidDescriptor d = Parse(kMouse);
    const auto values = Of(d, HidReportKind::Input, false);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].usageMin, 0x30);
    EXPECT_EQ(values[1].usageMin, 0x31);
    for (const HidFieldCaps& v : values) {
        EXPECT_EQ(v.usagePage, 1);
        EXPECT_EQ(v.reportCount, 1);
        EXPECT_EQ(v.bitSize, 8);
        EXPECT_EQ(v.logicalMin, -127) << "one-byte minimums are signed";
        EXPECT_EQ(v.logicalMax, 127);
        EXPECT_FALSE(v.isAbsolute);
        EXPECT_EQ(v.linkCollection, 1) << "inside the physical pointer collection";
        EXPECT_EQ(v.linkUsage, 1);
    }
    EXPECT_EQ(Of(d, HidReportKind::Input, true).size(), 1u);
}

TEST(HidDescriptor, AVendorDisplayKeepsItsReportIdsAndPushedState) {
    const HidDescriptor d = Parse(kDisplay);
    const auto in = Of(d, HidReportKind::Input, false);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].reportId, 2);
    EXPECT_EQ(in[0].usagePage, 0xFF00);
    EXPECT_EQ(in[0].usageMin, 2);
    EXPECT_EQ(in[0].reportCount, 63);
    EXPECT_EQ(in[0].logicalMax, 255) << "a two-byte maximum of 0x00FF is 255";
    const auto feature = Of(d, HidReportKind::Feature, false);
    ASSERT_EQ(feature.size(), 1u);
    EXPECT_EQ(feature[0].reportId, 4);
    EXPECT_EQ(feature[0].bitSize, 16);
    const auto out = Of(d, HidReportKind::Output, false);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].reportId, 3) << "the report ID set after the pop";
    EXPECT_EQ(out[0].bitSize, 8) << "popped back";
    EXPECT_EQ(out[0].reportCount, 63);
}

// The kernel reads a report's first byte as its ID as soon as one input item lies under a Report
// ID, data or constant.
TEST(HidDescriptor, ReportIdsOnConstantItemsStillNumberTheReports) {
    const HidReportDescriptor pen = ParseAll(FromHex(kPenTabletVendor));
    EXPECT_TRUE(pen.numbered);
    ASSERT_EQ(pen.collections.size(), 1u);
    EXPECT_TRUE(pen.collections[0].caps.empty()) << "constant items are padding";
    EXPECT_EQ(pen.collections[0].inputReports, (std::vector<uint8_t>{2, 3}));
    EXPECT_FALSE(ParseAll(kKeyboard).numbered);
    EXPECT_TRUE(ParseAll(kDisplay).numbered);
}

// Fields the kernel takes, which real devices have: a 0-bit padding item, a 64-bit serial number,
// usages before their Usage Page, input fields before the first Report ID.
TEST(HidDescriptor, WhatTheKernelTakesIsReadAsWindowsReadsIt) {
    const HidDescriptor gamepad = Parse(FromHex(kSaitekGamepad));
    const auto values = Of(gamepad, HidReportKind::Input, false);
    ASSERT_EQ(values.size(), 6u) << "X, Y, rudder, throttle, hat, vendor 0x22; no cap for 0 bits";
    EXPECT_EQ(values[0].usageMin, 0x30);
    EXPECT_EQ(values[0].reportId, 1);
    EXPECT_EQ(values[4].usageMin, 0x39);
    EXPECT_EQ(values[4].bitSize, 4);

    const HidReportDescriptor goodix = ParseAll(FromHex(kGoodixPen));
    ASSERT_EQ(goodix.collections.size(), 3u);
    bool sawSerial = false;
    for (const HidFieldCaps& c : Of(goodix.collections[1], HidReportKind::Input, false)) {
        if (c.usagePage != 0x0D || c.usageMin != 0x5B) continue;
        sawSerial = true;
        EXPECT_EQ(c.reportId, 8);
        EXPECT_EQ(c.bitSize, 64) << "one value of 64 bits, as Windows gives it";
        EXPECT_EQ(c.reportCount, 1);
        EXPECT_EQ(c.logicalMin, 0);
        EXPECT_EQ(c.logicalMax, -1) << "25 ff is -1, as Windows reads it";
    }
    EXPECT_TRUE(sawSerial);

    const auto keys = Of(Parse(FromHex(kPrimaxKeyboard)), HidReportKind::Input, true);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1].usagePage, 7) << "the page in force at the main item, not LEDs";
    EXPECT_EQ(keys[1].usageMax, 0xFF);
    // A 4-byte usage keeps its own page whatever page follows it.
    const HidDescriptor extended =
        Parse({0x0B, 0x30, 0x00, 0x01, 0x00, 0x09, 0x31, 0x05, 0x0D, 0x15, 0x00, 0x25, 0x7F, 0x75,
               0x08, 0x95, 0x02, 0x81, 0x02});
    ASSERT_EQ(extended.caps.size(), 2u);
    EXPECT_EQ(extended.caps[0].usagePage, 1);
    EXPECT_EQ(extended.caps[1].usagePage, 0x0D);

    const HidReportDescriptor nested = ParseAll(FromHex(kCollectionOverflow));
    ASSERT_EQ(nested.collections.size(), 1u);
    EXPECT_TRUE(nested.numbered);
    EXPECT_EQ(nested.collections[0].inputReports, (std::vector<uint8_t>{0, 26}));
    const auto axes = Of(nested.collections[0], HidReportKind::Input, false);
    ASSERT_EQ(axes.size(), 3u);
    EXPECT_EQ(axes[0].reportId, 0) << "X, before any Report ID";
    EXPECT_EQ(axes[2].reportId, 26) << "the wheel";
    EXPECT_EQ(axes[2].linkCollection, 20);

    // A range whose maximum comes first, a count of 0, a reserved item, a push left open.
    const HidDescriptor odd =
        Parse({0x05, 0x09, 0xA1, 0x01, 0x29, 0x03, 0x19, 0x01, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
               0x95, 0x03, 0x81, 0x02, 0x95, 0x00, 0x09, 0x04, 0x81, 0x02, 0x0C, 0xA4, 0xC0});
    ASSERT_EQ(odd.caps.size(), 1u);
    EXPECT_EQ(odd.caps[0].usageMin, 1);
    EXPECT_EQ(odd.caps[0].usageMax, 3);
}

TEST(HidDescriptor, EachTopLevelCollectionHasItsOwnCapabilitiesAndLinkNumbers) {
    const HidReportDescriptor apple = ParseAll(FromHex(kAppleKeyboard));
    ASSERT_EQ(apple.collections.size(), 3u);
    EXPECT_EQ(apple.collections[0].usage, 6);
    EXPECT_EQ(apple.collections[1].usagePage, 0x0C);
    EXPECT_TRUE(Of(apple.collections[0], HidReportKind::Input, false).empty());
    const auto battery = Of(apple.collections[1], HidReportKind::Input, false);
    ASSERT_EQ(battery.size(), 1u);
    EXPECT_EQ(battery[0].reportId, 71);
    EXPECT_EQ(battery[0].linkCollection, 1) << "the first collection inside its own top-level one";
    EXPECT_EQ(battery[0].linkUsage, 6);
    EXPECT_EQ(apple.collections[0].inputReports, (std::vector<uint8_t>{1}));
    EXPECT_EQ(apple.collections[2].inputReports, (std::vector<uint8_t>{17, 18, 19}));
}

// Usage Minimum and Maximum counted as the kernel counts them, wrap-around and all. A refused
// descriptor still says whether its reports are numbered, from items past where it was refused.
TEST(HidDescriptor, UsageRangesCountAsInTheKernelAndARefusalKeepsTheNumbering) {
    for (const KernelReading& k : kUsageRanges) {
        SCOPED_TRACE(k.what);
        const Bytes d = FromHex(k.hex);
        HidReportDescriptor out;
        std::string why;
        EXPECT_EQ(ParseHidDescriptor(d.data(), d.size(), &out, &why), k.refusal == nullptr);
        EXPECT_EQ(why, k.refusal == nullptr ? "" : k.refusal);
        EXPECT_EQ(out.numbered, k.numbered);
    }
}

TEST(HidDescriptor, WhatTheKernelRefusesIsRefusedWithItsReasonWithoutReadingPastTheEnd) {
    // Every prefix of a good descriptor cut inside an item or inside its collection (which opens
    // at byte 5) is refused; the parser reads from a copy exactly as long as the prefix, so
    // AddressSanitizer sees any overrun.
    for (size_t n = 1; n < kDisplay.size(); ++n) {
        if (n == 3 || n == 5) continue;  // whole global and local items, no collection yet
        const Bytes cut(kDisplay.begin(), kDisplay.begin() + static_cast<std::ptrdiff_t>(n));
        HidReportDescriptor out;
        std::string why;
        EXPECT_FALSE(ParseHidDescriptor(cut.data(), cut.size(), &out, &why)) << n;
        EXPECT_FALSE(why.empty());
    }
    const Bytes five(5, 0xA4);
    const Bytes tooLong = {0x75, 0x08, 0x96, 0x00, 0x30, 0x81, 0x03, 0x81, 0x03};
    const std::pair<Bytes, std::string> bad[] = {
        {{}, "item fetching failed at byte 0"},
        {{0x05}, "item fetching failed at byte 0"},
        {{0xFE, 0x05, 0x00, 0x01}, "item fetching failed at byte 0"},
        {{0xFE, 0x00, 0x00}, "unexpected long item at byte 0"},
        {{0xB4}, "global environment stack underflow at byte 0"},
        {five, "global environment stack overflow at byte 4"},
        {{0xC4, 0x00}, "unknown global tag 12 at byte 0"},
        {{0xC0}, "collection stack underflow at byte 0"},
        {{0x85, 0x00}, "report_id 0 is invalid at byte 0"},
        {{0x76, 0x01, 0x01}, "invalid report_size 257 at byte 0"},
        {{0x96, 0x01, 0x30}, "invalid report_count 12289 at byte 0"},
        {{0x15, 0x05, 0x25, 0x01, 0x81, 0x02}, "logical range invalid at byte 4"},
        {tooLong, "report is too long at byte 7"},
        {{0x19, 0x00, 0x2A, 0xFF, 0xFF, 0x09, 0x01}, "usage index exceeded at byte 5"},
        {{0xA9, 0x01, 0xA9, 0x01}, "nested delimiters at byte 2"},
        {{0xA9, 0x00}, "bogus close delimiter at byte 0"},
        {{0xA9, 0x01}, "unbalanced delimiter at end of report description at byte 2"},
        {{0xA1, 0x01}, "unbalanced collection at end of report description at byte 2"},
    };
    for (const auto& b : bad) {
        HidReportDescriptor out;
        std::string why;
        EXPECT_FALSE(ParseHidDescriptor(b.first.data(), b.first.size(), &out, &why)) << b.second;
        EXPECT_EQ(why, b.second);
    }
}

}  // namespace
