// Netbios enumeration, reset and adapter status, over simulated adapters and over the host's
// own network interfaces.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "fake_usb_host.h"
#include "platform/posix/provider.h"
#include "sim/sim_provider.h"
#include "platform/win32.h"
#include "unit_support.h"

namespace {

using caldrix_posix::Adapter;
using Bytes = std::vector<uint8_t>;

Adapter MakeAdapter(uint8_t last, UCHAR reset = NRC_GOODRET, UCHAR status = NRC_GOODRET) {
    return Adapter{{0x02, 0x11, 0x22, 0x33, 0x44, last}, reset, status};
}

// A control block, zero but for what is given; a status command asks about the local adapter
// unless another name is given.
struct Command {
    NCB ncb;
    Command(UCHAR command, UCHAR lana, void* buffer = nullptr, WORD length = 0,
            const char* callname = "*") {
        memset(&ncb, 0, sizeof ncb);
        ncb.ncb_command = command;
        ncb.ncb_lana_num = lana;
        ncb.ncb_buffer = static_cast<PUCHAR>(buffer);
        ncb.ncb_length = length;
        if (command == NCBASTAT) memcpy(ncb.ncb_callname, callname, strlen(callname));
    }
    UCHAR Run() {
        const UCHAR r = Netbios(&ncb);
        EXPECT_EQ(ncb.ncb_retcode, r) << "the block carries the answer too";
        return r;
    }
};

struct StatusBuffer {
    ADAPTER_STATUS status;
    NAME_BUFFER names[30];
};

class SimNetbios : public SimulatedPlatformTest {};

TEST_F(SimNetbios, EnumerationListsOneLanaPerAdapterIfTheBufferHoldsThem) {
    sim::SetAdapters({MakeAdapter(1), MakeAdapter(2), MakeAdapter(3)});
    uint8_t buf[8];
    memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(Command(NCBENUM, 0, buf, 3).Run(), NRC_BUFLEN);
    EXPECT_EQ(buf[0], 0xEE) << "a short buffer is left alone";
    EXPECT_EQ(Command(NCBENUM, 0, nullptr, 256).Run(), NRC_BUFLEN);
    ASSERT_EQ(Command(NCBENUM, 0, buf, 4).Run(), NRC_GOODRET) << "the count and three LANAs";
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{3, 0, 1, 2, 0xEE})) << "nothing past the list";

    sim::SetAdapters({});
    ASSERT_EQ(Command(NCBENUM, 0, buf, sizeof buf).Run(), NRC_GOODRET);
    EXPECT_EQ(buf[0], 0) << "a machine without adapters";
}

TEST_F(SimNetbios, ResetAndStatusAnswerForTheAdapterTheLanaNames) {
    sim::SetAdapters(
        {MakeAdapter(1), MakeAdapter(0xAB), MakeAdapter(3, NRC_ENVNOTDEF, NRC_SYSTEM)});
    const std::pair<UCHAR, UCHAR> resets[] = {
        {0, NRC_GOODRET}, {1, NRC_GOODRET}, {2, NRC_ENVNOTDEF}, {3, NRC_BRIDGE}, {255, NRC_BRIDGE}};
    for (const auto& r : resets)
        EXPECT_EQ(Command(NCBRESET, r.first).Run(), r.second) << int(r.first);

    StatusBuffer buf;
    memset(&buf, 0xEE, sizeof buf);
    Command status(NCBASTAT, 1, &buf, sizeof buf);
    ASSERT_EQ(status.Run(), NRC_GOODRET);
    EXPECT_EQ(Bytes(buf.status.adapter_address, buf.status.adapter_address + 6),
              (Bytes{0x02, 0x11, 0x22, 0x33, 0x44, 0xAB}));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&buf);
    EXPECT_EQ(Bytes(bytes + 6, bytes + sizeof(ADAPTER_STATUS)),
              Bytes(sizeof(ADAPTER_STATUS) - 6, 0))
        << "the rest of the status, no names";
    EXPECT_EQ(Bytes(bytes + sizeof(ADAPTER_STATUS), bytes + sizeof buf),
              Bytes(sizeof buf - sizeof(ADAPTER_STATUS), 0xEE))
        << "nothing past it";
    EXPECT_EQ(status.ncb.ncb_length, sizeof(ADAPTER_STATUS)) << "the bytes returned";

    EXPECT_EQ(Command(NCBASTAT, 0, &buf, sizeof buf, "*               ").Run(), NRC_GOODRET)
        << "'*' padded with blanks is the local adapter too";
}

