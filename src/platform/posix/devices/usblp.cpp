// USB printer interfaces from usblp. Every <root>/sys/class/usbmisc/lpN is one interface of the
// printer class, listed in node-number order under a device path shaped as Windows shapes it:
//   \\?\usb#vid_04b8&pid_0202#lp0#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}
// ("&mi_xx" after the product on a composite device). The path opens <root>/dev/usb/lpN, a byte
// stream: reads take what the printer has sent, writes go out whole.
#include <stdio.h>
#include <unistd.h>

#include <new>

#include "../provider.h"
#include "node_io.h"
#include "usb_nodes.h"

namespace caldrix_posix {
namespace {

constexpr char kPrinterClass[] = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::string NodeName(unsigned n) { return "lp" + std::to_string(n); }

// The device path of lpN as the node is now; empty if it has gone or cannot be named.
std::string PrinterPath(unsigned n) {
    // The node's device is the USB interface; its parent the USB device with the ids.
    const std::string interface = SysClassDir("usbmisc") + "/" + NodeName(n) + "/device";
    std::string vid, pid;
    UsbIdentity id;
    if (!ReadAttribute(interface + "/../idVendor", &vid) ||
        !ReadAttribute(interface + "/../idProduct", &pid) ||
        sscanf(vid.c_str(), "%x", &id.vid) != 1 || sscanf(pid.c_str(), "%x", &id.pid) != 1)
        return std::string();
    id.interface = CompositeInterface(interface);
    return InterfacePath("usb", id, NodeName(n), kPrinterClass);
}

class PrinterDevice final : public NodeDevice {
public:
    PrinterDevice(int fd, bool bridge, DWORD access) : NodeDevice(fd, bridge, access) {
        SetStream(true);
    }
};

struct UsblpDeviceProvider final : DeviceProvider {
    OpenResult Open(const char* name, DWORD access, DWORD, DWORD, std::unique_ptr<Device>* out,
                    DWORD* error) override {
        unsigned n = 0;
        if (!NodeNumber(PathInstance(name, "usb", kPrinterClass), "lp", &n)) return OpenResult::NotMine;
        if (!SamePath(name, PrinterPath(n))) return OpenFails(error, ERROR_FILE_NOT_FOUND);
        int fd = -1;
        bool bridge = false;
        if (!OpenNode(DevNodePath("usb/" + NodeName(n)), access, &fd, &bridge, error))
            return OpenResult::Failed;
        std::unique_ptr<PrinterDevice> device(new (std::nothrow) PrinterDevice(fd, bridge, access));
        if (!device) return OpenFails(error, ERROR_NOT_ENOUGH_MEMORY, fd);
        if (!device->Ready(error)) return OpenResult::Failed;
        *out = std::move(device);
        return OpenResult::Opened;
    }

    void Interfaces(std::vector<DeviceInterface>* out) override {
        for (unsigned n : ClassNodes(SysClassDir("usbmisc"), "lp")) {
            std::string path = PrinterPath(n);
            if (!path.empty()) out->push_back(DeviceInterface{kPrinterInterfaceClass, std::move(path)});
        }
    }
};

}  // namespace

DeviceProvider& UsblpProvider() {
    static UsblpDeviceProvider provider;
    return provider;
}

}  // namespace caldrix_posix
