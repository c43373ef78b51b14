// Serial ports on Linux: terminals with a device behind them in sysfs (an 8250 UART only where
// one answers), and the links udev makes under /dev/serial/. A ttyS port also has the COM name
// that PortOpen opens as that device.
#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/posix/devices/tty.h"
#include "port_list.h"

namespace caldrix_ports {
namespace {

// ttyS2 before ttyS10: runs of digits compare as numbers.
bool Natural(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isdigit(static_cast<unsigned char>(a[i])) && isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            std::string x = a.substr(i, ei - i), y = b.substr(j, ej - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

struct NaturalLess {
    bool operator()(const std::string& a, const std::string& b) const { return Natural(a, b); }
};

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end(), Natural);
    return names;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string Real(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// C stdio, not a C++ stream: the library's Linux natives ask for no glibc symbol newer than
// 2.28, and the C++ runtime's file streams reach for fstat64, which only newer glibc exports.
std::string FirstLine(const std::string& path) {
    std::string line;
    if (FILE* f = fopen(path.c_str(), "re")) {
        char buf[256];
        if (fgets(buf, sizeof buf, f) != nullptr) line = buf;
        fclose(f);
    }
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

std::string Base(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Since Linux 6.5 a serial-core port sits on serial-base devices ("port", "ctrl") below the
// device whose driver tells the kind.
std::string Driver(const std::string& tty) {
    std::string device = Real(tty + "/device");
    for (int up = 0; up < 4 && !device.empty(); ++up, device = Parent(device)) {
        const std::string driver = Real(device + "/driver");
        if (driver.empty()) continue;
        const std::string bus = Parent(Parent(driver));
        if (bus.empty() || Base(bus) != "serial-base") return Base(driver);
    }
    return std::string();
}

}  // namespace

std::vector<SerialPort> ListSerialPorts(const std::string& sysTty, const std::string& dev) {
    std::map<std::string, SerialPort, NaturalLess> ports;
    std::string devReal = Real(dev);
    if (devReal.empty()) devReal = dev;
    for (const std::string& name : Entries(sysTty)) {
        const std::string tty = sysTty + "/" + name;
        if (!Exists(tty + "/device") ||
            (name.compare(0, 4, "ttyS") == 0 && FirstLine(tty + "/type") == "0") ||
            !Exists(dev + "/" + name)) {
            continue;
        }
        SerialPort port{devReal + "/" + name, {}, Driver(tty)};
        std::string com;
        if (caldrix_posix::TtyNameToComName(name, &com)) port.names.push_back(com);
        ports[port.device] = port;
    }
    for (const char* kind : {"by-id", "by-path"}) {
        const std::string links = dev + "/serial/" + kind;
        for (const std::string& n : Entries(links)) {
            const std::string target = Real(links + "/" + n);
            if (target.empty()) continue;  // a link left behind by a device that has gone
            SerialPort& port = ports[target];
            if (port.device.empty()) port.device = target;
            port.names.push_back(links + "/" + n);
        }
    }
    std::vector<SerialPort> out;
    for (auto& entry : ports) out.push_back(entry.second);
    return out;
}

}  // namespace caldrix_ports
