// HID interfaces from hidraw. Every <root>/sys/class/hidraw/hidrawN is one interface of the HID
// class, or one per top-level collection when its report descriptor has several (Windows opens
// each such collection as an interface of its own), listed in node-number order and then in
// collection order under device paths shaped as Windows shapes them:
//   \\?\hid#vid_04b8&pid_0202&mi_00#hidraw3#{4d1e55b2-f16f-11cf-88cb-001111000030}
//   \\?\hid#vid_046d&pid_c52b&mi_02&col01#hidraw5#{4d1e55b2-f16f-11cf-88cb-001111000030}
// with vendor and product from the HID device's uevent (HID_ID), "&mi_xx" only on a composite USB
// device, "&colNN" (from 01, two hexadecimal digits) only on a node with several collections, and
// the node's name where Windows puts its instance id. The path opens <root>/dev/hidrawN.
#include <linux/hidraw.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <bitset>
#include <new>
#include <utility>

#include "../provider.h"
#include "node_io.h"
#include "usb_nodes.h"

namespace caldrix_posix {
namespace {

constexpr char kHidClass[] = "{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr DWORD kErrorInvalidData = 13;  // ERROR_INVALID_DATA: a descriptor the kernel refuses

std::string NodeName(unsigned n) { return "hidraw" + std::to_string(n); }

std::string DeviceDir(unsigned n) { return SysClassDir("hidraw") + "/" + NodeName(n) + "/device"; }

// The report descriptor of hidrawN from sysfs, which needs no access to the node; empty if
// unreadable.
std::vector<uint8_t> SysfsDescriptor(unsigned n) {
    std::vector<uint8_t> raw;
    if (!ReadBinaryAttribute(DeviceDir(n) + "/report_descriptor", HID_MAX_DESCRIPTOR_SIZE, &raw))
        raw.clear();
    return raw;
}

// A node's report descriptor as sysfs gave it, and whether it parsed.
struct NodeDescriptor {
    std::vector<uint8_t> raw;
    HidReportDescriptor parsed;
    bool ok = false;
};

// The device paths of hidrawN as the node is now, one per top-level collection when there are
// several; none if it has gone or cannot be named. `read`, when given, gets the descriptor the
// paths were made from, so that an open parses it once.
std::vector<std::string> HidrawPaths(unsigned n, NodeDescriptor* read = nullptr) {
    const std::string device = DeviceDir(n);
    std::string uevent;
    if (!ReadAttribute(device + "/uevent", &uevent)) return {};
    UsbIdentity id;
    unsigned bus = 0;
    bool named = false;
    for (size_t at = 0; at < uevent.size();) {
        size_t end = uevent.find('\n', at);
        if (end == std::string::npos) end = uevent.size();
        const std::string line = uevent.substr(at, end - at);
        if (line.compare(0, 7, "HID_ID=") == 0)
            named = sscanf(line.c_str() + 7, "%x:%x:%x", &bus, &id.vid, &id.pid) == 3;
        at = end + 1;
    }
    if (!named) return {};
    // The HID device hangs below its USB interface, which knows its number and its device.
    id.interface = CompositeInterface(device + "/..");
    NodeDescriptor own;
    NodeDescriptor& d = read != nullptr ? *read : own;
    d.raw = SysfsDescriptor(n);
    d.ok = !d.raw.empty() && ParseHidDescriptor(d.raw.data(), d.raw.size(), &d.parsed, nullptr);
    const size_t collections = d.ok && d.parsed.collections.size() > 1 ? d.parsed.collections.size()
                                                                        : 1;
    std::vector<std::string> paths;
    for (size_t c = 0; c < collections; ++c) {
        id.collection = collections > 1 ? static_cast<int>(c + 1) : -1;
        paths.push_back(InterfacePath("hid", id, NodeName(n), kHidClass));
    }
    return paths;
}

class HidrawDevice final : public NodeDevice {
public:
    using NodeDevice::NodeDevice;

