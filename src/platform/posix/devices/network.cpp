// The host's network interfaces as NetBIOS adapters: the kernel's list where there is one,
// otherwise the C library's.
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#if defined(__linux__)
#include <netpacket/packet.h>
#else
#include <net/if_dl.h>
#endif

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "../provider.h"
#include "usb_nodes.h"

namespace caldrix_posix {
namespace {

struct Found {
    bool real;  // a device behind it with an address of its own
    unsigned index;
    Adapter adapter;
};

bool UsableAddress(const unsigned char* address, Found* found) {
    static const unsigned char zero[6] = {0, 0, 0, 0, 0, 0};
    if (memcmp(address, zero, 6) == 0) return false;
    memcpy(found->adapter.address, address, 6);
    found->adapter.resetRetcode = NRC_GOODRET;
    found->adapter.statusRetcode = NRC_GOODRET;
    return true;
}

#if defined(__linux__)
// The kernel's own list, <root>/sys/class/net, which also tells a network card (a device behind
// the interface, an address burnt into it: addr_assign_type 0) from a virtual interface whose
// address is made up at each boot. False when there is no such list to read.
bool SysfsInterfaces(std::vector<Found>* found) {
    const std::string dir = HostPath("/sys/class/net");
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return false;
    try {
        while (const struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            const std::string base = dir + "/" + e->d_name + "/";
            std::string flags, length, text, index, assigned;
            if (!ReadAttribute(base + "flags", &flags) ||
                (strtoul(flags.c_str(), nullptr, 16) & IFF_LOOPBACK) != 0 ||
                !ReadAttribute(base + "addr_len", &length) || length != "6" ||
                !ReadAttribute(base + "address", &text) || !ReadAttribute(base + "ifindex", &index))
                continue;
            unsigned b[6];
            char tail;
            if (sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4],
                       &b[5], &tail) != 6)
                continue;
            unsigned char address[6];
            for (int i = 0; i < 6; ++i) address[i] = static_cast<unsigned char>(b[i]);
            Found f;
            if (!UsableAddress(address, &f)) continue;
            struct stat st;
            f.real = lstat((base + "device").c_str(), &st) == 0 &&
                     ReadAttribute(base + "addr_assign_type", &assigned) && assigned == "0";
            f.index = static_cast<unsigned>(strtoul(index.c_str(), nullptr, 10));
            found->push_back(f);
        }
    } catch (const std::bad_alloc&) {
        found->clear();
    }
    closedir(d);
    return true;
}
#endif

// Every interface with a six-byte hardware address, as the C library lists them; none is known
// to be a card.
void LinkInterfaces(std::vector<Found>* found) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;  // nothing to be seen: no adapters
    try {
        for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
            if (ifa->ifa_addr == nullptr) continue;
            Found f;
            f.real = false;
#if defined(__linux__)
            if (ifa->ifa_addr->sa_family != AF_PACKET) continue;
            const auto* link = reinterpret_cast<const struct sockaddr_ll*>(ifa->ifa_addr);
            if (link->sll_halen != 6) continue;
            f.index = static_cast<unsigned>(link->sll_ifindex);
            const unsigned char* address = link->sll_addr;
#else
            if (ifa->ifa_addr->sa_family != AF_LINK) continue;
            const auto* link = reinterpret_cast<const struct sockaddr_dl*>(ifa->ifa_addr);
            if (link->sdl_alen != 6) continue;
            f.index = link->sdl_index;
            const unsigned char* address = reinterpret_cast<const unsigned char*>(LLADDR(link));
#endif
            if ((ifa->ifa_flags & IFF_LOOPBACK) == 0 && UsableAddress(address, &f)) {
                found->push_back(f);
            }
        }
    } catch (const std::bad_alloc&) {
        found->clear();
    }
    freeifaddrs(list);
}

// One adapter per interface that has a six-byte, non-zero hardware address, loopback excluded:
// network cards first, then the rest, each in interface-index order. A virtual interface (ifb,
// a bridge, a tunnel) may come first in index order and carries a random address that changes at
// every boot; the card's address is the one that identifies the machine, and the order keeps
// LANA 0 on the same adapter from one call to the next.
class HostNetwork : public DeviceProvider {
public:
    OpenResult Open(const char*, DWORD, DWORD, DWORD, std::unique_ptr<Device>*, DWORD*) override {
        return OpenResult::NotMine;
    }

    bool Adapters(std::vector<Adapter>* out) override {
        out->clear();
        std::vector<Found> found;
#if defined(__linux__)
        if (!SysfsInterfaces(&found))
#endif
            LinkInterfaces(&found);
        std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
            return a.real != b.real ? a.real : a.index < b.index;
        });
        for (size_t i = 0; i < found.size(); ++i) {
            if (i > 0 && found[i].index == found[i - 1].index) continue;  // one per interface
            out->push_back(found[i].adapter);
        }
        return true;
    }
};

}  // namespace

DeviceProvider& NetworkProvider() {
    static HostNetwork* provider = new HostNetwork;
    return *provider;
}

}  // namespace caldrix_posix
