// The listing: what the library can see, listed the way PortOpen looks for it, for caldrix-ports
// and for the device watch's rescans. HID and USB
// printer interfaces come from the same SetupAPI enumeration a HID open runs; serial ports from
// the system's own list (sysfs on Linux, the SERIALCOMM registry key on Windows).
#pragma once

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

namespace caldrix_ports {

// One name for PortOpen, the text the library looks for in device paths when opening it, and
// the path of the interface that open reaches, found by the open's own search (empty when it
// finds none).
struct Name {
    std::string name;
    std::string match;
    std::string opens;
};

// A HID or USB printer interface in enumeration order, with the names that open it: vendor and
// product, or where those open another interface first (a second collection of a node, a second
// interface or device with the same ids) a name made of the path's own hardware id, with its
// instance id when that is needed. Only where no name opens it, the vendor and product names with
// what they open. No names when its path carries no vendor and product ("vid_XXXX" and
// "pid_XXXX").
struct Interface {
    std::string path;
    std::vector<Name> names;
};

struct SerialPort {
    std::string device;              // the name PortOpen is given first
    std::vector<std::string> names;  // other names that open the same device
    std::string detail;              // driver or registry value; may be empty
};

struct Listing {
    std::string hidError;  // non-empty when interfaces could not be listed
    std::vector<Interface> hid;
    std::vector<Interface> printers;
    bool withSerial = true;
    std::vector<SerialPort> serial;
};

// The HID and printer interfaces, each with the names that open it.
void ListInterfaces(Listing* out);

// The serial ports (serial_posix.cpp or serial_win32.cpp). On Linux the roots are /sys/class/tty
// and /dev, given so that tests can lay out trees of their own.
std::vector<SerialPort> ListSerialPorts(const std::string& sysTty = "/sys/class/tty",
                                        const std::string& dev = "/dev");

// The serial ports of the SERIALCOMM registry map, given as its rows (value, data), in COM
// order: each under the name that opens it, with the POSIX-style name the library maps to it.
// Rows whose data is no COM name are left out.
std::vector<SerialPort> ComPorts(const std::vector<std::pair<std::string, std::string>>& rows);

std::string FormatText(const Listing& listing, const std::string& version);
std::string FormatJson(const Listing& listing, const std::string& version);

// Everything, as `--json` prints it: what the device watch lists again after a change.
std::string ScanJson();

// The program: [--json] [--hid-only] [--help]. Answers its exit status.
int Run(int argc, const char* const* argv, FILE* out, FILE* err);

}  // namespace caldrix_ports
