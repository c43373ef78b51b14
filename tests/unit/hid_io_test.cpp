// HID reads, writes, counts and purges, and the receive thread behind them: report IDs dropped,
// sensor repeats filtered, reports longer than a packet, an empty pool, an unplugged device.
#include <gtest/gtest.h>

#include "hid_support.h"

namespace {

using caldrix_posix::kPrinterInterfaceClass;

class HidIo : public HidPortTest {
protected:
    // A port of the given keyword on a device of its own; the call record starts after the open.
    jint OpenPort(const std::string& keyword, sim::HidDevice** device,
                  const GUID& cls = caldrix_posix::kHidInterfaceClass) {
        const std::string ids = "vid_4242&pid_" + std::to_string(1000 + ++ports_);
        *device = &sim::AddHid(HidPath(ids), cls);
        std::string name = keyword;
        name.resize(8, ':');  // the match text begins at the ninth character
        name += ids;
        name[16] = '+';
        const jint h = OpenHid(name);
        sim::ClearCalls();
        return h;
    }
    int ports_ = 0;
};

TEST_F(HidIo, ReadsDrainPacketsInOrderAndSplitTheLastOne) {
    sim::HidDevice* dev;
    const jint h = OpenPort("USBHID", &dev);
    EXPECT_EQ(Read(h, 10), Bytes()) << "nothing queued: 0 at once";
    EXPECT_FALSE(jni.HasPending());

    Deliver(*dev, {1, 10, 11, 12, 13});  // report ID 1 is dropped
    Deliver(*dev, {1, 20, 21, 22, 23, 24, 25});
    EXPECT_EQ(Count(h), 10);
    EXPECT_EQ(Read(h, 7), (Bytes{10, 11, 12, 13, 20, 21, 22}));
    EXPECT_EQ(Count(h), 3) << "a split packet's rest stays counted";
    Deliver(*dev, {1, 30});
    EXPECT_EQ(Read(h, 10), (Bytes{23, 24, 25, 30}));
    EXPECT_EQ(Count(h), 0);

    Deliver(*dev, Bytes(21, 0x55));
    for (jint left : {12, 4, 0}) {
        EXPECT_EQ(Read(h, 8).size(), static_cast<size_t>(left == 0 ? 4 : 8));
        EXPECT_EQ(Count(h), left);
    }

    // A purge leaves a split packet alone; a transmit-only purge changes nothing.
    Deliver(*dev, {1, 1, 2, 3, 4, 5});
    Deliver(*dev, {1, 6, 7});
    EXPECT_EQ(Read(h, 2), (Bytes{1, 2}));
    EXPECT_EQ(CALDRIX(PortPurge)(env, nullptr, h, 1, 0), 0);
    EXPECT_EQ(Count(h), 5);
    EXPECT_EQ(CALDRIX(PortPurge)(env, nullptr, h, 0, 1), 0);
    EXPECT_EQ(Count(h), 3);
    EXPECT_EQ(Read(h, 10), (Bytes{3, 4, 5}));

    // A one-byte read is a report ID alone: an empty packet, queued all the same.
    Deliver(*dev, {1});
    EXPECT_EQ(PortTable[h].dev.rxQueue.count, 1);
    EXPECT_EQ(Count(h), 0);
}

TEST_F(HidIo, BadCountsAndArraysAreRefusedUntouched) {
    sim::HidDevice* dev;
    const jint h = OpenPort("USBHID", &dev);
    Deliver(*dev, {1, 9, 9});
    struct Row {
        jint count;
        size_t room;
    };
    for (const Row& row : {Row{0, 4}, Row{-1, 4}, Row{5, 4}, Row{INT32_MAX, 4}}) {
        jbyteArray array = jni.NewByteArray(row.room, 0xEE);
        EXPECT_EQ(CALDRIX(PortRead)(env, nullptr, h, array, row.count), -1);
        EXPECT_EQ(Pending(), "Invalid read count");
        jni.ClearPending();
        EXPECT_EQ(CALDRIX(PortWrite)(env, nullptr, h, array, row.count), -1);
        EXPECT_EQ(Pending(), "Invalid write count");
        jni.ClearPending();
        EXPECT_EQ(jni.Bytes(array), Bytes(row.room, 0xEE));
    }
    EXPECT_EQ(CALDRIX(PortRead)(env, nullptr, h, nullptr, 1), -1);
    EXPECT_EQ(Pending(), "Invalid read count");
    jni.ClearPending();
    EXPECT_EQ(CALDRIX(PortWrite)(env, nullptr, h, nullptr, 1), -1);
    EXPECT_EQ(Pending(), "Invalid write count");
    jni.ClearPending();
    EXPECT_EQ(Count(h), 2) << "the queue is untouched";
    EXPECT_TRUE(dev->writes.empty());
}

TEST_F(HidIo, PrinterReadsKeepEveryByteAndLongReportsSpanPackets) {
    sim::HidDevice* dev;
    const jint h = OpenPort("USBPTR", &dev, kPrinterInterfaceClass);
    Deliver(*dev, {1, 2, 3, 4, 5});
    EXPECT_EQ(Read(h, 5), (Bytes{1, 2, 3, 4, 5}));

    Bytes report(1024);
    for (size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(i * 7);
    Deliver(*dev, report);
    EXPECT_EQ(PortTable[h].dev.rxQueue.count, 2) << "800 bytes, then the other 224";
    EXPECT_EQ(Count(h), 1024);
    EXPECT_EQ(Read(h, 1024), report);
}

// The receive thread never allocates: with the pool dry it stops reading the device, and a
// report longer than the packets it has waits, whole and in order, for packets to come back.
TEST_F(HidIo, AnEmptyPoolHoldsTheDeviceBackAndLosesNothing) {
    sim::HidDevice* dev;
    const jint h = OpenPort("USBPTR", &dev, kPrinterInterfaceClass);
    ASSERT_TRUE(sim::AwaitPendingReads(*dev, 1, 2000)) << "holding one packet for its read";
    std::vector<RxPacket*> taken;
    while (RxPacket* p = PopPacket(&FreePacketPool)) taken.push_back(p);

    Bytes report(1000);
    for (size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(i);
    sim::PushReport(*dev, report);
    const size_t reads = sim::CallsOf("ReadFile").size();
    // The thread fills its one packet; the rest waits for the next.
    EXPECT_TRUE(AwaitCount(h, 800));
    AppendPacket(&FreePacketPool, taken.back());
    taken.pop_back();
    EXPECT_TRUE(AwaitCount(h, 1000));
    EXPECT_EQ(sim::CallsOf("ReadFile").size(), reads) << "no packet left to read into";

    EXPECT_EQ(Read(h, 1000), report);
    ASSERT_TRUE(sim::AwaitCalls("ReadFile", reads + 1, 2000)) << "reading again once packets are back";
    for (RxPacket* p : taken) AppendPacket(&FreePacketPool, p);
}

TEST_F(HidIo, SensorRepeatsAreDroppedOnSensorPortsOnly) {
    sim::HidDevice *aio, *lcd, *hid;
    const jint a = OpenPort("USBAIO", &aio);
    const jint l = OpenPort("USBLCD1", &lcd);
    const jint u = OpenPort("USBHID", &hid);
    // Only a 3-byte report can be a repeat: the longer one after the last is passed on.
    const Bytes reads[] = {{2, 'D', '1'}, {2, 'D', '1'}, {2, 'D', '0'}, {2, 'D', '0'},
                           {2, 'D', '1'}, {2, 'E', '1'}, {2, 'D', '1'}, {2, 'D', '1', '1'}};
    for (const Bytes& r : reads) Deliver(*aio, r);
    EXPECT_EQ(Read(a, 100), (Bytes{'D', '1', 'D', '0', 'D', '1', 'E', '1', 'D', '1', '1'}));

    // The state starts at 0; a short first read carries none and leaves it so.
    Deliver(*lcd, {2, 'D'});
    Deliver(*lcd, {2, 'D', 0});
    EXPECT_EQ(Read(l, 100), Bytes{'D'});
    for (int i = 0; i < 2; ++i) Deliver(*hid, {2, 'D', '1'});
    EXPECT_EQ(Count(u), 4);
}

TEST_F(HidIo, AnUnpluggedDeviceReadsWhatWasQueuedThenNothing) {
    sim::HidDevice* dev;
    const jint h = OpenPort("USBHID", &dev);
    Deliver(*dev, {1, 7, 8});
    sim::Unplug(*dev);
    // The thread goes on trying every 100 ms and failing.
    ASSERT_TRUE(sim::AwaitCalls("ReadFile", 3, 2000));
    EXPECT_EQ(Read(h, 10), (Bytes{7, 8}));
    EXPECT_EQ(Read(h, 10), Bytes());
    EXPECT_FALSE(jni.HasPending());
    EXPECT_EQ(Count(h), 0);
    std::string log;
    EXPECT_EQ(Write(h, {1}, &log), -1);
    EXPECT_EQ(log, WriteLine(2, h));
    EXPECT_EQ(Pending(), "Number of bytes written != number of bytes requested");
}

TEST_F(HidIo, WritesGoOutAsTheDeviceTakesThem) {
    sim::HidDevice *hid, *aio;
    const jint h = OpenPort("USBHID", &hid);
    const jint a = OpenPort("USBAIO", &aio);
    std::string log;
    EXPECT_EQ(Write(a, {1, 2, 3}, &log), 0);
    EXPECT_EQ(aio->writes, (std::vector<Bytes>{{1, 2, 3}})) << "no prefix but on USBHID ports";
    EXPECT_EQ(log, "");

    struct Row {
        sim::WriteMode mode;
        int retcode;  // of the line; -1 for none
        jint result;
    };
    const Row rows[] = {{sim::WriteMode::Delayed, -1, 0},
                        {sim::WriteMode::Short, -1, -1},
                        {sim::WriteMode::Fail, 2, -1},
                        {sim::WriteMode::Never, 1, -1}};
    for (const Row& row : rows) {
        hid->writeMode = row.mode;
        hid->writeDelayMs = 200;
        const size_t cancels = sim::CallsOf("Cancel").size();
        const auto start = Clock::now();
        EXPECT_EQ(Write(h, {4, 5}, &log), row.result);
        EXPECT_EQ(log, row.retcode < 0 ? "" : WriteLine(row.retcode, h));
        EXPECT_EQ(Pending(), row.result == 0 ? "" : "Number of bytes written != number of bytes requested");
        jni.ClearPending();
        if (row.mode == sim::WriteMode::Never) {
            EXPECT_GE(MsSince(start), 1000);
            EXPECT_EQ(sim::CallsOf("Cancel").size(), cancels + 1) << "cancelled before returning";
            EXPECT_EQ(hid->pendingWrites, 0);
        }
    }
    EXPECT_EQ(hid->writes.size(), 3u) << "a write refused at once records nothing";
    for (const Bytes& w : hid->writes) EXPECT_EQ(w, (Bytes{0, 4, 5}));
}

// Counts up to INT_MAX, whose last chunk ends where an offset stepped by whole chunks overflows.
TEST(HidWriteChunks, CoverEveryByteOnceInFullChunksAndAShortLastOne) {
    for (const int32_t count : {1, 8192, 8193, INT32_MAX - 8191, INT32_MAX - 8190, INT32_MAX}) {
        SCOPED_TRACE(count);
        int64_t covered = 0, chunks = 0;
        int32_t last = 0;
        for (WriteChunks c(count); c.More() && chunks <= count / 8192 + 1; c.Next(), ++chunks) {
            ASSERT_EQ(c.Offset(), covered);
            last = c.Size();
            covered += last;
        }
        EXPECT_EQ(covered, count);
        EXPECT_EQ(chunks, (static_cast<int64_t>(count) + 8191) / 8192);
        EXPECT_EQ(last, count % 8192 == 0 ? 8192 : count % 8192);
    }
}

TEST_F(HidIo, LargeWritesGoInChunksWithAPauseAfterEachFullOne) {
    sim::HidDevice* dev;
    const jint h = OpenPort("USBAIO", &dev);
    Bytes data(8192 + 8193);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);

    auto start = Clock::now();
    EXPECT_EQ(Write(h, Bytes(data.begin(), data.begin() + 8192)), 0);
    EXPECT_GE(MsSince(start), 250) << "a last chunk that is full pauses too";
    EXPECT_EQ(dev->writes.size(), 1u);

    dev->writes.clear();
    start = Clock::now();
    EXPECT_EQ(Write(h, Bytes(data.begin() + 8192, data.end())), 0);
    const long took = MsSince(start);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 500) << "no pause after the short last chunk";
    ASSERT_EQ(dev->writes.size(), 2u);
    EXPECT_EQ(dev->writes[0], Bytes(data.begin() + 8192, data.begin() + 16384));
    EXPECT_EQ(dev->writes[1], Bytes(data.end() - 1, data.end()));
}

}  // namespace
