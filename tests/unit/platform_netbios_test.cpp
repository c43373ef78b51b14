// Netbios enumeration, reset and adapter status, over simulated adapters and over the host's
// own network interfaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/provider.h"
#include "platform/posix/sim_provider.h"
#include "platform/win32.h"

namespace {

namespace sim = caldrix_sim;
using caldrix_posix::Adapter;

Adapter MakeAdapter(uint8_t last, UCHAR reset = NRC_GOODRET, UCHAR status = NRC_GOODRET) {
    Adapter a = {{0x02, 0x11, 0x22, 0x33, 0x44, last}, reset, status};
    return a;
}

struct Command {
    NCB ncb;
    Command(UCHAR command, UCHAR lana, void* buffer, WORD length) {
        memset(&ncb, 0, sizeof ncb);
        ncb.ncb_command = command;
        ncb.ncb_lana_num = lana;
        ncb.ncb_buffer = static_cast<PUCHAR>(buffer);
        ncb.ncb_length = length;
        if (command == NCBASTAT) ncb.ncb_callname[0] = '*';
    }
    UCHAR Run() { return Netbios(&ncb); }
};

struct StatusBuffer {
    ADAPTER_STATUS status;
    NAME_BUFFER names[30];
};

class SimNetbios : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Install();
        sim::Reset();
    }
    void TearDown() override {
        sim::Reset();
        sim::Uninstall();
    }
};

TEST_F(SimNetbios, EnumerationListsOneLanaPerAdapter) {
    sim::SetAdapters({MakeAdapter(1), MakeAdapter(2), MakeAdapter(3)});
    LANA_ENUM lanas;
    memset(&lanas, 0xEE, sizeof lanas);
    Command c(NCBENUM, 0, &lanas, sizeof lanas);
    EXPECT_EQ(c.Run(), NRC_GOODRET);
    EXPECT_EQ(c.ncb.ncb_retcode, NRC_GOODRET);
    ASSERT_EQ(lanas.length, 3);
    EXPECT_EQ(lanas.lana[0], 0);
    EXPECT_EQ(lanas.lana[1], 1);
    EXPECT_EQ(lanas.lana[2], 2);
    EXPECT_EQ(lanas.lana[3], 0xEE) << "nothing past the list";

    auto calls = sim::CallsOf("Netbios");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<uint64_t>{NCBENUM, 0}));

    sim::SetAdapters({});
    Command none(NCBENUM, 0, &lanas, sizeof lanas);
    EXPECT_EQ(none.Run(), NRC_GOODRET);
    EXPECT_EQ(lanas.length, 0) << "a machine without adapters";
}

TEST_F(SimNetbios, EnumerationChecksItsBuffer) {
    sim::SetAdapters({MakeAdapter(1), MakeAdapter(2), MakeAdapter(3)});
    unsigned char small[4];
    memset(small, 0xEE, sizeof small);
    Command shortOne(NCBENUM, 0, small, 3);
    EXPECT_EQ(shortOne.Run(), NRC_BUFLEN);
    EXPECT_EQ(shortOne.ncb.ncb_retcode, NRC_BUFLEN);
    EXPECT_EQ(small[0], 0xEE) << "a short buffer is left alone";
    Command exact(NCBENUM, 0, small, 4);
    EXPECT_EQ(exact.Run(), NRC_GOODRET) << "the count and three LANAs fit in four bytes";
    EXPECT_EQ(small[0], 3);
    Command null(NCBENUM, 0, nullptr, 256);
    EXPECT_EQ(null.Run(), NRC_BUFLEN);
}

