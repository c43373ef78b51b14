// What the hidraw and usblp providers share: the host's sysfs and /dev (both under the host
// root, so that tests point them at a tree of their own), the USB identity of an interface,
// device paths shaped as Windows shapes them, and the opening of a device node.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "../win32_posix.h"

namespace caldrix_posix {

// <root>/sys/class/<cls>.
std::string SysClassDir(const char* cls);
// <root>/dev/<node>.
std::string DevNodePath(const std::string& node);

// The numbers N of the entries <prefix>N of a sysfs class directory, in increasing order.
std::vector<unsigned> ClassNodes(const std::string& classDir, const char* prefix);

// A sysfs attribute's text without surrounding blanks and line end; false if unreadable.
bool ReadAttribute(const std::string& path, std::string* value);
// A binary sysfs attribute, at most `limit` bytes; false if unreadable or empty.
bool ReadBinaryAttribute(const std::string& path, size_t limit, std::vector<uint8_t>* value);

struct UsbIdentity {
    unsigned vid = 0, pid = 0;
    int interface = -1;  // the interface number on a composite device, else -1
    int collection =
        -1;  // the top-level collection (from 1) of a HID node that has several, else -1
};

// The interface number of the USB interface directory `interfaceDir` if its device has more than
// one interface (where Windows adds "&mi_xx" to the path), else -1.
int CompositeInterface(const std::string& interfaceDir);

// "\\?\<bus>#vid_xxxx&pid_xxxx[&mi_xx][&colxx]#<instance>#<classGuid>", all in lower case.
std::string InterfacePath(const char* bus, const UsbIdentity& id, const std::string& instance,
                          const char* classGuid);

// The instance field of `name` if it is a device path of `bus` and `classGuid` (in any letter
// case, after "\\?\" or "\\.\"), in lower case; empty otherwise.
std::string PathInstance(const char* name, const char* bus, const char* classGuid);

// The number N of an instance field "<prefix>N" (N in decimal without leading zeros); false if
// the field is not of that shape.
bool NodeNumber(const std::string& instance, const char* prefix, unsigned* n);

// True if `name` names the same path as `path` (which is in lower case), as Windows compares
// device paths: in any letter case, after "\\?\" or "\\.\".
bool SamePath(const char* name, const std::string& path);

// Opens the node at `path` for a file handle: a device node with open(), a socket (a user-space
// device bridge, or a test's peer) with connect(). Non-blocking and close-on-exec. False with the
// Win32 error Windows gives for the same condition.
bool OpenNode(const std::string& path, DWORD access, int* fd, bool* bridge, DWORD* error);

}  // namespace caldrix_posix