TEST_F(SimNetbios, RefusalsLeaveTheBufferAlone) {
    sim::SetAdapters({MakeAdapter(1), MakeAdapter(2, NRC_GOODRET, NRC_SYSTEM)});
    StatusBuffer buf;
    memset(&buf, 0xEE, sizeof buf);
    std::pair<Command, UCHAR> cases[] = {
        {Command(NCBASTAT, 2, &buf, sizeof buf), NRC_BRIDGE},  // past the adapters
        {Command(NCBASTAT, 255, &buf, sizeof buf), NRC_BRIDGE},
        {Command(NCBASTAT, 1, &buf, sizeof buf), NRC_SYSTEM},  // a failing adapter
        {Command(NCBASTAT, 0, &buf, sizeof(ADAPTER_STATUS) - 1), NRC_BUFLEN},
        {Command(NCBASTAT, 0, nullptr, sizeof buf), NRC_BUFLEN},
        {Command(NCBASTAT, 0, &buf, sizeof buf, "SOMEHOST"), NRC_CMDTMO},  // no session there
        {Command(0x10 /* NCBCALL */, 0), NRC_ILLCMD},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first.Run(), cases[i].second) << i;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&buf);
    EXPECT_EQ(Bytes(bytes, bytes + sizeof buf), Bytes(sizeof buf, 0xEE));
    EXPECT_EQ(Netbios(nullptr), NRC_INVADDRESS);
}

TEST_F(SimNetbios, FailMakesTheChosenCommandReturnTheCode) {
    sim::SetAdapters({MakeAdapter(1)});
    sim::Fail("Netbios", NRC_SYSTEM, 2);
    LANA_ENUM lanas;
    EXPECT_EQ(Command(NCBENUM, 0, &lanas, sizeof lanas).Run(), NRC_GOODRET);
    EXPECT_EQ(Command(NCBRESET, 0).Run(), NRC_SYSTEM);
    EXPECT_EQ(Command(NCBRESET, 0).Run(), NRC_GOODRET) << "once only";
}

// ---- the host's interfaces ---------------------------------------------------------------------

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// What /sys/class/net says: interfaces with a six-byte, non-zero address, loopback excluded,
// network cards (a device, a permanent address) first, each group in interface-index order.
std::vector<Bytes> InterfacesFromSysfs() {
    std::vector<std::pair<std::pair<bool, int>, Bytes>> found;
    DIR* dir = opendir("/sys/class/net");
    if (dir == nullptr) return {};
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string base = "/sys/class/net/" + name + "/";
        if (std::stoul(ReadLine(base + "flags"), nullptr, 16) & 0x8) continue;  // IFF_LOOPBACK
        unsigned b[6];
        char tail;
        if (std::sscanf(ReadLine(base + "address").c_str(), "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1],
                        &b[2], &b[3], &b[4], &b[5], &tail) != 6)
            continue;
        const Bytes bytes(b, b + 6);
        if (bytes == Bytes(6, 0)) continue;
        struct stat st;
        const bool card = lstat((base + "device").c_str(), &st) == 0 &&
                          ReadLine(base + "addr_assign_type") == "0";
        found.emplace_back(std::make_pair(!card, std::stoi(ReadLine(base + "ifindex"))), bytes);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    std::vector<Bytes> out;
    for (auto& f : found) out.push_back(f.second);
    return out;
}

