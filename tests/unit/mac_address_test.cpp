#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "fake_usb_host.h"
#include "unit_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using caldrix_posix::Adapter;

Adapter MakeAdapter(uint8_t last, UCHAR reset = NRC_GOODRET, UCHAR status = NRC_GOODRET) {
    return Adapter{{0x00, 0x1b, 0x21, 0x3c, 0x4d, last}, reset, status};
}

class MacAddress : public LibraryTest {
protected:
    jint Query(jbyteArray array) { return CALDRIX(GetMACAddress)(env, nullptr, array); }
    std::vector<uint64_t> Commands() {
        std::vector<uint64_t> seen;
        for (const sim::Call& c : sim::CallsOf("Netbios")) seen.push_back(c.args.at(0) << 8 | c.args.at(1));
        return seen;
    }
};

TEST_F(MacAddress, FirstAdapterThatAcceptsTheReset) {
    sim::SetAdapters({MakeAdapter(1, NRC_BRIDGE), MakeAdapter(2), MakeAdapter(3)});
    jbyteArray array = jni.NewByteArray(8, 0xAA);
    EXPECT_EQ(Query(array), 6);
    EXPECT_EQ(jni.Bytes(array), (Bytes{0x00, 0x1b, 0x21, 0x3c, 0x4d, 2, 0xAA, 0xAA}));
    EXPECT_FALSE(jni.HasPending());
    EXPECT_EQ(Commands(), (std::vector<uint64_t>{NCBENUM << 8, NCBRESET << 8, NCBRESET << 8 | 1,
                                                 NCBASTAT << 8 | 1}));
}

TEST_F(MacAddress, Failures) {
    struct Case {
        std::vector<Adapter> adapters;
        const char* message;
    };
    const Case cases[] = {
        {{}, "Netbios ncb_retcode:  = 004\n"},
        {{MakeAdapter(1, NRC_BRIDGE), MakeAdapter(2, 0x0B)}, "Netbios ncb_retcode:  = b04\n"},
        {{MakeAdapter(1, NRC_GOODRET, NRC_BRIDGE), MakeAdapter(2)},
         "Netbios ncb_retcode:  = 2304\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        sim::SetAdapters(c.adapters);
        jbyteArray array = jni.NewByteArray(6, 0xAA);
        EXPECT_EQ(Query(array), -1);
        EXPECT_EQ(Pending(), c.message);
        EXPECT_EQ(jni.Bytes(array), Bytes(6, 0xAA));
        jni.ClearPending();
    }
    // A failing status command ends the query: the next adapter is not tried.
    EXPECT_EQ(Commands().back(), static_cast<uint64_t>(NCBASTAT << 8));
}

TEST_F(MacAddress, EnumerationFailure) {
    sim::SetAdapters({MakeAdapter(1)});
    sim::Fail("Netbios", NRC_SYSTEM);
    EXPECT_EQ(Query(jni.NewByteArray(6)), -1);
    EXPECT_EQ(Pending(), "Netbios ncb_retcode:  = 4004\n");
}

TEST_F(MacAddress, ShortOrMissingArray) {
    sim::SetAdapters({MakeAdapter(1)});
    jbyteArray shortArray = jni.NewByteArray(5, 0xAA);
    EXPECT_EQ(Query(shortArray), -1);
    EXPECT_EQ(Pending(), "GetMACAddress: the address array must hold at least 6 bytes");
    EXPECT_EQ(jni.Bytes(shortArray), Bytes(5, 0xAA));
    jni.ClearPending();
    EXPECT_EQ(Query(nullptr), -1);
    EXPECT_EQ(Pending(), "GetMACAddress: the address array must hold at least 6 bytes");
    EXPECT_TRUE(sim::CallsOf("Netbios").empty());
}

// The host's own adapters: a virtual interface first in index order, down, with a made-up
// address, and the machine's card behind it. The card's address is the answer.
TEST_F(MacAddress, TheNetworkCardOfTheHostRatherThanAVirtualInterface) {
    FakeUsbHost host;
    for (const char* name : {"ifb0", "eth0"}) {
        const std::string dir = host.root() + "/sys/class/net/" + name;
        ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
        const bool card = name[0] == 'e';
        std::ofstream(dir + "/ifindex") << (card ? "4\n" : "2\n");
        std::ofstream(dir + "/flags") << (card ? "0x1003\n" : "0x82\n");
        std::ofstream(dir + "/addr_len") << "6\n";
        std::ofstream(dir + "/address") << (card ? "00:1b:21:3c:4d:5e\n" : "f6:61:62:8e:da:4d\n");
        std::ofstream(dir + "/addr_assign_type") << (card ? "0\n" : "1\n");
        if (card) {
            ASSERT_EQ(symlink("../../../devices/pci0000:00/0000:00:03.0", (dir + "/device").c_str()), 0);
        }
    }
    jbyteArray array = jni.NewByteArray(6);
    EXPECT_EQ(Query(array), 6);
    EXPECT_EQ(jni.Bytes(array), (Bytes{0x00, 0x1b, 0x21, 0x3c, 0x4d, 0x5e}));
}

}  // namespace
