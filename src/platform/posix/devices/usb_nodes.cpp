// sysfs, /dev and device paths for the hidraw and usblp providers.
#include "usb_nodes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "../provider.h"

namespace caldrix_posix {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// `name` in lower case with "\\.\" made "\\?\": Windows opens a device path by either.
std::string Canonical(const char* name) {
    std::string s = Lower(name != nullptr ? name : "");
    if (s.compare(0, 4, "\\\\.\\") == 0) s[2] = '?';
    return s;
}

bool ParseUnsigned(const std::string& text, int base, unsigned* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul) return false;
    *out = static_cast<unsigned>(v);
    return true;
}

int ReadFd(int fd, void* buf, size_t n) {
    for (;;) {
        const ssize_t r = read(fd, buf, n);
        if (r >= 0 || errno != EINTR) return static_cast<int>(r);
    }
}

// Windows finds no device at a path whose device has gone, whatever the reason here.
DWORD OpenError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case ECONNREFUSED:  // a bridge socket left behind by a bridge that has stopped
            return ERROR_FILE_NOT_FOUND;
        default:
            return Win32ErrorFromErrno(err);
    }
}

}  // namespace

std::string SysClassDir(const char* cls) { return HostPath((std::string("/sys/class/") + cls).c_str()); }

std::string DevNodePath(const std::string& node) { return HostPath(("/dev/" + node).c_str()); }

std::vector<unsigned> ClassNodes(const std::string& classDir, const char* prefix) {
    std::vector<unsigned> numbers;
    DIR* dir = opendir(classDir.c_str());
    if (dir == nullptr) return numbers;
    while (const dirent* e = readdir(dir)) {
        unsigned n = 0;
        if (NodeNumber(e->d_name, prefix, &n)) numbers.push_back(n);
    }
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool ReadAttribute(const std::string& path, std::string* value) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    const int n = ReadFd(fd, buf, sizeof buf - 1);
    close(fd);
    if (n < 0) return false;
    std::string s(buf, static_cast<size_t>(n));
    const size_t first = s.find_first_not_of(" \t\n");
    if (first == std::string::npos) {
        value->clear();
        return true;
    }
    *value = s.substr(first, s.find_last_not_of(" \t\n") - first + 1);
    return true;
}

bool ReadBinaryAttribute(const std::string& path, size_t limit, std::vector<uint8_t>* value) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    value->assign(limit, 0);
    size_t got = 0;
    while (got < limit) {
        const int n = ReadFd(fd, value->data() + got, limit - got);
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    value->resize(got);
    return got > 0;
}

int CompositeInterface(const std::string& interfaceDir) {
    std::string number, count;
    unsigned n = 0, interfaces = 0;
    if (!ReadAttribute(interfaceDir + "/bInterfaceNumber", &number) || !ParseUnsigned(number, 16, &n))
        return -1;
    if (!ReadAttribute(interfaceDir + "/../bNumInterfaces", &count) ||
        !ParseUnsigned(count, 10, &interfaces))
        return -1;
    return interfaces > 1 ? static_cast<int>(n & 0xFF) : -1;
}

std::string InterfacePath(const char* bus, const UsbIdentity& id, const std::string& instance,
                          const char* classGuid) {
    char ids[32];
    snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", id.vid & 0xFFFF, id.pid & 0xFFFF);
    std::string path = std::string("\\\\?\\") + bus + "#" + ids;
    if (id.interface >= 0) {
        char mi[16];
        snprintf(mi, sizeof mi, "&mi_%02x", static_cast<unsigned>(id.interface) & 0xFF);
        path += mi;
    }
    if (id.collection >= 0) {
        char col[16];
        snprintf(col, sizeof col, "&col%02x", static_cast<unsigned>(id.collection) & 0xFF);
        path += col;
    }
    return Lower(path + "#" + instance + "#" + classGuid);
}

std::string PathInstance(const char* name, const char* bus, const char* classGuid) {
    const std::string s = Canonical(name);
    const std::string head = std::string("\\\\?\\") + bus + "#";
    const std::string tail = std::string("#") + classGuid;
    if (s.size() <= head.size() + tail.size() || s.compare(0, head.size(), head) != 0 ||
        s.compare(s.size() - tail.size(), tail.size(), tail) != 0)
        return std::string();
    const std::string middle = s.substr(head.size(), s.size() - head.size() - tail.size());
    const size_t hash = middle.find('#');
    if (hash == std::string::npos || middle.find('#', hash + 1) != std::string::npos)
        return std::string();
    return middle.substr(hash + 1);
}

bool NodeNumber(const std::string& instance, const char* prefix, unsigned* n) {
    const size_t len = strlen(prefix);
    if (instance.compare(0, len, prefix) != 0) return false;
    const std::string digits = instance.substr(len);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0'))
        return false;
    return ParseUnsigned(digits, 10, n);
}

bool SamePath(const char* name, const std::string& path) { return Canonical(name) == path; }

bool OpenNode(const std::string& path, DWORD access, int* fd, bool* bridge, DWORD* error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = OpenError(errno);
        return false;
    }
    if (S_ISSOCK(st.st_mode)) {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) {
            *error = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        const int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s < 0) {
            *error = Win32ErrorFromErrno(errno);
            return false;
        }
        if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            *error = OpenError(errno);
            close(s);
            return false;
        }
        *fd = s;
        *bridge = true;
        return true;
    }
    if (!S_ISCHR(st.st_mode)) {  // no device at all: not what this path names
        *error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    const bool reads = (access & GENERIC_READ) != 0, writes = (access & GENERIC_WRITE) != 0;
    const int mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    const int f = open(path.c_str(), mode | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (f < 0) {
        *error = OpenError(errno);
        return false;
    }
    *fd = f;
    *bridge = false;
    return true;
}

}  // namespace caldrix_posix
