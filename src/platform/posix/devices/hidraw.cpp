// HID interfaces from hidraw. Every <root>/sys/class/hidraw/hidrawN is one interface of the HID
// class, listed in node-number order under a device path shaped as Windows shapes it:
//   \\?\hid#vid_04b8&pid_0202&mi_00#hidraw3#{4d1e55b2-f16f-11cf-88cb-001111000030}
// with vendor and product from the HID device's uevent (HID_ID), "&mi_xx" only on a composite USB
// device, and the node's name where Windows puts its instance id. The path opens <root>/dev/hidrawN.
#include <linux/hidraw.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <new>

#include "../provider.h"
#include "reactor.h"
#include "usb_nodes.h"

namespace caldrix_posix {
namespace {

constexpr char kHidClass[] = "{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr DWORD kErrorInvalidData = 13;  // ERROR_INVALID_DATA: a descriptor that does not parse

std::string NodeName(unsigned n) { return "hidraw" + std::to_string(n); }

std::string DeviceDir(unsigned n) { return SysClassDir("hidraw") + "/" + NodeName(n) + "/device"; }

// The device path of hidrawN as the node is now; empty if it has gone or cannot be named.
std::string HidrawPath(unsigned n) {
    const std::string device = DeviceDir(n);
    std::string uevent;
    if (!ReadAttribute(device + "/uevent", &uevent)) return std::string();
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
    if (!named) return std::string();
    // The HID device hangs below its USB interface, which knows its number and its device.
    id.interface = CompositeInterface(device + "/..");
    return InterfacePath("hid", id, NodeName(n), kHidClass);
}

class HidrawDevice final : public NodeDevice {
public:
    using NodeDevice::NodeDevice;

    // The report descriptor, from sysfs (which needs no access to the node) or else from the
    // node. A device without report IDs reads with a 0 put in front of every report, as Windows
    // reads it; one whose descriptor cannot be had reads as the node gives it.
    void LoadDescriptor(const std::string& deviceDir, bool bridge) {
        std::vector<uint8_t> raw;
        if (!ReadBinaryAttribute(deviceDir + "/report_descriptor", HID_MAX_DESCRIPTOR_SIZE, &raw) &&
            !bridge) {
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
        std::string why;
        if (!ParseHidDescriptor(raw.data(), raw.size(), &descriptor_, &why)) {
            descriptorError_ = kErrorInvalidData;
            return;
        }
        descriptorError_ = ERROR_SUCCESS;
        bool numbered = false;
        for (const HidFieldCaps& c : descriptor_.caps) numbered = numbered || c.reportId != 0;
        SetReadPrefix(numbered ? 0 : 1);
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
        if (!SamePath(name, HidrawPath(n))) return Failed(error, ERROR_FILE_NOT_FOUND);
        int fd = -1;
        bool bridge = false;
        if (!OpenNode(DevNodePath(NodeName(n)), access, &fd, &bridge, error)) return OpenResult::Failed;
        std::unique_ptr<HidrawDevice> device(new (std::nothrow) HidrawDevice(fd, bridge, access));
        if (!device) {
            close(fd);
            return Failed(error, ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!device->Ready(error)) return OpenResult::Failed;
        device->LoadDescriptor(DeviceDir(n), bridge);
        *out = std::move(device);
        return OpenResult::Opened;
    }

    void Interfaces(std::vector<DeviceInterface>* out) override {
        for (unsigned n : ClassNodes(SysClassDir("hidraw"), "hidraw")) {
            std::string path = HidrawPath(n);
            if (!path.empty()) out->push_back(DeviceInterface{kHidInterfaceClass, std::move(path)});
        }
    }

    static OpenResult Failed(DWORD* error, DWORD code) {
        *error = code;
        return OpenResult::Failed;
    }
};

}  // namespace

DeviceProvider& HidrawProvider() {
    static HidrawDeviceProvider provider;
    return provider;
}

}  // namespace caldrix_posix