TEST_F(SimNetbios, ResetAnswersWithTheAdaptersOwnCode) {
    sim::SetAdapters({MakeAdapter(1), MakeAdapter(2, NRC_ENVNOTDEF)});
    Command first(NCBRESET, 0, nullptr, 0);
    EXPECT_EQ(first.Run(), NRC_GOODRET);
    Command second(NCBRESET, 1, nullptr, 0);
    EXPECT_EQ(second.Run(), NRC_ENVNOTDEF);
    EXPECT_EQ(second.ncb.ncb_retcode, NRC_ENVNOTDEF);
    Command beyond(NCBRESET, 2, nullptr, 0);
    EXPECT_EQ(beyond.Run(), NRC_BRIDGE);
    EXPECT_EQ(beyond.ncb.ncb_retcode, NRC_BRIDGE);
    EXPECT_EQ(sim::CallsOf("Netbios")[1].args, (std::vector<uint64_t>{NCBRESET, 1}));
}

TEST_F(SimNetbios, StatusFillsTheAdapterAddressAndNothingElse) {
    sim::SetAdapters({MakeAdapter(1), MakeAdapter(0xAB)});
    StatusBuffer buf;
    memset(&buf, 0xEE, sizeof buf);
    Command c(NCBASTAT, 1, &buf, sizeof buf);
    ASSERT_EQ(c.Run(), NRC_GOODRET);
    const unsigned char expected[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0xAB};
    EXPECT_EQ(memcmp(buf.status.adapter_address, expected, 6), 0);
    EXPECT_EQ(buf.status.name_count, 0);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&buf);
    for (size_t i = 6; i < sizeof(ADAPTER_STATUS); ++i) EXPECT_EQ(bytes[i], 0) << i;
    for (size_t i = sizeof(ADAPTER_STATUS); i < sizeof buf; ++i) EXPECT_EQ(bytes[i], 0xEE) << i;
    EXPECT_EQ(c.ncb.ncb_length, sizeof(ADAPTER_STATUS)) << "the bytes returned";
}

TEST_F(SimNetbios, StatusRefusals) {
    sim::SetAdapters({MakeAdapter(1), MakeAdapter(2, NRC_GOODRET, NRC_SYSTEM)});
    StatusBuffer buf;
    memset(&buf, 0xEE, sizeof buf);

    Command badLana(NCBASTAT, 2, &buf, sizeof buf);
    EXPECT_EQ(badLana.Run(), NRC_BRIDGE);
    Command farLana(NCBASTAT, 255, &buf, sizeof buf);
    EXPECT_EQ(farLana.Run(), NRC_BRIDGE);
    Command failing(NCBASTAT, 1, &buf, sizeof buf);
    EXPECT_EQ(failing.Run(), NRC_SYSTEM);
    EXPECT_EQ(failing.ncb.ncb_retcode, NRC_SYSTEM);
    Command shortBuffer(NCBASTAT, 0, &buf, sizeof(ADAPTER_STATUS) - 1);
    EXPECT_EQ(shortBuffer.Run(), NRC_BUFLEN);
    Command nullBuffer(NCBASTAT, 0, nullptr, sizeof buf);
    EXPECT_EQ(nullBuffer.Run(), NRC_BUFLEN);
    Command remote(NCBASTAT, 0, &buf, sizeof buf);
    memcpy(remote.ncb.ncb_callname, "SOMEHOST       ", 16);
    EXPECT_EQ(remote.Run(), NRC_CMDTMO) << "no session to another host";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&buf);
    for (size_t i = 0; i < sizeof buf; ++i) ASSERT_EQ(bytes[i], 0xEE) << i;

    Command padded(NCBASTAT, 0, &buf, sizeof buf);
    memcpy(padded.ncb.ncb_callname, "*               ", 16);
    EXPECT_EQ(padded.Run(), NRC_GOODRET) << "'*' padded with blanks is the local adapter too";
}

TEST_F(SimNetbios, UnknownCommandsAndNoControlBlock) {
    sim::SetAdapters({MakeAdapter(1)});
    Command call(0x10 /* NCBCALL */, 0, nullptr, 0);
    EXPECT_EQ(call.Run(), NRC_ILLCMD);
    EXPECT_EQ(call.ncb.ncb_retcode, NRC_ILLCMD);
    EXPECT_EQ(Netbios(nullptr), NRC_INVADDRESS);
}

