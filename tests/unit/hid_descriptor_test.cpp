// The report-descriptor parser on real descriptors: what Windows would report as value and button
// capabilities, and clear refusals of malformed or truncated ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/hid_descriptor.h"

namespace {

using caldrix_posix::HidDescriptor;
using caldrix_posix::HidFieldCaps;
using caldrix_posix::HidReportKind;
using caldrix_posix::ParseHidDescriptor;
using Bytes = std::vector<uint8_t>;

// The boot-protocol keyboard that USB HID devices describe.
const Bytes kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25,
    0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05,
    0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91,
    0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65,
    0x81, 0x00, 0xC0};

// The boot-protocol mouse: three buttons, padding, relative X and Y.
const Bytes kMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09,
                      0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01,
                      0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30,
                      0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
                      0xC0, 0xC0};

// A vendor-defined customer display: input report 2 (status, 63 bytes), output report 3 (text).
// The output's size and count are pushed and popped around a feature report 4.
const Bytes kDisplay = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x09, 0x02,
                        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x81, 0x02,
                        0xA4, 0x85, 0x04, 0x09, 0x04, 0x75, 0x10, 0x95, 0x01, 0xB1, 0x02,
                        0xB4, 0x85, 0x03, 0x09, 0x03, 0x91, 0x02, 0xC0};

HidDescriptor Parse(const Bytes& d) {
    HidDescriptor out;
    std::string why;
    EXPECT_TRUE(ParseHidDescriptor(d.data(), d.size(), &out, &why)) << why;
    return out;
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

TEST(HidDescriptor, MalformedOrTruncatedDescriptorsAreRefusedWithoutReadingPastTheEnd) {
    // Every prefix of a good descriptor cut inside an item or inside its collection (which opens
    // at byte 5) is refused; the parser reads from a copy exactly as long as the prefix, so
    // AddressSanitizer sees any overrun.
    for (size_t n = 1; n < kDisplay.size(); ++n) {
        if (n == 3 || n == 5) continue;  // whole global and local items, no collection yet
        const Bytes cut(kDisplay.begin(), kDisplay.begin() + static_cast<std::ptrdiff_t>(n));
        HidDescriptor out;
        std::string why;
        EXPECT_FALSE(ParseHidDescriptor(cut.data(), cut.size(), &out, &why)) << n;
        EXPECT_FALSE(why.empty());
    }
    const std::pair<Bytes, std::string> bad[] = {
        {{0x05}, "truncated item at byte 0"},
        {{0xB4}, "pop without push at byte 0"},
        {{0xC0}, "end of a collection never opened at byte 0"},
        {{0x85, 0x00}, "report ID out of range at byte 0"},
        {{0x75, 0x21}, "report size out of range at byte 0"},
        {{0x09, 0x01, 0x81, 0x02}, "main item without report size or count at byte 2"},
        {{0xA1, 0x01}, "collection not closed at byte 2"},
        {{0xFE, 0x05, 0x00, 0x01}, "truncated long item at byte 0"},
        {{0x75, 0x08, 0x95, 0x01, 0x09, 0x01, 0x81, 0x02, 0x85, 0x01, 0x09, 0x01, 0x81, 0x02},
         "fields outside any report ID at byte 0"},
    };
    for (const auto& b : bad) {
        HidDescriptor out;
        std::string why;
        EXPECT_FALSE(ParseHidDescriptor(b.first.data(), b.first.size(), &out, &why));
        EXPECT_EQ(why, b.second);
    }
    HidDescriptor empty;
    std::string why;
    EXPECT_TRUE(ParseHidDescriptor(nullptr, 0, &empty, &why)) << "no items, no capabilities";
    EXPECT_TRUE(empty.caps.empty());
}

}  // namespace