    // The report descriptor, from sysfs (as the open read it) or else from the node, and what
    // this handle answers of it: the top-level collection `collection` (from 0; -1 for a path without "&colNN", which
    // stands for the whole node). A device whose reports carry no ID reads with a 0 put in front
    // of every report, as Windows reads it, whether or not the parser takes its descriptor; one
    // whose descriptor cannot be had reads as the node gives it.
    void LoadDescriptor(NodeDescriptor d, bool bridge, int collection) {
        std::vector<uint8_t>& raw = d.raw;
        if (raw.empty() && !bridge) {
            int size = 0;
            hidraw_report_descriptor d;
            memset(&d, 0, sizeof d);
            if (ioctl(fd(), HIDIOCGRDESCSIZE, &size) == 0 && size > 0 &&
                size <= HID_MAX_DESCRIPTOR_SIZE) {
                d.size = static_cast<__u32>(size);
                if (ioctl(fd(), HIDIOCGRDESC, &d) == 0) raw.assign(d.value, d.value + size);
            }
        }
        if (raw.empty()) {
            descriptorError_ = ERROR_GEN_FAILURE;
            return;
        }
        if (!d.ok) d.ok = ParseHidDescriptor(raw.data(), raw.size(), &d.parsed, nullptr);
        // Numbered or not even when the parser refuses the descriptor: it says so from every
        // item, so an unnumbered device keeps the first byte of its reports.
        SetReadPrefix(d.parsed.numbered ? 0 : 1);
        if (!d.ok) {
            descriptorError_ = kErrorInvalidData;
            return;
        }
        const HidReportDescriptor& parsed = d.parsed;
        descriptorError_ = ERROR_SUCCESS;
        if (collection >= 0 && static_cast<size_t>(collection) < parsed.collections.size()) {
            descriptor_ = parsed.collections[static_cast<size_t>(collection)];
            // Each collection reads its own input reports: by their ID byte, or all of them on a
            // device without IDs if it has the one report.
            std::bitset<256> accepted;
            for (uint8_t id : descriptor_.inputReports) {
                if (parsed.numbered)
                    accepted.set(id);
                else
                    accepted.set();
            }
            SetReportFilter(accepted);
        } else if (!parsed.collections.empty()) {
            // A path without "&colNN": the node's one collection, or all of them together when
            // only the node itself could tell that it has several.
            descriptor_ = parsed.collections.front();
            for (size_t c = 1; c < parsed.collections.size(); ++c)
                descriptor_.caps.insert(descriptor_.caps.end(), parsed.collections[c].caps.begin(),
                                        parsed.collections[c].caps.end());
        }
    }

    BOOL GetHidDescriptor(HidDescriptor* out, DWORD* error) override {
        if (descriptorError_ != ERROR_SUCCESS) {
            *error = descriptorError_;
            return FALSE;
        }
        *out = descriptor_;
        return TRUE;
    }

private:
    HidDescriptor descriptor_;
    DWORD descriptorError_ = ERROR_GEN_FAILURE;
};

struct HidrawDeviceProvider final : DeviceProvider {
    OpenResult Open(const char* name, DWORD access, DWORD, DWORD, std::unique_ptr<Device>* out,
                    DWORD* error) override {
        unsigned n = 0;
        if (!NodeNumber(PathInstance(name, "hid", kHidClass), "hidraw", &n)) return OpenResult::NotMine;
        // A node that has gone, or now belongs to another device, is not the device named.
        NodeDescriptor read;
        const std::vector<std::string> paths = HidrawPaths(n, &read);
        int collection = -1;
        for (size_t c = 0; c < paths.size() && collection < 0; ++c)
            if (SamePath(name, paths[c])) collection = static_cast<int>(c);
        if (collection < 0) return OpenFails(error, ERROR_FILE_NOT_FOUND);
        if (paths.size() == 1) collection = -1;
        int fd = -1;
        bool bridge = false;
        if (!OpenNode(DevNodePath(NodeName(n)), access, &fd, &bridge, error)) return OpenResult::Failed;
        std::unique_ptr<HidrawDevice> device(new (std::nothrow) HidrawDevice(fd, bridge, access));
        if (!device) return OpenFails(error, ERROR_NOT_ENOUGH_MEMORY, fd);
        if (!device->Ready(error)) return OpenResult::Failed;
        device->LoadDescriptor(std::move(read), bridge, collection);
        *out = std::move(device);
        return OpenResult::Opened;
    }

    void Interfaces(std::vector<DeviceInterface>* out) override {
        for (unsigned n : ClassNodes(SysClassDir("hidraw"), "hidraw"))
            for (std::string& path : HidrawPaths(n))
                out->push_back(DeviceInterface{kHidInterfaceClass, std::move(path)});
    }
};

}  // namespace

DeviceProvider& HidrawProvider() {
    static HidrawDeviceProvider provider;
    return provider;
}

}  // namespace caldrix_posix