TEST_F(SimNetbios, FailMakesTheChosenCommandReturnTheCode) {
    sim::SetAdapters({MakeAdapter(1)});
    sim::Fail("Netbios", NRC_SYSTEM, 2);
    LANA_ENUM lanas;
    Command e(NCBENUM, 0, &lanas, sizeof lanas);
    EXPECT_EQ(e.Run(), NRC_GOODRET);
    Command r(NCBRESET, 0, nullptr, 0);
    EXPECT_EQ(r.Run(), NRC_SYSTEM);
    EXPECT_EQ(r.ncb.ncb_retcode, NRC_SYSTEM);
    Command again(NCBRESET, 0, nullptr, 0);
    EXPECT_EQ(again.Run(), NRC_GOODRET);
}

TEST_F(SimNetbios, AsynchronousRequestsCompleteAndSignal) {
    sim::SetAdapters({MakeAdapter(1)});
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Command r(NCBRESET | ASYNCH, 5, nullptr, 0);
    r.ncb.ncb_event = done;
    EXPECT_EQ(r.Run(), NRC_GOODRET) << "the request itself was accepted";
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);
    EXPECT_EQ(r.ncb.ncb_retcode, NRC_BRIDGE);
    EXPECT_EQ(r.ncb.ncb_cmd_cplt, NRC_BRIDGE);
    CloseHandle(done);
}

// ---- the host's interfaces ---------------------------------------------------------------------

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// What /sys/class/net says: interfaces with a six-byte, non-zero address, loopback excluded,
// in interface-index order.
std::vector<std::vector<uint8_t>> InterfacesFromSysfs() {
    std::vector<std::pair<int, std::vector<uint8_t>>> found;
    DIR* dir = opendir("/sys/class/net");
    if (dir == nullptr) return {};
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string base = "/sys/class/net/" + name + "/";
        unsigned long flags = std::stoul(ReadLine(base + "flags"), nullptr, 16);
        if (flags & 0x8) continue;  // IFF_LOOPBACK
        std::string address = ReadLine(base + "address");
        unsigned b[6];
        char tail;
        if (std::sscanf(address.c_str(), "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4],
                        &b[5], &tail) != 6) {
            continue;
        }
        std::vector<uint8_t> bytes(b, b + 6);
        if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t x) { return x == 0; })) continue;
        found.emplace_back(std::stoi(ReadLine(base + "ifindex")), bytes);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    std::vector<std::vector<uint8_t>> out;
    for (auto& f : found) out.push_back(f.second);
    return out;
}

TEST(HostNetbios, ListsTheInterfacesOfTheMachine) {
    const auto expected = InterfacesFromSysfs();
    std::vector<Adapter> adapters;
    ASSERT_TRUE(caldrix_posix::NetworkProvider().Adapters(&adapters));
    ASSERT_EQ(adapters.size(), expected.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        EXPECT_EQ(std::vector<uint8_t>(adapters[i].address, adapters[i].address + 6), expected[i])
            << "LANA " << i;
        EXPECT_EQ(adapters[i].resetRetcode, NRC_GOODRET);
        EXPECT_EQ(adapters[i].statusRetcode, NRC_GOODRET);
    }

    // The same through Netbios itself, with no simulation in front.
    LANA_ENUM lanas;
    Command e(NCBENUM, 0, &lanas, sizeof lanas);
    ASSERT_EQ(e.Run(), NRC_GOODRET);
    ASSERT_EQ(lanas.length, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        Command r(NCBRESET, lanas.lana[i], nullptr, 0);
        EXPECT_EQ(r.Run(), NRC_GOODRET);
        StatusBuffer buf;
        Command s(NCBASTAT, lanas.lana[i], &buf, sizeof buf);
        ASSERT_EQ(s.Run(), NRC_GOODRET);
        EXPECT_EQ(std::vector<uint8_t>(buf.status.adapter_address,
                                       buf.status.adapter_address + 6),
                  expected[i]);
    }
    Command beyond(NCBRESET, static_cast<UCHAR>(expected.size()), nullptr, 0);
    EXPECT_EQ(beyond.Run(), NRC_BRIDGE);
}

}  // namespace