TEST(HostNetbios, ListsTheInterfacesOfTheMachineCardsFirst) {
    const auto expected = InterfacesFromSysfs();
    std::vector<Adapter> adapters;
    ASSERT_TRUE(caldrix_posix::NetworkProvider().Adapters(&adapters));
    ASSERT_EQ(adapters.size(), expected.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        EXPECT_EQ(Bytes(adapters[i].address, adapters[i].address + 6), expected[i]) << i;
        EXPECT_EQ(adapters[i].resetRetcode, NRC_GOODRET);
        EXPECT_EQ(adapters[i].statusRetcode, NRC_GOODRET);
    }

    // The same through Netbios itself, with no simulation in front.
    LANA_ENUM lanas;
    ASSERT_EQ(Command(NCBENUM, 0, &lanas, sizeof lanas).Run(), NRC_GOODRET);
    ASSERT_EQ(lanas.length, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Command(NCBRESET, lanas.lana[i]).Run(), NRC_GOODRET);
        StatusBuffer buf;
        ASSERT_EQ(Command(NCBASTAT, lanas.lana[i], &buf, sizeof buf).Run(), NRC_GOODRET);
        EXPECT_EQ(Bytes(buf.status.adapter_address, buf.status.adapter_address + 6), expected[i]);
    }
    EXPECT_EQ(Command(NCBRESET, static_cast<UCHAR>(expected.size())).Run(), NRC_BRIDGE);
}

// A virtual interface that comes first in index order (ifb0, down, its address made up at boot)
// must not hide the machine's network card: cards first, then the rest, each in index order.
TEST(HostNetbios, NetworkCardsComeBeforeVirtualInterfaces) {
    FakeUsbHost host;  // the host root at a tree of its own
    auto add = [&](const std::string& name, int index, const char* flags, const char* address,
                   const char* assigned, bool device, const char* length = "6") {
        const std::string dir = host.root() + "/sys/class/net/" + name;
        ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
        const std::pair<const char*, std::string> files[] = {
            {"ifindex", std::to_string(index)}, {"flags", flags}, {"address", address},
            {"addr_assign_type", assigned}, {"addr_len", length}};
        for (const auto& f : files) std::ofstream(dir + "/" + f.first) << f.second << "\n";
        if (device) {
            ASSERT_EQ(symlink("../../../devices/pci0000:00/0000:00:03.0", (dir + "/device").c_str()), 0);
        }
    };
    add("lo", 1, "0x9", "00:00:00:00:00:00", "0", false);
    add("ifb0", 2, "0x82", "f6:61:62:8e:da:4d", "1", false);
    add("usb0", 3, "0x1003", "02:00:00:00:00:03", "1", true);   // a random address on a device
    add("eth0", 4, "0x1003", "02:fc:00:00:00:01", "0", true);
    add("br0", 5, "0x1003", "02:00:00:00:00:05", "0", false);    // no device behind it
    add("eth1", 6, "0x1002", "00:1b:21:3c:4d:06", "0", true);    // down, still a card
    add("wlan0", 7, "0x1002", "00:00:00:00:00:00", "0", true);   // no address
    add("tun0", 8, "0x1091", "", "0", false, "0");                 // no hardware address
    add("ib0", 9, "0x1003", "80:00:00:48:fe:80:00:00:00:00:00:00:00:00:00:00:00:00:00:01", "0",
        true, "20");                                                // not six bytes

    std::vector<Adapter> adapters;
    ASSERT_TRUE(caldrix_posix::NetworkProvider().Adapters(&adapters));
    std::vector<Bytes> seen;
    for (const Adapter& a : adapters) seen.emplace_back(a.address, a.address + 6);
    EXPECT_EQ(seen, (std::vector<Bytes>{{0x02, 0xfc, 0, 0, 0, 0x01},
                                        {0x00, 0x1b, 0x21, 0x3c, 0x4d, 0x06},
                                        {0xf6, 0x61, 0x62, 0x8e, 0xda, 0x4d},
                                        {0x02, 0, 0, 0, 0, 0x03},
                                        {0x02, 0, 0, 0, 0, 0x05}}));
}

}  // namespace
