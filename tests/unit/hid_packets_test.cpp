#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <thread>
#include <vector>

#include "hid/hid_packets.h"
#include "unit_support.h"

namespace {

// Packets made during a test come from here, so the test can fail chosen allocations and give
// the memory back afterwards (the library never frees a packet).
struct TestArena {
    std::vector<void*> blocks;
    int calls = 0;
    int failAt = -1;  // the allocation (0-based) that fails
};
TestArena* g_arena = nullptr;

void* ArenaAlloc(size_t size) {
    const int call = g_arena->calls++;
    if (call == g_arena->failAt) return nullptr;
    void* block = std::malloc(size);
    std::memset(block, 0xAB, size);  // so the zero fill is seen to happen
    g_arena->blocks.push_back(block);
    return block;
}

std::vector<RxPacket*> Contents(const PacketQueue& q) {
    std::vector<RxPacket*> out;
    for (RxPacket* p = q.head; p != nullptr && out.size() <= static_cast<size_t>(q.count);
         p = p->next) {
        out.push_back(p);
    }
    return out;
}

// The library's pool, emptied for the test and put back afterwards; nothing else uses it while
// no HID port is open.
class PacketPool : public ::testing::Test {
protected:
    void SetUp() override {
        LoadLibraryOnce();
        savedPool_ = FreePacketPool;
        savedShare_ = PoolShare;
        InitQueue(&FreePacketPool);
        PoolShare = PacketPoolShare{0, 0};
        g_arena = &arena_;
        SetPacketAllocator(ArenaAlloc);
    }
    void TearDown() override {
        SetPacketAllocator(nullptr);
        g_arena = nullptr;
        const HANDLE lock = FreePacketPool.hQueueLock;
        FreePacketPool = savedPool_;
        FreePacketPool.hQueueLock = lock;
        PoolShare = savedShare_;
        for (void* block : arena_.blocks) std::free(block);
        for (HANDLE lock : locks_) CloseHandle(lock);
    }

    PacketQueue NewQueue() {
        PacketQueue q;
        InitQueue(&q);
        q.hQueueLock = CreateMutexA(nullptr, FALSE, nullptr);
        locks_.push_back(q.hQueueLock);
        return q;
    }

    std::vector<HANDLE> locks_;
    TestArena arena_;
    PacketQueue savedPool_;
    PacketPoolShare savedShare_;
};

TEST_F(PacketPool, QueueKeepsOrderCountAndTotal) {
    PacketQueue q = NewQueue();
    RxPacket p[3] = {};
    p[0].length = 5;
    p[1].length = 0;
    p[2].length = 12;

    EXPECT_EQ(PopPacket(&q), nullptr) << "an empty queue gives nothing";
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);

    AppendPacket(&q, &p[0]);
    EXPECT_EQ(q.head, &p[0]);
    EXPECT_EQ(q.tail, &p[0]);
    EXPECT_EQ(q.count, 1);
    EXPECT_EQ(q.byteTotal, 5);
    AppendPacket(&q, &p[1]);
    AppendPacket(&q, &p[2]);
    EXPECT_EQ(q.count, 3);
    EXPECT_EQ(q.byteTotal, 17);

    EXPECT_EQ(PopPacket(&q), &p[0]);
    EXPECT_EQ(q.byteTotal, 12);
    EXPECT_EQ(PopPacket(&q), &p[1]);
    EXPECT_EQ(PopPacket(&q), &p[2]);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr) << "the last pop leaves no stale tail behind";
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.byteTotal, 0);

    // A stale tail would link the next packet onto a packet that has left the queue.
    AppendPacket(&q, &p[1]);
    EXPECT_EQ(q.head, &p[1]);
    EXPECT_EQ(PopPacket(&q), &p[1]);
}

TEST_F(PacketPool, FlushMovesEveryPacketBehindThePoolsOwnInOrder) {
    RxPacket spare[2] = {}, queued[3] = {};
    AppendPacket(&FreePacketPool, &spare[0]);
    AppendPacket(&FreePacketPool, &spare[1]);

    PacketQueue q = NewQueue();
    FlushQueue(&q);
    EXPECT_EQ(FreePacketPool.count, 2) << "flushing an empty queue changes nothing";

    for (int i = 0; i < 3; ++i) {
        queued[i].length = 10 * (i + 1);
        AppendPacket(&q, &queued[i]);
    }
    FlushQueue(&q);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.byteTotal, 0);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(Contents(FreePacketPool), (std::vector<RxPacket*>{&spare[0], &spare[1], &queued[0],
                                                                 &queued[1], &queued[2]}));
    EXPECT_EQ(FreePacketPool.count, 5);
    EXPECT_EQ(FreePacketPool.byteTotal, 60);
    while (PopPacket(&FreePacketPool) != nullptr) {
    }
}

