#include "fake_usb_host.h"

#include <dirent.h>
#include <ftw.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/posix/provider.h"

const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
const Bytes kBootMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29, 0x03,
    0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01,
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
    0xC0, 0xC0};
const Bytes kPosDisplay = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x09, 0x01,
                           0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x81, 0x02,
                           0x85, 0x03, 0x09, 0x02, 0x95, 0x3F, 0x91, 0x02, 0xC0};
const Bytes kTruncated = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05};

namespace {

void Check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + strerror(errno));
}

void MakeDirs(const std::string& path) {
    for (size_t at = 1; at != std::string::npos;) {
        at = path.find('/', at + 1);
        const std::string part = path.substr(0, at);
        Check(mkdir(part.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + part);
    }
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    Check(static_cast<bool>(out), "write " + path);
}

void Link(const std::string& target, const std::string& at) {
    Check(symlink(target.c_str(), at.c_str()) == 0, "symlink " + at);
}

std::string Hex(const char* format, unsigned v) {
    char buf[16];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// Field `index` (from 1) of /proc/<stat> after the command, which may hold blanks.
long StatField(const std::string& statPath, int index) {
    std::ifstream in(statPath);
    std::string line;
    std::getline(in, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    for (int i = 3; rest >> field; ++i)
        if (i == index) return std::stol(field);
    return -1;
}

}  // namespace

FakeUsbHost::FakeUsbHost() {
    char dir[] = "/tmp/caldrix-usb-XXXXXX";
    Check(mkdtemp(dir) != nullptr, "mkdtemp");
    root_ = dir;
    chmod(root_.c_str(), 0755);  // other users reach the nodes (permission tests)
    MakeDirs(root_ + "/sys/class/hidraw");
    MakeDirs(root_ + "/sys/class/usbmisc");
    MakeDirs(root_ + "/sys/devices/pci0000:00/0000:00:14.0/usb1");
    MakeDirs(root_ + "/dev/usb");
    caldrix_posix::SetHostRoot(root_);
}

FakeUsbHost::~FakeUsbHost() {
    caldrix_posix::SetHostRoot("/");
    nftw(root_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

FakeUsbHost::UsbDevice FakeUsbHost::AddDevice(unsigned vid, unsigned pid, int interfaces) {
    UsbDevice d;
    d.port = "1-" + std::to_string(++ports_);
    d.dir = root_ + "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + d.port;
    MakeDirs(d.dir);
    Write(d.dir + "/idVendor", Hex("%04x\n", vid));
    Write(d.dir + "/idProduct", Hex("%04x\n", pid));
    Write(d.dir + "/bNumInterfaces", Hex("%2d\n", static_cast<unsigned>(interfaces)));
    return d;
}

// sysfs as the kernel lays it out: the class entry links to the node's directory below its
// device; the node's "device" links to that device.
void FakeUsbHost::AddHidraw(const UsbDevice& device, int interface, unsigned node,
                            const Bytes& descriptor, unsigned vid, unsigned pid) {
    const std::string iface = device.port + ":1." + std::to_string(interface);
    const std::string ifaceDir = device.dir + "/" + iface;
    MakeDirs(ifaceDir);
    Write(ifaceDir + "/bInterfaceNumber", Hex("%02x\n", static_cast<unsigned>(interface)));
    char hidName[32];
    snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", vid, pid, ++hidDevices_);
    const std::string hidDir = ifaceDir + "/" + hidName;
    const std::string name = "hidraw" + std::to_string(node);
    MakeDirs(hidDir + "/hidraw/" + name);
    char uevent[160];
    snprintf(uevent, sizeof uevent,
             "DRIVER=hid-generic\nHID_ID=0003:%08X:%08X\nHID_NAME=Fake %04x\nHID_PHYS=usb-0000:00:"
             "14.0-%s/input%d\n",
             vid, pid, pid, device.port.c_str(), interface);
    Write(hidDir + "/uevent", uevent);
    Write(hidDir + "/report_descriptor", std::string(descriptor.begin(), descriptor.end()));
    Write(hidDir + "/hidraw/" + name + "/dev", "245:" + std::to_string(node) + "\n");
    Link("../../../" + std::string(hidName), hidDir + "/hidraw/" + name + "/device");
    Link("../../" + (hidDir + "/hidraw/" + name).substr(root_.size() + 5),
         root_ + "/sys/class/hidraw/" + name);
}

void FakeUsbHost::AddPrinter(const UsbDevice& device, int interface, unsigned node) {
    const std::string iface = device.port + ":1." + std::to_string(interface);
    const std::string ifaceDir = device.dir + "/" + iface;
    MakeDirs(ifaceDir);
    Write(ifaceDir + "/bInterfaceNumber", Hex("%02x\n", static_cast<unsigned>(interface)));
    const std::string name = "lp" + std::to_string(node);
    MakeDirs(ifaceDir + "/usbmisc/" + name);
    Link("../../../" + iface, ifaceDir + "/usbmisc/" + name + "/device");
    Link("../../" + (ifaceDir + "/usbmisc/" + name).substr(root_.size() + 5),
         root_ + "/sys/class/usbmisc/" + name);
}

void FakeUsbHost::RemoveClassEntry(const std::string& cls, const std::string& node) {
    Check(unlink((root_ + "/sys/class/" + cls + "/" + node).c_str()) == 0, "unlink " + node);
}

void FakeUsbHost::WriteFile(const std::string& path, const std::string& text) const {
    Write(root_ + "/" + path, text);
}

Peer::Peer(const std::string& path) : path_(path) {
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    Check(listener_ >= 0, "socket");
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    Check(path.size() < sizeof addr.sun_path, "node path too long");
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    Check(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind " + path);
    Check(listen(listener_, 4) == 0, "listen");
}

Peer::~Peer() {
    Hangup();
    StopListening();
    unlink(path_.c_str());
}

bool Peer::Accept(int timeoutMs) {
    if (listener_ < 0 || !WaitReadable(listener_, timeoutMs)) return false;
    Hangup();
    conn_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_ >= 0;
}

bool Peer::Send(const Bytes& report) {
    return conn_ >= 0 &&
           send(conn_, report.data(), report.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(report.size());
}

bool Peer::Receive(Bytes* report, int timeoutMs) {
    if (conn_ < 0 || !WaitReadable(conn_, timeoutMs)) return false;
    uint8_t buf[9000];
    const ssize_t n = recv(conn_, buf, sizeof buf, 0);
    if (n < 0) return false;
    report->assign(buf, buf + n);
    return true;
}

bool Peer::AwaitHangup(int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (conn_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() < 0 || !WaitReadable(conn_, static_cast<int>(left.count()))) return false;
        uint8_t buf[9000];
        if (recv(conn_, buf, sizeof buf, 0) <= 0) return true;
    }
    return false;
}

void Peer::Hangup() {
    if (conn_ >= 0) close(conn_);
    conn_ = -1;
}

void Peer::StopListening() {
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

long ProcessTicks() { return StatField("/proc/self/stat", 14) + StatField("/proc/self/stat", 15); }

long ThreadTicks(const std::string& comm) {
    long ticks = -1;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            const std::string task = std::string("/proc/self/task/") + e->d_name;
            std::ifstream in(task + "/comm");
            std::string name;
            std::getline(in, name);
            if (name == comm) ticks = StatField(task + "/stat", 14) + StatField(task + "/stat", 15);
        }
        closedir(d);
    }
    return ticks;
}