TEST_F(PacketPool, InitUsbTopsUpToTwentyPerPortAndNeverEmptiesThePool) {
    ASSERT_NE(FreePacketPool.hQueueLock, nullptr) << "the pool's lock is made at load";

    testing::internal::CaptureStdout();
    InitUSB();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " InitUSB: \n");
    EXPECT_EQ(arena_.calls, 20);
    EXPECT_EQ(FreePacketPool.count, 20);
    EXPECT_EQ(FreePacketPool.byteTotal, 0);
    std::vector<RxPacket*> made = Contents(FreePacketPool);
    ASSERT_EQ(made.size(), 20u);
    for (size_t i = 0; i < made.size(); ++i) {
        EXPECT_EQ(made[i], arena_.blocks[i]) << "the pool holds the packets in allocation order";
        EXPECT_EQ(made[i]->status, 0);
        EXPECT_EQ(made[i]->length, 0);
        const RxPacket zero = {};
        EXPECT_EQ(std::memcmp(made[i]->payload, zero.payload, RX_PAYLOAD_SIZE), 0);
    }

    // A second port while the first one's thread holds a packet: the pool keeps what it has.
    RxPacket* inHand = PopPacket(&FreePacketPool);
    testing::internal::CaptureStdout();
    InitUSB();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " InitUSB: \n");
    EXPECT_EQ(arena_.calls, 40);
    EXPECT_EQ(FreePacketPool.count, 39);
    EXPECT_EQ(FreePacketPool.head, made[1]) << "the spare packets were not dropped";
    EXPECT_EQ(PoolShare.owned, 40);
    AppendPacket(&FreePacketPool, inHand);

    // Both ports gone, a new one comes: nothing more is made.
    ReleasePoolShare();
    ReleasePoolShare();
    testing::internal::CaptureStdout();
    InitUSB();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " InitUSB: \n");
    EXPECT_EQ(arena_.calls, 40);
    EXPECT_EQ(FreePacketPool.count, 40);
    EXPECT_EQ(PoolShare.ports, 1);
    ReleasePoolShare();
    EXPECT_EQ(PoolShare.ports, 0);
    ReleasePoolShare();
    EXPECT_EQ(PoolShare.ports, 0) << "a stray release cannot take the count below zero";
}

TEST_F(PacketPool, FailedAllocationIsReportedAndMadeUpLater) {
    arena_.failAt = 7;
    testing::internal::CaptureStdout();
    InitUSB();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"( InitUSB: \n\S*src/hid/hid_packets\.cpp\(\d+\)InitUSB: )"
                        R"(malloc\(\) failed for rx packet 7\n)")))
        << out;
    EXPECT_EQ(FreePacketPool.count, 19);
    EXPECT_EQ(PoolShare.owned, 19);

    // The next open makes up the shortfall.
    ReleasePoolShare();
    testing::internal::CaptureStdout();
    InitUSB();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " InitUSB: \n");
    EXPECT_EQ(FreePacketPool.count, 20);
    EXPECT_EQ(PoolShare.owned, 20);
    ReleasePoolShare();
}

// Receive threads pop from the pool and append to their queues while readers move packets back
// and opens top the pool up; no packet may be lost or counted twice.
TEST_F(PacketPool, ConcurrentMovesLoseNothing) {
    constexpr int kPorts = 3;
    testing::internal::CaptureStdout();
    for (int i = 0; i < kPorts; ++i) InitUSB();
    std::vector<PacketQueue> queues;
    for (int i = 0; i < kPorts; ++i) queues.push_back(NewQueue());

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kPorts; ++i) {
        PacketQueue* q = &queues[i];
        threads.emplace_back([q, &stop] {  // a receive thread
            int32_t n = 0;
            while (!stop.load()) {
                if (RxPacket* p = PopPacket(&FreePacketPool)) {
                    p->length = ++n % 7;
                    AppendPacket(q, p);
                }
            }
        });
        threads.emplace_back([q, &stop] {  // a reader, and now and then a purge
            int turns = 0;
            while (!stop.load()) {
                if (++turns % 50 == 0) {
                    FlushQueue(q);
                } else if (RxPacket* p = PopPacket(q)) {
                    AppendPacket(&FreePacketPool, p);
                }
            }
        });
    }
    for (int i = 0; i < 200; ++i) {  // ports opening and closing beside them
        InitUSB();
        ReleasePoolShare();
    }
    stop.store(true);
    for (auto& t : threads) t.join();
    testing::internal::GetCapturedStdout();

    int32_t total = FreePacketPool.count;
    int32_t bytes = 0;
    for (auto& q : queues) {
        std::vector<RxPacket*> held = Contents(q);
        EXPECT_EQ(static_cast<int32_t>(held.size()), q.count);
        for (RxPacket* p : held) bytes += p->length;
        EXPECT_EQ(bytes, q.byteTotal);
        bytes = 0;
        total += q.count;
    }
    EXPECT_EQ(PoolShare.owned, (kPorts + 1) * RX_PACKET_COUNT) << "a fourth port came and went";
    EXPECT_EQ(total, PoolShare.owned);
    EXPECT_EQ(static_cast<int32_t>(Contents(FreePacketPool).size()), FreePacketPool.count);
    for (int i = 0; i < kPorts; ++i) ReleasePoolShare();
}

}  // namespace
